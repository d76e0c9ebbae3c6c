#include "bus_pair.h"

#include "block_socket.h"
#include "firmware_image.h"
#include "message_handler.h"
#include "output.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/sock_diag.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

BusPair::BusPair() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0) {
        ADD_FAILURE() << "socketpair: " << strerror(errno);
        return;
    }
    flasherEnd = ends[0];
    boardEnd = ends[1];
}

BusPair::~BusPair() {
    close(flasherEnd);
    close(boardEnd);
}

std::vector<std::vector<uint8_t>> BusPair::drain() const {
    std::vector<std::vector<uint8_t>> records;
    for (;;) {
        uint8_t record[256];
        ssize_t n = recv(boardEnd, record, sizeof(record), MSG_DONTWAIT);
        if (n < 0) {
            break;
        }
        records.emplace_back(record, record + n);
    }
    return records;
}

Outcome handleRecord(const BusPair &bus, const can_frame &frame, ssize_t nbytes) {
    return handleRecord(bus, widened(frame), nbytes);
}

Outcome handleRecord(const BusPair &bus, const canfd_frame &record, ssize_t nbytes) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    useBlockSocket(bus.flasherEnd);
    ProcessReceivedMessage(&record, bus.flasherEnd, nbytes);
    flushOutput();
    Outcome outcome;
    outcome.err = testing::internal::GetCapturedStderr();
    outcome.out = testing::internal::GetCapturedStdout();
    outcome.sent = bus.drain();
    return outcome;
}

TempImage::TempImage(const std::vector<uint8_t> &bytes) {
    char name[] = "/tmp/canfd-flash-image-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) {
        ADD_FAILURE() << "mkstemp: " << strerror(errno);
        return;
    }
    if (!bytes.empty() &&
        write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        ADD_FAILURE() << "writing the image failed";
    }
    close(fd);
    path = name;
}

TempImage::~TempImage() {
    unlink(path.c_str());
}

std::vector<uint8_t> patternImage(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; i++) {
        bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 8) + 1);
    }
    return bytes;
}

void useImage(const TempImage &image) {
    closeImage();
    ASSERT_TRUE(openFirmwareImage(image.path.c_str()));
}

void closeImage() {
    fileLength = 0;
}

can_frame classicFrame(uint32_t canId, std::vector<uint8_t> payload) {
    can_frame frame;
    memset(&frame, 0, sizeof(frame));
    frame.can_id = canId;
    frame.can_dlc = static_cast<uint8_t>(payload.size());
    if (!payload.empty()) {
        memcpy(frame.data, payload.data(), payload.size() < 8 ? payload.size() : 8);
    }
    return frame;
}

canfd_frame widened(const can_frame &frame) {
    canfd_frame record;
    memset(&record, 0, sizeof(record));
    memcpy(&record, &frame, sizeof(frame));
    return record;
}

can_frame blockRequest(uint32_t fileOffset, uint32_t lengthRequested, uint8_t bootloaderVersion) {
    uint32_t first = (fileOffset & 0xFFFFFF) | static_cast<uint32_t>(bootloaderVersion) << 24;
    uint32_t second = lengthRequested & 0xFFFFFF;
    std::vector<uint8_t> payload;
    for (uint32_t word : {first, second}) {
        for (int shift = 0; shift < 32; shift += 8) {
            payload.push_back(static_cast<uint8_t>(word >> shift));
        }
    }
    return classicFrame(0x93887900, payload);
}

std::vector<uint8_t> recordBytes(const can_frame &frame) {
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&frame);
    return std::vector<uint8_t>(bytes, bytes + sizeof(frame));
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Write failures are injected at link time: the code under test calls write(), which the
// linker routes here (-Wl,--wrap=write).
static int failingFd = -1;
static int failingErrno = 0;
static int passesLeft = 0;
static int failuresLeft = 0;
static int failedAttempts = 0;
static int countedFd = -1;
static int writesCounted = 0;

void failWrites(int fd, int errorNumber, int count, int pass) {
    failingFd = fd;
    passesLeft = pass;
    failingErrno = errorNumber;
    failuresLeft = count;
    failedAttempts = 0;
}

void clearWriteFailures() {
    failingFd = -1;
    passesLeft = 0;
    failuresLeft = 0;
    failedAttempts = 0;
}

int failedWriteAttempts() {
    return failedAttempts;
}

void countWrites(int fd) {
    countedFd = fd;
    writesCounted = 0;
}

int countedWrites() {
    return writesCounted;
}

extern "C" ssize_t __real_write(int fd, const void *data, size_t size);

extern "C" ssize_t __wrap_write(int fd, const void *data, size_t size) {
    if (fd == countedFd) {
        writesCounted++;
    }
    if (fd == failingFd && passesLeft > 0) {
        passesLeft--;
    } else if (fd == failingFd && failuresLeft > 0) {
        failuresLeft--;
        failedAttempts++;
        errno = failingErrno;
        return -1;
    }
    return __real_write(fd, data, size);
}

// SO_MEMINFO is read through here (-Wl,--wrap=getsockopt).
static int carriedFd = -1;

void framesLeaveAtOnce(int fd) {
    carriedFd = fd;
}

extern "C" int __real_getsockopt(int fd, int level, int name, void *value, socklen_t *size);

bool unsentBytesVisible(int fd) {
    uint32_t memory[SK_MEMINFO_VARS];
    socklen_t size = sizeof(memory);
    return __real_getsockopt(fd, SOL_SOCKET, SO_MEMINFO, memory, &size) == 0 &&
           size > sizeof(uint32_t) * SK_MEMINFO_WMEM_ALLOC;
}

extern "C" int __wrap_getsockopt(int fd, int level, int name, void *value, socklen_t *size) {
    if (fd == carriedFd && level == SOL_SOCKET && name == SO_MEMINFO) {
        // Answered here in full: qemu-user passes only one word of it through, and the stand-in
        // bus has taken every frame, so nothing is left unsent.
        uint32_t memory[SK_MEMINFO_VARS] = {};
        socklen_t served = std::min<socklen_t>(*size, sizeof(memory));
        std::memcpy(value, memory, served);
        *size = served;
        return 0;
    }
    return __real_getsockopt(fd, level, name, value, size);
}

// Sleeps are recorded on their way through (-Wl,--wrap=usleep): whether the code paused, and
// for how long it asked to, is then known exactly, however slow the machine runs the test.
static uint64_t sleptMicroseconds = 0;

uint64_t requestedSleepMicroseconds() {
    return sleptMicroseconds;
}

void forgetSleeps() {
    sleptMicroseconds = 0;
}

extern "C" int __real_usleep(useconds_t microseconds);

extern "C" int __wrap_usleep(useconds_t microseconds) {
    sleptMicroseconds += microseconds;
    return __real_usleep(microseconds);
}

// The clock is read through here (-Wl,--wrap=clock_gettime), so a test can let any amount of
// time pass between two looks.
static bool clockIsFake = false;
static timespec fakeNow = {1000, 0};
static long fakeStepMilliseconds = 0;

void advanceClock(long milliseconds) {
    long nanoseconds = fakeNow.tv_nsec + (milliseconds % 1000) * 1000000;
    fakeNow.tv_sec += static_cast<time_t>(milliseconds / 1000 + nanoseconds / 1000000000);
    fakeNow.tv_nsec = nanoseconds % 1000000000;
}

void useFakeClock(long stepMilliseconds) {
    clockIsFake = true;
    fakeStepMilliseconds = stepMilliseconds;
}

void useRealClock() {
    clockIsFake = false;
}

extern "C" int __real_clock_gettime(clockid_t clock, timespec *now);

extern "C" int __wrap_clock_gettime(clockid_t clock, timespec *now) {
    if (!clockIsFake) {
        return __real_clock_gettime(clock, now);
    }
    *now = fakeNow;
    advanceClock(fakeStepMilliseconds);
    return 0;
}

// Image reads pass through here too (-Wl,--wrap=pread64), so that a test can change the file
// while it is being read.
static int imageReadsToGo = 0;
static void (*imageChange)() = nullptr;

void beforeImageRead(int nth, void (*change)()) {
    imageReadsToGo = nth;
    imageChange = change;
}

extern "C" ssize_t __real_pread64(int fd, void *into, size_t length, off_t offset);

extern "C" ssize_t __wrap_pread64(int fd, void *into, size_t length, off_t offset) {
    if (imageChange != nullptr && --imageReadsToGo == 0) {
        void (*change)() = imageChange;
        imageChange = nullptr;
        change();
    }
    return __real_pread64(fd, into, length, offset);
}
