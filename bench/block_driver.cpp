// bench-block-driver: serves an image through the flasher's own message handling over a
// socketpair, for counting user-space instructions and heap allocations per block on the host.
//
// Usage: bench-block-driver BYTES [CHUNK]
// Answers BYTES / CHUNK block requests of CHUNK bytes (default 4096) that start at offset CHUNK,
// so the pause before the first block and the exit after the last byte are never reached. The
// log goes to standard output as canfd-flash writes it; a forked child drains the other end of
// the socketpair, so its work is not counted with the flasher's.
#include "block_socket.h"
#include "firmware_image.h"
#include "frame_log.h"
#include "message_handler.h"
#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// msgType firmwareBlockRequest from board 121 to address 0, as the bootloader sends it.
constexpr uint32_t blockRequestId = 0x13887900u | CAN_EFF_FLAG;

constexpr unsigned long imageSize = 8ul << 20;

[[noreturn]] void die(const char *what) {
    fprintf(stderr, "bench-block-driver: %s: %s\n", what, strerror(errno));
    exit(3);
}

bool parseCount(const char *text, unsigned long &value) {
    char *end = nullptr;
    errno = 0;
    value = strtoul(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value > 0;
}

void putWord(uint32_t word, uint8_t *out) {
    for (int i = 0; i < 4; i++) {
        out[i] = static_cast<uint8_t>(word >> (8 * i));
    }
}

// In a record of the size canfd-flash reads into; a classic request fills 16 bytes of it.
canfd_frame blockRequestFrame(uint32_t offset, uint32_t length) {
    canfd_frame frame;
    memset(&frame, 0, sizeof(frame));
    frame.can_id = blockRequestId;
    frame.len = 8;
    putWord(offset, frame.data);
    putWord(length, frame.data + 4);
    return frame;
}

// A sparse file of fixed size: its set-up then costs the same whatever is served, and the
// baseline subtraction removes it.
std::string makeImage() {
    char name[] = "/tmp/bench-block-driver-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) {
        die("mkstemp");
    }
    if (ftruncate(fd, static_cast<off_t>(imageSize)) != 0) {
        die("sizing the image");
    }
    close(fd);
    return name;
}

void drain(int fd) {
    uint8_t record[128];
    while (read(fd, record, sizeof(record)) > 0) {
    }
    _exit(0);
}

} // namespace

int main(int argc, char **argv) {
    unsigned long bytes = 0;
    unsigned long chunk = 4096;
    if (argc < 2 || argc > 3 || !parseCount(argv[1], bytes) ||
        (argc == 3 && !parseCount(argv[2], chunk)) || chunk > (1ul << 20)) {
        fprintf(stderr, "Usage: %s BYTES [CHUNK]\n", argv[0]);
        return 2;
    }
    const unsigned long requests = (bytes + chunk - 1) / chunk;
    // Requests start one chunk in and must end before the image does.
    if ((requests + 1) * chunk >= imageSize) {
        fprintf(stderr, "bench-block-driver: at most %lu bytes in chunks of %lu\n",
                imageSize - 2 * chunk, chunk);
        return 2;
    }

    // As canfd-flash's main() sets it up.
    startOutput(STDOUT_FILENO, STDERR_FILENO);

    const std::string image = makeImage();
    const bool opened = openFirmwareImage(image.c_str());
    unlink(image.c_str());
    if (!opened) {
        return 3;
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0) {
        die("socketpair");
    }
    pid_t reader = fork();
    if (reader < 0) {
        die("fork");
    }
    if (reader == 0) {
        close(ends[0]);
        drain(ends[1]);
    }
    close(ends[1]);
    const int flasherEnd = ends[0];
    useBlockSocket(flasherEnd);

    unsigned long blocks = 0;
    for (unsigned long i = 0; i < requests; i++) {
        const canfd_frame frame =
            blockRequestFrame(static_cast<uint32_t>((i + 1) * chunk), static_cast<uint32_t>(chunk));
        const ssize_t nbytes = CAN_MTU;
        // The body of canfd-flash's receive loop, and the flush before its next wait.
        logLine("Hotovo\r");
        printFrameDump(&frame, nbytes);
        ProcessReceivedMessage(&frame, flasherEnd, nbytes);
        flushOutput();
        blocks += (chunk + 55) / 56;
    }
    drainOutput(-1);
    close(flasherEnd);
    int status = 0;
    waitpid(reader, &status, 0);
    fprintf(stderr, "bench-block-driver: %lu blocks in %lu requests of %lu bytes\n", blocks,
            requests, chunk);
    return 0;
}
