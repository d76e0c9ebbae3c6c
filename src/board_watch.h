// Hints for a board that stays quiet, or goes quiet during the upload. Each is printed once on
// the error stream, and the tool goes on waiting: a board may be powered on, reset or plugged
// in at any time.
#pragma once

#include <cstdint>

// Seconds without a word from the board before each hint.
constexpr int waitingHintSeconds = 5;
constexpr int uploadQuietSeconds = 10;

// The tool starts listening on can0.
void startBoardWatch();

// The board announced itself, or its bootloader asked for a block.
void noteBoardHeard(bool blockRequest);

// Milliseconds until the next hint is due (0 when due now), or -1 when none is pending.
int64_t millisecondsToNextHint();

// Prints the hint that is due, if any. During the upload it names frames still waiting to
// leave on socket, as the board may be waiting for them.
void giveDueHint(int socket);

// True once the bootloader has asked for a block.
bool uploadBegun();
