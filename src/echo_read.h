// Reading the echoes of the tool's own blocks on their socket: in batches, never one call per
// block, with the socket's count of the echoes it dropped for a full queue.
#pragma once

#include <cstdint>

struct EchoCount {
    uint64_t echoes;  // the socket's own frames back (MSG_CONFIRM)
    uint64_t dropped; // dropped for a full queue so far: sent all the same
};

// Reads every echo that waits on socket, without blocking, into count. Returns 0, or the errno
// that the socket reported: the kernel tells a failure once, before the records that wait, and
// those are read all the same.
int readEchoes(int socket, EchoCount *count);
