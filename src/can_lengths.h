// CAN FD data-length coding (ISO 11898-1): DLC code <-> payload length.
#pragma once

#include <cstdint>

uint8_t can_dlc2len(uint8_t dlc);
uint8_t can_len2dlc(uint8_t len);
