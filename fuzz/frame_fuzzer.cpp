// Feeds arbitrary sequences of received records through the flasher's receive path, as the
// receive loop in main() does, and checks every record the flasher sends back on the bus.
//
// Input: 3 header bytes, then 20 bytes per record.
//   header  size (2 bytes, little-endian; the image holds 1 + size % 2048 bytes), content seed
//   record  [0] what read() returned: 0-16 as is, 17 -> 72 (a CAN FD record), 18 -> -1,
//               19 -> SSIZE_MAX, 20 -> SSIZE_MIN, 21-75 -> 17-71, others -> 16
//           [1] write fault (high nibble kind, low bits count or errno choice)
//           [2] low nibble: the write the fault hits
//           [3] the byte that fills payload bytes 8-63 of the 72-byte record
//           [4..19] the record's first 16 bytes: identifier, length byte, flags, reserved, 8
//               data bytes
// The flasher reads into a 72-byte record, as a CAN FD frame needs; the kernel returns 16 for
// a classic frame and 72 for an FD one, and only those bytes count as received.
//
// exit() is wrapped at link time and jumps back here, so the paths that end the flasher
// (status 0 after the last byte, 2 on a failed send) are checked like any other
// and the fuzzer keeps going; a child process per input would cost a fork each time.
#include "bus_model.h"
#include "fuzz_hooks.h"

#include "block_socket.h"
#include "firmware_image.h"
#include "frame_log.h"
#include "frame_send.h"
#include "message_handler.h"
#include "output.h"
#include "received_record.h"
#include "send_stall.h"
#include "upload_state.h"

#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/can.h>
#include <sanitizer/asan_interface.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const size_t headerSize = 3;
const size_t recordInputSize = 20;
const size_t recordHeadSize = 16;
const size_t recordSize = sizeof(canfd_frame);
const uint64_t firstBlockPause = 500000;
// The pause, a send that waits out a write without progress until the limit, and a little slack.
const uint64_t longestRecordMicroseconds =
    firstBlockPause + 1000000 * static_cast<uint64_t>(noProgressLimitSeconds) + 100000;

FILE *findings = stderr;
int imageMemory = -1;
char imagePath[64];

[[noreturn]] void finding(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    fputs("FINDING: ", findings);
    vfprintf(findings, format, arguments);
    fputc('\n', findings);
    va_end(arguments);
    fflush(findings);
    abort();
}

ssize_t readResult(uint8_t selector) {
    if (selector <= 16) {
        return selector;
    }
    switch (selector) {
    case 17:
        return 72;
    case 18:
        return -1;
    case 19:
        return SSIZE_MAX;
    case 20:
        return -SSIZE_MAX - 1;
    default:
        return selector <= 75 ? selector - 4 : 16;
    }
}

WriteFault writeFaultFrom(uint8_t kind, uint8_t where) {
    static const int errors[] = {ENETDOWN, EMSGSIZE, EIO, ENODEV};
    WriteFault fault;
    fault.atCall = where & 0x0F;
    fault.repeat = 1 + (kind & 0x07);
    switch (kind >> 4) {
    case 10:
        fault.kind = WriteFaultKind::Busy;
        break;
    case 11:
        fault.kind = WriteFaultKind::Interrupted;
        break;
    case 12:
        fault.kind = WriteFaultKind::BusyForever;
        break;
    case 13:
        fault.kind = WriteFaultKind::Error;
        fault.errorNumber = errors[kind & 0x03];
        break;
    case 14:
        fault.kind = WriteFaultKind::Short;
        break;
    case 15:
        fault.kind = (kind & 0x08) != 0 ? WriteFaultKind::StalledForever : WriteFaultKind::Stalled;
        break;
    default:
        break;
    }
    return fault;
}

std::vector<uint8_t> imageFrom(const uint8_t *header) {
    size_t size = 1 + (static_cast<size_t>(header[0]) | static_cast<size_t>(header[1]) << 8) % 2048;
    uint32_t state = 0x9E3779B9u ^ header[2];
    std::vector<uint8_t> image(size);
    for (uint8_t &byte : image) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state);
    }
    return image;
}

void loadImage(const std::vector<uint8_t> &image) {
    fileLength = 0;
    if (ftruncate(imageMemory, 0) != 0 ||
        pwrite(imageMemory, image.data(), image.size(), 0) != static_cast<ssize_t>(image.size())) {
        finding("cannot write the image: %s", strerror(errno));
    }
    if (!openFirmwareImage(imagePath) || fileLength != image.size()) {
        finding("openFirmwareImage refused a readable image of %zu bytes", image.size());
    }
}

// The record sits at the very end of its own allocation, and the bytes read() did not
// deliver are poisoned: any look past what was received is an ASan report.
struct ReceivedRecord {
    uint8_t *bytes;
    ReceivedRecord(const uint8_t *head, uint8_t filler, ssize_t nbytes)
        : bytes(static_cast<uint8_t *>(malloc(recordSize))) {
        memcpy(bytes, head, recordHeadSize);
        memset(bytes + recordHeadSize, filler, recordSize - recordHeadSize);
        if (nbytes < static_cast<ssize_t>(recordSize)) {
            size_t delivered = nbytes > 0 ? static_cast<size_t>(nbytes) : 0;
            ASAN_POISON_MEMORY_REGION(bytes + delivered, recordSize - delivered);
        }
    }
    ~ReceivedRecord() {
        ASAN_UNPOISON_MEMORY_REGION(bytes, recordSize);
        free(bytes);
    }
    ReceivedRecord(const ReceivedRecord &) = delete;
    ReceivedRecord &operator=(const ReceivedRecord &) = delete;
    const canfd_frame *frame() const {
        return reinterpret_cast<const canfd_frame *>(bytes);
    }
};

// One pass of the receive loop in main(). Returns the status the flasher ended with, or -1.
// The dump is fed every read result, even those main() stops at, to show it copes with them.
int handleRecord(const canfd_frame *frame, ssize_t nbytes, int socket) {
    std::jmp_buf landing;
    if (setjmp(landing) != 0) {
        return exitStatus;
    }
    exitLanding = &landing;
    printFrameDump(frame, nbytes);
    if (nbytes >= frameHeaderSize) {
        ProcessReceivedMessage(frame, socket, nbytes);
    }
    flushOutput();
    exitLanding = nullptr;
    return -1;
}

std::vector<Record> drain(int boardEnd) {
    std::vector<Record> records;
    for (;;) {
        uint8_t bytes[128];
        ssize_t size = recv(boardEnd, bytes, sizeof(bytes), MSG_DONTWAIT | MSG_TRUNC);
        if (size <= 0) {
            return records; // nothing waiting, or the flasher closed its end
        }
        if (static_cast<size_t>(size) > sizeof(bytes)) {
            finding("record of %zd bytes sent", size);
        }
        records.emplace_back(bytes, bytes + size);
    }
}

std::string hex(const Record &record) {
    std::string text;
    char digits[4];
    for (uint8_t byte : record) {
        snprintf(digits, sizeof(digits), "%02X ", byte);
        text += digits;
    }
    return text;
}

void check(const Expectation &expect, int status, const std::vector<Record> &sent,
           const std::vector<uint8_t> &image, uint64_t startedAt, size_t index) {
    for (size_t i = 0; i < sent.size(); i++) {
        std::string wrong = malformation(sent[i], image);
        if (!wrong.empty()) {
            finding("record %zu: malformed frame %zu (%s): %s", index, i, wrong.c_str(),
                    hex(sent[i]).c_str());
        }
    }
    if (sent != expect.frames) {
        for (size_t i = 0; i < sent.size() || i < expect.frames.size(); i++) {
            fprintf(findings, "  %zu sent     %s\n  %zu expected %s\n", i,
                    i < sent.size() ? hex(sent[i]).c_str() : "-", i,
                    i < expect.frames.size() ? hex(expect.frames[i]).c_str() : "-");
        }
        finding("record %zu: sent %zu frames, expected %zu", index, sent.size(),
                expect.frames.size());
    }
    if (status != expect.exitStatus) {
        finding("record %zu: exit status %d, expected %d", index, status, expect.exitStatus);
    }
    if (status < 0 && originalFirmwareErase != expect.bootloaderOrdered) {
        finding("record %zu: erase order flag %d, expected %d", index, originalFirmwareErase,
                expect.bootloaderOrdered);
    }
    const std::vector<uint64_t> &times = writeTimes();
    if (expect.pauseBeforeFirstFrame && !times.empty() &&
        times.front() - startedAt < firstBlockPause) {
        finding("record %zu: first block after %llu us, without the pause", index,
                static_cast<unsigned long long>(times.front() - startedAt));
    }
    if (virtualMicroseconds() - startedAt > longestRecordMicroseconds) {
        finding("record %zu: took %llu us", index,
                static_cast<unsigned long long>(virtualMicroseconds() - startedAt));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // -close_fd_mask silences the flasher's log; findings keep a stream of their own.
    int kept = dup(STDERR_FILENO);
    if (kept >= 0) {
        findings = fdopen(kept, "w");
    }
    imageMemory = memfd_create("canfd-fuzz-image", MFD_CLOEXEC);
    if (imageMemory < 0) {
        perror("memfd_create");
        abort();
    }
    snprintf(imagePath, sizeof(imagePath), "/proc/self/fd/%d", imageMemory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < headerSize) {
        return -1;
    }
    std::vector<uint8_t> image = imageFrom(data);
    loadImage(image);
    resetUploadState();
    resetSendStall();

    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0) {
        finding("socketpair: %s", strerror(errno));
    }
    // A send that blocks for good would hang the flasher: make it time out, as on can0.
    timeval patience = {5, 0};
    setsockopt(ends[0], SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof(patience));
    useBlockSocket(ends[0]);

    bool ordered = false;
    size_t index = 0;
    for (size_t at = headerSize; at + recordInputSize <= size; at += recordInputSize, index++) {
        const uint8_t *input = data + at;
        ssize_t nbytes = readResult(input[0]);
        WriteFault writeFault = writeFaultFrom(input[1], input[2]);
        Expectation expect = expectedAnswer(input + 4, nbytes, ordered, image, writeFault);

        ReceivedRecord record(input + 4, input[3], nbytes);
        uint64_t startedAt = virtualMicroseconds();
        armHooks(ends[0], writeFault);
        int status = handleRecord(record.frame(), nbytes, ends[0]);
        disarmHooks();
        check(expect, status, drain(ends[1]), image, startedAt, index);
        ordered = expect.bootloaderOrdered;
        if (status >= 0) {
            break; // the flasher has ended
        }
    }
    // After status 0 the flasher closed both already; closing again only fails.
    close(ends[0]);
    close(ends[1]);
    return 0;
}
