#include "bus_time.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

std::vector<uint8_t> bitsOf(const char *text) {
    std::vector<uint8_t> bits;
    for (; *text; text++) {
        bits.push_back(*text == '1' ? 1 : 0);
    }
    return bits;
}

// firmwareBlockResponse from address 0 to board 121: its extension holds nine zeros in a row,
// which cost one stuff bit before the bit-rate switch.
constexpr uint32_t blockId = 0x13890079;

TEST(StuffBits, OneAfterEveryFiveEqualBitsCountingTheStuffBitItself) {
    struct Case {
        const char *bits;
        unsigned stuff;
    } cases[] = {
        {"", 0},
        {"01010101010101010101", 0},
        {"0000", 0},
        {"00000", 1},
        {"000000000", 1},
        {"0000000000", 2},
        {"11111011110", 1},
        // Each stuff bit opens the next run: one per four bits from then on.
        {"0000011110000", 3},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(dynamicStuffBits(bitsOf(c.bits)), c.stuff) << c.bits;
    }
}

TEST(StuffBits, ThoseAfterTheSwitchBitAreCountedApart) {
    unsigned late = 99;
    EXPECT_EQ(dynamicStuffBits(bitsOf("0000000000"), 5, &late), 2u);
    EXPECT_EQ(late, 1u);
    EXPECT_EQ(dynamicStuffBits(bitsOf("0000000000"), 4, &late), 2u);
    EXPECT_EQ(late, 2u);
}

TEST(FrameBits, SixtyFourByteFrameWithoutRunsInItsData) {
    const std::vector<uint8_t> data(64, 0x55);
    const FrameBits bits = canFdFrameBits(blockId, data.data(), 64, true);
    // SOF to BRS 36, CRC delimiter to intermission 13, one stuff bit in the identifier.
    EXPECT_EQ(bits.arbitrationPhase, 50u);
    EXPECT_EQ(bits.arbitrationStuff, 1u);
    // ESI, DLC, 512 data bits, stuff count 4, CRC-21, 7 fixed stuff bits.
    EXPECT_EQ(bits.dataPhase, 549u);
    EXPECT_EQ(bits.dataStuff, 0u);
    EXPECT_DOUBLE_EQ(frameMicroseconds(bits, 1e6, 4e6), 50 + 549 / 4.0);
    const FrameBits shortest = withoutDynamicStuff(bits);
    EXPECT_DOUBLE_EQ(frameMicroseconds(shortest, 1e6, 4e6), 186.25);
    EXPECT_DOUBLE_EQ(frameMicroseconds(shortest, 1e6, 5e6), 158.8);
    EXPECT_DOUBLE_EQ(frameMicroseconds(shortest, 1e6, 8e6), 117.625);
}

TEST(FrameBits, UpTo16BytesTheCrcIs17BitsLong) {
    const std::vector<uint8_t> data(16, 0x55);
    const FrameBits bits = canFdFrameBits(blockId, data.data(), 16, true);
    EXPECT_EQ(bits.dataPhase, 1 + 4 + 128 + 4 + 17 + 6u);
    EXPECT_EQ(bits.arbitrationPhase, 50u);
}

TEST(FrameBits, ZeroDataIsStuffedEveryFifthBit) {
    const std::vector<uint8_t> data(64, 0);
    const FrameBits bits = canFdFrameBits(blockId, data.data(), 64, true);
    // After the DLC's 1111, 512 zeros take a stuff bit after each fifth.
    EXPECT_EQ(bits.dataStuff, 102u);
    EXPECT_EQ(bits.dataPhase, 549 + 102u);
    EXPECT_EQ(bits.arbitrationPhase, 50u);
}

TEST(FrameBits, WithoutBitRateSwitchEveryBitGoesAtTheArbitrationRate) {
    const std::vector<uint8_t> data(64, 0x55);
    const FrameBits bits = canFdFrameBits(blockId, data.data(), 64, false);
    EXPECT_EQ(bits.dataPhase, 0u);
    EXPECT_EQ(bits.arbitrationPhase, 36 + 549 + 13 + 1u);
    EXPECT_DOUBLE_EQ(frameMicroseconds(bits, 1e6, 8e6), 599.0);
}

} // namespace
