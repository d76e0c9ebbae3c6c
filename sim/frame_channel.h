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

// Frames lost at the board's own receiver, counted since the interface came up: by the interface
// (its receive error and overrun counters) and by the kernel at the sim's full socket queue.
struct ReceiverLosses {
    uint64_t rxErrors = 0;
    uint64_t rxOverErrors = 0;
    uint64_t socketDrops = 0;
};

// What rose between two readings.
ReceiverLosses lossesSince(const ReceiverLosses &now, const ReceiverLosses &before);
bool anyLoss(const ReceiverLosses &losses);

class FrameChannel {
  public:
    // Does not take ownership; switches the descriptor to non-blocking mode. statisticsDir holds
    // the interface's counters, rx_errors and rx_over_errors (/sys/class/net/IF/statistics); a
    // socketpair has no interface, so its tests give a folder of their own.
    FrameChannel(int fd, std::string statisticsDir);

    // The next record, or nothing once the deadline has passed.
    std::optional<Frame> receive(Clock::time_point deadline);
    void send(const Frame &frame);

    // Reads the counters now. Throws SystemError when the interface's cannot be read.
    ReceiverLosses losses() const;

  private:
    int fd_;
    std::string statisticsDir_;
    uint32_t dropped_ = 0; // as last reported with a received frame (SO_RXQ_OVFL)
};

} // namespace sim
