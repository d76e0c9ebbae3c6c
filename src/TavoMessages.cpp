#include "TavoMessages.h"

#include <cstring>

namespace {

uint32_t readWord32(const uint8_t *in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

void writeWord32(uint32_t word, uint8_t *out) {
    out[0] = static_cast<uint8_t>(word);
    out[1] = static_cast<uint8_t>(word >> 8);
    out[2] = static_cast<uint8_t>(word >> 16);
    out[3] = static_cast<uint8_t>(word >> 24);
}

} // namespace

can_id can_id_from_value(uint32_t value) {
    can_id result;
    result.value = value;
    result.id.destination_address = static_cast<uint8_t>(value & 0xFFu);
    result.id.source_address = static_cast<uint8_t>((value >> 8) & 0xFFu);
    result.id.msgType = static_cast<uint16_t>(value >> 16);
    return result;
}

can_id can_id_for(uint8_t destination, uint8_t source, uint16_t msgType) {
    return can_id_from_value(static_cast<uint32_t>(msgType) << 16 |
                             static_cast<uint32_t>(source) << 8 | destination);
}

void encodeUpdateYourFirmware(const canMessageUpdateYourFirmware &message, uint8_t *out) {
    uint16_t word =
        static_cast<uint16_t>((message.requestId & 0x0FFFu) | (message.spare & 0x0Fu) << 12);
    out[0] = static_cast<uint8_t>(word);
    out[1] = static_cast<uint8_t>(word >> 8);
    out[2] = message.boardId;
    out[3] = message.invertedBoardId;
}

canMessageFirmwareUpdateRequest decodeFirmwareUpdateRequest(const uint8_t *in) {
    uint32_t first = readWord32(in);
    uint32_t second = readWord32(in + 4);
    canMessageFirmwareUpdateRequest request;
    request.fileOffset = first & fieldMask24;
    request.bootloaderVersion = static_cast<uint8_t>(first >> 24);
    request.lengthRequested = second & fieldMask24;
    request.boardVersion = static_cast<uint8_t>(second >> 24);
    return request;
}

size_t encodeFirmwareUpdateResponse(const canMessageFirmwareUpdateResponse &message, uint8_t *out) {
    uint32_t first = (message.fileOffset & fieldMask24) |
                     static_cast<uint32_t>(message.dataLength & 0x3Fu) << 24 |
                     static_cast<uint32_t>(message.err & 0x3u) << 30;
    uint32_t second = (message.fileLength & fieldMask24) | static_cast<uint32_t>(message.spare2)
                                                               << 24;
    writeWord32(first, out);
    writeWord32(second, out + 4);
    size_t dataLength = message.dataLength & 0x3Fu;
    if (dataLength > canMessageFirmwareUpdateResponseDataSize) {
        dataLength = canMessageFirmwareUpdateResponseDataSize;
    }
    memcpy(out + canMessageFirmwareUpdateResponseHeaderSize, message.data, dataLength);
    return canMessageFirmwareUpdateResponseHeaderSize + dataLength;
}
