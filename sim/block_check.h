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
// requestBrs: whether the request it answers came as CAN FD with the bit-rate switch, which the
// block must then carry too (and otherwise not). The length byte may be 8 + dataLength or the
// CAN FD length a controller rounds that up to; the pad bytes in between are not looked at.
std::string checkBlockResponse(const Frame &frame, const std::vector<uint8_t> &image,
                               bool requestBrs, Block &block);

} // namespace sim
