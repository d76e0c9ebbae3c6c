#include "frame_send.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <unistd.h>

static const long queueFullRetryMicroseconds = 1000;
static const int64_t queueFullPatienceNanoseconds = 1000000000;

// 64-bit on every target: on 32-bit ARM, long and time_t are 32 bits wide, and seconds times
// 10^9 would overflow after about 2 s between two looks (a stopped or starved process).
static int64_t nanosecondsSince(const timespec &start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec - start.tv_sec) * 1000000000 +
           (now.tv_nsec - start.tv_nsec);
}

bool sendFrame(int socket, const void *record, size_t size) {
    timespec start = {0, 0};
    bool waiting = false;
    for (;;) {
        ssize_t written = write(socket, record, size);
        if (written == static_cast<ssize_t>(size)) {
            return true;
        }
        if (written >= 0) {
            errno = EIO;
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != ENOBUFS) {
            return false;
        }
        // The interface's transmit queue is full: back-pressure, not a lost frame.
        if (!waiting) {
            clock_gettime(CLOCK_MONOTONIC, &start);
            waiting = true;
        } else if (nanosecondsSince(start) >= queueFullPatienceNanoseconds) {
            errno = ENOBUFS;
            return false;
        }
        usleep(queueFullRetryMicroseconds);
    }
}
