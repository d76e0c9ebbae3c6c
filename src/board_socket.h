// The board's frames get a queue of their own. A socket receives nothing but announcements and
// block requests, and the main socket, which also sends the activation, every other frame but
// the tool's own blocks: another node's
// traffic can then fill only the main socket's queue while the tool is held up (a slow log
// reader, a stopped process), and never push a request of the board out.
#pragma once

// Filters the main socket to the other frames and opens the board's socket on the interface,
// both stamped with receive times and counting their drops. Reports and returns false when the
// kernel refuses any of it.
bool separateBoardFrames(int socket, int interfaceIndex);

// The board's socket, or -1 before separateBoardFrames.
int boardSocket();
