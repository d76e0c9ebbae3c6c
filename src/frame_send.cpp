#include "frame_send.h"

#include "bus_health.h"
#include "bus_reports.h"
#include "monotonic_clock.h"
#include "output.h"
#include "run_outcome.h"
#include "settings_report.h"

#include <cerrno>
#include <cstdint>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static const long queueFullRetryMicroseconds = 1000;
static const int64_t queueFullPatienceNanoseconds = 1000000000;
static const int64_t nanosecondsPerSecond = 1000000000;
// How often the last frames are looked at: a 64-byte frame takes 0.2-0.6 ms on the bus.
static const useconds_t leavingLookMicroseconds = 250;

// The stall that is going on, or ended last: when nothing left since, and whether can0 was
// bus-off meanwhile.
struct Stall {
    bool reported;
    int64_t since;
    bool metBusOff;
};

static Stall lastStall = {false, 0, false};

bool boundSendWaits(int socket) {
    timeval tick = {noProgressReportSeconds, 0};
    if (setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &tick, sizeof(tick)) < 0) {
        reportSystemError("setsockopt SO_SNDTIMEO");
        return false;
    }
    return true;
}

static void startStall(Stall *stall, int64_t since) {
    stall->reported = false;
    stall->since = since;
    stall->metBusOff = controllerState() == busOff;
}

// A controller retries a frame that no node acknowledges for ever; its queue and the socket's
// small send buffer fill, and nothing leaves. Reports that once, and tells whether to wait on.
static bool waitOnceMore(Stall *stall, int64_t now) {
    readBusHealth();
    stall->metBusOff = stall->metBusOff || controllerState() == busOff;
    if (!stall->reported && now - stall->since >= noProgressReportSeconds * nanosecondsPerSecond) {
        stall->reported = true;
        reportFormat("can0 is not sending: none of its frames has left for %d s. No node "
                     "acknowledges them (board off, unplugged or resetting), the bus is not "
                     "terminated, or the bit rates differ; waiting up to %d s\n",
                     noProgressReportSeconds, noProgressLimitSeconds);
        reportCanSettings();
    }
    return now - stall->since < noProgressLimitSeconds * nanosecondsPerSecond;
}

// Frames move again. A bus-off controller takes frames and drops them, which is no sign that
// they leave: its own report ends the story (a restart, or frames received again).
static void endStall(const Stall *stall) {
    if (stall->reported && controllerState() != busOff) {
        reportText("can0 is sending again\n");
    }
}

SendOutcome sendFrame(int socket, const void *record, size_t size) {
    int64_t queueFullSince = 0;
    bool queueFull = false;
    bool stalled = false;
    for (;;) {
        ssize_t written = write(socket, record, size);
        if (written == static_cast<ssize_t>(size)) {
            if (stalled) {
                endStall(&lastStall);
            }
            return frameSent;
        }
        if (written >= 0) {
            errno = EIO;
            return sendFailed;
        }
        if (errno == EINTR) {
            endIfInterrupted();
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int64_t now = monotonicNanoseconds();
            if (!stalled) {
                stalled = true;
                // The write that timed out had already waited one report period.
                startStall(&lastStall, now - noProgressReportSeconds * nanosecondsPerSecond);
            }
            if (waitOnceMore(&lastStall, now)) {
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
        endIfInterrupted();
    }
}

SendOutcome waitUntilSent(int socket) {
    uint32_t unsent = bytesNotYetSent(socket);
    startStall(&lastStall, monotonicNanoseconds());
    while (unsent != 0) {
        usleep(leavingLookMicroseconds);
        endIfInterrupted();
        uint32_t now = bytesNotYetSent(socket);
        if (now < unsent) {
            endStall(&lastStall);
            startStall(&lastStall, monotonicNanoseconds());
        } else if (!waitOnceMore(&lastStall, monotonicNanoseconds())) {
            errno = ETIMEDOUT;
            return sendMadeNoProgress;
        }
        unsent = now;
    }
    endStall(&lastStall);
    return frameSent;
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

bool stallMetBusOff() {
    return lastStall.metBusOff;
}
