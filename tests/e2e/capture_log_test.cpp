#include "capture_log.h"

#include <gtest/gtest.h>
#include <sstream>
#include <stdexcept>

namespace e2e {
namespace {

CaptureLog parse(const std::string &text) {
    std::istringstream in(text);
    return parseCapture(in);
}

TEST(CaptureLog, ReadsFramesNotesAndTheEnd) {
    const CaptureLog log = parse("# e2e-capture on all CAN interfaces\n"
                                 "12.000500000 C 91A07900 00 0\n"
                                 "# read error: Network is down\n"
                                 "12.750000001 F 93890079 04 9 380000013C0000007F\n"
                                 "# end frames=2 dropped=0\n");
    ASSERT_EQ(log.frames.size(), 2u);
    EXPECT_TRUE(log.ended);
    ASSERT_EQ(log.notes.size(), 1u); // the header is no note
    EXPECT_EQ(log.notes[0], "# read error: Network is down");
    const CapturedFrame &block = log.frames[1];
    EXPECT_TRUE(block.fd);
    EXPECT_DOUBLE_EQ(block.time, 12.750000001);
    EXPECT_EQ(block.canId, 0x93890079u);
    EXPECT_EQ(block.flags, 0x04);
    EXPECT_EQ(hexBytes(block.data), "38 00 00 01 3C 00 00 00 7F");
    EXPECT_EQ(block.line, 4u);
    EXPECT_TRUE(log.frames[0].data.empty());
}

TEST(CaptureLog, AMissingEndMeansAnUnfinishedCapture) {
    const CaptureLog log = parse("1.0 C 00000123 00 1 AA\n");
    EXPECT_FALSE(log.ended);
    EXPECT_EQ(parse("# end frames=0 dropped=3\n").dropped, 3u);
}

TEST(CaptureLog, RejectsWhatItCannotReadExactly) {
    const char *bad[] = {
        "1.0 C 00000123 00 2 AA\n",                 // fewer bytes than the length says
        "1.0 C 00000123 00 9 AABBCCDDEEFF0011AA\n", // too long for a classic record
        "1.0 X 00000123 00 0\n",                    // unknown record kind
        "1.0 C 123 00 0\n",                         // short identifier
        "1.0 C 00000123 00 1 aa\n",                 // lower-case hex is not what the capture writes
        "soon C 00000123 00 0\n",                   // no time
        "1.0 C 00000123 00 1 AA BB\n",              // data with spaces
        "1.0 C 00000123 00 0\n# end frames=2 dropped=0\n", // frame count does not match
        "# end frames=0 dropped=0\n1.0 C 00000123 00 0\n", // text after the end
    };
    for (const char *text : bad) {
        EXPECT_THROW(parse(text), std::runtime_error) << text;
    }
}

} // namespace
} // namespace e2e
