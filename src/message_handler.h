// Dispatch of received frames and the activation of the board's bootloader.
#pragma once

#include <linux/can.h>
#include <sys/types.h>

// Handles one record of nbytes read from the bus (16 for a classic frame, 72 for a CAN FD
// frame); may send the activation on socket and, through the block service, blocks on the
// blocks' socket, and end the process. Whether the board was activated: see upload_state.
void ProcessReceivedMessage(const canfd_frame *frame, int socket, ssize_t nbytes);
