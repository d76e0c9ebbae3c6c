#include "frame_send.h"

#include "confirmation.h"
#include "interruption.h"
#include "monotonic_clock.h"
#include "output.h"
#include "send_stall.h"

#include <cerrno>
#include <cstdint>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static const long queueFullRetryMicroseconds = 1000;
static const int64_t queueFullPatienceNanoseconds = 1000000000;

bool boundSendWaits(int socket) {
    timeval tick = {noProgressReportSeconds, 0};
    if (setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &tick, sizeof(tick)) < 0) {
        reportSystemError("setsockopt SO_SNDTIMEO");
        return false;
    }
    return true;
}

// The write timed out: nothing left can0 for a report period. Whether to try once more.
static bool waitOnceMore() {
    // The write that timed out had already waited one report period.
    noteWriteBlocked(monotonicMilliseconds() -
                     1000 * static_cast<int64_t>(noProgressReportSeconds));
    // Echoes that came meanwhile are progress, and must not pile up unread.
    takeConfirmations();
    return stallMayGoOn();
}

static SendOutcome writeFrame(int socket, const void *record, size_t size, bool *stalled) {
    int64_t queueFullSince = 0;
    bool queueFull = false;
    for (;;) {
        // Also between two timed-out writes: a signal that came outside the write itself.
        if (interruptingSignal() != 0) {
            return sendInterrupted;
        }
        ssize_t written = write(socket, record, size);
        if (written == static_cast<ssize_t>(size)) {
            return frameSent;
        }
        if (written >= 0) {
            errno = EIO;
            return sendFailed;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            *stalled = true;
            if (waitOnceMore()) {
                continue;
            }
            errno = ETIMEDOUT;
            return sendMadeNoProgress;
        }
        if (errno != ENOBUFS) {
            return sendFailed;
        }
        // The interface's transmit queue is full: back-pressure, not a lost frame.
        if (!queueFull) {
            queueFullSince = monotonicNanoseconds();
            queueFull = true;
        } else if (monotonicNanoseconds() - queueFullSince >= queueFullPatienceNanoseconds) {
            errno = ENOBUFS;
            return sendFailed;
        }
        usleep(queueFullRetryMicroseconds);
    }
}

SendOutcome sendFrame(int socket, const void *record, size_t size) {
    bool stalled = false;
    SendOutcome outcome = writeFrame(socket, record, size, &stalled);
    if (!stalled) {
        return outcome;
    }
    int sendErrno = errno;
    noteWriteOver(outcome == frameSent);
    if (outcome == frameSent) {
        // Says that can0 sends again, after a stall that was reported.
        stallMayGoOn();
    } else {
        forgetStall();
    }
    errno = sendErrno;
    return outcome;
}
