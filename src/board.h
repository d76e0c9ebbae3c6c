// Addresses on the bus.
#pragma once

#include <cstdint>

constexpr uint8_t targetBoardAddress = 121;
constexpr uint8_t ownAddress = 0;
