#include "bus_model.h"

#include <algorithm>

namespace {

const uint32_t effFlag = 0x80000000u;
const uint32_t acknowledgeId = effFlag | 6038u << 16 | 0u << 8 | 121u;
const uint32_t eraseOrderId = effFlag | 6025u << 16 | 0u << 8 | 121u;
const uint32_t blockId = effFlag | 5001u << 16 | 0u << 8 | 121u;
const uint16_t announceType = 4512;
const uint16_t blockRequestType = 5000;
const uint32_t largestBlock = 56;
const size_t classicRecordSize = 16;
const size_t fdRecordSize = 72;

uint32_t word(const uint8_t *at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

void putWord(uint32_t value, uint8_t *at) {
    for (int i = 0; i < 4; i++) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

Record classicRecord(uint32_t id, const std::vector<uint8_t> &payload) {
    Record record(classicRecordSize, 0);
    putWord(id, record.data());
    record[4] = static_cast<uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), record.begin() + 8);
    return record;
}

// Whether logical write number `index` of this record reaches the bus. Busy and interrupted
// writes are retried by the flasher until they go through.
bool writeGoesOut(const WriteFault &fault, int index) {
    if (index != fault.atCall) {
        return true;
    }
    switch (fault.kind) {
    case WriteFaultKind::None:
    case WriteFaultKind::Busy:
    case WriteFaultKind::Interrupted:
    case WriteFaultKind::Stalled:
        return true;
    default:
        return false;
    }
}

void answerAnnouncement(const WriteFault &writeFault, Expectation &expect) {
    if (expect.bootloaderOrdered) {
        return;
    }
    if (!writeGoesOut(writeFault, 0)) {
        return;
    }
    expect.frames.push_back(acknowledgeRecord());
    if (!writeGoesOut(writeFault, 1)) {
        return;
    }
    expect.frames.push_back(eraseOrderRecord());
    expect.bootloaderOrdered = true;
}

// Blocks carry the bit-rate switch only when the request came as a CAN FD frame with it. Only
// a read of a whole CAN FD record (72 bytes) holds an FD frame, whose flags byte (byte 5) may
// hold the switch; in a classic record that byte is padding, whatever it holds.
uint8_t blockFlagsFor(const uint8_t *record, ssize_t nbytes) {
    const uint8_t brs = 0x01;
    return nbytes == static_cast<ssize_t>(fdRecordSize) && (record[5] & brs) != 0 ? brs : 0;
}

void answerBlockRequest(const uint8_t *payload, uint8_t flags, const std::vector<uint8_t> &image,
                        const WriteFault &writeFault, Expectation &expect) {
    uint32_t offset = word(payload) & 0xFFFFFFu;
    uint8_t bootloaderVersion = payload[3];
    uint32_t remaining = word(payload + 4) & 0xFFFFFFu;
    if (bootloaderVersion != 0) {
        return;
    }
    expect.pauseBeforeFirstFrame = offset == 0;
    const uint32_t size = static_cast<uint32_t>(image.size());
    if (offset >= size) {
        return;
    }
    for (int block = 0; remaining != 0; block++) {
        uint32_t length = std::min({largestBlock, remaining, size - offset});
        if (!writeGoesOut(writeFault, block)) {
            expect.exitStatus = 2;
            return;
        }
        expect.frames.push_back(blockRecord(image, offset, length, flags));
        offset += length;
        remaining -= length;
        if (offset == size) {
            expect.exitStatus = 0;
            return;
        }
    }
}

} // namespace

Record acknowledgeRecord() {
    return classicRecord(acknowledgeId, {});
}

Record eraseOrderRecord() {
    // Request 1, then the board's address and its complement.
    return classicRecord(eraseOrderId, {0x01, 0x00, 121, static_cast<uint8_t>(~121u)});
}

Record blockRecord(const std::vector<uint8_t> &image, uint32_t offset, uint32_t length,
                   uint8_t flags) {
    Record record(fdRecordSize, 0);
    putWord(blockId, record.data());
    record[4] = static_cast<uint8_t>(8 + length);
    record[5] = flags;
    putWord(offset | length << 24, record.data() + 8);
    putWord(static_cast<uint32_t>(image.size()), record.data() + 12);
    std::copy(image.begin() + offset, image.begin() + offset + length, record.begin() + 16);
    return record;
}

Expectation expectedAnswer(const uint8_t *record, ssize_t nbytes, bool bootloaderOrdered,
                           const std::vector<uint8_t> &image, const WriteFault &writeFault) {
    Expectation expect;
    expect.bootloaderOrdered = bootloaderOrdered;
    if (nbytes < 8) {
        return expect; // not even an identifier: the flasher only logs it
    }
    uint16_t type = static_cast<uint16_t>((word(record) & 0x1FFFFFFFu) >> 16);
    // Only bytes that both the read delivered and the length byte covers are payload.
    ssize_t held = std::min<ssize_t>({nbytes - 8, 8, record[4]});
    if (type == announceType) {
        answerAnnouncement(writeFault, expect);
    } else if (type == blockRequestType && held == 8) {
        answerBlockRequest(record + 8, blockFlagsFor(record, nbytes), image, writeFault, expect);
    }
    return expect;
}

std::string malformation(const Record &frame, const std::vector<uint8_t> &image) {
    if (frame.size() == classicRecordSize) {
        if (frame == acknowledgeRecord() || frame == eraseOrderRecord()) {
            return "";
        }
        return "16-byte record that is neither the acknowledge nor the erase order";
    }
    if (frame.size() != fdRecordSize) {
        return "record of " + std::to_string(frame.size()) + " bytes";
    }
    if (word(frame.data()) != blockId) {
        return "72-byte record with identifier " + std::to_string(word(frame.data()));
    }
    uint32_t first = word(frame.data() + 8);
    uint32_t offset = first & 0xFFFFFFu;
    uint32_t length = first >> 24 & 0x3Fu;
    if (first >> 30 != 0) {
        return "block with an error code";
    }
    if (length == 0 || length > largestBlock) {
        return "block of " + std::to_string(length) + " bytes";
    }
    if (frame[4] != 8 + length) {
        return "length byte " + std::to_string(frame[4]) + " for a block of " +
               std::to_string(length) + " bytes";
    }
    if ((frame[5] & ~0x01) != 0 || frame[6] != 0 || frame[7] != 0) {
        return "flags other than the bit-rate switch, or reserved bytes, set";
    }
    if (word(frame.data() + 12) != image.size()) {
        return "block announces an image of " + std::to_string(word(frame.data() + 12)) + " bytes";
    }
    if (static_cast<uint64_t>(offset) + length > image.size()) {
        return "block past the end of the image";
    }
    if (frame != blockRecord(image, offset, length, frame[5])) {
        return "block bytes differ from the image at offset " + std::to_string(offset);
    }
    return "";
}
