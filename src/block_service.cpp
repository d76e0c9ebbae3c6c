#include "block_service.h"

#include "TavoMessages.h"
#include "block_log.h"
#include "block_socket.h"
#include "bus_health.h"
#include "confirmation.h"
#include "firmware_image.h"
#include "output.h"
#include "progress_line.h"
#include "received_record.h"
#include "run_outcome.h"
#include "upload_state.h"

#include <cstring>
#include <linux/can.h>
#include <unistd.h>

static const useconds_t firstBlockPauseMicroseconds = 500000;

static uint32_t lesserOf(uint32_t a, uint32_t b) {
    return a < b ? a : b;
}

uint32_t processSingleUploadBlock(int socket, uint32_t lreq, uint32_t fileOffset,
                                  uint8_t frameFlags) {
    // Never beyond the size announced in the header.
    uint32_t length = lesserOf(lesserOf(lreq, largestBlock), fileLength - fileOffset);

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
    frame.can_id = blockFrameIdentifier();
    frame.flags = frameFlags;
    frame.len = static_cast<uint8_t>(encodeFirmwareUpdateResponse(response, frame.data));

    // A Ctrl-C is answered between two blocks, before a block is logged that would not go out.
    endIfInterrupted();
    logBlockLine(length, fileOffset);
    SendOutcome sent = sendFrame(socket, &frame, sizeof(frame));
    if (sent != frameSent) {
        failBlockSend(sent);
    }
    noteBlockWritten();
    if (length + fileOffset == fileLength) {
        noteUploadPosition(fileLength);
        finishUpload();
    }
    return length;
}

static void printProgress(uint32_t fileOffset) {
    float onepercentage = static_cast<float>(fileLength) / 100.0f;
    float percentage = static_cast<float>(fileOffset) / onepercentage;
    logFormat("Done: %f%%\r\n", static_cast<double>(percentage));
}

RequestOutcome serveFirmwareBlockRequest(const canfd_frame *record, ssize_t nbytes) {
    logLine("Received FirmwareUpdateRequest from bootloader\r");
    uint8_t payloadLength = heldPayloadLength(record, nbytes);
    if (payloadLength < canMessageFirmwareUpdateRequestHeaderSize) {
        logFormat("FirmwareUpdateRequest of %u bytes is too short, ignored\r\n", payloadLength);
        return requestIgnored;
    }
    canMessageFirmwareUpdateRequest request = decodeFirmwareUpdateRequest(record->data);
    if (request.bootloaderVersion != 0) {
        return requestIgnored;
    }

    uint32_t lreq = lesserOf(largestBlock, request.lengthRequested);
    uint32_t fileOffset = request.fileOffset;
    // From here on the board is in its bootloader, erased: an interruption must say so.
    if (fileOffset < fileLength) {
        noteUploadBegins();
    }
    if (fileOffset == 0) {
        // Gives the freshly started bootloader time before the first block arrives.
        usleep(firstBlockPauseMicroseconds);
        endIfInterrupted();
    }
    if (fileOffset >= fileLength) {
        return requestPastTheEnd;
    }

    uint32_t lengthRequested = request.lengthRequested;
    logFormat("Requested length %u \r\n", lengthRequested);
    logFormat("File read length %u \r\n", lreq);
    logFormat("Requested fileOffset %u\r\n", fileOffset);
    if (fileOffset != 0 && fileLength != 0) {
        printProgress(fileOffset);
    }
    // The request shows in the log before its blocks go out, however long they take.
    flushOutput();

    markBusHealth();
    uint8_t blockFlags = receivedWithBitRateSwitch(record, nbytes) ? CANFD_BRS : 0;
    int socket = blockSocket();
    while (lengthRequested != 0) {
        uint32_t sendedBytes = processSingleUploadBlock(socket, lreq, fileOffset, blockFlags);
        lengthRequested -= sendedBytes;
        fileOffset += sendedBytes;
        lreq = lesserOf(largestBlock, lengthRequested);
    }
    noteUploadPosition(fileOffset);
    showUploadProgress(fileOffset, fileLength);
    flushOutput();
    return requestServed;
}
