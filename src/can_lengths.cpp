#include "can_lengths.h"

static const uint8_t dlc2len[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

static const uint8_t len2dlc[] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,                              /* 0 - 8 */
    9,  9,  9,  9,                                                  /* 9 - 12 */
    10, 10, 10, 10,                                                 /* 13 - 16 */
    11, 11, 11, 11,                                                 /* 17 - 20 */
    12, 12, 12, 12,                                                 /* 21 - 24 */
    13, 13, 13, 13, 13, 13, 13, 13,                                 /* 25 - 32 */
    14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, /* 33 - 48 */
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, /* 49 - 64 */
};

static_assert(sizeof(len2dlc) == 65, "one entry per length 0-64");

uint8_t can_dlc2len(uint8_t dlc) {
    return dlc2len[dlc & 0x0F];
}

uint8_t can_len2dlc(uint8_t len) {
    if (len > 64) {
        return 15;
    }
    return len2dlc[len];
}
