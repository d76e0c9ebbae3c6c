#include "block_service.h"

#include "TavoMessages.h"
#include "block_log.h"
#include "board.h"
#include "bus_health.h"
#include "firmware_image.h"
#include "frame_send.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/can.h>
#include <unistd.h>

static const useconds_t firstBlockPauseMicroseconds = 500000;

// The flags of the block frames of the request being served.
static uint8_t blockFrameFlags = 0;

static uint32_t lesserOf(uint32_t a, uint32_t b) {
    return a < b ? a : b;
}

[[noreturn]] static void failBlockRead(ssize_t bytesRead, uint32_t fileOffset) {
    flushBlockLines();
    if (bytesRead < 0) {
        static char prefix[64];
        snprintf(prefix, sizeof(prefix), "Firmware read failed at offset %u", fileOffset);
        perror(prefix);
    } else {
        fprintf(stderr,
                "Firmware read gave no data at offset %u: the image is shorter than the %u "
                "bytes it had at start-up\n",
                fileOffset, fileLength);
    }
    exit(2);
}

// Where the upload stands: the end of the last block sent.
static uint32_t sentUpTo = 0;

uint32_t uploadPosition() {
    return sentUpTo;
}

[[noreturn]] static void finishUpload(int socket) {
    flushBlockLines();
    // A controller that went bus-off drops what it is handed until it restarts, and write()
    // does not say so: the board may lack blocks of this request.
    if (busWentOffSinceMark()) {
        fputs("Error sending command via CAN FD!: can0 went bus-off while the last blocks were "
              "sent, and some may be lost: run the tool again\n",
              stderr);
        exit(2);
    }
    printf("Firmware uploaded...");
    close(socket);
    close(file);
    exit(0);
}

uint32_t processSingleUploadBlock(int socket, uint32_t lreq, uint32_t fileOffset) {
    // Never read beyond the size announced in the header, even if the file grew since.
    lreq = lesserOf(lesserOf(lreq, largestBlock), fileLength - fileOffset);
    ssize_t bytesRead = lreq;
    const uint8_t *data = firmwareAhead(lreq, fileOffset);
    if (data == nullptr) {
        // Not read ahead, or the file came up short: read the block itself, as it decides
        // what is sent or reported.
        bytesRead = readFirmwareBlock(lreq, fileOffset);
        if (bytesRead <= 0) {
            failBlockRead(bytesRead, fileOffset);
        }
        data = buffer;
    }

    can_id canIdResponse = can_id_for(targetBoardAddress, ownAddress, firmwareBlockResponse);
    canMessageFirmwareUpdateResponse response;
    memset(&response, 0, sizeof(response));
    response.fileOffset = fileOffset;
    response.dataLength = static_cast<uint8_t>(bytesRead);
    response.err = canMessageFirmwareUpdateResponse_error_ErrNone;
    response.fileLength = fileLength;
    response.spare2 = 0;
    memcpy(response.data, data, static_cast<size_t>(bytesRead));

    canfd_frame frame;
    memset(&frame, 0, sizeof(frame));
    frame.can_id = canIdResponse.value | CAN_EFF_FLAG;
    frame.flags = blockFrameFlags;
    frame.len = static_cast<uint8_t>(encodeFirmwareUpdateResponse(response, frame.data));

    logBlockLine(static_cast<uint32_t>(bytesRead), fileOffset);
    if (!sendFrame(socket, &frame, sizeof(frame))) {
        reportSendFailure();
        exit(2);
    }
    sentUpTo = fileOffset + static_cast<uint32_t>(bytesRead);
    if (static_cast<uint32_t>(bytesRead) + fileOffset == fileLength) {
        finishUpload(socket);
    }
    return static_cast<uint32_t>(bytesRead);
}

static void printProgress(uint32_t fileOffset) {
    float onepercentage = static_cast<float>(fileLength) / 100.0f;
    float percentage = static_cast<float>(fileOffset) / onepercentage;
    printf("Done: %f%%\r\n", static_cast<double>(percentage));
}

bool serveFirmwareBlockRequest(const uint8_t *payload, uint8_t payloadLength, bool bitRateSwitch,
                               int socket) {
    puts("Received FirmwareUpdateRequest from bootloader\r");
    if (payloadLength < canMessageFirmwareUpdateRequestHeaderSize) {
        printf("FirmwareUpdateRequest of %u bytes is too short, ignored\r\n", payloadLength);
        return true;
    }
    canMessageFirmwareUpdateRequest request = decodeFirmwareUpdateRequest(payload);
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
    forgetFirmwareAhead();
    blockFrameFlags = bitRateSwitch ? CANFD_BRS : 0;
    while (lengthRequested != 0) {
        if (firmwareAhead(lesserOf(lreq, fileLength - fileOffset), fileOffset) == nullptr) {
            readFirmwareAhead(lesserOf(lengthRequested, fileLength - fileOffset), fileOffset);
        }
        uint32_t sendedBytes = processSingleUploadBlock(socket, lreq, fileOffset);
        lengthRequested -= sendedBytes;
        fileOffset += sendedBytes;
        lreq = lesserOf(largestBlock, lengthRequested);
    }
    blockFrameFlags = 0;
    flushBlockLines();
    return true;
}
