#include "board_socket.h"

#include "TavoMessages.h"
#include "block_socket.h"
#include "bus_release.h"
#include "output.h"
#include "record_read.h"

#include <cstring>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <sys/socket.h>
#include <unistd.h>

// The message type's bits of an identifier; the address bits and the flags do not count, as
// the handler does not look at them either.
static const canid_t messageTypeMask = 0x1FFF0000;

static int boardFramesSocket = -1;

static can_filter typeFilter(uint32_t msgType, bool inverted) {
    can_filter filter;
    filter.can_id = msgType << 16 | (inverted ? CAN_INV_FILTER : 0);
    filter.can_mask = messageTypeMask;
    return filter;
}

// Every frame but the board's and the tool's own blocks, which come back to every socket on can0:
// all the inverted filters must match (joined).
static bool takeOtherFrames(int socket) {
    can_filter ownBlocks;
    ownBlocks.can_id = blockFrameIdentifier() | CAN_INV_FILTER;
    ownBlocks.can_mask = CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_EFF_MASK;
    can_filter others[3] = {typeFilter(announce, true), typeFilter(firmwareBlockRequest, true),
                            ownBlocks};
    int join = 1;
    if (setsockopt(socket, SOL_CAN_RAW, CAN_RAW_FILTER, others, sizeof(others)) < 0 ||
        setsockopt(socket, SOL_CAN_RAW, CAN_RAW_JOIN_FILTERS, &join, sizeof(join)) < 0) {
        reportSystemError("setsockopt CAN_RAW_FILTER");
        return false;
    }
    if (!askForRecordFacts(socket)) {
        reportSystemError("setsockopt SO_TIMESTAMPNS");
        return false;
    }
    return true;
}

static bool openBoardFramesSocket(int interfaceIndex) {
    int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (s < 0) {
        reportSystemError("Interface can0 board socket");
        return false;
    }
    can_filter board[2] = {typeFilter(announce, false), typeFilter(firmwareBlockRequest, false)};
    int enable = 1;
    sockaddr_can addr;
    memset(&addr, 0, sizeof(addr));
    addr.can_family = AF_CAN;
    addr.can_ifindex = interfaceIndex;
    if (setsockopt(s, SOL_CAN_RAW, CAN_RAW_FILTER, board, sizeof(board)) < 0 ||
        setsockopt(s, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &enable, sizeof(enable)) < 0 ||
        !askForRecordFacts(s) || bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0) {
        reportSystemError("Interface can0 board socket");
        close(s);
        return false;
    }
    boardFramesSocket = s;
    holdUntilTheEnd(s);
    return true;
}

bool separateBoardFrames(int socket, int interfaceIndex) {
    return takeOtherFrames(socket) && openBoardFramesSocket(interfaceIndex);
}

int boardSocket() {
    return boardFramesSocket;
}
