// Test plumbing: a socketpair that stands in for the bus, stdout capture, image files,
// injected write failures and changes to the image while it is read.
#pragma once

#include <cstdint>
#include <linux/can.h>
#include <string>
#include <sys/types.h>
#include <vector>

// One end is handed to the code under test as its socket; every record it writes is read
// back whole from the other end.
struct BusPair {
    int flasherEnd = -1;
    int boardEnd = -1;
    BusPair();
    ~BusPair();
    // Every record waiting at the board's end, in order, without blocking.
    std::vector<std::vector<uint8_t>> drain() const;
};

// What the handler did with one record: its log, its reports and the records it sent.
struct Outcome {
    std::string out;
    std::string err;
    std::vector<std::vector<uint8_t>> sent;
};

Outcome handleRecord(const BusPair &bus, const canfd_frame &record, ssize_t nbytes);
Outcome handleRecord(const BusPair &bus, const can_frame &frame, ssize_t nbytes);

// A temporary image file holding the given bytes; removed when it goes out of scope.
struct TempImage {
    std::string path;
    explicit TempImage(const std::vector<uint8_t> &bytes);
    ~TempImage();
};

std::vector<uint8_t> patternImage(size_t size);

// Opens an image of the given bytes as the image the code serves.
void useImage(const TempImage &image);
void closeImage();

can_frame classicFrame(uint32_t canId, std::vector<uint8_t> payload);
// The frame in a record of the size the flasher reads into; the bytes past it are zero.
canfd_frame widened(const can_frame &frame);
// A firmwareBlockRequest from the board, with its two little-endian words.
can_frame blockRequest(uint32_t fileOffset, uint32_t lengthRequested,
                       uint8_t bootloaderVersion = 0);

// Records the bytes of a classic or CAN FD record as the board would see them.
std::vector<uint8_t> recordBytes(const can_frame &frame);

std::string readFile(const std::string &path);

// After `pass` more writes to fd have gone through, the next `count` fail with errorNumber;
// then writes go through again.
void failWrites(int fd, int errorNumber, int count, int pass = 0);
void clearWriteFailures();
int failedWriteAttempts();
// Every write to fd from now on is counted, whatever its outcome.
void countWrites(int fd);
int countedWrites();

// The stand-in bus takes every frame written to fd at once, as a bus where the board takes them
// does: SO_MEMINFO on fd shows none unsent (-1: the socketpair's own count again, of records not
// yet read at the other end).
void framesLeaveAtOnce(int fd);

// Whether SO_MEMINFO tells a socket's unsent bytes here: qemu-user passes one word of it through.
bool unsentBytesVisible(int fd);

// CLOCK_MONOTONIC as the code under test sees it: every look finds it stepMilliseconds later
// than the look before, and advanceClock() moves it on between looks. useRealClock() ends this.
void useFakeClock(long stepMilliseconds);
void advanceClock(long milliseconds);
void useRealClock();

// Runs change once, right before the nth image read (counted from 1) from now on.
void beforeImageRead(int nth, void (*change)());

// Microseconds of sleep that the code under test asked for since the last forgetSleeps().
uint64_t requestedSleepMicroseconds();
void forgetSleeps();
