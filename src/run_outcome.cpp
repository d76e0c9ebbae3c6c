#include "run_outcome.h"

#include "block_service.h"
#include "board_watch.h"
#include "bus_health.h"
#include "bus_reports.h"
#include "firmware_image.h"
#include "interruption.h"
#include "message_handler.h"
#include "output.h"
#include "settings_report.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

static const char sendFailedPrefix[] = "Error sending command via CAN FD!";
static const int64_t busOffLimitMilliseconds = 1000 * static_cast<int64_t>(noProgressLimitSeconds);
// An interrupted run writes out what it can in this long, then its last line in this long.
static const int64_t interruptedOutputMilliseconds = 2000;
static const int64_t lastWordMilliseconds = 1000;
static const int64_t drainLookMilliseconds = 250;

[[noreturn]] void endRun(int status) {
    eraseStatusLine();
    // However slow the readers, but a signal while they catch up makes the wait a bounded one;
    // the outcome stands.
    while (!drainOutput(drainLookMilliseconds)) {
        if (interruptingSignal() != 0) {
            drainOutput(interruptedOutputMilliseconds);
            break;
        }
    }
    exit(status);
}

static void reportNoProgress(const char *what) {
    if (stallMetBusOff()) {
        reportFormat("%s: can0 sent nothing for %d s%s: it is bus-off and has not restarted "
                     "(\"ip link set can0 type can restart\", or restart-ms while it is down)\n",
                     sendFailedPrefix, noProgressLimitSeconds, what);
    } else {
        reportFormat("%s: can0 sent nothing for %d s%s: no node acknowledges its frames (board "
                     "off, unplugged or resetting), the bus is not terminated, or the bit rates "
                     "differ\n",
                     sendFailedPrefix, noProgressLimitSeconds, what);
    }
    reportCanSettings();
}

void reportSendFailure(SendOutcome outcome) {
    if (outcome == sendMadeNoProgress) {
        reportNoProgress("");
        return;
    }
    reportSystemError(sendFailedPrefix);
}

[[noreturn]] void failBlockSend(SendOutcome outcome) {
    reportSendFailure(outcome);
    endRun(2);
}

[[noreturn]] void finishUpload(int socket) {
    SendOutcome left = waitUntilSent(socket);
    readBusHealth();
    if (left != frameSent) {
        reportNoProgress(", and the image's last blocks are still queued on it");
        endRun(2);
    }
    // A controller that went bus-off drops what it is handed until it restarts, and write()
    // does not say so: the board may lack blocks of this request.
    if (busWentOffSinceMark()) {
        reportFormat("%s: can0 went bus-off while the last blocks were sent, and some may be "
                     "lost: run the tool again\n",
                     sendFailedPrefix);
        reportCanSettings();
        endRun(2);
    }
    if (controllerState() == busOff) {
        reportFormat("%s: can0 is still bus-off, so the last blocks may never have reached the "
                     "board: restart can0 (\"ip link set can0 type can restart\") and run the "
                     "tool again\n",
                     sendFailedPrefix);
        reportCanSettings();
        endRun(2);
    }
    static const char uploaded[] = "Firmware uploaded...";
    logText(uploaded, sizeof(uploaded) - 1);
    close(socket);
    endRun(0);
}

// A controller that stays bus-off mid-upload sends nothing, and the kernel may drop what it is
// handed meanwhile: the same bound as for a write that makes no progress.
int64_t millisecondsToBusOffLimit() {
    int64_t off = busOffMilliseconds();
    if (off < 0 || !uploadBegun()) {
        return -1;
    }
    return off < busOffLimitMilliseconds ? busOffLimitMilliseconds - off : 0;
}

void endIfBusOffTooLong() {
    if (millisecondsToBusOffLimit() != 0) {
        return;
    }
    reportFormat("%s: can0 stayed bus-off for %d s during the upload\n", sendFailedPrefix,
                 noProgressLimitSeconds);
    reportCanSettings();
    endRun(2);
}

void endIfInterrupted() {
    int signal = interruptingSignal();
    if (signal == 0) {
        return;
    }
    eraseStatusLine();
    drainOutput(interruptedOutputMilliseconds);
    if (uploadBegun() || originalFirmwareErase) {
        reportFormat("Interrupted by %s at byte %u of %u of the upload: the board waits in its "
                     "bootloader; run canfd-flash again, and it serves the board from its start\n",
                     signalName(signal), uploadPosition(), fileLength);
    } else {
        reportFormat("Interrupted by %s before the board was activated: its firmware is "
                     "unchanged\n",
                     signalName(signal));
    }
    drainOutput(lastWordMilliseconds);
    exit(128 + signal);
}
