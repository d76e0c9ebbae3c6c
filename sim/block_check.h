// Checks one firmwareBlockResponse frame on its own: the record, the identifier, every header
// field and every image byte. Whether the block is the one the board is waiting for is the
// bootloader's business (see board.cpp).
#pragma once

#include "wire.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct Block {
    uint32_t offset = 0;
    uint32_t length = 0;
};

// Returns an empty string and fills block when the frame is a well-formed response carrying
// the right bytes of image; otherwise says what is wrong, with offsets and both values.
std::string checkBlockResponse(const Frame &frame, const std::vector<uint8_t> &image, Block &block);

} // namespace sim
