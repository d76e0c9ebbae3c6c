#include "block_socket.h"

#include "TavoMessages.h"
#include "board.h"
#include "bus_release.h"
#include "confirmation.h"
#include "frame_send.h"
#include "output.h"

#include <cstring>
#include <linux/can/raw.h>
#include <sys/socket.h>
#include <unistd.h>

// Echoes wait here until the tool reads them, every few dozen blocks; the kernel may give less.
static const int echoQueueBytes = 256 * 1024;

static int blocksSocket = -1;

canid_t blockFrameIdentifier() {
    return can_id_for(targetBoardAddress, ownAddress, firmwareBlockResponse).value | CAN_EFF_FLAG;
}

static bool takeEchoes(int s) {
    can_filter own;
    own.can_id = blockFrameIdentifier();
    own.can_mask = CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_EFF_MASK;
    int on = 1;
    int size = echoQueueBytes;
    return setsockopt(s, SOL_CAN_RAW, CAN_RAW_FILTER, &own, sizeof(own)) == 0 &&
           setsockopt(s, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &on, sizeof(on)) == 0 &&
           setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) == 0 &&
           setsockopt(s, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof(on)) == 0;
}

bool openBlockSocket(int interfaceIndex, bool echoes) {
    int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (s < 0) {
        reportSystemError("Interface can0 block socket");
        return false;
    }
    int sndbuf = 0;
    int enable = 1;
    sockaddr_can addr;
    memset(&addr, 0, sizeof(addr));
    addr.can_family = AF_CAN;
    addr.can_ifindex = interfaceIndex;
    // Without echoes the socket takes in nothing: an empty filter list.
    can_filter none;
    memset(&none, 0, sizeof(none));
    bool receiving =
        echoes ? takeEchoes(s) : setsockopt(s, SOL_CAN_RAW, CAN_RAW_FILTER, &none, 0) == 0;
    if (!receiving || setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf)) < 0 ||
        setsockopt(s, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &enable, sizeof(enable)) < 0 ||
        bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0) {
        reportSystemError("Interface can0 block socket");
        close(s);
        return false;
    }
    if (!boundSendWaits(s)) {
        close(s);
        return false;
    }
    blocksSocket = s;
    holdUntilTheEnd(s);
    startConfirmation(s, echoes);
    return true;
}

int blockSocket() {
    return blocksSocket;
}

void useBlockSocket(int descriptor) {
    blocksSocket = descriptor;
    startConfirmation(descriptor, false);
}
