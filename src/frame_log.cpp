#include "frame_log.h"

#include "block_service.h"

#include <cstdio>

uint8_t heldPayloadLength(const canfd_frame *frame, ssize_t nbytes) {
    if (nbytes <= frameHeaderSize) {
        return 0;
    }
    ssize_t held = nbytes - frameHeaderSize;
    if (held > CAN_MAX_DLEN) {
        held = CAN_MAX_DLEN;
    }
    if (held > frame->len) {
        held = frame->len;
    }
    return static_cast<uint8_t>(held);
}

void printFrameDump(const canfd_frame *frame, ssize_t nbytes) {
    if (nbytes < frameHeaderSize) {
        printf("Short record of %zd bytes, ignored\r\n", nbytes);
        return;
    }
    printf("0x%03X [%d] ", frame->can_id & CAN_EFF_MASK, frame->len);
    uint8_t held = heldPayloadLength(frame, nbytes);
    for (uint8_t i = 0; i < held; i++) {
        printf("%02X ", frame->data[i]);
    }
    // The line shows a classic record's worth of payload at most: mark what it leaves out.
    if (held < frame->len) {
        printf("(cut: %u of %u bytes held) ", held, frame->len);
    }
    if (receivedWithBitRateSwitch(frame, nbytes)) {
        printf("(bit-rate switch) ");
    }
    puts("\r");
}
