#include "confirmation.h"
#include "frame_send.h"
#include "run_outcome.h"
#include "send_stall.h"

#include "bus_pair.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

const std::string stallReport =
    "can0 is not sending: none of its frames has left for 2 s. No node acknowledges them (board "
    "off, unplugged or resetting), the bus is not terminated, or the bit rates differ; waiting "
    "up to 20 s\n";

class Send : public testing::Test {
  protected:
    void TearDown() override {
        resetConfirmation();
        resetSendStall();
        useRealClock();
        clearWriteFailures();
        countWrites(-1);
    }

    // Sends one classic record; what the sender reported lands in err.
    bool send() {
        const uint8_t record[16] = {0x79, 0, 0x96, 0x97};
        testing::internal::CaptureStderr();
        errno = 0;
        SendOutcome outcome = sendFrame(bus.flasherEnd, record, sizeof(record));
        int sendErrno = errno;
        bool sent = outcome == frameSent;
        if (!sent) {
            reportSendFailure(outcome);
        }
        err = testing::internal::GetCapturedStderr();
        errno = sendErrno;
        return sent;
    }

    BusPair bus;
    std::string err;
};

TEST_F(Send, FullQueueIsWaitedOutForOneSecondThenReported) {
    failWrites(bus.flasherEnd, ENOBUFS, 1 << 30);
    // Looks at 0, 0.3, 0.6, 0.9 and 1.2 s: the fifth write is the last one tried.
    useFakeClock(300);
    EXPECT_FALSE(send());
    EXPECT_EQ(errno, ENOBUFS);
    EXPECT_EQ(failedWriteAttempts(), 5);
    EXPECT_EQ(err, "Error sending command via CAN FD!: No buffer space available\n");
    EXPECT_TRUE(bus.drain().empty());
}

TEST_F(Send, StallOfSecondsBetweenTwoLooksEndsTheFullQueueWait) {
    failWrites(bus.flasherEnd, ENOBUFS, 1 << 30);
    // A process stopped or starved for 3 s: seconds times 10^9 no longer fits in 32 bits.
    useFakeClock(3000);
    EXPECT_FALSE(send());
    EXPECT_EQ(errno, ENOBUFS);
    EXPECT_EQ(failedWriteAttempts(), 2);
}

// A bus where no node acknowledges: nothing handed over ever leaves. The socketpair stands in
// for it, full and never read; its send timeout is cut to 10 ms, and the clock moves on by half
// a report period at each of the two looks per timed-out write, as it does when the real timeout
// of 2 s runs out.
TEST_F(Send, WriteThatNeverCompletesIsReportedOnceAndGivenUpAfterTheLimit) {
    int small = 4096;
    ASSERT_EQ(setsockopt(bus.flasherEnd, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)), 0);
    const uint8_t filler[72] = {};
    while (::send(bus.flasherEnd, filler, sizeof(filler), MSG_DONTWAIT) > 0) {
    }
    timeval tick = {0, 10000};
    ASSERT_EQ(setsockopt(bus.flasherEnd, SOL_SOCKET, SO_SNDTIMEO, &tick, sizeof(tick)), 0);
    useFakeClock(500 * noProgressReportSeconds);
    countWrites(bus.flasherEnd);

    EXPECT_FALSE(send());
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(countedWrites(), noProgressLimitSeconds / noProgressReportSeconds);
    EXPECT_EQ(err, stallReport +
                       "Error sending command via CAN FD!: can0 sent nothing for 20 s: no node "
                       "acknowledges its frames (board off, unplugged or resetting), the bus is "
                       "not terminated, or the bit rates differ\n");
}

TEST_F(Send, StallThatClearsLosesNothing) {
    // A board back from a reset: the frame leaves after three timed-out writes.
    failWrites(bus.flasherEnd, EAGAIN, 3);
    useFakeClock(1000 * noProgressReportSeconds);
    EXPECT_TRUE(send());
    EXPECT_EQ(err, stallReport + "can0 is sending again\n");
    auto sent = bus.drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0],
              (std::vector<uint8_t>{0x79, 0, 0x96, 0x97, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

} // namespace
