// Whether can0 has sent the blocks the tool wrote. On an interface that hands each frame back
// once its controller has sent it (IFF_ECHO), a block counts when its echo is back on the blocks'
// socket; elsewhere when that socket holds no unsent bytes (SO_MEMINFO), which proves only that
// can0 took the frames; where neither can be told, when it is written. A clock tells how long
// nothing has moved while something waits, whatever the tool does meanwhile: writes, waits for
// the board, or waits for the last frames.
#pragma once

#include <cstdint>

enum ConfirmationWay {
    confirmedByEcho,
    confirmedByUnsentBytes,
    notConfirmable,
};

// Starts counting the blocks written on socket, confirmed by their echoes when the interface
// gives them, else by the socket's unsent bytes when the kernel tells them.
void startConfirmation(int socket, bool echoes);
ConfirmationWay confirmationWay();

// A block was written. Every few dozen, the echoes waiting are read, so that the socket's queue
// never overflows however many blocks a request asks for.
void noteBlockWritten();

// Reads the echoes that wait (or looks at the unsent bytes) without blocking. Returns 0, or the
// errno that the socket reported (ENETDOWN: can0 went down), from then on.
int takeConfirmations();

// Whether any block written is not yet confirmed; how many, when echoes count them (else 0).
bool blocksUnconfirmed();
uint64_t unconfirmedBlockCount();

// A write that cannot go ahead waits like any frame: the clock runs until it goes through. One
// that is given up on waits no more.
void noteWriteBlocked(int64_t blockedSinceMilliseconds);
void noteWriteOver(bool wentThrough);

// Since when (monotonicMilliseconds) nothing has moved while something waits: the last frame
// confirmed, or blocked write gone through. -1 when nothing waits.
int64_t waitingSince();
int64_t millisecondsWithoutProgress();

// The descriptor to watch for echoes and for the socket's errors (-1 before start), and when to
// look again at blocks not yet confirmed (-1: no need): unsent bytes, which poll() cannot
// announce, or echoes that the tool gathers rather than wakes up for.
int confirmationDescriptor();
int millisecondsToNextLook();

// Forgets every count (tests).
void resetConfirmation();
