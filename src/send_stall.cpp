#include "send_stall.h"

#include "bus_health.h"
#include "bus_reports.h"
#include "confirmation.h"
#include "monotonic_clock.h"
#include "output.h"
#include "settings_report.h"

// The stall watched: the start of the wait it belongs to (-1: none), whether it was reported,
// and whether can0 was bus-off meanwhile.
static int64_t stallSince = -1;
static bool reported = false;
static bool metBusOff = false;

static const int64_t reportMilliseconds = 1000 * static_cast<int64_t>(noProgressReportSeconds);
static const int64_t limitMilliseconds = 1000 * static_cast<int64_t>(noProgressLimitSeconds);

// Frames move again. A bus-off controller takes frames and drops them, which is no sign that
// they leave: its own report ends the story (a restart, or frames received again).
static void endStall() {
    if (reported && controllerState() != busOff) {
        reportText("can0 is sending again\n");
    }
    stallSince = -1;
    reported = false;
}

static void startStall(int64_t since) {
    stallSince = since;
    reported = false;
    metBusOff = controllerState() == busOff;
}

// A controller retries a frame that no node acknowledges for ever; its buffers and the socket's
// small send buffer fill, and nothing leaves.
static void reportStall() {
    reported = true;
    reportFormat("can0 is not sending: none of its frames has left for %d s. No node acknowledges "
                 "them (board off, unplugged or resetting), the bus is not terminated, or the bit "
                 "rates differ; waiting up to %d s\n",
                 noProgressReportSeconds, noProgressLimitSeconds);
    reportCanSettings();
}

bool stallMayGoOn() {
    int64_t since = waitingSince();
    if (since != stallSince && stallSince >= 0) {
        endStall();
    }
    if (since < 0) {
        return true;
    }
    if (since != stallSince) {
        startStall(since);
    }
    int64_t waited = monotonicMilliseconds() - since;
    if (waited < reportMilliseconds) {
        return true;
    }
    readBusHealth();
    metBusOff = metBusOff || controllerState() == busOff;
    if (!reported) {
        reportStall();
    }
    return waited < limitMilliseconds;
}

int64_t millisecondsToStallDeadline() {
    int64_t since = waitingSince();
    if (since < 0) {
        return -1;
    }
    int64_t deadline = since + (reported ? limitMilliseconds : reportMilliseconds);
    int64_t now = monotonicMilliseconds();
    return deadline > now ? deadline - now : 0;
}

bool stallMetBusOff() {
    return metBusOff;
}

void forgetStall() {
    stallSince = -1;
    reported = false;
}

void resetSendStall() {
    stallSince = -1;
    reported = false;
    metBusOff = false;
}
