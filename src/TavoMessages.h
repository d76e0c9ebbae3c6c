// Identifiers, message types and payload records of the boards' CAN FD protocol.
// Payloads travel as little-endian words; they are packed and unpacked with shifts and
// masks so the layout never depends on how a compiler orders bit-fields.
#pragma once

#include <cstddef>
#include <cstdint>

// The 29-bit extended identifier: destination in bits 0-7, source in bits 8-15,
// message type in bits 16-28. Both views are kept in step by the functions below.
struct can_fd_frame_id {
    uint8_t destination_address;
    uint8_t source_address;
    uint16_t msgType;
};

struct can_id {
    can_fd_frame_id id;
    uint32_t value;
};

enum tavo_message_types : uint32_t {
    emergencyStop = 0,
    startup = 10,
    controlledStop = 20,
    timeSync = 30,
    powerFailing = 40,
    stopMovement = 45,
    insertHiccup = 46,
    movement = 50,
    inputStateChanged = 100,
    motorStalled = 102,

    setAddressAndNormalTiming = 2010,
    setFastTiming = 2011,
    reset = 2012,

    writeGpio = 4012,

    unused = 6010,
    m308,
    updateHeaterModel,
    setHeaterTemperature,
    setPressureAdvance,
    setDateTime,
    updateDeltaParameters,
    setMotorCurrents,
    m569,
    fanParameters,
    m915,
    setMicrostepping,
    setStandstillCurrentFactor,
    setDriverStates,
    returnInfo,
    updateFirmware, // 6025
    m950Heater,
    m950Fan,
    m950Gpio,
    setFanSpeed,
    setHeaterFaultDetection,
    unused_was_createZProbe,
    unused_was_configureZProbe,
    unused_was_getZProbePinNames,
    unused_was_destroyZProbe,
    unused_was_setProbing,
    createInputMonitor,
    changeInputMonitor,
    acknowledgeAnnounce, // 6038
    setHeaterMonitors,
    diagnosticTest,
    m569p1, // 6041

    standardReply = 4510,
    statusReport = 4511,
    announce = 4512,
    fanTachoReport = 4513,
    sensorTemperaturesReport = 4514,
    heatersStatusReport = 4515,
    fansReport = 4517,

    firmwareBlockRequest = 5000,
    firmwareBlockResponse = 5001,
};

static_assert(updateFirmware == 6025, "message type table out of order");
static_assert(acknowledgeAnnounce == 6038, "message type table out of order");
static_assert(m569p1 == 6041, "message type table out of order");

// Payload of updateFirmware: orders one board to clear its flash and start its bootloader.
struct canMessageUpdateYourFirmware {
    uint16_t requestId; // 12 bits on the wire
    uint8_t spare;      // 4 bits on the wire
    uint8_t boardId;
    uint8_t invertedBoardId;
};
constexpr size_t canMessageUpdateYourFirmwareSize = 4;

// Payload of firmwareBlockRequest. Only the first 8 bytes are used; the board type text
// that may follow them is not examined.
struct canMessageFirmwareUpdateRequest {
    uint32_t fileOffset;       // 24 bits on the wire
    uint8_t bootloaderVersion; // 8 bits
    uint32_t lengthRequested;  // 24 bits
    uint8_t boardVersion;      // 8 bits
};
constexpr size_t canMessageFirmwareUpdateRequestHeaderSize = 8;

enum canMessageFirmwareUpdateResponse_errors : uint8_t {
    canMessageFirmwareUpdateResponse_error_ErrNone = 0,
    canMessageFirmwareUpdateResponse_error_ErrNoFile = 1,
    canMessageFirmwareUpdateResponse_error_ErrBadOffset = 2,
    canMessageFirmwareUpdateResponse_error_ErrOther = 3,
};

// Payload of firmwareBlockResponse: two header words, then up to 56 image bytes.
constexpr size_t canMessageFirmwareUpdateResponseHeaderSize = 8;
constexpr size_t canMessageFirmwareUpdateResponseDataSize = 56;

struct canMessageFirmwareUpdateResponse {
    uint32_t fileOffset;                         // 24 bits on the wire
    uint8_t dataLength;                          // 6 bits
    canMessageFirmwareUpdateResponse_errors err; // 2 bits
    uint32_t fileLength;                         // 24 bits
    uint8_t spare2;                              // 8 bits
    uint8_t data[canMessageFirmwareUpdateResponseDataSize];
};

constexpr uint32_t fieldMask24 = 0x00FFFFFFu;

can_id can_id_from_value(uint32_t value);
can_id can_id_for(uint8_t destination, uint8_t source, uint16_t msgType);

// Writes the 4 payload bytes into out.
void encodeUpdateYourFirmware(const canMessageUpdateYourFirmware &message, uint8_t *out);
// Reads the 8 header bytes from in.
canMessageFirmwareUpdateRequest decodeFirmwareUpdateRequest(const uint8_t *in);
// Writes the 8 header bytes and dataLength image bytes into out; returns the bytes written.
size_t encodeFirmwareUpdateResponse(const canMessageFirmwareUpdateResponse &message, uint8_t *out);
