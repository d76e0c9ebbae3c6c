// Waiting for the next record from the bus, with an eye on the bus and on a quiet board.
#pragma once

#include <cstddef>
#include <sys/types.h>

// Reads the next record of at most size bytes from socket, as read() does, and returns what
// read() returned. While it waits it reports the controller's error frames, gives the hints for
// a quiet board, and ends the run with status 2 when can0 stays bus-off during the upload.
ssize_t receiveRecord(int socket, void *record, size_t size);
