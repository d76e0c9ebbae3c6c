// The log line of each block sent, gathered per request and written out in one go.
#pragma once

#include <cstdint>

// Adds "Sending firmware block size <size> offset <fileOffset>\n\r" to the pending lines.
void logBlockLine(uint32_t size, uint32_t fileOffset);

// Writes the pending lines to stdout. Called at the end of each request and before anything
// else is printed, reported, or the process ends, so the log keeps its order.
void flushBlockLines();
