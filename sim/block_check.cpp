#include "block_check.h"

namespace sim {

std::string checkBlockResponse(const Frame &frame, const std::vector<uint8_t> &image,
                               bool requestBrs, Block &block) {
    if (!frame.isFd()) {
        return strprintf("block response in a %zu-byte record, expected a 72-byte CAN FD record",
                         frame.recordSize);
    }
    if (frame.canId != kResponseId) {
        return "block response identifier " + hex32(frame.canId) + ", expected " +
               hex32(kResponseId);
    }
    const uint8_t flags = frame.flags & ~kFdFlagFdf;
    if (flags & ~kFdFlagBrs) {
        return strprintf("block response flags 0x%02X: only the bit-rate switch (0x01) may be set",
                         frame.flags);
    }
    if (((flags & kFdFlagBrs) != 0) != requestBrs) {
        return strprintf(requestBrs ? "block response flags 0x%02X: no bit-rate switch, though "
                                      "the request it answers had one"
                                    : "block response flags 0x%02X: bit-rate switch set, though "
                                      "the request it answers had none",
                         frame.flags);
    }
    if (frame.len < kBlockHeaderSize || frame.len > kFdMaxLen) {
        return strprintf("block response length byte %u, outside 8..64", frame.len);
    }
    const BlockResponseHeader header = decodeBlockResponseHeader(frame.data.data());
    const unsigned at = header.offset;
    if (header.err != 0) {
        return strprintf("block at offset %u: err %u, expected 0", at, header.err);
    }
    if (header.spare2 != 0) {
        return strprintf("block at offset %u: spare2 %u, expected 0", at, header.spare2);
    }
    if (header.fileLength != image.size()) {
        return strprintf("block at offset %u: fileLength %u, expected %zu (the image size)", at,
                         header.fileLength, image.size());
    }
    if (header.dataLength > kMaxBlockData) {
        return strprintf("block at offset %u: dataLength %u, more than 56", at, header.dataLength);
    }
    const size_t sent = kBlockHeaderSize + header.dataLength;
    if (frame.len != sent && frame.len != fdWireLength(sent)) {
        return strprintf("block at offset %u: length byte %u, expected 8 + dataLength %u = %zu%s",
                         at, frame.len, header.dataLength, sent,
                         fdWireLength(sent) == sent
                             ? ""
                             : strprintf(" or its CAN FD length %u", fdWireLength(sent)).c_str());
    }
    if (header.dataLength == 0) {
        return strprintf("block at offset %u carries no data", at);
    }
    if (header.offset + header.dataLength > image.size()) {
        return strprintf("block at offset %u with %u bytes runs past the end of the image "
                         "(%zu bytes)",
                         at, header.dataLength, image.size());
    }
    for (size_t i = frame.len; i < kFdMaxLen; ++i) {
        if (frame.data[i] != 0) {
            return strprintf("block at offset %u: unused data byte %zu is 0x%02X, expected 0", at,
                             i, frame.data[i]);
        }
    }
    const uint8_t *bytes = frame.data.data() + kBlockHeaderSize;
    for (size_t i = 0; i < header.dataLength; ++i) {
        if (bytes[i] != image[header.offset + i]) {
            return strprintf("image byte at offset %zu is 0x%02X, expected 0x%02X "
                             "(block at offset %u)",
                             at + i, bytes[i], image[header.offset + i], at);
        }
    }
    block.offset = header.offset;
    block.length = header.dataLength;
    return {};
}

} // namespace sim
