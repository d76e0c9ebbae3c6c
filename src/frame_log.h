// The log line written for every record read from the bus.
#pragma once

#include <linux/can.h>
#include <sys/types.h>

void printFrameDump(const canfd_frame *frame, ssize_t nbytes);
