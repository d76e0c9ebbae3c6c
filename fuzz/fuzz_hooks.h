// Link-time hooks of the fuzz build (-Wl,--wrap=...): the flasher's calls to exit, usleep,
// clock_gettime and write land here, so that a fuzz input can end the "process", sleep on a
// virtual clock and meet failing sends without leaving the fuzzer.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <vector>

enum class WriteFaultKind {
    None,
    Busy,        // ENOBUFS `repeat` times, then the frame goes out
    Interrupted, // EINTR `repeat` times, then the frame goes out
    BusyForever, // ENOBUFS until the flasher gives up
    // No progress, as a bus where nothing acknowledges shows it: each write fails with EAGAIN
    // once the socket's send timeout has passed (the virtual clock moves on by that much)
    Stalled,        // `repeat` times, then the frame goes out
    StalledForever, // until the flasher gives up
    Error,          // one write fails with errorNumber
    Short,          // one write reports fewer bytes than the record holds
};

struct WriteFault {
    WriteFaultKind kind = WriteFaultKind::None;
    int atCall = 0; // counted from 0 over the writes to the bus while armed
    int repeat = 1;
    int errorNumber = 0;
};

// Faults apply only while armed, and only to writes to busSocket.
void armHooks(int busSocket, const WriteFault &write);
void disarmHooks();

// Microseconds slept by the flasher so far; CLOCK_MONOTONIC shows the same virtual time.
uint64_t virtualMicroseconds();

// The virtual time at which each record written to the bus while armed went out.
const std::vector<uint64_t> &writeTimes();

// While landing is set, exit(status) stores status and jumps there instead of ending.
extern std::jmp_buf *exitLanding;
extern int exitStatus;
