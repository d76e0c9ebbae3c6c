// Frames that the tool's own sockets dropped for a full queue while the tool was held up: the
// kernel counts them, and the user is told, since they are missing from the log, or, for the
// board's, unanswered.
#pragma once

#include <cstdint>

enum DroppingSocket { boardFrames, otherFrames };

// The socket's count of drops so far, as a record read from it said.
void noteSocketDrops(DroppingSocket which, uint32_t dropsSoFar);

// Forgets every count (tests).
void resetSocketDrops();
