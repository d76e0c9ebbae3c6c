// The firmware image: opened and sized once at start-up, read block by block afterwards.
#pragma once

#include <cstdint>
#include <sys/types.h>

extern const char firmwareImagePath[];

// Offsets and lengths travel in 24-bit fields, so an image must stay below this size.
constexpr uint64_t firmwareImageSizeLimit = 1u << 24;

extern int file;
extern uint32_t fileLength;
extern uint8_t buffer[64];

// Size of the file behind an open descriptor, or false when it cannot be read.
bool findSize(int descriptor, uint64_t *size);

// Opens and checks the image. On failure reports on the error stream and returns false;
// nothing is kept open then.
bool openFirmwareImage(const char *path);

// Reads at most length bytes at offset into buffer. Returns the count read, 0 at the end
// of the file, negative on error.
ssize_t readFirmwareBlock(uint32_t length, uint32_t offset);

// A request is read from the file with one system call rather than one per block: this reads
// up to length bytes at offset (at most readAheadSize) into a window that later blocks are
// taken from. A failed or short read just leaves less in the window.
constexpr uint32_t readAheadSize = 8192;
void readFirmwareAhead(uint32_t length, uint32_t offset);
// The window's copy of the length bytes at offset, or nullptr unless it holds every one.
const uint8_t *firmwareAhead(uint32_t length, uint32_t offset);
// Empties the window, so that the next request reads the file afresh.
void forgetFirmwareAhead();
