// Response checks and option parsing that the end-to-end board tests do not reach.
#include "block_check.h"
#include "frame_log.h"
#include "options.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace sim;

Frame response(uint32_t offset, uint8_t count, uint32_t fileLength) {
    Frame frame;
    frame.recordSize = kFdRecordSize;
    frame.canId = kResponseId;
    frame.len = static_cast<uint8_t>(8 + count);
    writeLe32(offset | static_cast<uint32_t>(count) << 24, frame.data.data());
    writeLe32(fileLength, frame.data.data() + 4);
    for (uint8_t i = 0; i < count; ++i) {
        frame.data[8 + i] = static_cast<uint8_t>(offset + i);
    }
    return frame;
}

std::vector<uint8_t> countingImage(size_t size) {
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; ++i) {
        image[i] = static_cast<uint8_t>(i);
    }
    return image;
}

TEST(BlockCheck, AcceptsAGoodBlockEvenWithTheKernelsFdFlag) {
    Frame frame = response(100, 5, 105);
    frame.flags = kFdFlagFdf;
    Block block;
    EXPECT_EQ(checkBlockResponse(frame, countingImage(105), false, block), "");
    EXPECT_EQ(block.offset, 100u);
    EXPECT_EQ(block.length, 5u);
}

// The length byte is 8 + dataLength or the CAN FD length above it, nothing else; the pad bytes
// in between hold anything, the bytes past the length byte nothing, even in a rounded frame.
TEST(BlockCheck, LengthByteAsSentOrAsAControllerRoundsIt) {
    const auto image = countingImage(100);
    const std::vector<unsigned> valid = {8, 12, 16, 20, 24, 32, 48, 64};
    for (uint8_t count = 1; count <= kMaxBlockData; ++count) {
        const unsigned rounded = *std::lower_bound(valid.begin(), valid.end(), 8u + count);
        for (unsigned len = 0; len <= kFdMaxLen; ++len) {
            Frame frame = response(0, count, 100);
            for (unsigned pad = 8u + count; pad < len; ++pad) {
                frame.data[pad] = 0xEE;
            }
            frame.len = static_cast<uint8_t>(len);
            Block block;
            const std::string fault = checkBlockResponse(frame, image, false, block);
            EXPECT_EQ(fault.empty(), len == 8u + count || len == rounded)
                << "dataLength " << unsigned(count) << ", length byte " << len << ": " << fault;
        }
    }
    Frame frame = response(0, 36, 100);
    frame.len = 48;
    frame.data[48] = 0x01;
    Block block;
    EXPECT_EQ(checkBlockResponse(frame, image, false, block),
              "block at offset 0: unused data byte 48 is 0x01, expected 0");
}

TEST(BlockCheck, RejectsMalformedBlocks) {
    const auto image = countingImage(105);
    Block block;
    Frame trailing = response(100, 5, 105);
    trailing.data[20] = 0xEE;
    EXPECT_EQ(checkBlockResponse(trailing, image, false, block),
              "block at offset 100: unused data byte 20 is 0xEE, expected 0");
    EXPECT_EQ(checkBlockResponse(response(100, 6, 105), image, false, block),
              "block at offset 100 with 6 bytes runs past the end of the image (105 bytes)");
    Frame overlong = response(0, 57, 105);
    overlong.len = 64;
    EXPECT_EQ(checkBlockResponse(overlong, image, false, block),
              "block at offset 0: dataLength 57, more than 56");
    EXPECT_EQ(checkBlockResponse(response(0, 0, 105), image, false, block),
              "block at offset 0 carries no data");
    Frame noHeader = response(0, 0, 105);
    noHeader.len = 7;
    EXPECT_EQ(checkBlockResponse(noHeader, image, false, block),
              "block response length byte 7, outside 8..64");
}

TEST(FrameLog, FormatsLikeCandump) {
    Frame request = makeBlockRequest({512, 0, 512, 1}, RequestKind::Classic);
    EXPECT_EQ(formatFrame("can0", request), "  can0  13887900   [8]  00 02 00 00 00 02 00 01");
    Frame noise;
    noise.canId = 0x123;
    noise.recordSize = kFdRecordSize;
    noise.flags = kFdFlagBrs;
    noise.len = 2;
    noise.data[0] = 0xAB;
    EXPECT_EQ(formatFrame("vcan1", noise), "  vcan1  123  [02]  AB 00  BRS");
}

TEST(Options, DefaultsAndBothValueSpellings) {
    const ParsedOptions parsed = parseOptions(
        {"--image", "fw.bin", "--chunk=100", "--order", "random", "--seed=9", "--no-announce"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.imagePath, "fw.bin");
    EXPECT_EQ(parsed.options.chunkSize, 100u);
    EXPECT_EQ(parsed.options.order, ChunkOrder::Random);
    EXPECT_EQ(parsed.options.seed, 9u);
    EXPECT_FALSE(parsed.options.announce);
    EXPECT_EQ(parsed.options.interface, "can0");
    EXPECT_EQ(parsed.options.timeoutS, 60u);
    EXPECT_EQ(parsed.options.chunkTimeoutMs, 2000u);
    EXPECT_FALSE(parsed.options.brsRequests);
    EXPECT_TRUE(parseOptions({"--image", "a", "--brs-requests"}).options.brsRequests);
}

TEST(Options, HelpAndVersionAsTheFlasherTakesThem) {
    const struct {
        std::vector<std::string> args;
        bool help;
        bool version;
        std::string error;
    } cases[] = {
        {{"-h"}, true, false, ""},
        {{"--help"}, true, false, ""},
        {{"--version"}, false, true, ""},
        {{"--image", "a", "--version"}, false, true, ""},
        {{"--version", "--fast"}, false, true, ""},
        {{"--help", "--version"}, true, false, ""},
        {{"-V"}, false, false, "unknown option '-V'"},
        {{"--version=1"}, false, false, "unknown option '--version=1'"},
        {{"--image", "--version"}, false, false, ""}, // an image named --version
    };
    for (const auto &c : cases) {
        const ParsedOptions parsed = parseOptions(c.args);
        const std::string args = ::testing::PrintToString(c.args);
        EXPECT_EQ(parsed.help, c.help) << args;
        EXPECT_EQ(parsed.version, c.version) << args;
        EXPECT_EQ(parsed.error, c.error) << args;
    }
    EXPECT_EQ(versionText(), std::string("canfd-board-sim ") + CANFD_FLASH_VERSION + "\n");
    const std::string usage = usageText("canfd-board-sim");
    EXPECT_NE(usage.find("\n  -h, --help "), std::string::npos);
    EXPECT_NE(usage.find("\n  --version "), std::string::npos);
}

TEST(Options, RejectsWhatItCannotUse) {
    EXPECT_EQ(parseOptions({}).error, "--image PATH is required");
    EXPECT_EQ(parseOptions({"--image", "a", "--chunk", "0"}).error,
              "invalid value '0' for --chunk");
    EXPECT_EQ(parseOptions({"--image", "a", "--chunk", "16777216"}).error,
              "invalid value '16777216' for --chunk");
    EXPECT_EQ(parseOptions({"--image", "a", "--timeout-s", "-1"}).error,
              "invalid value '-1' for --timeout-s");
    EXPECT_EQ(parseOptions({"--image", "a", "--order", "backwards"}).error,
              "invalid value 'backwards' for --order");
    EXPECT_EQ(parseOptions({"--image", "a", "--quiet=yes"}).error, "option --quiet takes no value");
    EXPECT_EQ(parseOptions({"--image"}).error, "option --image needs a value");
    EXPECT_EQ(parseOptions({"--image", "a", "--fast"}).error, "unknown option '--fast'");
    EXPECT_NE(parseOptions({"--image", "a", "--no-announce", "--second-announce"}).error, "");
}

} // namespace
