#include "block_service.h"

#include "TavoMessages.h"
#include "block_log.h"
#include "board.h"
#include "bus_health.h"
#include "firmware_image.h"
#include "frame_log.h"
#include "frame_send.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/can.h>
#include <unistd.h>

static const useconds_t firstBlockPauseMicroseconds = 500000;

static uint32_t lesserOf(uint32_t a, uint32_t b) {
    return a < b ? a : b;
}

// Where the upload stands: the end of the last request served.
static uint32_t sentUpTo = 0;

uint32_t uploadPosition() {
    return sentUpTo;
}

[[noreturn]] static void finishUpload(int socket) {
    flushBlockLines();
    // A controller that went bus-off may drop what it is handed until it restarts, and write()
    // does not say so: the board may lack blocks of this request.
    if (busWentOffSinceMark()) {
        fputs("Error sending command via CAN FD!: can0 went bus-off while the last blocks were "
              "sent, and some may be lost: run the tool again\n",
              stderr);
        exit(2);
    }
    printf("Firmware uploaded...");
    close(socket);
    exit(0);
}

bool receivedWithBitRateSwitch(const canfd_frame *record, ssize_t nbytes) {
    return nbytes == static_cast<ssize_t>(CANFD_MTU) && (record->flags & CANFD_BRS) != 0;
}

uint32_t processSingleUploadBlock(int socket, uint32_t lreq, uint32_t fileOffset,
                                  uint8_t frameFlags) {
    // Never beyond the size announced in the header.
    uint32_t length = lesserOf(lesserOf(lreq, largestBlock), fileLength - fileOffset);

    can_id canIdResponse = can_id_for(targetBoardAddress, ownAddress, firmwareBlockResponse);
    canMessageFirmwareUpdateResponse response;
    memset(&response, 0, sizeof(response));
    response.fileOffset = fileOffset;
    response.dataLength = static_cast<uint8_t>(length);
    response.err = canMessageFirmwareUpdateResponse_error_ErrNone;
    response.fileLength = fileLength;
    response.spare2 = 0;
    memcpy(response.data, firmwareImage + fileOffset, length);

    canfd_frame frame;
    memset(&frame, 0, sizeof(frame));
    frame.can_id = canIdResponse.value | CAN_EFF_FLAG;
    frame.flags = frameFlags;
    frame.len = static_cast<uint8_t>(encodeFirmwareUpdateResponse(response, frame.data));

    logBlockLine(length, fileOffset);
    if (!sendFrame(socket, &frame, sizeof(frame))) {
        reportSendFailure();
        exit(2);
    }
    if (length + fileOffset == fileLength) {
        finishUpload(socket);
    }
    return length;
}

static void printProgress(uint32_t fileOffset) {
    float onepercentage = static_cast<float>(fileLength) / 100.0f;
    float percentage = static_cast<float>(fileOffset) / onepercentage;
    printf("Done: %f%%\r\n", static_cast<double>(percentage));
}

bool serveFirmwareBlockRequest(const canfd_frame *record, ssize_t nbytes, int socket) {
    puts("Received FirmwareUpdateRequest from bootloader\r");
    uint8_t payloadLength = heldPayloadLength(record, nbytes);
    if (payloadLength < canMessageFirmwareUpdateRequestHeaderSize) {
        printf("FirmwareUpdateRequest of %u bytes is too short, ignored\r\n", payloadLength);
        return true;
    }
    canMessageFirmwareUpdateRequest request = decodeFirmwareUpdateRequest(record->data);
    if (request.bootloaderVersion != 0) {
        return true;
    }

    uint32_t lreq = lesserOf(largestBlock, request.lengthRequested);
    uint32_t fileOffset = request.fileOffset;
    if (fileOffset == 0) {
        // Gives the freshly started bootloader time before the first block arrives.
        usleep(firstBlockPauseMicroseconds);
    }
    if (fileOffset >= fileLength) {
        return false;
    }

    uint32_t lengthRequested = request.lengthRequested;
    printf("Requested length %u \r\n", lengthRequested);
    printf("File read length %u \r\n", lreq);
    printf("Requested fileOffset %u\r\n", fileOffset);
    if (fileOffset != 0 && fileLength != 0) {
        printProgress(fileOffset);
    }

    markBusHealth();
    uint8_t blockFlags = receivedWithBitRateSwitch(record, nbytes) ? CANFD_BRS : 0;
    while (lengthRequested != 0) {
        uint32_t sendedBytes = processSingleUploadBlock(socket, lreq, fileOffset, blockFlags);
        lengthRequested -= sendedBytes;
        fileOffset += sendedBytes;
        lreq = lesserOf(largestBlock, lengthRequested);
    }
    sentUpTo = fileOffset;
    flushBlockLines();
    return true;
}
