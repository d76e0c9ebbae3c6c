#include "can_socket.h"

#include "frame_channel.h"

#include <cerrno>
#include <cstring>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {

static_assert(sizeof(can_frame) == kClassicRecordSize, "classic record layout");
static_assert(sizeof(canfd_frame) == kFdRecordSize, "CAN FD record layout");
static_assert(offsetof(canfd_frame, data) == 8, "CAN FD record layout");

namespace {

// Room for several thousand records: the flasher answers a request in one burst.
constexpr int kReceiveBuffer = 4 * 1024 * 1024;

[[noreturn]] void fail(int fd, const std::string &what) {
    const int error = errno;
    if (fd >= 0) {
        close(fd);
    }
    throw SystemError(what + ": " + std::strerror(error));
}

} // namespace

int openCanSocket(const std::string &interface) {
    const int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) {
        fail(fd, "cannot open a CAN socket (is SocketCAN available?)");
    }
    ifreq request{};
    if (interface.size() >= sizeof request.ifr_name) {
        close(fd);
        throw SystemError("interface name too long: " + interface);
    }
    std::strncpy(request.ifr_name, interface.c_str(), sizeof request.ifr_name - 1);
    if (ioctl(fd, SIOCGIFINDEX, &request) < 0) {
        fail(fd, "no CAN interface " + interface);
    }
    const int ifindex = request.ifr_ifindex;
    if (ioctl(fd, SIOCGIFMTU, &request) < 0) {
        fail(fd, "cannot read the MTU of " + interface);
    }
    if (request.ifr_mtu != CANFD_MTU) {
        close(fd);
        throw SystemError(interface + " is not CAN FD capable (MTU " +
                          std::to_string(request.ifr_mtu) + ")");
    }
    const int on = 1;
    if (setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) < 0) {
        fail(fd, "cannot enable CAN FD frames");
    }
    // SO_RCVBUFFORCE passes the system limit but needs CAP_NET_ADMIN.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) < 0 &&
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer) < 0) {
        fail(fd, "cannot enlarge the receive buffer");
    }
    // Reports frames dropped on a full queue, so a loss is not blamed on the flasher. Optional.
    setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = ifindex;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0) {
        fail(fd, "cannot bind to " + interface);
    }
    return fd;
}

} // namespace sim
