#include "frame_log.h"

#include <algorithm>
#include <cstdio>

namespace sim {

std::string formatFrame(const std::string &interface, const Frame &frame) {
    char head[64];
    const bool extended = (frame.canId & kEffFlag) != 0;
    const uint32_t id = frame.canId & (extended ? kEffMask : kSffMask);
    std::snprintf(head, sizeof head, extended ? "%08X" : "%03X", id);
    std::string line = "  " + interface + "  " + head;
    const size_t shown = std::min<size_t>(frame.len, frame.isFd() ? kFdMaxLen : kClassicMaxLen);
    char length[16];
    if (frame.isFd()) {
        std::snprintf(length, sizeof length, "  [%02u]", frame.len);
    } else {
        std::snprintf(length, sizeof length, "   [%u]", frame.len);
    }
    line += length;
    if (frame.canId & kRtrFlag) {
        return line + "  remote request";
    }
    if (shown > 0) {
        line += "  " + hexBytes(frame.data.data(), shown);
    }
    if (frame.isFd() && (frame.flags & (kFdFlagBrs | kFdFlagEsi))) {
        line += (frame.flags & kFdFlagBrs) ? "  BRS" : "";
        line += (frame.flags & kFdFlagEsi) ? "  ESI" : "";
    }
    if (frame.recordSize != kClassicRecordSize && frame.recordSize != kFdRecordSize) {
        line += "  (" + std::to_string(frame.recordSize) + "-byte record)";
    }
    return line;
}

FrameLog::FrameLog(std::ostream &out, std::string interface, bool quiet)
    : out_(out), interface_(std::move(interface)), quiet_(quiet), origin_(Clock::now()) {}

void FrameLog::sent(const Frame &frame) {
    frameLine("TX", frame);
}

void FrameLog::received(const Frame &frame) {
    frameLine("RX", frame);
}

void FrameLog::note(const std::string &text) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%9.3f  ", elapsed());
    out_ << stamp << text << std::endl;
}

double FrameLog::elapsed() const {
    return std::chrono::duration<double>(Clock::now() - origin_).count();
}

void FrameLog::frameLine(const char *direction, const Frame &frame) {
    if (quiet_) {
        return;
    }
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%9.3f  %s", elapsed(), direction);
    out_ << stamp << formatFrame(interface_, frame) << '\n';
}

} // namespace sim
