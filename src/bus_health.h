// The state of can0's controller, as its own reports tell it: bus-off, error states, missing
// acknowledgement, bus errors. They come as error frames on a socket of their own, so that they
// never mix with the board's frames. This room keeps the state; bus_reports says what it means,
// and the rooms that act on it ask here.
#pragma once

#include <cstdint>
#include <linux/can.h>

enum ControllerState { errorActive, errorWarning, errorPassive, busOff };

// What an error frame, or a frame received, changed or showed: bits to report, each as it comes.
enum BusEvent : uint32_t {
    enteredBusOff = 1u << 0,
    restartedAfterBusOff = 1u << 1,
    receivingAfterBusOff = 1u << 2, // a frame received since the bus-off began
    enteredErrorWarning = 1u << 3,  // from error-active: the counters rise
    leftErrorPassive = 1u << 4,     // down to error warning: the counters fall
    enteredErrorPassive = 1u << 5,
    backToErrorActive = 1u << 6,
    firstReceiveOverflow = 1u << 7,
    firstTransmitOverflow = 1u << 8,
    firstTransmitTimeout = 1u << 9,
    noAcknowledgeCounted = 1u << 10,
    busErrorCounted = 1u << 11,
};

// Opens the socket that receives can0's error frames and nothing else. Reports and returns false
// when the kernel refuses it.
bool openBusHealth(int interfaceIndex);

// Watches this descriptor for error frames instead (-1: none).
void watchBusHealth(int descriptor);
int busHealthSocket();

// Reads one waiting error frame, without blocking, and notes it; returns false when none waits.
// events gets what it changed or showed, frame the frame itself.
bool takeErrorFrame(can_frame *frame, uint32_t *events);

// Notes what one error frame says, received at stampNanoseconds (0: not known); returns events.
uint32_t noteErrorFrame(const can_frame *frame, int64_t stampNanoseconds);

// A frame from the bus, received at stampNanoseconds: one received after a bus-off began shows
// that can0 is on the bus again. Returns events.
uint32_t noteFrameReceived(int64_t stampNanoseconds);

ControllerState controllerState();
bool busErrorsSeen(); // any error frame so far
uint64_t busErrorCount();
uint64_t noAcknowledgeCount();

// Milliseconds for which can0 has been bus-off, or -1 when it is not. Only a restart, a return
// to error-active, or a frame received since, ends a bus-off.
int64_t busOffMilliseconds();

// Restarts and transmit timeouts so far: each may cost the frames the controller held.
uint32_t controllerFlushCount();

// The state that can0's settings showed at start-up (enum can_state), so that the first change
// is told from there; bus-off and unknown states are left alone.
void seedControllerState(uint32_t canState);

// Marks the start of a request's blocks; busWentOffSinceMark() tells whether can0 went bus-off
// since, when blocks handed to the kernel may have been dropped.
void markBusHealth();
bool busWentOffSinceMark();

// Forgets everything (tests).
void resetBusHealth();
