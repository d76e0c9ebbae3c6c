#include "message_handler.h"

#include "TavoMessages.h"
#include "block_service.h"
#include "board.h"
#include "board_watch.h"
#include "frame_send.h"
#include "output.h"
#include "run_outcome.h"
#include "upload_state.h"

#include <cstring>

static can_frame activationFrame(uint16_t msgType) {
    can_frame frame;
    memset(&frame, 0, sizeof(frame));
    frame.can_id = can_id_for(targetBoardAddress, ownAddress, msgType).value | CAN_EFF_FLAG;
    return frame;
}

static bool sendActivationFrame(int socket, const can_frame &frame) {
    SendOutcome sent = sendFrame(socket, &frame, sizeof(frame));
    if (sent != frameSent) {
        reportSendFailure(sent);
        return false;
    }
    return true;
}

// A failed write leaves the flag false, so the next announcement starts over.
static void activateBootloader(int socket, uint8_t source) {
    if (originalFirmwareErase) {
        if (source == targetBoardAddress) {
            noteAnnouncedAfterActivation();
        }
        return;
    }
    can_frame acknowledge = activationFrame(acknowledgeAnnounce);
    logLine("Detected original firmware!\r");
    logLine("I'm sending ACK..\r");
    if (!sendActivationFrame(socket, acknowledge)) {
        return;
    }
    // A Ctrl-C that came meanwhile: the order that erases the board must not follow.
    endIfInterrupted();

    canMessageUpdateYourFirmware request;
    request.requestId = 1;
    request.spare = 0;
    request.boardId = targetBoardAddress;
    request.invertedBoardId = static_cast<uint8_t>(~targetBoardAddress);
    can_frame order = activationFrame(updateFirmware);
    order.can_dlc = canMessageUpdateYourFirmwareSize;
    encodeUpdateYourFirmware(request, order.data);

    logLine("Sending command to clear flash and activate bootloader...\r");
    if (!sendActivationFrame(socket, order)) {
        return;
    }
    logLine("Waiting for bootloader...\r");
    originalFirmwareErase = true;
}

void ProcessReceivedMessage(const canfd_frame *frame, int socket, ssize_t nbytes) {
    can_id canId = can_id_from_value(frame->can_id & CAN_EFF_MASK);
    switch (canId.id.msgType) {
    case announce:
        noteBoardHeard(boardAnnounced);
        activateBootloader(socket, canId.id.source_address);
        break;
    case firmwareBlockRequest: {
        RequestOutcome outcome = serveFirmwareBlockRequest(frame, nbytes);
        // The board's silence counts from the end of the blocks it asked for, however long
        // they took to send.
        noteBoardHeard(outcome == requestServed ? blockRequestServed : blockRequestIgnored);
        if (outcome == requestPastTheEnd) {
            return;
        }
        break;
    }
    default:
        logLine("CanMessageType::unknown\r");
        break;
    }
    logFormat("Src: %d Dest: %d\r\n", canId.id.source_address, canId.id.destination_address);
}
