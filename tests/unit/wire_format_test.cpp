#include "TavoMessages.h"
#include "can_lengths.h"

#include <gtest/gtest.h>
#include <linux/can.h>
#include <vector>

namespace {

TEST(Identifier, OutgoingWordsCarryTypeSourceDestinationAndTheExtendedFlag) {
    struct Case {
        uint16_t msgType;
        uint32_t word;
    } cases[] = {
        {acknowledgeAnnounce, 0x97960079},
        {updateFirmware, 0x97890079},
        {firmwareBlockResponse, 0x93890079},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(can_id_for(121, 0, c.msgType).value | CAN_EFF_FLAG, c.word) << c.msgType;
    }
}

TEST(Identifier, ReceivedWordsDecodeFromTheir29Bits) {
    struct Case {
        uint32_t word;
        uint16_t msgType;
        uint8_t source;
        uint8_t destination;
    } cases[] = {
        {0x91A07900, announce, 121, 0},             // extended flag set
        {0x13887900, firmwareBlockRequest, 121, 0}, // extended flag clear
        {0x5FFFFFFF, 0x1FFF, 0xFF, 0xFF},           // remote-request flag is masked off
        {0x00000123, 0, 0x01, 0x23},                // standard frame: type 0
    };
    for (const Case &c : cases) {
        can_id id = can_id_from_value(c.word & CAN_EFF_MASK);
        EXPECT_EQ(id.id.msgType, c.msgType) << std::hex << c.word;
        EXPECT_EQ(id.id.source_address, c.source) << std::hex << c.word;
        EXPECT_EQ(id.id.destination_address, c.destination) << std::hex << c.word;
    }
}

TEST(MessageTypes, TableRunsHaveTheirValues) {
    EXPECT_EQ(motorStalled, 102u);
    EXPECT_EQ(reset, 2012u);
    EXPECT_EQ(m308, 6011u);
    EXPECT_EQ(m950Heater, 6026u);
    EXPECT_EQ(createInputMonitor, 6036u);
    EXPECT_EQ(fansReport, 4517u);
    EXPECT_EQ(firmwareBlockResponse, 5001u);
}

TEST(Payload, UpdateOrderIsRequestOneForBoard121) {
    canMessageUpdateYourFirmware request = {1, 0, 121, static_cast<uint8_t>(~121)};
    uint8_t bytes[4] = {};
    encodeUpdateYourFirmware(request, bytes);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4),
              (std::vector<uint8_t>{0x01, 0x00, 0x79, 0x86}));
}

TEST(Payload, UpdateOrderKeepsRequestIdTo12Bits) {
    canMessageUpdateYourFirmware request = {0xFABC, 0x3, 1, 2};
    uint8_t bytes[4] = {};
    encodeUpdateYourFirmware(request, bytes);
    EXPECT_EQ(bytes[0], 0xBC);
    EXPECT_EQ(bytes[1], 0x3A);
}

TEST(Payload, RequestWordsSplitInto24BitFieldsAndVersions) {
    const uint8_t bytes[8] = {0x56, 0x34, 0x12, 0x07, 0xA0, 0x86, 0x01, 0x09};
    canMessageFirmwareUpdateRequest request = decodeFirmwareUpdateRequest(bytes);
    EXPECT_EQ(request.fileOffset, 0x123456u);
    EXPECT_EQ(request.bootloaderVersion, 7);
    EXPECT_EQ(request.lengthRequested, 100000u);
    EXPECT_EQ(request.boardVersion, 9);
}

std::vector<uint8_t> responseBytes(uint32_t offset, uint8_t length, uint32_t size) {
    canMessageFirmwareUpdateResponse response = {};
    response.fileOffset = offset;
    response.dataLength = length;
    response.fileLength = size;
    for (int i = 0; i < length; i++) {
        response.data[i] = static_cast<uint8_t>(0xC0 + i);
    }
    uint8_t out[64] = {};
    size_t used = encodeFirmwareUpdateResponse(response, out);
    return std::vector<uint8_t>(out, out + used);
}

TEST(Payload, FullResponseHeaderWords) {
    std::vector<uint8_t> bytes = responseBytes(0x123456, 56, 100000);
    ASSERT_EQ(bytes.size(), 64u);
    // 0x38123456 and 0x000186A0, little-endian.
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 8),
              (std::vector<uint8_t>{0x56, 0x34, 0x12, 0x38, 0xA0, 0x86, 0x01, 0x00}));
    EXPECT_EQ(bytes[8], 0xC0);
    EXPECT_EQ(bytes[63], 0xC0 + 55);
}

TEST(Payload, ShortFinalBlockUsesOnlyItsBytes) {
    std::vector<uint8_t> bytes = responseBytes(987, 13, 1000);
    ASSERT_EQ(bytes.size(), 21u);
    EXPECT_EQ(bytes[3], 13);
    EXPECT_EQ(bytes[20], 0xC0 + 12);
}

TEST(Payload, OversizedFieldsAreMaskedNotSpilled) {
    std::vector<uint8_t> bytes = responseBytes(0x1ABCDEF, 0, 0x2000001);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()),
              (std::vector<uint8_t>{0xEF, 0xCD, 0xAB, 0x00, 0x01, 0x00, 0x00, 0x00}));
}

TEST(CanLengths, DlcAndLengthCodes) {
    const uint8_t lengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    for (uint8_t dlc = 0; dlc < 16; dlc++) {
        EXPECT_EQ(can_dlc2len(dlc), lengths[dlc]);
        EXPECT_EQ(can_len2dlc(lengths[dlc]), dlc);
    }
    EXPECT_EQ(can_dlc2len(0x1F), 64);
    EXPECT_EQ(can_len2dlc(9), 9);
    EXPECT_EQ(can_len2dlc(13), 10);
    EXPECT_EQ(can_len2dlc(33), 14);
    EXPECT_EQ(can_len2dlc(49), 15);
    EXPECT_EQ(can_len2dlc(65), 15);
    EXPECT_EQ(can_len2dlc(255), 15);
}

} // namespace
