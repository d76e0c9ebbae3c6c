#include "frame_log.h"

#include <cstdio>

uint8_t heldPayloadLength(const can_frame *frame, ssize_t nbytes) {
    if (nbytes <= frameHeaderSize) {
        return 0;
    }
    ssize_t held = nbytes - frameHeaderSize;
    if (held > CAN_MAX_DLEN) {
        held = CAN_MAX_DLEN;
    }
    if (held > frame->can_dlc) {
        held = frame->can_dlc;
    }
    return static_cast<uint8_t>(held);
}

bool receivedWithBitRateSwitch(const can_frame *frame) {
    // A 16-byte read of an FD frame keeps its flags byte where a classic record has padding.
    const uint8_t *record = reinterpret_cast<const uint8_t *>(frame);
    uint8_t flags = record[offsetof(canfd_frame, flags)];
    bool fd = (flags & CANFD_FDF) != 0 || frame->can_dlc > CAN_MAX_DLEN;
    return fd && (flags & CANFD_BRS) != 0;
}

void printFrameDump(const can_frame *frame, ssize_t nbytes) {
    if (nbytes < frameHeaderSize) {
        printf("Short record of %zd bytes, ignored\r\n", nbytes);
        return;
    }
    printf("0x%03X [%d] ", frame->can_id & CAN_EFF_MASK, frame->can_dlc);
    uint8_t held = heldPayloadLength(frame, nbytes);
    for (uint8_t i = 0; i < held; i++) {
        printf("%02X ", frame->data[i]);
    }
    // A CAN FD frame read into a classic record keeps its full length byte: mark the cut.
    if (held < frame->can_dlc) {
        printf("(cut: %u of %u bytes held) ", held, frame->can_dlc);
    }
    if (receivedWithBitRateSwitch(frame)) {
        printf("(bit-rate switch) ");
    }
    puts("\r");
}
