#include "interface_ready.h"

#include "output.h"
#include "settings_report.h"

#include <cstring>
#include <linux/can.h>
#include <sys/ioctl.h>

// Without CAN FD the blocks cannot travel, and on an interface that is down nothing ever
// arrives: refuse both before the board is told to erase itself, rather than wait for ever.
static bool carriesFrames(int socket, ifreq *ifr) {
    if (ioctl(socket, SIOCGIFMTU, ifr) < 0) {
        reportSystemError("Interface can0 MTU");
        return false;
    }
    if (ifr->ifr_mtu != CANFD_MTU) {
        reportFormat("Interface can0 does not carry CAN FD frames (MTU %d, needs %d): set it up "
                     "with \"fd on\"\n",
                     ifr->ifr_mtu, static_cast<int>(CANFD_MTU));
        return false;
    }
    if (ioctl(socket, SIOCGIFFLAGS, ifr) < 0) {
        reportSystemError("Interface can0 state");
        return false;
    }
    if ((ifr->ifr_flags & IFF_UP) == 0) {
        reportText("Interface can0 is down: bring it up first (ip link set can0 up)\n");
        return false;
    }
    return true;
}

static bool isController(const CanSettings &settings) {
    return settings.kindKnown && settings.kind == canController;
}

// A controller in a mode or state in which it cannot take part on the bus: the board would be
// ordered to erase itself by frames that never reach it, or could never be answered.
static bool controllerCanTakePart(const CanSettings &settings) {
    if (!isController(settings)) {
        return true;
    }
    if (settings.controlModeKnown && (settings.controlMode & CAN_CTRLMODE_LISTENONLY) != 0) {
        reportText("Interface can0 is in listen-only mode: it can neither send nor acknowledge "
                   "frames. Turn it off: ip link set can0 down; ip link set can0 type can "
                   "listen-only off; ip link set can0 up\n");
        return false;
    }
    if (settings.controlModeKnown && (settings.controlMode & CAN_CTRLMODE_LOOPBACK) != 0) {
        reportText("Interface can0 is in loopback mode: its frames never reach the bus. Turn it "
                   "off: ip link set can0 down; ip link set can0 type can loopback off; ip link "
                   "set can0 up\n");
        return false;
    }
    // A frame that meets an error or loses arbitration is then dropped, and nothing tells the
    // writer: a block would be lost without a word, and the board would wait for it.
    if (settings.controlModeKnown && (settings.controlMode & CAN_CTRLMODE_ONE_SHOT) != 0) {
        reportText("Interface can0 is in one-shot mode: a frame that meets an error is dropped "
                   "and never sent again. Turn it off: ip link set can0 down; ip link set can0 "
                   "type can one-shot off; ip link set can0 up\n");
        return false;
    }
    if (settings.stateKnown && settings.state == CAN_STATE_BUS_OFF) {
        reportText("Interface can0 is bus-off: its controller stopped after too many errors and "
                   "sends nothing. Restart it (ip link set can0 type can restart), or let it "
                   "restart by itself from now on (ip link set can0 down; ip link set can0 type "
                   "can restart-ms 100; ip link set can0 up)\n");
        reportSettings(settings);
        return false;
    }
    return true;
}

// Errors counted before the run: the upload may work, but the bus is not well.
static void reportErrorState(const CanSettings &settings) {
    if (!isController(settings) || !settings.stateKnown ||
        (settings.state != CAN_STATE_ERROR_PASSIVE && settings.state != CAN_STATE_ERROR_WARNING)) {
        return;
    }
    const char *state =
        settings.state == CAN_STATE_ERROR_PASSIVE ? "is error-passive" : "warns of errors";
    if (settings.errorCountersKnown) {
        reportFormat("can0 %s at start-up (transmit errors %u, receive errors %u): frames have "
                     "failed on the bus; check the bit rates, the wiring and the termination\n",
                     state, settings.transmitErrors, settings.receiveErrors);
    } else {
        reportFormat("can0 %s at start-up: frames have failed on the bus; check the bit rates, "
                     "the wiring and the termination\n",
                     state);
    }
}

// With presume-ack a frame counts as sent whether or not any node took it.
static void reportPresumedAcknowledgement(const CanSettings &settings) {
    if (isController(settings) && settings.controlModeKnown &&
        (settings.controlMode & CAN_CTRLMODE_PRESUME_ACK) != 0) {
        reportText("can0 presumes acknowledgements (presume-ack on): it counts a frame as sent "
                   "even when no node took it, so the tool cannot tell that the board got its "
                   "blocks; watch the board's own sign of a finished update\n");
    }
}

bool settingsAllowAnUpload(const CanSettings &settings) {
    if (!controllerCanTakePart(settings)) {
        return false;
    }
    reportErrorState(settings);
    reportPresumedAcknowledgement(settings);
    return true;
}

bool interfaceReady(int socket, ifreq *ifr) {
    if (!carriesFrames(socket, ifr)) {
        return false;
    }
    // A kernel that cannot be asked leaves the settings unknown: the tool then knows as much as
    // it always did, and goes on.
    if (!readStartupSettings()) {
        return true;
    }
    return settingsAllowAnUpload(startupSettings());
}
