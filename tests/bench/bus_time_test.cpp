#include "bus_time.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>
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

TEST(Crc15, GivesTheCatalogueCheckValue) {
    std::vector<uint8_t> bits;
    for (const char *c = "123456789"; *c; c++) {
        for (int i = 7; i >= 0; i--) {
            bits.push_back(static_cast<uint8_t>((*c >> i) & 1));
        }
    }
    EXPECT_EQ(crc15(bits), 0x059E); // CRC-15/CAN's check value in the catalogues of CRCs
}

TEST(ClassicFrame, RequestFrameCountedByHandStuffsItsCrcToo) {
    // The board's request for 512 bytes at offset 512: SOF, base identifier, SRR and IDE,
    // extension, RTR r1 r0, DLC 8, data 00 02 00 00 00 02 00 01. Its CRC, from a long division
    // of these 103 bits (and 15 zeros) by 0xC599 done apart from this code: 010010110111111.
    EXPECT_EQ(crc15(bitsOf("0"
                           "10011100010"
                           "11"
                           "000111100100000000"
                           "000"
                           "1000"
                           "00000000000000100000000000000000"
                           "00000000000000100000000000000001")),
              0x25BF);
    const uint8_t data[] = {0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01};
    const FrameBits bits = classicFrameBits(0x13887900, data, 8);
    // Stuff bits: 11 zeros from the extension through r0 take 2; after the DLC's 1, runs of 17,
    // 31 and 16 zeros take 3, 6 and 3; the CRC ends in six ones and takes 1. 118 bits from SOF
    // through the CRC, 13 from its delimiter through the intermission.
    EXPECT_EQ(bits.arbitrationStuff, 15u);
    EXPECT_EQ(bits.arbitrationPhase, 118 + 13 + 15u);
    EXPECT_EQ(bits.dataPhase, 0u);
}

uint32_t word24(const std::vector<uint8_t> &payload, size_t at) {
    return payload[at] | payload[at + 1] << 8 | payload[at + 2] << 16;
}

TEST(BlockFrame, PaddedWithZerosToTheNextCanFdLength) {
    const std::vector<uint8_t> image(1000, 0xA5);
    const std::vector<uint8_t> payload = blockFramePayload(image, 0, 44);
    ASSERT_EQ(payload.size(), 64u); // 8 + 44 = 52 bytes go as 64
    EXPECT_EQ(std::count(payload.begin() + 8, payload.begin() + 52, 0xA5), 44);
    EXPECT_EQ(std::count(payload.begin() + 52, payload.end(), 0), 12);
    EXPECT_EQ(blockFramePayload(image, 0, 4).size(), 12u);
}

TEST(Upload, QuarterMebibyteIn512ByteRequestsIsNineFullBlocksAndOneOf8BytesEach) {
    // 512 = 9 * 56 + 8: nine 64-byte frames and one of 8 + 8 = 16 bytes per request.
    const std::vector<UploadFrame> frames = uploadFrames(std::vector<uint8_t>(262144), 512);
    ASSERT_EQ(frames.size(), 512 * 11u);
    uint32_t next = 0;
    for (size_t i = 0; i < frames.size(); i++) {
        const std::vector<uint8_t> &payload = frames[i].payload;
        ASSERT_EQ(frames[i].request, i % 11 == 0) << i;
        if (frames[i].request) {
            // Offset k * 512 (bytes 0, 2k mod 256, k / 128), bootloader version 0, length 512
            // (00 02 00), board version 1.
            const size_t k = i / 11;
            EXPECT_EQ(payload,
                      std::vector<uint8_t>({0, static_cast<uint8_t>(2 * k),
                                            static_cast<uint8_t>(k / 128), 0, 0, 2, 0, 1}));
            continue;
        }
        ASSERT_EQ(payload.size(), i % 11 == 10 ? 16u : 64u) << i;
        ASSERT_EQ(word24(payload, 0), next) << i;
        next += payload[3];
    }
    EXPECT_EQ(next, 262144u);
}

// Fixed lengths by hand, in bits. Block frames without the switch: 64 bytes 598, 16 bytes
// 36 + (1 + 4 + 128 + 4 + 17 + 6) + 13 = 209. With it, 49 bits at 1 Mbit/s and at 4 Mbit/s
// 549 (64 bytes) or 160 (16 bytes): 186.25 and 89 us. Requests: classic 8 bytes 131 bits;
// CAN FD 8 bytes with the switch 49 + 96 / 4 = 73 us; 64 bytes 598 bits, or 186.25 us.
TEST(Upload, FixedLengthTimesOfAQuarterMebibyteIn512ByteRequests) {
    const std::vector<UploadFrame> plain = uploadFrames(std::vector<uint8_t>(262144), 512);
    const std::vector<UploadFrame> typed = uploadFrames(std::vector<uint8_t>(262144), 512, "b");
    const auto fixed = [](const std::vector<UploadFrame> &frames, bool classic, bool brs,
                          double rate) {
        return busMicroseconds(uploadFrameBits(frames, classic, brs), 1e6, rate, false);
    };
    EXPECT_DOUBLE_EQ(fixed(plain, true, false, 1e6), 512 * (131 + 9 * 598 + 209.0));
    EXPECT_DOUBLE_EQ(fixed(typed, false, false, 1e6), 512 * (598 + 9 * 598 + 209.0));
    EXPECT_DOUBLE_EQ(fixed(plain, false, true, 4e6), 512 * (73 + 9 * 186.25 + 89));
    EXPECT_DOUBLE_EQ(fixed(typed, false, true, 4e6), 512 * (186.25 + 9 * 186.25 + 89));
}

TEST(Upload, TheSwitchMakesAPseudoRandomImageThreeToFourTimesFaster) {
    std::mt19937 random;
    std::vector<uint8_t> image(262144);
    for (uint8_t &byte : image) {
        byte = static_cast<uint8_t>(random());
    }
    const std::vector<UploadFrame> frames = uploadFrames(image, 512);
    const std::vector<FrameBits> plain = uploadFrameBits(frames, true, false);
    const double slow = busMicroseconds(plain, 1e6, 1e6);
    const double fast = busMicroseconds(uploadFrameBits(frames, false, true), 1e6, 4e6);
    EXPECT_GT(slow, busMicroseconds(plain, 1e6, 1e6, false)); // random data has stuff bits
    // Without stuff bits the ratio is 2,929,664 / 941,184 = 3.11 (see above); stuff bits mostly
    // fall in the data phase and gain four times there too. Below 3, frames would have lost the
    // switch; at 4 or more, arbitration bits would have sped up.
    EXPECT_GT(slow / fast, 3.0);
    EXPECT_LT(slow / fast, 4.0);
}

} // namespace
