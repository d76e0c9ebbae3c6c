#include "message_handler.h"
#include "upload_state.h"

#include "bus_pair.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace {

const can_frame announcement = classicFrame(0x91A07900, {0x01, 0x02, 0x03, 0x04});

const std::vector<uint8_t> acknowledgeRecord = recordBytes(classicFrame(0x97960079, {}));
const std::vector<uint8_t> updateOrderRecord =
    recordBytes(classicFrame(0x97890079, {0x01, 0x00, 0x79, 0x86}));

const char activationLines[] = "Detected original firmware!\r\n"
                               "I'm sending ACK..\r\n"
                               "Sending command to clear flash and activate bootloader...\r\n"
                               "Waiting for bootloader...\r\n"
                               "Src: 121 Dest: 0\r\n";

class Activation : public testing::Test {
  protected:
    void SetUp() override {
        resetUploadState();
        clearWriteFailures();
    }
    void TearDown() override {
        clearWriteFailures();
    }

    Outcome handle(const can_frame &frame, ssize_t nbytes = sizeof(can_frame)) {
        return handleRecord(bus, frame, nbytes);
    }

    BusPair bus;
};

TEST_F(Activation, FirstAnnouncementGetsAcknowledgeThenUpdateOrder) {
    Outcome first = handle(announcement);
    EXPECT_EQ(first.out, activationLines);
    EXPECT_EQ(first.err, "");
    ASSERT_EQ(first.sent.size(), 2u);
    EXPECT_EQ(first.sent[0], acknowledgeRecord);
    EXPECT_EQ(first.sent[1], updateOrderRecord);
    EXPECT_TRUE(originalFirmwareErase);
}

TEST_F(Activation, IsSentOnceWhateverAnnouncesLater) {
    handle(announcement);
    can_frame fromElsewhere = classicFrame(0x91A01200, {});
    Outcome second = handle(announcement);
    Outcome third = handle(fromElsewhere);
    EXPECT_EQ(second.out, "Src: 121 Dest: 0\r\n");
    EXPECT_EQ(third.out, "Src: 18 Dest: 0\r\n");
    EXPECT_TRUE(second.sent.empty());
    EXPECT_TRUE(third.sent.empty());
}

TEST_F(Activation, AnyAnnouncementStartsItWhileNotYetSent) {
    // Neither the sender nor the payload of an announcement is examined.
    Outcome outcome = handle(classicFrame(0x11A0AB05, {}));
    EXPECT_EQ(outcome.sent.size(), 2u);
    EXPECT_TRUE(originalFirmwareErase);
}

TEST_F(Activation, FailedAcknowledgeSendsNothingElseAndIsRetriedAtTheNextAnnouncement) {
    failWrites(bus.flasherEnd, ENETDOWN, 1);
    Outcome failed = handle(announcement);
    EXPECT_EQ(failed.out, "Detected original firmware!\r\n"
                          "I'm sending ACK..\r\n"
                          "Src: 121 Dest: 0\r\n");
    EXPECT_EQ(failed.err, "Error sending command via CAN FD!: Network is down\n");
    EXPECT_TRUE(failed.sent.empty());
    EXPECT_FALSE(originalFirmwareErase);

    Outcome retried = handle(announcement);
    EXPECT_EQ(retried.out, activationLines);
    ASSERT_EQ(retried.sent.size(), 2u);
    EXPECT_EQ(retried.sent[0], acknowledgeRecord);
    EXPECT_EQ(retried.sent[1], updateOrderRecord);
    EXPECT_TRUE(originalFirmwareErase);
}

TEST_F(Activation, FailedUpdateOrderLeavesTheFlagForARetry) {
    failWrites(bus.flasherEnd, EMSGSIZE, 1, 1);
    Outcome failed = handle(announcement);
    EXPECT_EQ(failed.out, "Detected original firmware!\r\n"
                          "I'm sending ACK..\r\n"
                          "Sending command to clear flash and activate bootloader...\r\n"
                          "Src: 121 Dest: 0\r\n");
    EXPECT_EQ(failed.err, "Error sending command via CAN FD!: Message too long\n");
    ASSERT_EQ(failed.sent.size(), 1u);
    EXPECT_EQ(failed.sent[0], acknowledgeRecord);
    EXPECT_FALSE(originalFirmwareErase);

    Outcome retried = handle(announcement);
    EXPECT_EQ(retried.out, activationLines);
    EXPECT_EQ(retried.sent.size(), 2u);
    EXPECT_TRUE(originalFirmwareErase);
}

TEST_F(Activation, FullTransmitQueueIsWaitedOut) {
    failWrites(bus.flasherEnd, ENOBUFS, 3);
    Outcome outcome = handle(announcement);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.sent.size(), 2u);
    EXPECT_EQ(failedWriteAttempts(), 3);
    EXPECT_TRUE(originalFirmwareErase);
}

TEST_F(Activation, OtherTypesAreReportedAsUnknownAndAnswerNothing) {
    struct Case {
        can_frame frame;
        std::string out;
    } cases[] = {
        {classicFrame(0x919F7900, {0x11}), "CanMessageType::unknown\r\nSrc: 121 Dest: 0\r\n"},
        {classicFrame(0x123, {}), "CanMessageType::unknown\r\nSrc: 1 Dest: 35\r\n"},
        {classicFrame(0x93890079, {}), "CanMessageType::unknown\r\nSrc: 0 Dest: 121\r\n"},
    };
    for (const Case &c : cases) {
        Outcome outcome = handle(c.frame);
        EXPECT_EQ(outcome.out, c.out) << std::hex << c.frame.can_id;
        EXPECT_TRUE(outcome.sent.empty());
    }
    EXPECT_FALSE(originalFirmwareErase);
}

} // namespace
