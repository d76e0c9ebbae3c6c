// One run per CAN interface on this machine: two runs on one bus would both activate the
// board and both answer every block request.
#pragma once

// Takes the interface's lock until the bus is given back (see bus_release); the kernel drops it
// when the process ends, however it ends. A refusal (another run holds it, or a system call failed)
// is reported on the error stream and returns false.
bool takeBusLock(const char *interfaceName);
