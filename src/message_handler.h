// Dispatch of received frames and the activation of the board's bootloader.
#pragma once

#include <linux/can.h>
#include <sys/types.h>

// Set once the order to start the bootloader has gone out; announcements are then ignored.
extern bool originalFirmwareErase;

// Handles one record of nbytes read from the bus (16 for a classic frame, 72 for a CAN FD
// frame); may send frames on socket and, through the block service, end the process.
void ProcessReceivedMessage(const canfd_frame *frame, int socket, ssize_t nbytes);
