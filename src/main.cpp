// canfd-flash: puts the board at address 121 on can0 into its bootloader and uploads
// /opt/klipper.bin to it. Takes no arguments but --check, -h, --help and --version.
#include "block_socket.h"
#include "board_socket.h"
#include "board_watch.h"
#include "bus_check.h"
#include "bus_health.h"
#include "bus_lock.h"
#include "bus_release.h"
#include "command_line.h"
#include "firmware_image.h"
#include "frame_log.h"
#include "frame_send.h"
#include "interface_ready.h"
#include "interruption.h"
#include "message_handler.h"
#include "output.h"
#include "receive_wait.h"
#include "received_record.h"
#include "run_outcome.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

static const char interfaceName[] = "can0";

// Whether can0 hands each frame back once its controller has sent it: the blocks are then
// confirmed by their echoes.
static bool interfaceEchoes() {
    return startupSettingsRead() && startupSettings().linkKnown && startupSettings().echo;
}

// Opens the socket that sends the activation and reads can0, bound to it with CAN FD frames, and
// the board's, the blocks' and the error reports' sockets beside it; -1 after a report.
static int openBus(ifreq *ifr) {
    int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (s < 0) {
        int socketError = errno;
        reportSystemError("Socket");
        if (socketError == EAFNOSUPPORT || socketError == EPROTONOSUPPORT) {
            reportText("The kernel has no CAN support loaded: load it (modprobe can_raw, as root), "
                       "or use a kernel built with CAN\n");
        }
        return -1;
    }
    holdUntilTheEnd(s);
    int sndbuf = 0;
    if (setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(int)) < 0) {
        reportSystemError("setsockopt");
    }
    if (!boundSendWaits(s)) {
        return -1;
    }
    memset(ifr, 0, sizeof(*ifr));
    strncpy(ifr->ifr_name, interfaceName, IFNAMSIZ - 1);
    if (ioctl(s, SIOCGIFINDEX, ifr) < 0) {
        reportSystemError("Interface can0");
        return -1;
    }
    int interfaceIndex = ifr->ifr_ifindex;
    sockaddr_can addr;
    memset(&addr, 0, sizeof(addr));
    addr.can_family = AF_CAN;
    addr.can_ifindex = interfaceIndex;
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0) {
        reportSystemError("Bind");
        return -1;
    }
    int enable = 1;
    if (setsockopt(s, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &enable, sizeof(int)) < 0) {
        reportSystemError("setsockopt CAN_RAW_FD_FRAMES");
        return -1;
    }
    watchSettingsOf(interfaceIndex);
    if (!separateBoardFrames(s, interfaceIndex) || !interfaceReady(s, ifr) ||
        !openBusHealth(interfaceIndex) || !openBlockSocket(interfaceIndex, interfaceEchoes())) {
        return -1;
    }
    if (startupSettingsRead() && startupSettings().stateKnown) {
        seedControllerState(startupSettings().state);
    }
    return s;
}

int main(int argc, char **argv) {
    startOutput(STDOUT_FILENO, STDERR_FILENO);
    int commandLineStatus = handleCommandLine(argc, argv);
    bool checking = commandLineStatus == commandLineCheck;
    if (commandLineStatus != commandLineGoAhead && !checking) {
        endRun(commandLineStatus);
    }
    // A log reader that goes away (`| head`, a closed terminal pipe) must not end the upload
    // half way through and leave the board erased: losing the log is the lesser harm.
    signal(SIGPIPE, SIG_IGN);
    catchInterruptions();

    if (!openFirmwareImage(firmwareImagePath) || !takeBusLock(interfaceName)) {
        checking ? endCheckAtStartUp() : endRun(1);
    }
    if (!checking) {
        logFormat("Firmware size %u\n\r", fileLength);
        logLine("CAN Sockets Receive Demo\r");
    }

    ifreq ifr;
    int s = openBus(&ifr);
    if (s < 0) {
        checking ? endCheckAtStartUp() : endRun(1);
    }
    if (checking) {
        runCheck(s);
    }
    logLine("Citam\r");
    startBoardWatch();

    // Large enough for a CAN FD frame: the size of what a read returns tells FD from classic.
    canfd_frame frame;
    for (;;) {
        ssize_t nbytes = receiveRecord(s, &frame);
        int readError = errno;
        logLine("Hotovo\r");
        if (nbytes < 0) {
            endAfterFailedRead(readError);
        }
        printFrameDump(&frame, nbytes);
        if (nbytes >= frameHeaderSize) {
            ProcessReceivedMessage(&frame, s, nbytes);
        }
    }
}
