#include "bus_time.h"

#include "TavoMessages.h"
#include "board.h"
#include "can_lengths.h"

#include <algorithm>
#include <cstring>

namespace {

// SOF, identifier, SRR, IDE, RRS, FDF, res, BRS: everything before the bit-rate switch.
constexpr unsigned headerBits = 1 + 11 + 1 + 1 + 18 + 1 + 1 + 1 + 1;
// CRC delimiter, ACK slot, ACK delimiter, end of frame, intermission: the same in both formats.
constexpr unsigned trailerBits = 1 + 1 + 1 + 7 + 3;

const uint32_t requestId = can_id_for(ownAddress, targetBoardAddress, firmwareBlockRequest).value;
const uint32_t blockId = can_id_for(targetBoardAddress, ownAddress, firmwareBlockResponse).value;

void push(std::vector<uint8_t> &bits, uint32_t value, int count) {
    for (int i = count - 1; i >= 0; i--) {
        bits.push_back(static_cast<uint8_t>((value >> i) & 1u));
    }
}

// What both formats send first for a 29-bit identifier.
std::vector<uint8_t> startOfExtendedFrame(uint32_t id29) {
    std::vector<uint8_t> bits;
    bits.push_back(0);              // SOF
    push(bits, id29 >> 18, 11);     // base identifier
    push(bits, 0x3, 2);             // SRR, IDE
    push(bits, id29 & 0x3FFFF, 18); // identifier extension
    return bits;
}

// Stuff count (3 bits and parity) and CRC, with a fixed stuff bit before the stuff count and
// after every fourth bit; the CRC is 17 bits long up to 16 data bytes, 21 beyond.
unsigned crcFieldBits(uint8_t len) {
    const unsigned crc = len <= 16 ? 17 : 21;
    const unsigned fixedStuff = 1 + (4 + crc) / 4;
    return 4 + crc + fixedStuff;
}

void putWord32(uint32_t word, uint8_t *out) {
    for (int i = 0; i < 4; i++) {
        out[i] = static_cast<uint8_t>(word >> (8 * i));
    }
}

} // namespace

unsigned dynamicStuffBits(const std::vector<uint8_t> &bits, size_t switchAt,
                          unsigned *afterSwitch) {
    unsigned stuffed = 0;
    unsigned late = 0;
    unsigned run = 0;
    uint8_t last = 2;
    for (size_t i = 0; i < bits.size(); i++) {
        run = bits[i] == last ? run + 1 : 1;
        last = bits[i];
        if (run == 5) {
            stuffed++;
            late += i >= switchAt ? 1 : 0;
            last = static_cast<uint8_t>(1 - last);
            run = 1;
        }
    }
    if (afterSwitch != nullptr) {
        *afterSwitch = late;
    }
    return stuffed;
}

FrameBits canFdFrameBits(uint32_t id29, const uint8_t *data, uint8_t len, bool bitRateSwitch) {
    std::vector<uint8_t> bits = startOfExtendedFrame(id29);
    push(bits, 0x2, 3); // RRS, FDF, res
    bits.push_back(bitRateSwitch ? 1 : 0);
    const size_t switchAt = bits.size() - 1;
    bits.push_back(0); // ESI: error active
    push(bits, can_len2dlc(len), 4);
    for (uint8_t i = 0; i < len; i++) {
        push(bits, data[i], 8);
    }

    FrameBits result;
    unsigned afterSwitch = 0;
    const unsigned stuff = dynamicStuffBits(bits, switchAt, &afterSwitch);
    const unsigned total =
        static_cast<unsigned>(bits.size()) + crcFieldBits(len) + trailerBits + stuff;
    if (!bitRateSwitch) {
        result.arbitrationPhase = total;
        result.arbitrationStuff = stuff;
        return result;
    }
    result.arbitrationStuff = stuff - afterSwitch;
    result.dataStuff = afterSwitch;
    result.arbitrationPhase = headerBits + trailerBits + result.arbitrationStuff;
    result.dataPhase = total - result.arbitrationPhase;
    return result;
}

uint16_t crc15(const std::vector<uint8_t> &bits) {
    uint16_t crc = 0;
    for (const uint8_t bit : bits) {
        const bool divide = ((crc >> 14) & 1u) != bit;
        crc = static_cast<uint16_t>((crc << 1) & 0x7FFFu);
        if (divide) {
            crc ^= 0x4599u;
        }
    }
    return crc;
}

FrameBits classicFrameBits(uint32_t id29, const uint8_t *data, uint8_t len) {
    std::vector<uint8_t> bits = startOfExtendedFrame(id29);
    push(bits, 0x0, 3); // RTR, r1, r0
    push(bits, len, 4); // DLC
    for (uint8_t i = 0; i < len; i++) {
        push(bits, data[i], 8);
    }
    push(bits, crc15(bits), 15);

    FrameBits result;
    result.arbitrationStuff = dynamicStuffBits(bits);
    result.arbitrationPhase =
        static_cast<unsigned>(bits.size()) + trailerBits + result.arbitrationStuff;
    return result;
}

FrameBits withoutDynamicStuff(FrameBits bits) {
    bits.arbitrationPhase -= bits.arbitrationStuff;
    bits.dataPhase -= bits.dataStuff;
    bits.arbitrationStuff = 0;
    bits.dataStuff = 0;
    return bits;
}

double frameMicroseconds(const FrameBits &bits, double arbitrationBitsPerSecond,
                         double dataBitsPerSecond) {
    return 1e6 *
           (bits.arbitrationPhase / arbitrationBitsPerSecond + bits.dataPhase / dataBitsPerSecond);
}

std::vector<uint8_t> blockFramePayload(const std::vector<uint8_t> &image, uint32_t offset,
                                       uint32_t length) {
    canMessageFirmwareUpdateResponse response;
    memset(&response, 0, sizeof(response));
    response.fileOffset = offset;
    response.dataLength = static_cast<uint8_t>(length);
    response.fileLength = static_cast<uint32_t>(image.size());
    memcpy(response.data, image.data() + offset, length);
    std::vector<uint8_t> payload(64, 0);
    const size_t used = encodeFirmwareUpdateResponse(response, payload.data());
    payload.resize(can_dlc2len(can_len2dlc(static_cast<uint8_t>(used))));
    return payload;
}

std::vector<uint8_t> blockRequestPayload(uint32_t offset, uint32_t length, const char *boardType) {
    std::vector<uint8_t> payload(boardType == nullptr ? 8 : 64, 0);
    putWord32(offset & fieldMask24, payload.data());
    putWord32((length & fieldMask24) | 1u << 24, payload.data() + 4);
    if (boardType != nullptr) {
        memcpy(payload.data() + 8, boardType, strnlen(boardType, 56));
    }
    return payload;
}

std::vector<UploadFrame> uploadFrames(const std::vector<uint8_t> &image, uint32_t chunk,
                                      const char *boardType) {
    std::vector<UploadFrame> frames;
    for (size_t start = 0; start < image.size(); start += chunk) {
        frames.push_back(
            {true, blockRequestPayload(static_cast<uint32_t>(start), chunk, boardType)});
        const size_t end = std::min(image.size(), start + chunk);
        for (size_t at = start; at < end; at += canMessageFirmwareUpdateResponseDataSize) {
            const size_t length = std::min(end - at, canMessageFirmwareUpdateResponseDataSize);
            frames.push_back({false, blockFramePayload(image, static_cast<uint32_t>(at),
                                                       static_cast<uint32_t>(length))});
        }
    }
    return frames;
}

std::vector<FrameBits> uploadFrameBits(const std::vector<UploadFrame> &frames, bool classicRequests,
                                       bool bitRateSwitch) {
    std::vector<FrameBits> bits;
    bits.reserve(frames.size());
    for (const UploadFrame &frame : frames) {
        const uint8_t len = static_cast<uint8_t>(frame.payload.size());
        if (frame.request && classicRequests) {
            bits.push_back(classicFrameBits(requestId, frame.payload.data(), len));
        } else {
            bits.push_back(canFdFrameBits(frame.request ? requestId : blockId, frame.payload.data(),
                                          len, bitRateSwitch));
        }
    }
    return bits;
}

double busMicroseconds(const std::vector<FrameBits> &frames, double arbitrationBitsPerSecond,
                       double dataBitsPerSecond, bool dynamicStuff) {
    double sum = 0;
    for (const FrameBits &bits : frames) {
        sum += frameMicroseconds(dynamicStuff ? bits : withoutDynamicStuff(bits),
                                 arbitrationBitsPerSecond, dataBitsPerSecond);
    }
    return sum;
}
