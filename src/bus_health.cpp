#include "bus_health.h"

#include "block_log.h"
#include "monotonic_clock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <sys/socket.h>
#include <unistd.h>

// Bus errors can come by the thousand a second: after the first, a count at most this often.
static const int64_t busErrorSummaryMilliseconds = 10000;

enum ControllerState { errorActive, errorWarning, errorPassive, busOff };

static int healthSocket = -1;
static ControllerState controllerState = errorActive;
static int64_t busOffSince = 0;
static uint32_t busOffs = 0;
static uint32_t busOffsAtMark = 0;
static bool anyErrorFrame = false;
static bool noAcknowledgeReported = false;
static bool txTimeoutReported = false;
static bool rxOverflowReported = false;
static bool txOverflowReported = false;
static uint64_t busErrors = 0;
static int64_t busErrorsReportedAt = 0;

bool openBusHealth(int interfaceIndex) {
    int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (s < 0) {
        perror("Interface can0 error reports");
        return false;
    }
    // An empty filter list: no data frames at all, the board's are read on the other socket.
    can_filter noFrames;
    memset(&noFrames, 0, sizeof(noFrames));
    can_err_mask_t errors = CAN_ERR_TX_TIMEOUT | CAN_ERR_CRTL | CAN_ERR_PROT | CAN_ERR_ACK |
                            CAN_ERR_BUSOFF | CAN_ERR_BUSERROR | CAN_ERR_RESTARTED;
    sockaddr_can addr;
    memset(&addr, 0, sizeof(addr));
    addr.can_family = AF_CAN;
    addr.can_ifindex = interfaceIndex;
    if (setsockopt(s, SOL_CAN_RAW, CAN_RAW_FILTER, &noFrames, 0) < 0 ||
        setsockopt(s, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errors, sizeof(errors)) < 0 ||
        bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0) {
        perror("Interface can0 error reports");
        close(s);
        return false;
    }
    healthSocket = s;
    return true;
}

void watchBusHealth(int descriptor) {
    healthSocket = descriptor;
}

int busHealthSocket() {
    return healthSocket;
}

void readBusHealth() {
    if (healthSocket < 0) {
        return;
    }
    can_frame frame;
    for (;;) {
        ssize_t nbytes = recv(healthSocket, &frame, sizeof(frame), MSG_DONTWAIT);
        if (nbytes < 0 && errno == EINTR) {
            continue;
        }
        // An error of the socket itself (can0 going down) reaches the board's socket too,
        // which reports it; reading it here clears it, so it cannot wake the wait again.
        if (nbytes < static_cast<ssize_t>(sizeof(frame))) {
            return;
        }
        noteErrorFrame(&frame);
    }
}

static void report(const char *text) {
    flushBlockLines();
    fputs(text, stderr);
}

static void reportCounters(const can_frame *frame) {
    if ((frame->can_id & CAN_ERR_CNT) != 0) {
        fprintf(stderr, " (transmit errors %u, receive errors %u)", frame->data[6], frame->data[7]);
    }
}

static void enterState(ControllerState state, const can_frame *frame) {
    if (state == controllerState) {
        return;
    }
    bool wasOff = controllerState == busOff;
    controllerState = state;
    switch (state) {
    case busOff:
        busOffSince = monotonicMilliseconds();
        busOffs++;
        report("can0 is bus-off: its controller stopped after too many errors and sends nothing. "
               "Restart it with \"ip link set can0 type can restart\", or let it restart by "
               "itself (\"ip link set can0 type can restart-ms 100\")\n");
        return;
    case errorPassive:
        report("can0 is error-passive: many of its frames fail");
        reportCounters(frame);
        fputs("; check the bit rates, the wiring and the termination\n", stderr);
        return;
    case errorWarning:
        report("can0 warns of errors: its error counters are rising");
        reportCounters(frame);
        fputs("; check the bit rates, the wiring and the termination\n", stderr);
        return;
    case errorActive:
        report(wasOff ? "can0 restarted after bus-off: it sends again; frames handed to it while "
                        "it was off are lost\n"
                      : "can0 is error-active again: its errors have stopped\n");
        return;
    }
}

static void noteControllerProblem(const can_frame *frame) {
    uint8_t problem = frame->data[1];
    if ((problem & CAN_ERR_CRTL_RX_OVERFLOW) != 0 && !rxOverflowReported) {
        rxOverflowReported = true;
        report("can0 lost frames it received: its controller's receive buffer overflowed\n");
    }
    if ((problem & CAN_ERR_CRTL_TX_OVERFLOW) != 0 && !txOverflowReported) {
        txOverflowReported = true;
        report("can0 lost frames to send: its controller's transmit buffer overflowed\n");
    }
    // Only a restart, or the controller's own return to error-active, ends a bus-off.
    if (controllerState == busOff && (problem & CAN_ERR_CRTL_ACTIVE) == 0) {
        return;
    }
    if ((problem & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE)) != 0) {
        enterState(errorPassive, frame);
    } else if ((problem & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING)) != 0) {
        enterState(errorWarning, frame);
    } else if ((problem & CAN_ERR_CRTL_ACTIVE) != 0) {
        enterState(errorActive, frame);
    }
}

static void countBusError() {
    busErrors++;
    int64_t now = monotonicMilliseconds();
    if (busErrors == 1) {
        report("can0 reports bus errors (bit, form, stuff, CRC or acknowledgement errors): the "
               "bit rates differ, or the wiring or the termination is at fault; counting them\n");
    } else if (now - busErrorsReportedAt >= busErrorSummaryMilliseconds) {
        flushBlockLines();
        fprintf(stderr, "can0: %llu bus errors so far\n",
                static_cast<unsigned long long>(busErrors));
    } else {
        return;
    }
    busErrorsReportedAt = now;
}

void noteErrorFrame(const can_frame *frame) {
    canid_t errors = frame->can_id & CAN_ERR_MASK;
    anyErrorFrame = true;
    if ((errors & CAN_ERR_BUSOFF) != 0) {
        enterState(busOff, frame);
    }
    if ((errors & CAN_ERR_RESTARTED) != 0) {
        enterState(errorActive, frame);
    }
    if ((errors & CAN_ERR_CRTL) != 0) {
        noteControllerProblem(frame);
    }
    if ((errors & CAN_ERR_TX_TIMEOUT) != 0 && !txTimeoutReported) {
        txTimeoutReported = true;
        report("can0's driver gave up on a frame it could not send in time: the controller may be "
               "stuck; take can0 down and up again\n");
    }
    if ((errors & CAN_ERR_ACK) != 0 && !noAcknowledgeReported) {
        noAcknowledgeReported = true;
        report("can0: no node acknowledges its frames: the board is off, unplugged or resetting, "
               "or the bit rates differ\n");
    } else if ((errors & (CAN_ERR_PROT | CAN_ERR_BUSERROR | CAN_ERR_ACK)) != 0) {
        countBusError();
    }
}

void noteBusAlive() {
    if (controllerState == busOff) {
        controllerState = errorActive;
    }
}

bool busErrorsSeen() {
    return anyErrorFrame;
}

int64_t busOffMilliseconds() {
    if (controllerState != busOff) {
        return -1;
    }
    return monotonicMilliseconds() - busOffSince;
}

void markBusHealth() {
    busOffsAtMark = busOffs;
}

bool busWentOffSinceMark() {
    readBusHealth();
    return busOffs != busOffsAtMark;
}

void resetBusHealth() {
    healthSocket = -1;
    controllerState = errorActive;
    busOffSince = 0;
    busOffs = 0;
    busOffsAtMark = 0;
    anyErrorFrame = false;
    noAcknowledgeReported = false;
    txTimeoutReported = false;
    rxOverflowReported = false;
    txOverflowReported = false;
    busErrors = 0;
    busErrorsReportedAt = 0;
}
