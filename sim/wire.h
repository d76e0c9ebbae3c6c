// What travels on the bus between the flasher (address 0) and the board (address 121):
// identifiers, message types, the kernel's raw frame records and the block payloads.
// The sim keeps its own copy of these definitions on purpose: it is the independent check
// of the flasher, so it must not share the flasher's encoders and inherit their mistakes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

constexpr uint8_t kFlasherAddress = 0;
constexpr uint8_t kBoardAddress = 121;

namespace msg {
constexpr uint16_t kStatusReport = 4511;
constexpr uint16_t kAnnounce = 4512;
constexpr uint16_t kFanTachoReport = 4513;
constexpr uint16_t kSensorTemperaturesReport = 4514;
constexpr uint16_t kFirmwareBlockRequest = 5000;
constexpr uint16_t kFirmwareBlockResponse = 5001;
constexpr uint16_t kUpdateFirmware = 6025;
constexpr uint16_t kAcknowledgeAnnounce = 6038;
} // namespace msg

constexpr uint32_t kEffFlag = 0x80000000u;
constexpr uint32_t kRtrFlag = 0x40000000u;
constexpr uint32_t kErrFlag = 0x20000000u;
constexpr uint32_t kEffMask = 0x1FFFFFFFu;
constexpr uint32_t kSffMask = 0x000007FFu;

constexpr size_t kClassicRecordSize = 16;
constexpr size_t kFdRecordSize = 72;
constexpr size_t kClassicMaxLen = 8;
constexpr size_t kFdMaxLen = 64;

constexpr uint8_t kFdFlagBrs = 0x01;
constexpr uint8_t kFdFlagEsi = 0x02;
// Newer kernels mark every CAN FD record with this flag on their own, so it says nothing
// about what the sender asked for.
constexpr uint8_t kFdFlagFdf = 0x04;

constexpr uint32_t kField24 = 0x00FFFFFFu;
constexpr size_t kBlockHeaderSize = 8;
constexpr size_t kMaxBlockData = 56;
constexpr size_t kBoardTypeTextSize = 56;

constexpr uint32_t extendedId(uint16_t type, uint8_t source, uint8_t destination) {
    return kEffFlag | static_cast<uint32_t>(type) << 16 | static_cast<uint32_t>(source) << 8 |
           destination;
}

constexpr uint32_t kAnnounceId = extendedId(msg::kAnnounce, kBoardAddress, kFlasherAddress);
constexpr uint32_t kRequestId =
    extendedId(msg::kFirmwareBlockRequest, kBoardAddress, kFlasherAddress);
constexpr uint32_t kResponseId =
    extendedId(msg::kFirmwareBlockResponse, kFlasherAddress, kBoardAddress);
constexpr uint32_t kAckId = extendedId(msg::kAcknowledgeAnnounce, kFlasherAddress, kBoardAddress);
constexpr uint32_t kUpdateId = extendedId(msg::kUpdateFirmware, kFlasherAddress, kBoardAddress);

static_assert(kAnnounceId == 0x91A07900u, "announce identifier");
static_assert(kRequestId == 0x93887900u, "block request identifier");
static_assert(kResponseId == 0x93890079u, "block response identifier");
static_assert(kAckId == 0x97960079u, "acknowledgeAnnounce identifier");
static_assert(kUpdateId == 0x97890079u, "updateFirmware identifier");

inline uint16_t msgTypeOf(uint32_t canId) {
    return static_cast<uint16_t>((canId & kEffMask) >> 16);
}
inline uint8_t sourceOf(uint32_t canId) {
    return static_cast<uint8_t>(canId >> 8);
}
inline uint8_t destinationOf(uint32_t canId) {
    return static_cast<uint8_t>(canId);
}

// One kernel record: a 16-byte classic can_frame or a 72-byte canfd_frame. recordSize is what
// was actually read, so a record of any other size can still be reported.
struct Frame {
    uint32_t canId = 0;
    uint8_t len = 0;
    uint8_t flags = 0;
    std::array<uint8_t, kFdMaxLen> data{};
    size_t recordSize = kClassicRecordSize;

    bool isFd() const {
        return recordSize == kFdRecordSize;
    }
};

constexpr size_t kMaxRecordSize = kFdRecordSize;

// Writes the record (recordSize bytes) into out, which must hold kMaxRecordSize bytes.
void encodeRecord(const Frame &frame, uint8_t *out);
Frame decodeRecord(const uint8_t *bytes, size_t size);

uint32_t readLe32(const uint8_t *in);
void writeLe32(uint32_t word, uint8_t *out);

struct BlockRequest {
    uint32_t offset = 0;
    uint8_t bootloaderVersion = 0;
    uint32_t length = 0;
    uint8_t boardVersion = 0;
};

struct BlockResponseHeader {
    uint32_t offset = 0;
    uint8_t dataLength = 0;
    uint8_t err = 0;
    uint32_t fileLength = 0;
    uint8_t spare2 = 0;
};

BlockResponseHeader decodeBlockResponseHeader(const uint8_t *in);

// The length a CAN FD controller gives a frame of len bytes on the wire: the next of 0-8, 12,
// 16, 20, 24, 32, 48, 64. The receiver's record carries that length, and the pad bytes up to it
// hold whatever the sending controller's buffer held.
uint8_t fdWireLength(size_t len);

// How the board sends its block requests; the flasher answers each in kind (bit-rate switch
// only for a CAN FD request that had it).
enum class RequestKind { Classic, Fd, FdBrs };

Frame makeAnnounce();
// A classic 8-byte request, or a 64-byte CAN FD request carrying the board type text.
Frame makeBlockRequest(const BlockRequest &request, RequestKind kind);

std::string hexBytes(const uint8_t *bytes, size_t count);
std::string strprintf(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
std::string hex32(uint32_t word);

} // namespace sim
