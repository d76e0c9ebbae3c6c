// Telling a raw image from the other files a firmware build leaves beside it, which are easily
// copied in its place and would be flashed byte for byte into a board that cannot run them.
#pragma once

#include <cstdint>

enum ImageKind { rawImage, elfImage, uf2Image, intelHexImage };

// Only what is plainly one of the other kinds is named; any other bytes are a raw image.
ImageKind imageKindOf(const uint8_t *bytes, uint32_t length);
