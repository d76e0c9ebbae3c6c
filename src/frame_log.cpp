#include "frame_log.h"

#include "output.h"
#include "received_record.h"

#include <cstdio>

void printFrameDump(const canfd_frame *frame, ssize_t nbytes) {
    if (nbytes < frameHeaderSize) {
        logFormat("Short record of %zd bytes, ignored\r\n", nbytes);
        return;
    }
    // One line, one piece of the log: "0x%03X [%d] ", "%02X " per byte, the marks, "\r\n".
    char line[160];
    int length =
        snprintf(line, sizeof(line), "0x%03X [%d] ", frame->can_id & CAN_EFF_MASK, frame->len);
    uint8_t held = heldPayloadLength(frame, nbytes);
    for (uint8_t i = 0; i < held; i++) {
        length += snprintf(line + length, sizeof(line) - static_cast<size_t>(length), "%02X ",
                           frame->data[i]);
    }
    // The line shows a classic record's worth of payload at most: mark what it leaves out.
    if (held < frame->len) {
        length += snprintf(line + length, sizeof(line) - static_cast<size_t>(length),
                           "(cut: %u of %u bytes held) ", held, frame->len);
    }
    if (receivedWithBitRateSwitch(frame, nbytes)) {
        length += snprintf(line + length, sizeof(line) - static_cast<size_t>(length),
                           "(bit-rate switch) ");
    }
    length += snprintf(line + length, sizeof(line) - static_cast<size_t>(length), "\r\n");
    logText(line, static_cast<size_t>(length));
}
