// can0 not sending: frames the tool wrote that nothing moves, whether a write is blocked or the
// tool waits for the board or for its last frames (see confirmation). Said once after a short
// while, given up on after a long one; and said again when frames move once more.
#pragma once

#include <cstdint>

// A wait in which nothing moves is reported after this long; the run gives up after
// noProgressLimitSeconds.
constexpr int noProgressReportSeconds = 2;
constexpr int noProgressLimitSeconds = 20;

// Looks at the clock of the frames that wait: reports once after noProgressReportSeconds, and
// says so when they move again. Returns true while the tool may wait on, false once nothing has
// moved for noProgressLimitSeconds.
bool stallMayGoOn();

// Milliseconds until the stall is due to be reported or given up on (0: now), or -1 when nothing
// waits.
int64_t millisecondsToStallDeadline();

// Whether can0 was bus-off during the stall that is going on, or ended last.
bool stallMetBusOff();

// The wait was given up on: forgets the stall without a word.
void forgetStall();

// Forgets the stall and whether it met a bus-off (tests).
void resetSendStall();
