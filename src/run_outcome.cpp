#include "run_outcome.h"

#include "bus_health.h"
#include "bus_release.h"
#include "bus_reports.h"
#include "confirmation.h"
#include "firmware_image.h"
#include "interruption.h"
#include "output.h"
#include "send_stall.h"
#include "settings_report.h"
#include "upload_state.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>

static const char sendFailedPrefix[] = "Error sending command via CAN FD!";
static const int64_t busOffLimitMilliseconds = 1000 * static_cast<int64_t>(noProgressLimitSeconds);
// An interrupted run writes out what it can in this long, then its last line in this long.
static const int64_t interruptedOutputMilliseconds = 2000;
static const int64_t lastWordMilliseconds = 1000;
static const int64_t drainLookMilliseconds = 250;

// Restarts and transmit timeouts already weighed.
static uint32_t flushesWeighed = 0;

[[noreturn]] void endRun(int status) {
    giveBusBack();
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
    if (outcome == sendInterrupted) {
        endIfInterrupted();
    }
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

// Frames that can0 dropped cannot reach the board, which waits for them and asks for nothing more.
[[noreturn]] static void endWithLostFrames(const char *what) {
    char blocks[64];
    if (confirmationWay() == confirmedByEcho) {
        snprintf(blocks, sizeof(blocks), "%llu of its blocks",
                 static_cast<unsigned long long>(unconfirmedBlockCount()));
    } else {
        snprintf(blocks, sizeof(blocks), "some of its blocks");
    }
    reportFormat("%s: can0 %s while %s were not yet confirmed: they are lost, and the board waits "
                 "for them; run canfd-flash again, and it serves the board from its start\n",
                 sendFailedPrefix, what, blocks);
    reportCanSettings();
    endRun(2);
}

[[noreturn]] void endAfterFailedRead(int error) {
    // Echoes that came before the failure still count.
    takeConfirmations();
    if (blocksUnconfirmed()) {
        char what[96];
        if (error == ENETDOWN) {
            snprintf(what, sizeof(what), "went down");
        } else {
            snprintf(what, sizeof(what), "failed (%s)", strerror(error));
        }
        endWithLostFrames(what);
    }
    errno = error;
    reportSystemError("Read");
    endRun(1);
}

// A restart after bus-off, or a transmit timeout, flushes what the controller held.
static void endIfFramesLost() {
    uint32_t flushes = controllerFlushCount();
    if (flushes == flushesWeighed) {
        return;
    }
    flushesWeighed = flushes;
    if (blocksUnconfirmed()) {
        endWithLostFrames("restarted, or its driver gave up on a frame,");
    }
}

// Takes the confirmations that came; ends the run when the frames that wait were lost, or have
// not moved for too long.
static void weighSentFrames(bool confirmationsWaiting, const char *what) {
    if (confirmationsWaiting) {
        int failure = takeConfirmations();
        if (failure != 0) {
            endAfterFailedRead(failure);
        }
    }
    endIfFramesLost();
    if (!stallMayGoOn()) {
        reportNoProgress(what);
        endRun(2);
    }
}

void endIfSentFramesFail(bool confirmationsWaiting) {
    // A stall is weighed on what the socket says last.
    bool stallDue = blocksUnconfirmed() && millisecondsToStallDeadline() == 0;
    weighSentFrames(confirmationsWaiting || stallDue || millisecondsToNextLook() == 0,
                    ", and blocks the board asked for are still queued on it");
}

// Until an echo, an error report, a signal, room for the output, or the next look or deadline.
static void awaitSentFrames() {
    int64_t timeout = millisecondsToStallDeadline();
    int nextLook = millisecondsToNextLook();
    if (nextLook >= 0 && (timeout < 0 || nextLook < timeout)) {
        timeout = nextLook;
    }
    if (timeout < 0) {
        timeout = drainLookMilliseconds;
    }
    pollfd watched[5] = {{confirmationDescriptor(), POLLIN, 0},
                         {busHealthSocket(), POLLIN, 0},
                         {interruptionDescriptor(), POLLIN, 0}};
    int count = 3 + outputDescriptorsToWatch(watched + 3, 2);
    poll(watched, static_cast<nfds_t>(count), static_cast<int>(timeout));
}

// Where can0 cannot hand frames back, a bus-off that began during the last request, or is still
// in force, may have dropped the last blocks without a word.
static void endIfBusOffMayHaveCostBlocks() {
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
}

[[noreturn]] void finishUpload() {
    for (;;) {
        // The last blocks' lines show while the tool waits for them.
        flushOutput();
        weighSentFrames(true, ", and the image's last blocks are still queued on it");
        readBusHealth();
        endIfFramesLost();
        endIfInterrupted();
        if (!blocksUnconfirmed()) {
            break;
        }
        awaitSentFrames();
    }
    // Says that can0 sends again, after a stall that was reported.
    stallMayGoOn();
    if (confirmationWay() != confirmedByEcho) {
        endIfBusOffMayHaveCostBlocks();
    }
    if (confirmationWay() == notConfirmable) {
        reportText("can0 could not confirm the last blocks: it does not hand frames back once "
                   "sent, and this kernel does not tell a socket's unsent bytes. Watch the board "
                   "start its new firmware\n");
    }
    static const char uploaded[] = "Firmware uploaded...";
    logText(uploaded, sizeof(uploaded) - 1);
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
    giveBusBack();
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
    endBySignal(signal);
}
