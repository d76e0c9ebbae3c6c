// Opens the SocketCAN raw socket the sim plays the board on.
#pragma once

#include <string>

namespace sim {

// A CAN_RAW socket bound to the interface, receiving CAN FD records, with an enlarged receive
// queue for the flasher's bursts. Throws SystemError.
int openCanSocket(const std::string &interface);

} // namespace sim
