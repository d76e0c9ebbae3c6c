#include "bus_reports.h"

#include "bus_health.h"
#include "monotonic_clock.h"
#include "output.h"
#include "settings_report.h"

#include <linux/can/error.h>

// Bus errors can come by the thousand a second: after the first, a count at most this often.
static const int64_t countSummaryMilliseconds = 10000;

static int64_t busErrorsReportedAt = 0;
static int64_t noAcknowledgesReportedAt = 0;

static const char stateAdvice[] = "; check the bit rates, the wiring and the termination\n";

void readBusHealth() {
    can_frame frame;
    uint32_t events = 0;
    while (takeErrorFrame(&frame, &events)) {
        reportBusEvents(events, &frame);
    }
}

static void reportCounters(const char *text, const can_frame *frame, const char *advice) {
    if (frame != nullptr && (frame->can_id & CAN_ERR_CNT) != 0) {
        reportFormat("%s (transmit errors %u, receive errors %u)%s", text, frame->data[6],
                     frame->data[7], advice);
    } else {
        reportFormat("%s%s", text, advice);
    }
}

// The first of a kind is explained; later ones are summed up at most every 10 s.
static void reportCount(uint64_t count, int64_t *reportedAt, const char *first,
                        const char *counted) {
    int64_t now = monotonicMilliseconds();
    if (count == 1) {
        reportText(first);
    } else if (now - *reportedAt >= countSummaryMilliseconds) {
        reportFormat("can0: %llu %s so far\n", static_cast<unsigned long long>(count), counted);
    } else {
        return;
    }
    *reportedAt = now;
}

static void reportStateChange(uint32_t events, const can_frame *frame) {
    if ((events & enteredBusOff) != 0) {
        reportText("can0 is bus-off: its controller stopped after too many errors and sends "
                   "nothing. Restart it with \"ip link set can0 type can restart\"; to let it "
                   "restart by itself next time, set restart-ms while it is down (\"ip link set "
                   "can0 down; ip link set can0 type can restart-ms 100; ip link set can0 up\")\n");
        reportCanSettings();
    }
    if ((events & restartedAfterBusOff) != 0) {
        reportText("can0 restarted after bus-off: it sends again; frames handed to it while it "
                   "was off are lost\n");
    }
    if ((events & receivingAfterBusOff) != 0) {
        reportText("can0 receives frames again after its bus-off: it is back on the bus; frames "
                   "handed to it while it was off are lost\n");
    }
    if ((events & enteredErrorPassive) != 0) {
        reportCounters("can0 is error-passive: many of its frames fail", frame, stateAdvice);
        reportCanSettings();
    }
    if ((events & enteredErrorWarning) != 0) {
        reportCounters("can0 warns of errors: its error counters are rising", frame, stateAdvice);
        reportCanSettings();
    }
    if ((events & leftErrorPassive) != 0) {
        reportCounters("can0 is back from error-passive to error warning: its error counters "
                       "are falling",
                       frame, "\n");
    }
    if ((events & backToErrorActive) != 0) {
        reportText("can0 is error-active again: its errors have stopped\n");
    }
}

void reportBusEvents(uint32_t events, const can_frame *frame) {
    reportStateChange(events, frame);
    if ((events & firstReceiveOverflow) != 0) {
        reportText("can0 lost frames it received: its controller's receive buffer overflowed\n");
    }
    if ((events & firstTransmitOverflow) != 0) {
        reportText("can0 lost frames to send: its controller's transmit buffer overflowed\n");
    }
    if ((events & firstTransmitTimeout) != 0) {
        reportText("can0's driver gave up on a frame it could not send in time: the controller "
                   "may be stuck; take can0 down and up again\n");
    }
    if ((events & noAcknowledgeCounted) != 0) {
        reportCount(noAcknowledgeCount(), &noAcknowledgesReportedAt,
                    "can0: no node acknowledges its frames: no other node is listening (the board "
                    "is off, unplugged or resetting), or the bit rates differ\n",
                    "frames not acknowledged");
    }
    if ((events & busErrorCounted) != 0) {
        reportCount(busErrorCount(), &busErrorsReportedAt,
                    "can0 reports bus errors (bit, form, stuff or CRC errors): the bit rates "
                    "differ, or the wiring or the termination is at fault; counting them\n",
                    "bus errors");
    }
}

void resetBusReports() {
    busErrorsReportedAt = 0;
    noAcknowledgesReportedAt = 0;
}
