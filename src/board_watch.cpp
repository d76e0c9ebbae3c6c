#include "board_watch.h"

#include "bus_health.h"
#include "confirmation.h"
#include "firmware_image.h"
#include "monotonic_clock.h"
#include "output.h"
#include "settings_report.h"
#include "upload_state.h"

static int64_t lastHeardAt = 0;
static bool boardHeard = false;
static bool announced = false;
static bool hintGiven = false;
static bool reannouncementReported = false;
// When board 121 announced itself after this run activated it, while no block request has been
// served since (-1: no such announcement pending).
static int64_t reannouncedAt = -1;
// A board on its way into the bootloader may announce once more; one that keeps quiet this long
// after that runs its old firmware.
static const int64_t reannouncedQuietMilliseconds = 3000;

void startBoardWatch() {
    lastHeardAt = monotonicMilliseconds();
    boardHeard = false;
    announced = false;
    hintGiven = false;
    reannouncementReported = false;
    reannouncedAt = -1;
}

void noteBoardHeard(BoardWord word) {
    lastHeardAt = monotonicMilliseconds();
    boardHeard = true;
    announced = announced || word == boardAnnounced;
    hintGiven = false;
    if (word == blockRequestServed) {
        reannouncedAt = -1;
    }
}

void noteAnnouncedAfterActivation() {
    if (!reannouncementReported && reannouncedAt < 0) {
        reannouncedAt = monotonicMilliseconds();
    }
}

static int64_t quietLimitMilliseconds() {
    return 1000 * static_cast<int64_t>(boardHeard ? uploadQuietSeconds : waitingHintSeconds);
}

int64_t millisecondsToNextHint() {
    int64_t due = hintGiven ? -1 : lastHeardAt + quietLimitMilliseconds();
    if (reannouncedAt >= 0 && (due < 0 || reannouncedAt + reannouncedQuietMilliseconds < due)) {
        due = reannouncedAt + reannouncedQuietMilliseconds;
    }
    if (due < 0) {
        return -1;
    }
    int64_t now = monotonicMilliseconds();
    return due > now ? due - now : 0;
}

// A run activates the board once, which peers may rely on: a board reset after that comes back
// with its old firmware and is never ordered into its bootloader again by this run.
static bool giveReannouncementHint() {
    if (reannouncedAt < 0 ||
        monotonicMilliseconds() - reannouncedAt < reannouncedQuietMilliseconds) {
        return false;
    }
    reannouncedAt = -1;
    reannouncementReported = true;
    reportText("Board 121 announced itself again after this run activated it, and asks for no "
               "block: it runs its old firmware (it was reset, or did not take the order to start "
               "its bootloader). This run activates a board only once: end it (Ctrl-C) and start "
               "canfd-flash again\n");
    return true;
}

static void hintDuringUpload() {
    if (blocksUnconfirmed()) {
        reportFormat("No block request for %d s, and can0 has not sent the last of its frames: no "
                     "node acknowledges them (board off, unplugged or resetting), the bus is not "
                     "terminated, or the bit rates differ. Still waiting\n",
                     uploadQuietSeconds);
        return;
    }
    reportFormat("No block request for %d s: the upload stands at byte %u of %u. Still serving: a "
                 "board that was reset asks again from its start\n",
                 uploadQuietSeconds, uploadPosition(), fileLength);
}

void giveDueHint() {
    if (millisecondsToNextHint() != 0 || giveReannouncementHint()) {
        return;
    }
    hintGiven = true;
    if (uploadBegun()) {
        hintDuringUpload();
        return;
    }
    if (boardHeard && originalFirmwareErase) {
        reportFormat("No block request for %d s since the board was ordered into its bootloader: "
                     "the bootloader has not started. Still waiting; if the board announces "
                     "itself again, end this run and start it again\n",
                     uploadQuietSeconds);
        return;
    }
    if (announced) {
        reportFormat("No block request for %d s since the board announced itself, and it was not "
                     "ordered into its bootloader (see the report above). Still waiting: its next "
                     "announcement is answered again\n",
                     uploadQuietSeconds);
        return;
    }
    if (boardHeard) {
        reportFormat("No block request for %d s that this tool answers: those heard were too "
                     "short, for another bootloader version, or past the image's end. Still "
                     "waiting\n",
                     uploadQuietSeconds);
        return;
    }
    reportFormat("Waiting for board 121 on can0: nothing heard from it for %d s. Power the board "
                 "on, or reset it, so that it announces itself%s\n",
                 waitingHintSeconds,
                 busErrorsSeen() ? ". can0 reported errors: the bit rates or the wiring are the "
                                   "likely cause"
                                 : "");
    reportCanSettings();
}
