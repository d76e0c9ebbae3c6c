// Link-time hooks of the fuzz build (-Wl,--wrap=...): the flasher's calls to exit, usleep,
// clock_gettime, write and pread land here, so that a fuzz input can end the "process",
// sleep on a virtual clock and meet failing system calls without leaving the fuzzer.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <vector>

enum class WriteFaultKind {
    None,
    Busy,        // ENOBUFS `repeat` times, then the frame goes out
    Interrupted, // EINTR `repeat` times, then the frame goes out
    BusyForever, // ENOBUFS until the flasher gives up
    Error,       // one write fails with errorNumber
    Short,       // one write reports fewer bytes than the record holds
};

struct WriteFault {
    WriteFaultKind kind = WriteFaultKind::None;
    int atCall = 0; // counted from 0 over the writes to the bus while armed
    int repeat = 1;
    int errorNumber = 0;
};

enum class ReadFaultKind {
    None,
    Error,       // EIO
    Empty,       // returns 0, as if the image had shrunk
    Interrupted, // EINTR once
    Short,       // returns half of what was asked for
};

struct ReadFault {
    ReadFaultKind kind = ReadFaultKind::None;
    int atCall = 0; // counted from 0 over the image reads while armed
};

// Faults apply only while armed, and only to these two descriptors.
void armHooks(int busSocket, int imageDescriptor, const WriteFault &write, const ReadFault &read);
void disarmHooks();

// Microseconds slept by the flasher so far; CLOCK_MONOTONIC shows the same virtual time.
uint64_t virtualMicroseconds();

// The virtual time at which each record written to the bus while armed went out.
const std::vector<uint64_t> &writeTimes();

// While landing is set, exit(status) stores status and jumps there instead of ending.
extern std::jmp_buf *exitLanding;
extern int exitStatus;
