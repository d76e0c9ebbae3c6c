// Moves whole frame records over a file descriptor: a SocketCAN raw socket on a real bus, or one
// end of a SOCK_SEQPACKET socketpair in the host tests. Every wait is a poll(2) with a deadline.
#pragma once

#include "wire.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace sim {

using Clock = std::chrono::steady_clock;

// A failure of the operating system or the interface, not of the flasher.
class SystemError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class FrameChannel {
  public:
    // Does not take ownership; switches the descriptor to non-blocking mode.
    explicit FrameChannel(int fd);

    // The next record, or nothing once the deadline has passed.
    std::optional<Frame> receive(Clock::time_point deadline);
    void send(const Frame &frame);

    // Frames the kernel dropped because our receive queue was full (SO_RXQ_OVFL), if reported.
    uint32_t droppedByKernel() const {
        return dropped_;
    }

  private:
    int fd_;
    uint32_t dropped_ = 0;
};

} // namespace sim
