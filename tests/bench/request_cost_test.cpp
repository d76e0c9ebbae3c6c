// What a block request costs in system calls, and that gathering a request's log lines into one
// write keeps the log in order with the error stream when the request fails half way.
#include "block_socket.h"
#include "firmware_image.h"
#include "message_handler.h"
#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/sock_diag.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// The flasher's frame writes come through here (-Wl,--wrap=write); one can be made to fail.
static int failingFd = -1;
static int writesBeforeFailure = 0;

// The stand-in bus takes each frame at once (-Wl,--wrap=getsockopt): none is left unsent.
extern "C" int __real_getsockopt(int fd, int level, int name, void *value, socklen_t *size);
extern "C" int __wrap_getsockopt(int fd, int level, int name, void *value, socklen_t *size) {
    int result = __real_getsockopt(fd, level, name, value, size);
    if (result == 0 && level == SOL_SOCKET && name == SO_MEMINFO &&
        *size > sizeof(uint32_t) * SK_MEMINFO_WMEM_ALLOC) {
        static_cast<uint32_t *>(value)[SK_MEMINFO_WMEM_ALLOC] = 0;
    }
    return result;
}

extern "C" ssize_t __real_write(int fd, const void *data, size_t size);
extern "C" ssize_t __wrap_write(int fd, const void *data, size_t size) {
    if (fd == failingFd && writesBeforeFailure-- == 0) {
        errno = ENETDOWN;
        return -1;
    }
    return __real_write(fd, data, size);
}

namespace {

struct TempFile {
    std::string path;
    explicit TempFile(size_t size) {
        char name[] = "/tmp/bench-request-cost-XXXXXX";
        int fd = mkstemp(name);
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; i++) {
            bytes[i] = static_cast<uint8_t>(i * 13 + 5);
        }
        EXPECT_EQ(__real_write(fd, bytes.data(), size), static_cast<ssize_t>(size));
        close(fd);
        path = name;
    }
    ~TempFile() {
        unlink(path.c_str());
    }
    std::string read() const {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

// A classic request, in a record of the size canfd-flash reads into.
canfd_frame blockRequest(uint32_t offset, uint32_t length) {
    canfd_frame frame;
    memset(&frame, 0, sizeof(frame));
    frame.can_id = 0x13887900u | CAN_EFF_FLAG;
    frame.len = 8;
    for (int i = 0; i < 4; i++) {
        frame.data[i] = static_cast<uint8_t>(offset >> (8 * i));
        frame.data[4 + i] = static_cast<uint8_t>(length >> (8 * i));
    }
    return frame;
}

// Read and write system calls of this process so far, from /proc/self/io.
bool systemCalls(long &reads, long &writes) {
    std::ifstream io("/proc/self/io");
    std::string key;
    long value = 0;
    reads = writes = -1;
    while (io >> key >> value) {
        if (key == "syscr:") {
            reads = value;
        } else if (key == "syscw:") {
            writes = value;
        }
    }
    return reads >= 0 && writes >= 0;
}

std::string blockLine(int size, uint32_t offset) {
    return "Sending firmware block size " + std::to_string(size) + " offset " +
           std::to_string(offset) + "\n";
}

const char requestLines[] = "Received FirmwareUpdateRequest from bootloader\r\n"
                            "Requested length 200 \r\n"
                            "File read length 56 \r\n"
                            "Requested fileOffset 100\r\n"
                            "Done: 10.000000%\r\n";

class RequestCost : public testing::Test {
  protected:
    void SetUp() override {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends), 0);
        flasherEnd = ends[0];
        boardEnd = ends[1];
    }
    void TearDown() override {
        close(flasherEnd);
        close(boardEnd);
    }

    // Runs serve in a child set up as canfd-flash sets itself up: the image open, the output
    // started, here into logFile, which the error stream shares, as when a user keeps both in one
    // file. Returns the child's exit status.
    int inFlasher(const TempFile &image, const TempFile &logFile, void (*serve)(int flasherEnd)) {
        fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            int log = open(logFile.path.c_str(), O_WRONLY | O_TRUNC);
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
            startOutput(STDOUT_FILENO, STDERR_FILENO);
            if (!openFirmwareImage(image.path.c_str())) {
                _exit(90);
            }
            useBlockSocket(flasherEnd);
            serve(flasherEnd);
            drainOutput(-1);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int flasherEnd = -1;
    int boardEnd = -1;
};

// Where the child leaves the read and write calls that the request cost.
int countsPipe[2];

TEST_F(RequestCost, A4096ByteRequestTakesNoFileReadAndOneLogWriteForItsBlockLines) {
    TempFile image(100000);
    TempFile logFile(0);
    ASSERT_EQ(pipe(countsPipe), 0);
    const int status = inFlasher(image, logFile, [](int flasherEnd) {
        // Reading /proc/self/io costs calls of its own: measured first, then taken off.
        long idleReads = 0, idleWrites = 0, readsBefore = 0, writesBefore = 0;
        long reads = 0, writes = 0;
        systemCalls(idleReads, idleWrites);
        systemCalls(readsBefore, writesBefore);
        const canfd_frame request = blockRequest(4096, 4096);
        ProcessReceivedMessage(&request, flasherEnd, CAN_MTU);
        flushOutput();
        long counts[2] = {-1, -1};
        if (systemCalls(reads, writes)) {
            counts[0] = reads - readsBefore - (readsBefore - idleReads);
            counts[1] = writes - writesBefore - (writesBefore - idleWrites);
        }
        __real_write(countsPipe[1], counts, sizeof(counts));
    });
    long counts[2] = {-1, -1};
    ASSERT_EQ(read(countsPipe[0], counts, sizeof(counts)), static_cast<ssize_t>(sizeof(counts)));
    close(countsPipe[0]);
    close(countsPipe[1]);
    ASSERT_EQ(status, 0);
    if (counts[0] < 0) {
        GTEST_SKIP() << "no /proc/self/io to count system calls with";
    }

    const std::string text = logFile.read();
    size_t lines = 0;
    for (size_t at = text.find("Sending firmware"); at != std::string::npos;
         at = text.find("Sending firmware", at + 1)) {
        lines++;
    }
    EXPECT_EQ(lines, 74u);
    // 74 frames, one write for the request's lines before its blocks, one at its end for the 74
    // block lines (one each would be 73 more), and one for the trailer line, at the loop's next
    // flush. The image was read into memory at start-up: serving it reads nothing.
    EXPECT_EQ(counts[1], 74 + 1 + 1 + 1);
    EXPECT_EQ(counts[0], 0);
}

TEST_F(RequestCost, SendFailureHalfWayIsReportedAfterTheBlockLinesBeforeIt) {
    TempFile image(1000);
    TempFile logFile(0);
    failingFd = flasherEnd;
    writesBeforeFailure = 2;
    EXPECT_EQ(inFlasher(image, logFile,
                        [](int flasherEnd) {
                            const canfd_frame request = blockRequest(100, 200);
                            ProcessReceivedMessage(&request, flasherEnd, CAN_MTU);
                        }),
              2);
    failingFd = -1;
    // The line of the block that failed is there too: it is logged before its frame. The log and
    // the report share the file and keep their order in it.
    EXPECT_EQ(logFile.read(), std::string(requestLines) + blockLine(56, 100) + "\r" +
                                  blockLine(56, 156) + "\r" + blockLine(56, 212) + "\r" +
                                  "Error sending command via CAN FD!: Network is down\n");
}

TEST_F(RequestCost, BlockLinesSpellOutTheSmallestAndLargestNumbers) {
    // Sparse, and as large as an image may be, so the last offsets have eight digits.
    static TempFile image(0);
    ASSERT_EQ(truncate(image.path.c_str(), 0xFFFFFF), 0);
    TempFile logFile(0);
    EXPECT_EQ(inFlasher(image, logFile,
                        [](int flasherEnd) {
                            const canfd_frame first = blockRequest(0, 1);
                            ProcessReceivedMessage(&first, flasherEnd, CAN_MTU);
                            const canfd_frame last = blockRequest(0xFFFFFF - 66, 66);
                            ProcessReceivedMessage(&last, flasherEnd, CAN_MTU);
                        }),
              0);
    const std::string log = logFile.read();
    EXPECT_NE(log.find("\nSending firmware block size 1 offset 0\n\r"), std::string::npos) << log;
    EXPECT_NE(log.find("\nSending firmware block size 56 offset 16777149\n\r"
                       "Sending firmware block size 10 offset 16777205\n\rFirmware uploaded..."),
              std::string::npos)
        << log;
}

} // namespace
