#include "frame_channel.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/socket.h>
#include <utility>

namespace sim {

namespace {

// A send that keeps failing for this long means the interface is stuck.
constexpr auto kSendPatience = std::chrono::seconds(1);

int millisUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(std::min<int64_t>(left.count(), 60'000));
}

std::string errnoText(const char *what, int error = errno) {
    return std::string(what) + ": " + std::strerror(error);
}

uint64_t readCounter(const std::string &path) {
    std::ifstream file(path);
    uint64_t value = 0;
    if (!(file >> value)) {
        throw SystemError("cannot read the counter " + path);
    }
    return value;
}

// A counter below its earlier reading started again from zero (the interface was made anew).
uint64_t rise(uint64_t now, uint64_t before) {
    return now >= before ? now - before : now;
}

} // namespace

ReceiverLosses lossesSince(const ReceiverLosses &now, const ReceiverLosses &before) {
    return {rise(now.rxErrors, before.rxErrors), rise(now.rxOverErrors, before.rxOverErrors),
            rise(now.socketDrops, before.socketDrops)};
}

bool anyLoss(const ReceiverLosses &losses) {
    return losses.rxErrors > 0 || losses.rxOverErrors > 0 || losses.socketDrops > 0;
}

FrameChannel::FrameChannel(int fd, std::string statisticsDir)
    : fd_(fd), statisticsDir_(std::move(statisticsDir)) {
    const int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) < 0) {
        throw SystemError(errnoText("fcntl(O_NONBLOCK)"));
    }
}

ReceiverLosses FrameChannel::losses() const {
    ReceiverLosses losses;
    losses.rxErrors = readCounter(statisticsDir_ + "/rx_errors");
    losses.rxOverErrors = readCounter(statisticsDir_ + "/rx_over_errors");
    // The socket's drop count at any moment; SO_RXQ_OVFL only tells it with the next frame,
    // and a burst whose end was dropped brings none.
    uint32_t meminfo[SK_MEMINFO_VARS] = {};
    socklen_t size = sizeof meminfo;
    losses.socketDrops = getsockopt(fd_, SOL_SOCKET, SO_MEMINFO, meminfo, &size) == 0 &&
                                 size > SK_MEMINFO_DROPS * sizeof(uint32_t)
                             ? meminfo[SK_MEMINFO_DROPS]
                             : dropped_;
    return losses;
}

std::optional<Frame> FrameChannel::receive(Clock::time_point deadline) {
    for (;;) {
        uint8_t record[kMaxRecordSize + 8];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
        iovec iov{record, sizeof record};
        msghdr message{};
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = recvmsg(fd_, &message, MSG_DONTWAIT);
        if (got > 0) {
            for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                    std::memcpy(&dropped_, CMSG_DATA(c), sizeof dropped_);
                }
            }
            const size_t size = (message.msg_flags & MSG_TRUNC) ? sizeof record + 1 : got;
            return decodeRecord(record, std::min(size, sizeof record));
        }
        if (got == 0) {
            throw SystemError("the interface was closed");
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            throw SystemError(errnoText("receive"));
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        pollfd waitFor{fd_, POLLIN, 0};
        if (poll(&waitFor, 1, millisUntil(deadline)) < 0 && errno != EINTR) {
            throw SystemError(errnoText("poll"));
        }
    }
}

void FrameChannel::send(const Frame &frame) {
    uint8_t record[kMaxRecordSize];
    encodeRecord(frame, record);
    const auto giveUp = Clock::now() + kSendPatience;
    for (;;) {
        const ssize_t sent = ::send(fd_, record, frame.recordSize, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(frame.recordSize)) {
            return;
        }
        if (sent >= 0) {
            throw SystemError("short write of a frame record");
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        // A CAN interface answers ENOBUFS while its transmit queue is full.
        if ((error != EAGAIN && error != EWOULDBLOCK && error != ENOBUFS) ||
            Clock::now() >= giveUp) {
            throw SystemError(errnoText("send", error));
        }
        if (error == ENOBUFS) {
            // POLLOUT does not cover the device queue; back off a millisecond instead.
            poll(nullptr, 0, 1);
        } else {
            pollfd waitFor{fd_, POLLOUT, 0};
            poll(&waitFor, 1, millisUntil(giveUp));
        }
    }
}

} // namespace sim
