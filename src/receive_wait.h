// Waiting for the next record from the bus, with an eye on the bus, on a quiet board and on the
// readers of the output.
#pragma once

#include <linux/can.h>
#include <sys/types.h>

// Returns the next record received on socket or on the board's socket, whichever the interface
// received first, as read() returns it: its size, or -1 with errno. While it waits it writes out
// the queued output as its readers take it, reports the controller's error frames and the frames
// the sockets dropped, takes the blocks' confirmations, gives the hints for a quiet board, and
// ends the run when can0 stays bus-off during the upload, when blocks the tool wrote stay
// unconfirmed or are lost, or when a signal came.
ssize_t receiveRecord(int socket, canfd_frame *record);
