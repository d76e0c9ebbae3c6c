#include "frame_send.h"

#include "bus_pair.h"

#include <cerrno>
#include <ctime>
#include <gtest/gtest.h>

// The wait for a full transmit queue reads CLOCK_MONOTONIC through here
// (-Wl,--wrap=clock_gettime), so a test can let any amount of time pass between two looks.
static bool clockIsFake = false;
static timespec fakeNow = {1000, 0};
static long fakeStepMilliseconds = 0;

extern "C" int __real_clock_gettime(clockid_t clock, timespec *now);

extern "C" int __wrap_clock_gettime(clockid_t clock, timespec *now) {
    if (!clockIsFake) {
        return __real_clock_gettime(clock, now);
    }
    *now = fakeNow;
    long nanoseconds = fakeNow.tv_nsec + (fakeStepMilliseconds % 1000) * 1000000;
    fakeNow.tv_sec += static_cast<time_t>(fakeStepMilliseconds / 1000 + nanoseconds / 1000000000);
    fakeNow.tv_nsec = nanoseconds % 1000000000;
    return 0;
}

namespace {

class FullQueue : public testing::Test {
  protected:
    void SetUp() override {
        failWrites(bus.flasherEnd, ENOBUFS, 1 << 30);
    }
    void TearDown() override {
        clockIsFake = false;
        clearWriteFailures();
    }

    // Every look at the clock finds it stepMilliseconds later than the look before.
    bool sendWithClockSteps(long stepMilliseconds) {
        clockIsFake = true;
        fakeStepMilliseconds = stepMilliseconds;
        const uint8_t record[16] = {};
        errno = 0;
        return sendFrame(bus.flasherEnd, record, sizeof(record));
    }

    BusPair bus;
};

TEST_F(FullQueue, IsWaitedOutForOneSecondThenReported) {
    // Looks at 0, 0.3, 0.6, 0.9 and 1.2 s: the fifth write is the last one tried.
    EXPECT_FALSE(sendWithClockSteps(300));
    EXPECT_EQ(errno, ENOBUFS);
    EXPECT_EQ(failedWriteAttempts(), 5);
    EXPECT_TRUE(bus.drain().empty());
}

TEST_F(FullQueue, StallOfSecondsBetweenTwoLooksEndsTheWait) {
    // A process stopped or starved for 3 s: seconds times 10^9 no longer fits in 32 bits.
    EXPECT_FALSE(sendWithClockSteps(3000));
    EXPECT_EQ(errno, ENOBUFS);
    EXPECT_EQ(failedWriteAttempts(), 2);
}

} // namespace
