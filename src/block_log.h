// The log line of each block sent.
#pragma once

#include <cstdint>

// Logs "Sending firmware block size <size> offset <fileOffset>\n\r".
void logBlockLine(uint32_t size, uint32_t fileOffset);
