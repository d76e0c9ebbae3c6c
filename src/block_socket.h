// The blocks go out on a socket of their own. On an interface that hands each frame back once
// its controller has sent it (IFF_ECHO), that socket receives its own blocks' echoes and nothing
// else: each echo proves that a block crossed the bus. The tool's other sockets never see the
// blocks.
#pragma once

#include <linux/can.h>

// The identifier of every block the tool sends: to board 121, from address 0.
canid_t blockFrameIdentifier();

// Opens the blocks' socket on the interface: a small send buffer, writes bounded as on the main
// socket (see frame_send), CAN FD frames, and, when echoes is true, its own blocks' echoes with
// the drops counted; otherwise it receives nothing. Reports and returns false when the kernel
// refuses any of it. The blocks' confirmation starts with it (see confirmation).
bool openBlockSocket(int interfaceIndex, bool echoes);

// The blocks' socket; -1 before it is opened.
int blockSocket();

// Sends the blocks on descriptor instead, confirmed by its unsent bytes (tests).
void useBlockSocket(int descriptor);
