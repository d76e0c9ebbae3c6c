#include "bus_health.h"

#include "bus_release.h"
#include "monotonic_clock.h"
#include "output.h"
#include "record_read.h"

#include <cstring>
#include <linux/can/error.h>
#include <linux/can/netlink.h>
#include <linux/can/raw.h>
#include <sys/socket.h>
#include <unistd.h>

static int healthSocket = -1;
static ControllerState state = errorActive;
static int64_t busOffSince = 0;
static int64_t busOffStamp = 0;
static uint32_t busOffs = 0;
static uint32_t busOffsAtMark = 0;
static bool anyErrorFrame = false;
static bool receiveOverflowSeen = false;
static bool transmitOverflowSeen = false;
static bool transmitTimeoutSeen = false;
static uint64_t busErrors = 0;
static uint64_t noAcknowledges = 0;
static uint32_t flushes = 0;

bool openBusHealth(int interfaceIndex) {
    int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (s < 0) {
        reportSystemError("Interface can0 error reports");
        return false;
    }
    // An empty filter list: no data frames at all, the board's are read on the other sockets.
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
        !askForRecordFacts(s) || bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0) {
        reportSystemError("Interface can0 error reports");
        close(s);
        return false;
    }
    healthSocket = s;
    holdUntilTheEnd(s);
    return true;
}

void watchBusHealth(int descriptor) {
    healthSocket = descriptor;
}

int busHealthSocket() {
    return healthSocket;
}

bool takeErrorFrame(can_frame *frame, uint32_t *events) {
    if (healthSocket < 0) {
        return false;
    }
    RecordFacts facts;
    // An error of the socket itself (can0 going down) reaches the board's sockets too, which
    // report it; reading it here clears it, so it cannot wake the wait again.
    if (readRecord(healthSocket, frame, sizeof(*frame), &facts) <
        static_cast<ssize_t>(sizeof(*frame))) {
        return false;
    }
    *events = noteErrorFrame(frame, facts.stampNanoseconds);
    return true;
}

static uint32_t enter(ControllerState next) {
    if (next == state) {
        return 0;
    }
    ControllerState was = state;
    state = next;
    switch (next) {
    case busOff:
        busOffSince = monotonicMilliseconds();
        busOffs++;
        return enteredBusOff;
    case errorPassive:
        return enteredErrorPassive;
    case errorWarning:
        return was == errorPassive ? leftErrorPassive : enteredErrorWarning;
    case errorActive:
        return was == busOff ? restartedAfterBusOff : backToErrorActive;
    }
    return 0;
}

static uint32_t noteControllerProblem(const can_frame *frame) {
    uint8_t problem = frame->data[1];
    uint32_t events = 0;
    if ((problem & CAN_ERR_CRTL_RX_OVERFLOW) != 0 && !receiveOverflowSeen) {
        receiveOverflowSeen = true;
        events |= firstReceiveOverflow;
    }
    if ((problem & CAN_ERR_CRTL_TX_OVERFLOW) != 0 && !transmitOverflowSeen) {
        transmitOverflowSeen = true;
        events |= firstTransmitOverflow;
    }
    // A bus-off ends with a restart or the controller's own return to error-active, not with
    // an error state that the driver still reports from before.
    if (state == busOff && (problem & CAN_ERR_CRTL_ACTIVE) == 0) {
        return events;
    }
    if ((problem & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE)) != 0) {
        events |= enter(errorPassive);
    } else if ((problem & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING)) != 0) {
        events |= enter(errorWarning);
    } else if ((problem & CAN_ERR_CRTL_ACTIVE) != 0) {
        events |= enter(errorActive);
    }
    return events;
}

// A missing acknowledgement most often means that no other node listens, not that the bus is
// faulty: counted apart from the other bus errors.
static bool isAcknowledgeError(const can_frame *frame) {
    canid_t classes = frame->can_id & CAN_ERR_MASK;
    uint8_t location = frame->data[3];
    return (classes & CAN_ERR_ACK) != 0 ||
           ((classes & CAN_ERR_PROT) != 0 &&
            (location == CAN_ERR_PROT_LOC_ACK || location == CAN_ERR_PROT_LOC_ACK_DEL));
}

uint32_t noteErrorFrame(const can_frame *frame, int64_t stampNanoseconds) {
    canid_t classes = frame->can_id & CAN_ERR_MASK;
    uint32_t events = 0;
    anyErrorFrame = true;
    if ((classes & CAN_ERR_BUSOFF) != 0) {
        events |= enter(busOff);
        if ((events & enteredBusOff) != 0) {
            busOffStamp = stampNanoseconds;
        }
    }
    if ((classes & CAN_ERR_RESTARTED) != 0) {
        flushes++;
        events |= enter(errorActive);
    }
    if ((classes & CAN_ERR_CRTL) != 0) {
        events |= noteControllerProblem(frame);
    }
    if ((classes & CAN_ERR_TX_TIMEOUT) != 0) {
        flushes++;
        if (!transmitTimeoutSeen) {
            transmitTimeoutSeen = true;
            events |= firstTransmitTimeout;
        }
    }
    if (isAcknowledgeError(frame)) {
        noAcknowledges++;
        events |= noAcknowledgeCounted;
    } else if ((classes & (CAN_ERR_PROT | CAN_ERR_BUSERROR)) != 0) {
        busErrors++;
        events |= busErrorCounted;
    }
    return events;
}

uint32_t noteFrameReceived(int64_t stampNanoseconds) {
    // Without both stamps the order is not known: the bus-off then waits for a restart.
    if (state != busOff || busOffStamp == 0 || stampNanoseconds <= busOffStamp) {
        return 0;
    }
    state = errorActive;
    return receivingAfterBusOff;
}

ControllerState controllerState() {
    return state;
}

bool busErrorsSeen() {
    return anyErrorFrame;
}

uint64_t busErrorCount() {
    return busErrors;
}

uint64_t noAcknowledgeCount() {
    return noAcknowledges;
}

int64_t busOffMilliseconds() {
    if (state != busOff) {
        return -1;
    }
    return monotonicMilliseconds() - busOffSince;
}

uint32_t controllerFlushCount() {
    return flushes;
}

void seedControllerState(uint32_t canState) {
    switch (canState) {
    case CAN_STATE_ERROR_ACTIVE:
        state = errorActive;
        break;
    case CAN_STATE_ERROR_WARNING:
        state = errorWarning;
        break;
    case CAN_STATE_ERROR_PASSIVE:
        state = errorPassive;
        break;
    default:
        break;
    }
}

void markBusHealth() {
    busOffsAtMark = busOffs;
}

bool busWentOffSinceMark() {
    return busOffs != busOffsAtMark;
}

void resetBusHealth() {
    healthSocket = -1;
    state = errorActive;
    busOffSince = 0;
    busOffStamp = 0;
    busOffs = 0;
    busOffsAtMark = 0;
    anyErrorFrame = false;
    receiveOverflowSeen = false;
    transmitOverflowSeen = false;
    transmitTimeoutSeen = false;
    busErrors = 0;
    noAcknowledges = 0;
    flushes = 0;
}
