#include "bus_release.h"

#include <unistd.h>

// The lock, the main socket, the board's, the blocks' and the error reports' sockets.
static int held[8];
static int heldCount = 0;

void holdUntilTheEnd(int descriptor) {
    if (heldCount < static_cast<int>(sizeof(held) / sizeof(held[0]))) {
        held[heldCount++] = descriptor;
    }
}

void giveBusBack() {
    while (heldCount > 0) {
        close(held[--heldCount]);
    }
}
