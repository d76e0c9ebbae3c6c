// Hints for a board that stays quiet, goes quiet during the upload, or comes back running its
// old firmware. Each is printed once on the error stream, and the tool goes on waiting: a board
// may be powered on, reset or plugged in at any time.
#pragma once

#include <cstdint>

// Seconds without a word from the board before each hint.
constexpr int waitingHintSeconds = 5;
constexpr int uploadQuietSeconds = 10;

enum BoardWord {
    boardAnnounced,
    blockRequestServed,
    blockRequestIgnored, // heard, but no sign that the upload began
};

// The tool starts listening on can0.
void startBoardWatch();

// The board spoke; the silence counts from now.
void noteBoardHeard(BoardWord word);

// Board 121 announced itself although this run has activated it already.
void noteAnnouncedAfterActivation();

// Milliseconds until the next hint is due (0 when due now), or -1 when none is pending.
int64_t millisecondsToNextHint();

// Prints the hint that is due, if any. During the upload it names blocks that can0 has not
// confirmed yet, as the board may be waiting for them.
void giveDueHint();
