#include "frame_log.h"
#include "output.h"
#include "received_record.h"

#include "bus_pair.h"

#include <gtest/gtest.h>

namespace {

std::string dumpOf(const can_frame &frame, ssize_t nbytes) {
    const canfd_frame record = widened(frame);
    testing::internal::CaptureStdout();
    printFrameDump(&record, nbytes);
    flushOutput();
    return testing::internal::GetCapturedStdout();
}

TEST(FrameDump, ListsIdentifierLengthAndEachByte) {
    can_frame frame = classicFrame(0x91A07900, {0x01, 0x02, 0x03, 0x04});
    EXPECT_EQ(dumpOf(frame, 16), "0x11A07900 [4] 01 02 03 04 \r\n");
}

TEST(FrameDump, EmptyPayloadAndShortIdentifiers) {
    EXPECT_EQ(dumpOf(classicFrame(0x91A07900, {}), 16), "0x11A07900 [0] \r\n");
    EXPECT_EQ(dumpOf(classicFrame(0x7, {0xAB}), 16), "0x007 [1] AB \r\n");
}

TEST(FrameDump, CanFdRecordCutTo8BytesIsMarked) {
    can_frame frame = classicFrame(0x93887900, {0, 0, 0, 0, 0x64, 0, 0, 0xFF});
    frame.can_dlc = 64;
    EXPECT_EQ(dumpOf(frame, 16),
              "0x13887900 [64] 00 00 00 00 64 00 00 FF (cut: 8 of 64 bytes held) \r\n");
}

TEST(FrameDump, NeverShowsMoreThanTheReadReturned) {
    can_frame frame = classicFrame(0x1, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(dumpOf(frame, 11), "0x001 [8] 01 02 03 (cut: 3 of 8 bytes held) \r\n");
    EXPECT_EQ(dumpOf(frame, 8), "0x001 [8] (cut: 0 of 8 bytes held) \r\n");
    EXPECT_EQ(dumpOf(frame, 5), "Short record of 5 bytes, ignored\r\n");
}

TEST(FrameDump, HeldLengthIsTheLeastOfLengthByteRecordAndRead) {
    canfd_frame frame = widened(classicFrame(0x1, {1, 2, 3}));
    EXPECT_EQ(heldPayloadLength(&frame, 16), 3);
    frame.len = 255;
    EXPECT_EQ(heldPayloadLength(&frame, 16), 8);
    EXPECT_EQ(heldPayloadLength(&frame, 72), 8);
    EXPECT_EQ(heldPayloadLength(&frame, 10), 2);
    EXPECT_EQ(heldPayloadLength(&frame, -1), 0);
}

} // namespace
