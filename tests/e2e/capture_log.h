// The text record written by e2e-capture in the guest and read back on the host.
//
// One line per frame:   <seconds>.<nanoseconds> <C|F> <can_id> <flags> <len> [<data>]
//   C / F      a 16-byte classic or a 72-byte CAN FD record
//   can_id     8 hex digits, the kernel's identifier word with its EFF/RTR/ERR flag bits
//   flags      2 hex digits, the CAN FD flags (00 for classic records)
//   len        decimal length byte as the interface delivered it (a real CAN FD controller
//              rounds it up to a CAN FD length, pad included); data holds exactly that many
//              bytes as hex, without spaces
// Lines starting with '#' are notes; the last one is "# end frames=N dropped=M".
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace e2e {

struct CapturedFrame {
    double time = 0;
    bool fd = false;
    uint32_t canId = 0;
    uint8_t flags = 0;
    std::vector<uint8_t> data; // len bytes
    size_t line = 0;
};

struct CaptureLog {
    std::vector<CapturedFrame> frames;
    bool ended = false; // the "# end" line is there: the capture stopped cleanly
    unsigned long dropped = 0;
    std::vector<std::string> notes; // other '#' lines, e.g. read errors
};

// Throws std::runtime_error naming the line for anything that is not in the format above.
CaptureLog parseCapture(std::istream &in);

std::string hexBytes(const std::vector<uint8_t> &bytes);

} // namespace e2e
