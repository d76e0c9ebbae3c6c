#include "received_record.h"

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

bool receivedWithBitRateSwitch(const canfd_frame *record, ssize_t nbytes) {
    return nbytes == static_cast<ssize_t>(CANFD_MTU) && (record->flags & CANFD_BRS) != 0;
}
