#include "interface_ready.h"
#include "settings_report.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

// A controller set up as the README says, up and running: 1M/4M, error-active, counters 0.
CanSettings controller() {
    CanSettings settings;
    memset(&settings, 0, sizeof(settings));
    settings.replyWhole = settings.linkKnown = settings.up = settings.running = true;
    settings.kindKnown = true;
    settings.kind = canController;
    strcpy(settings.kindName, "can");
    settings.mtuKnown = true;
    settings.mtu = 72;
    settings.bitTiming = {true, 1000000, 750};
    settings.dataBitTiming = {true, 4000000, 720};
    settings.controlModeKnown = true;
    settings.controlMode = CAN_CTRLMODE_FD;
    settings.stateKnown = true;
    settings.state = CAN_STATE_ERROR_ACTIVE;
    settings.restartMillisecondsKnown = true;
    settings.errorCountersKnown = true;
    return settings;
}

const std::string rates = "can0: 1000 kbit/s, data 4000 kbit/s (sample points 75.0 %, 72.0 %)";

TEST(InterfaceReady, OnlyAControllerThatCanTakePartIsUsedAndItsStateIsSaid) {
    struct Case {
        const char *what;
        void (*change)(CanSettings &);
        bool allowed;
        std::string start; // what the error stream starts with ("" for nothing at all)
    } cases[] = {
        {"healthy", [](CanSettings &) {}, true, ""},
        {"listen-only", [](CanSettings &s) { s.controlMode |= CAN_CTRLMODE_LISTENONLY; }, false,
         "Interface can0 is in listen-only mode: it can neither send nor acknowledge frames."},
        {"loopback", [](CanSettings &s) { s.controlMode |= CAN_CTRLMODE_LOOPBACK; }, false,
         "Interface can0 is in loopback mode: its frames never reach the bus."},
        {"one-shot", [](CanSettings &s) { s.controlMode |= CAN_CTRLMODE_ONE_SHOT; }, false,
         "Interface can0 is in one-shot mode: a frame that meets an error is dropped and never "
         "sent again. Turn it off: ip link set can0 down; ip link set can0 type can one-shot "
         "off; ip link set can0 up\n"},
        {"presume-ack goes on, with one line",
         [](CanSettings &s) { s.controlMode |= CAN_CTRLMODE_PRESUME_ACK; }, true,
         "can0 presumes acknowledgements (presume-ack on): it counts a frame as sent even when no "
         "node took it, so the tool cannot tell that the board got its blocks; watch the board's "
         "own sign of a finished update\n"},
        {"bus-off, named with restart-ms 0",
         [](CanSettings &s) {
             s.state = CAN_STATE_BUS_OFF;
             s.transmitErrors = 256;
         },
         false,
         "Interface can0 is bus-off: its controller stopped after too many errors and sends "
         "nothing. Restart it (ip link set can0 type can restart), or let it restart by itself "
         "from now on (ip link set can0 down; ip link set can0 type can restart-ms 100; ip link "
         "set can0 up)\n" +
             rates +
             ", bus-off, transmit errors 256, receive errors 0, restart-ms 0: with restart-ms 0 "
             "it stays bus-off until someone restarts it (ip link set can0 type can restart)\n"},
        {"error-passive goes on, with one line",
         [](CanSettings &s) {
             s.state = CAN_STATE_ERROR_PASSIVE;
             s.transmitErrors = 128;
         },
         true,
         "can0 is error-passive at start-up (transmit errors 128, receive errors 0): frames have "
         "failed on the bus; check the bit rates, the wiring and the termination\n"},
        {"error warning without counters",
         [](CanSettings &s) {
             s.state = CAN_STATE_ERROR_WARNING;
             s.errorCountersKnown = false;
         },
         true, "can0 warns of errors at start-up: frames have failed on the bus"},
        // The emulated controllers report STOPPED for good while they carry frames.
        {"stopped while up: the state is not known",
         [](CanSettings &s) { s.state = CAN_STATE_STOPPED; }, true, ""},
        {"vcan has no modes and no state",
         [](CanSettings &s) {
             s.kind = virtualCan;
             s.controlMode = CAN_CTRLMODE_LISTENONLY;
             s.state = CAN_STATE_BUS_OFF;
         },
         true, ""},
    };
    for (const Case &c : cases) {
        CanSettings settings = controller();
        c.change(settings);
        testing::internal::CaptureStderr();
        EXPECT_EQ(settingsAllowAnUpload(settings), c.allowed) << c.what;
        std::string reports = testing::internal::GetCapturedStderr();
        if (c.start.empty()) {
            EXPECT_EQ(reports, "") << c.what;
        } else {
            EXPECT_EQ(reports.substr(0, c.start.size()), c.start) << c.what;
        }
    }
}

TEST(InterfaceReady, TheSettingsLineNarrowsTheAdvice) {
    struct Case {
        const char *what;
        void (*change)(CanSettings &);
        std::string line;
    } cases[] = {
        {"bus-off that restarts by itself",
         [](CanSettings &s) {
             s.state = CAN_STATE_BUS_OFF;
             s.restartMilliseconds = 100;
         },
         rates + ", bus-off, transmit errors 0, receive errors 0, restart-ms 100: it restarts by "
                 "itself 100 ms after a bus-off\n"},
        {"transmit errors without receive errors",
         [](CanSettings &s) {
             s.state = CAN_STATE_ERROR_PASSIVE;
             s.transmitErrors = 136;
         },
         rates + ", error-passive, transmit errors 136, receive errors 0, restart-ms 0: transmit "
                 "errors rise while receive errors stay at 0: no node acknowledges its frames "
                 "(the board is off, unplugged or resetting)\n"},
        {"errors both ways say nothing more",
         [](CanSettings &s) {
             s.state = CAN_STATE_ERROR_WARNING;
             s.transmitErrors = 100;
             s.receiveErrors = 3;
         },
         rates + ", error-warning, transmit errors 100, receive errors 3, restart-ms 0\n"},
        {"vcan: no line", [](CanSettings &s) { s.kind = virtualCan; }, ""},
    };
    for (const Case &c : cases) {
        CanSettings settings = controller();
        c.change(settings);
        testing::internal::CaptureStderr();
        reportSettings(settings);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line) << c.what;
    }
}

} // namespace
