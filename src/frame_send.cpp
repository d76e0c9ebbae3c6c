#include "frame_send.h"

#include <cerrno>
#include <ctime>
#include <unistd.h>

static const long queueFullRetryMicroseconds = 1000;
static const long queueFullPatienceNanoseconds = 1000000000L;

static long nanosecondsSince(const timespec &start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec);
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
