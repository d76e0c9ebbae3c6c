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

// Image reads fail by what they touch, not by how many came before, so that the expected
// outcome does not depend on how the flasher splits its reads.
enum class ReadFaultKind {
    None,
    BadFrom,     // a read reaching byte `at` or beyond fails with EIO
    EndsAt,      // the image seems to end at `at`: reads stop there, and return 0 from there
    Interrupted, // every read fails with EINTR, and goes through when repeated at once
};

struct ReadFault {
    ReadFaultKind kind = ReadFaultKind::None;
    uint32_t at = 0;
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
