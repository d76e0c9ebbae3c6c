// The sim's console output: one candump-style line per frame, progress notes and the verdict.
#pragma once

#include "frame_channel.h"
#include "wire.h"

#include <ostream>
#include <string>

namespace sim {

// "  can0  13887900   [8]  00 01 ..." for classic frames, "[NN]" with two digits for CAN FD
// frames (followed by the bit-rate switch / error state flags when set), 3-digit identifiers
// for standard frames.
std::string formatFrame(const std::string &interface, const Frame &frame);

class FrameLog {
  public:
    FrameLog(std::ostream &out, std::string interface, bool quiet);

    void sent(const Frame &frame);
    void received(const Frame &frame);
    void note(const std::string &text);
    // Seconds since the log was created.
    double elapsed() const;

  private:
    void frameLine(const char *direction, const Frame &frame);

    std::ostream &out_;
    std::string interface_;
    bool quiet_;
    Clock::time_point origin_;
};

} // namespace sim
