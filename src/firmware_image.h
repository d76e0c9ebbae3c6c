// The firmware image: read whole into memory once at start-up, and served from there, so that
// every block comes from the one version of the file that was checked.
#pragma once

#include <cstdint>

extern const char firmwareImagePath[];

// Offsets and lengths travel in 24-bit fields, so an image must stay below this size.
constexpr uint64_t firmwareImageSizeLimit = 1u << 24;

extern uint32_t fileLength;
// The image's bytes; the first fileLength of them are valid once the image is open.
extern uint8_t firmwareImage[firmwareImageSizeLimit];

// Opens, checks and reads the image, then closes it. On failure reports on the error stream
// and returns false.
bool openFirmwareImage(const char *path);
