#include "wire.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

// Both records start with can_id (host order), len, flags/pad, two reserved bytes, then data.
constexpr size_t kLenAt = 4;
constexpr size_t kFlagsAt = 5;
constexpr size_t kDataAt = 8;

constexpr char kBoardTypeText[] = "sim-board-121";

} // namespace

void encodeRecord(const Frame &frame, uint8_t *out) {
    std::memset(out, 0, kMaxRecordSize);
    std::memcpy(out, &frame.canId, sizeof frame.canId);
    out[kLenAt] = frame.len;
    const size_t dataBytes = frame.isFd() ? kFdMaxLen : kClassicMaxLen;
    if (frame.isFd()) {
        out[kFlagsAt] = frame.flags;
    }
    std::memcpy(out + kDataAt, frame.data.data(), dataBytes);
}

Frame decodeRecord(const uint8_t *bytes, size_t size) {
    Frame frame;
    frame.recordSize = size;
    if (size >= sizeof frame.canId) {
        std::memcpy(&frame.canId, bytes, sizeof frame.canId);
    }
    if (size > kLenAt) {
        frame.len = bytes[kLenAt];
    }
    if (size == kFdRecordSize) {
        frame.flags = bytes[kFlagsAt];
    }
    if (size > kDataAt) {
        const size_t dataBytes = std::min(size - kDataAt, kFdMaxLen);
        std::memcpy(frame.data.data(), bytes + kDataAt, dataBytes);
    }
    return frame;
}

uint32_t readLe32(const uint8_t *in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

void writeLe32(uint32_t word, uint8_t *out) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(word >> (8 * i));
    }
}

BlockResponseHeader decodeBlockResponseHeader(const uint8_t *in) {
    const uint32_t word0 = readLe32(in);
    const uint32_t word1 = readLe32(in + 4);
    BlockResponseHeader header;
    header.offset = word0 & kField24;
    header.dataLength = static_cast<uint8_t>((word0 >> 24) & 0x3Fu);
    header.err = static_cast<uint8_t>(word0 >> 30);
    header.fileLength = word1 & kField24;
    header.spare2 = static_cast<uint8_t>(word1 >> 24);
    return header;
}

uint8_t fdWireLength(size_t len) {
    for (uint8_t valid : {8, 12, 16, 20, 24, 32, 48}) {
        if (len <= valid) {
            return len <= 8 ? static_cast<uint8_t>(len) : valid;
        }
    }
    return kFdMaxLen;
}

Frame makeAnnounce() {
    Frame frame;
    frame.canId = kAnnounceId;
    // The flasher does not look at the payload; a board would report its type and version.
    const uint8_t payload[] = {0x01, 0x79, 0x00, 0x01};
    frame.len = sizeof payload;
    std::memcpy(frame.data.data(), payload, sizeof payload);
    return frame;
}

Frame makeBlockRequest(const BlockRequest &request, RequestKind kind) {
    Frame frame;
    frame.canId = kRequestId;
    writeLe32((request.offset & kField24) | static_cast<uint32_t>(request.bootloaderVersion) << 24,
              frame.data.data());
    writeLe32((request.length & kField24) | static_cast<uint32_t>(request.boardVersion) << 24,
              frame.data.data() + 4);
    if (kind != RequestKind::Classic) {
        frame.recordSize = kFdRecordSize;
        frame.flags = kind == RequestKind::FdBrs ? kFdFlagBrs : 0;
        frame.len = kBlockHeaderSize + kBoardTypeTextSize;
        std::memcpy(frame.data.data() + kBlockHeaderSize, kBoardTypeText, sizeof kBoardTypeText);
    } else {
        frame.len = kBlockHeaderSize;
    }
    return frame;
}

std::string hexBytes(const uint8_t *bytes, size_t count) {
    std::string text;
    char buffer[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(buffer, sizeof buffer, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += buffer;
    }
    return text;
}

std::string strprintf(const char *pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

std::string hex32(uint32_t word) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", word);
    return buffer;
}

} // namespace sim
