// Time a CAN FD data frame with a 29-bit identifier takes on the bus, bit by bit: the frame is
// laid out as the controller sends it, the dynamic stuff bits are counted on the real bits, and
// the bits are split between the arbitration and the data bit rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Dynamic stuff bits (from runs of equal bits) are counted in the phase totals and, again, on
// their own; the fixed stuff bits of the CRC field belong to the frame's fixed length.
struct FrameBits {
    unsigned arbitrationPhase = 0; // bits at the arbitration rate, intermission included
    unsigned dataPhase = 0;        // bits at the data rate (none without bit-rate switch)
    unsigned arbitrationStuff = 0;
    unsigned dataStuff = 0;
};

// Stuff bits a controller inserts into bits (0 or 1 each): one of opposite value after every
// five equal bits, itself counted in the next run. Stuff bits that follow bit index switchAt or
// a later one are also counted in *afterSwitch when it is given.
unsigned dynamicStuffBits(const std::vector<uint8_t> &bits, size_t switchAt = SIZE_MAX,
                          unsigned *afterSwitch = nullptr);

// len must be a CAN FD length (0-8, 12, 16, 20, 24, 32, 48 or 64).
FrameBits canFdFrameBits(uint32_t id29, const uint8_t *data, uint8_t len, bool bitRateSwitch);

double frameMicroseconds(const FrameBits &bits, double arbitrationBitsPerSecond,
                         double dataBitsPerSecond);
// The same frame without its dynamic stuff bits: the shortest it can be.
FrameBits withoutDynamicStuff(FrameBits bits);
