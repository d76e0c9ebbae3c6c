// Writing one whole frame record to the CAN socket.
#pragma once

#include <cstddef>

// Writes size bytes from record to socket as one frame. A full transmit queue (ENOBUFS)
// is waited out for about a second; any other failure, or a short write, returns false
// with errno telling why.
bool sendFrame(int socket, const void *record, size_t size);
