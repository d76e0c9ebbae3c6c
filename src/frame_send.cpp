#include "frame_send.h"

#include "block_log.h"
#include "bus_health.h"
#include "monotonic_clock.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static const long queueFullRetryMicroseconds = 1000;
static const int64_t queueFullPatienceNanoseconds = 1000000000;
static const int64_t nanosecondsPerSecond = 1000000000;

static const char sendFailedPrefix[] = "Error sending command via CAN FD!";

// The last failure was a write that made no progress until the limit.
static bool gaveUpWithoutProgress = false;

bool boundSendWaits(int socket) {
    timeval tick = {noProgressReportSeconds, 0};
    if (setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &tick, sizeof(tick)) < 0) {
        perror("setsockopt SO_SNDTIMEO");
        return false;
    }
    return true;
}

// A controller retries a frame that no node acknowledges for ever; its queue and the socket's
// small send buffer fill, and the write waits for room that never comes. The send timeout ends
// each such wait; this decides whether to wait once more.
static bool waitOnceMore(bool *stalled, int64_t *stalledSince) {
    int64_t now = monotonicNanoseconds();
    if (!*stalled) {
        *stalled = true;
        // The write that timed out had already waited one report period.
        *stalledSince = now - noProgressReportSeconds * nanosecondsPerSecond;
        flushBlockLines();
        fprintf(stderr,
                "can0 is not sending: none of its frames has left for %d s. No node "
                "acknowledges them (board off, unplugged or resetting), the bus is not "
                "terminated, or the bit rates differ; waiting up to %d s\n",
                noProgressReportSeconds, noProgressLimitSeconds);
    }
    readBusHealth();
    return now - *stalledSince < noProgressLimitSeconds * nanosecondsPerSecond;
}

bool sendFrame(int socket, const void *record, size_t size) {
    int64_t queueFullSince = 0;
    bool queueFull = false;
    int64_t stalledSince = 0;
    bool stalled = false;
    gaveUpWithoutProgress = false;
    for (;;) {
        ssize_t written = write(socket, record, size);
        if (written == static_cast<ssize_t>(size)) {
            if (stalled) {
                flushBlockLines();
                fputs("can0 is sending again\n", stderr);
            }
            return true;
        }
        if (written >= 0) {
            errno = EIO;
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (waitOnceMore(&stalled, &stalledSince)) {
                continue;
            }
            gaveUpWithoutProgress = true;
            errno = ETIMEDOUT;
            return false;
        }
        if (errno != ENOBUFS) {
            return false;
        }
        // The interface's transmit queue is full: back-pressure, not a lost frame.
        if (!queueFull) {
            queueFullSince = monotonicNanoseconds();
            queueFull = true;
        } else if (monotonicNanoseconds() - queueFullSince >= queueFullPatienceNanoseconds) {
            errno = ENOBUFS;
            return false;
        }
        usleep(queueFullRetryMicroseconds);
    }
}

uint32_t bytesNotYetSent(int socket) {
    // A frame's buffer stays charged to the socket until the interface is done with it.
    uint32_t memory[SK_MEMINFO_VARS];
    socklen_t size = sizeof(memory);
    if (getsockopt(socket, SOL_SOCKET, SO_MEMINFO, memory, &size) < 0 ||
        size < sizeof(uint32_t) * (SK_MEMINFO_WMEM_ALLOC + 1)) {
        return 0;
    }
    return memory[SK_MEMINFO_WMEM_ALLOC];
}

void reportSendFailure() {
    flushBlockLines();
    if (gaveUpWithoutProgress) {
        fprintf(stderr,
                "%s: can0 sent nothing for %d s: no node acknowledges its frames (board off, "
                "unplugged or resetting), the bus is not terminated, or the bit rates differ\n",
                sendFailedPrefix, noProgressLimitSeconds);
        return;
    }
    perror(sendFailedPrefix);
}
