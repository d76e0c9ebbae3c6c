#include "block_socket.h"
#include "board_watch.h"
#include "bus_health.h"
#include "bus_reports.h"
#include "confirmation.h"
#include "upload_state.h"

#include "bus_pair.h"

#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <linux/can/error.h>
#include <linux/can/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

can_frame errorFrame(canid_t classes, std::vector<uint8_t> data = {}) {
    can_frame frame;
    memset(&frame, 0, sizeof(frame));
    frame.can_id = CAN_ERR_FLAG | classes;
    frame.can_dlc = CAN_ERR_DLC;
    std::copy(data.begin(), data.end(), frame.data);
    return frame;
}

std::string reportsOf(const std::vector<can_frame> &frames) {
    testing::internal::CaptureStderr();
    for (const can_frame &frame : frames) {
        reportBusEvents(noteErrorFrame(&frame, 0), &frame);
    }
    return testing::internal::GetCapturedStderr();
}

class BusHealth : public testing::Test {
  protected:
    void SetUp() override {
        resetBusHealth();
        resetBusReports();
        useFakeClock(0);
        resetUploadState();
    }
    void TearDown() override {
        resetBusHealth();
        useRealClock();
        resetUploadState();
    }
};

const char busOffReport[] =
    "can0 is bus-off: its controller stopped after too many errors and sends nothing. Restart it "
    "with \"ip link set can0 type can restart\"; to let it restart by itself next time, set "
    "restart-ms while it is down (\"ip link set can0 down; ip link set can0 type can restart-ms "
    "100; ip link set can0 up\")\n";
const char passiveAdvice[] = "; check the bit rates, the wiring and the termination\n";
const char busErrorsReport[] =
    "can0 reports bus errors (bit, form, stuff or CRC errors): the bit rates differ, or the "
    "wiring or the termination is at fault; counting them\n";
const char noAcknowledgeReport[] =
    "can0: no node acknowledges its frames: no other node is listening (the board is off, "
    "unplugged or resetting), or the bit rates differ\n";

TEST_F(BusHealth, EachErrorFrameIsReportedForWhatItMeans) {
    const uint8_t counters = 0;
    struct Case {
        const char *what;
        std::vector<can_frame> frames;
        std::string reports;
        uint32_t stateAtStartUp = CAN_STATE_ERROR_ACTIVE;
    } cases[] = {
        {"bus-off", {errorFrame(CAN_ERR_BUSOFF)}, busOffReport},
        {"bus-off reported with the passive state beside it",
         {errorFrame(CAN_ERR_BUSOFF | CAN_ERR_CRTL, {0, CAN_ERR_CRTL_TX_PASSIVE})},
         busOffReport},
        {"restart after bus-off",
         {errorFrame(CAN_ERR_BUSOFF), errorFrame(CAN_ERR_RESTARTED)},
         std::string(busOffReport) + "can0 restarted after bus-off: it sends again; frames "
                                     "handed to it while it was off are lost\n"},
        {"error-passive, with the controller's counters",
         {errorFrame(CAN_ERR_CRTL | CAN_ERR_CNT, {0, CAN_ERR_CRTL_TX_PASSIVE, 0, 0, 0, 0, 128, 3})},
         std::string("can0 is error-passive: many of its frames fail (transmit errors 128, "
                     "receive errors 3)") +
             passiveAdvice},
        {"error-passive, then down to error warning: the counters fall",
         {errorFrame(CAN_ERR_CRTL, {0, CAN_ERR_CRTL_TX_PASSIVE}),
          errorFrame(CAN_ERR_CRTL, {0, CAN_ERR_CRTL_TX_WARNING})},
         std::string("can0 is error-passive: many of its frames fail") + passiveAdvice +
             "can0 is back from error-passive to error warning: its error counters are "
             "falling\n"},
        {"error-passive at start-up, then down to error warning: the counters fall",
         {errorFrame(CAN_ERR_CRTL, {0, CAN_ERR_CRTL_TX_WARNING})},
         "can0 is back from error-passive to error warning: its error counters are falling\n",
         CAN_STATE_ERROR_PASSIVE},
        {"error warning, then back to error-active",
         {errorFrame(CAN_ERR_CRTL, {counters, CAN_ERR_CRTL_RX_WARNING}),
          errorFrame(CAN_ERR_CRTL, {0, CAN_ERR_CRTL_ACTIVE})},
         std::string("can0 warns of errors: its error counters are rising") + passiveAdvice +
             "can0 is error-active again: its errors have stopped\n"},
        {"a state reported twice is one change",
         {errorFrame(CAN_ERR_CRTL, {0, CAN_ERR_CRTL_RX_PASSIVE}),
          errorFrame(CAN_ERR_CRTL, {0, CAN_ERR_CRTL_TX_PASSIVE})},
         std::string("can0 is error-passive: many of its frames fail") + passiveAdvice},
        {"receive overflow",
         {errorFrame(CAN_ERR_CRTL, {0, CAN_ERR_CRTL_RX_OVERFLOW}),
          errorFrame(CAN_ERR_CRTL, {0, CAN_ERR_CRTL_RX_OVERFLOW})},
         "can0 lost frames it received: its controller's receive buffer overflowed\n"},
        {"missing acknowledgements, however reported, are not blamed on the bus",
         {errorFrame(CAN_ERR_ACK), errorFrame(CAN_ERR_ACK | CAN_ERR_BUSERROR),
          errorFrame(CAN_ERR_PROT | CAN_ERR_BUSERROR, {0, 0, 0, CAN_ERR_PROT_LOC_ACK})},
         noAcknowledgeReport},
        {"a bit error after a missing acknowledgement is a bus error",
         {errorFrame(CAN_ERR_ACK),
          errorFrame(CAN_ERR_PROT | CAN_ERR_BUSERROR, {0, 0, CAN_ERR_PROT_BIT, 0})},
         std::string(noAcknowledgeReport) + busErrorsReport},
        {"a driver's transmit timeout",
         {errorFrame(CAN_ERR_TX_TIMEOUT), errorFrame(CAN_ERR_TX_TIMEOUT)},
         "can0's driver gave up on a frame it could not send in time: the controller may be "
         "stuck; take can0 down and up again\n"},
        {"a flood of protocol errors is one line",
         std::vector<can_frame>(
             500, errorFrame(CAN_ERR_PROT | CAN_ERR_BUSERROR, {0, 0, CAN_ERR_PROT_STUFF})),
         busErrorsReport},
    };
    for (const Case &c : cases) {
        resetBusHealth();
        resetBusReports();
        seedControllerState(c.stateAtStartUp);
        EXPECT_EQ(reportsOf(c.frames), c.reports) << c.what;
        EXPECT_TRUE(busErrorsSeen()) << c.what;
    }
}

TEST_F(BusHealth, BusErrorsAreSummedUpEveryTenSeconds) {
    can_frame busError = errorFrame(CAN_ERR_PROT | CAN_ERR_BUSERROR);
    std::string reports = reportsOf({busError, busError});
    advanceClock(9999);
    reports += reportsOf({busError});
    advanceClock(1);
    reports += reportsOf({busError, busError});
    EXPECT_EQ(reports, std::string(busErrorsReport) + "can0: 4 bus errors so far\n");
}

// Only a restart, a return to error-active, or a frame that can0 received after the bus-off
// began ends it; a request that was served meanwhile proves nothing.
TEST_F(BusHealth, BusOffLastsUntilSomethingProvesItOver) {
    const int64_t busOffAt = 5000000000;
    const can_frame busOffFrame = errorFrame(CAN_ERR_BUSOFF);
    struct Case {
        const char *what;
        std::function<uint32_t()> afterwards;
        bool over;
    } cases[] = {
        {"a restart",
         [] {
             can_frame restart = errorFrame(CAN_ERR_RESTARTED);
             return noteErrorFrame(&restart, 0);
         },
         true},
        {"error-active again",
         [] {
             can_frame active = errorFrame(CAN_ERR_CRTL, {0, CAN_ERR_CRTL_ACTIVE});
             return noteErrorFrame(&active, 0);
         },
         true},
        {"a frame received after it", [] { return noteFrameReceived(busOffAt + 1); }, true},
        {"a frame received before it", [] { return noteFrameReceived(busOffAt - 1); }, false},
        {"a frame whose time is not known", [] { return noteFrameReceived(0); }, false},
        {"an error state still reported",
         [] {
             can_frame warning = errorFrame(CAN_ERR_CRTL, {0, CAN_ERR_CRTL_TX_WARNING});
             return noteErrorFrame(&warning, 0);
         },
         false},
        {"a request served",
         [] {
             noteBoardHeard(blockRequestServed);
             return 0u;
         },
         false},
    };
    for (const Case &c : cases) {
        resetBusHealth();
        startBoardWatch();
        EXPECT_EQ(noteErrorFrame(&busOffFrame, busOffAt), enteredBusOff) << c.what;
        advanceClock(1500);
        c.afterwards();
        EXPECT_EQ(busOffMilliseconds(), c.over ? -1 : 1500) << c.what;
        EXPECT_EQ(controllerState() == busOff, !c.over) << c.what;
    }
    resetBusHealth();
    noteErrorFrame(&busOffFrame, busOffAt);
    testing::internal::CaptureStderr();
    reportBusEvents(noteFrameReceived(busOffAt + 1), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "can0 receives frames again after its bus-off: it is back on the bus; frames handed "
              "to it while it was off are lost\n");
}

TEST_F(BusHealth, QuietBoardGetsOneHintAtATime) {
    startBoardWatch();
    EXPECT_EQ(millisecondsToNextHint(), 5000);
    advanceClock(4999);
    testing::internal::CaptureStderr();
    giveDueHint();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    reportsOf({errorFrame(CAN_ERR_PROT)});
    advanceClock(1);
    testing::internal::CaptureStderr();
    giveDueHint();
    giveDueHint();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Waiting for board 121 on can0: nothing heard from it for 5 s. Power the board on, "
              "or reset it, so that it announces itself. can0 reported errors: the bit rates or "
              "the wiring are the likely cause\n");
    EXPECT_EQ(millisecondsToNextHint(), -1);

    noteBoardHeard(boardAnnounced);
    EXPECT_EQ(millisecondsToNextHint(), 10000);
    noteBoardHeard(blockRequestIgnored);
    EXPECT_FALSE(uploadBegun());
    noteUploadBegins();
    noteBoardHeard(blockRequestServed);
    EXPECT_TRUE(uploadBegun());
    advanceClock(10000);
    testing::internal::CaptureStderr();
    giveDueHint();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "No block request for 10 s: the upload stands at byte 0 of 0. Still serving: a "
              "board that was reset asks again from its start\n");
    noteBoardHeard(blockRequestServed);
    EXPECT_EQ(millisecondsToNextHint(), 10000);
}

TEST_F(BusHealth, QuietUploadNamesFramesThatHaveNotLeft) {
    BusPair bus;
    if (!unsentBytesVisible(bus.flasherEnd)) {
        GTEST_SKIP() << "no SO_MEMINFO here (qemu-user passes one word of it through)";
    }
    startBoardWatch();
    noteUploadBegins();
    noteBoardHeard(blockRequestServed);
    // The board may be silent because the last frames it asked for never left: the stand-in
    // holds one that nobody has read.
    useBlockSocket(bus.flasherEnd);
    const uint8_t record[72] = {};
    ASSERT_EQ(write(bus.flasherEnd, record, sizeof(record)), 72);
    noteBlockWritten();
    takeConfirmations();
    advanceClock(10000);
    testing::internal::CaptureStderr();
    giveDueHint();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "No block request for 10 s, and can0 has not sent the last of its frames: no node "
              "acknowledges them (board off, unplugged or resetting), the bus is not terminated, "
              "or the bit rates differ. Still waiting\n");
}

} // namespace
