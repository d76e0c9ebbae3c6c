#include "board_watch.h"

#include "block_log.h"
#include "block_service.h"
#include "bus_health.h"
#include "firmware_image.h"
#include "frame_send.h"
#include "monotonic_clock.h"

#include <cstdio>

static int64_t lastHeardAt = 0;
static bool boardHeard = false;
static bool blockRequested = false;
static bool hintGiven = false;

void startBoardWatch() {
    lastHeardAt = monotonicMilliseconds();
    boardHeard = false;
    blockRequested = false;
    hintGiven = false;
}

void noteBoardHeard(bool blockRequest) {
    lastHeardAt = monotonicMilliseconds();
    boardHeard = true;
    blockRequested = blockRequested || blockRequest;
    hintGiven = false;
    noteBusAlive();
}

bool uploadBegun() {
    return blockRequested;
}

static int64_t quietLimitMilliseconds() {
    return 1000 * static_cast<int64_t>(boardHeard ? uploadQuietSeconds : waitingHintSeconds);
}

int64_t millisecondsToNextHint() {
    if (hintGiven) {
        return -1;
    }
    int64_t left = lastHeardAt + quietLimitMilliseconds() - monotonicMilliseconds();
    return left > 0 ? left : 0;
}

void giveDueHint(int socket) {
    if (millisecondsToNextHint() != 0) {
        return;
    }
    hintGiven = true;
    flushBlockLines();
    if (blockRequested) {
        if (bytesNotYetSent(socket) != 0) {
            fprintf(stderr,
                    "No block request for %d s, and can0 has not sent the last of its frames: "
                    "no node acknowledges them (board off, unplugged or resetting), the bus is "
                    "not terminated, or the bit rates differ. Still waiting\n",
                    uploadQuietSeconds);
            return;
        }
        fprintf(stderr,
                "No block request for %d s: the upload stands at byte %u of %u. Still serving: "
                "a board that was reset asks again from its start\n",
                uploadQuietSeconds, uploadPosition(), fileLength);
        return;
    }
    if (boardHeard) {
        fprintf(stderr,
                "No block request for %d s since the board announced itself: its bootloader has "
                "not started. Still waiting: reset the board if it does not\n",
                uploadQuietSeconds);
        return;
    }
    fprintf(stderr,
            "Waiting for board 121 on can0: nothing heard from it for %d s. Power the board on, "
            "or reset it, so that it announces itself%s\n",
            waitingHintSeconds,
            busErrorsSeen() ? ". can0 reported errors: the bit rates or the wiring are the likely "
                              "cause"
                            : "");
}
