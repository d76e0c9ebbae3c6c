#include "bus_check.h"

#include "TavoMessages.h"
#include "board.h"
#include "board_socket.h"
#include "bus_health.h"
#include "firmware_image.h"
#include "interface_ready.h"
#include "interruption.h"
#include "monotonic_clock.h"
#include "output.h"
#include "received_record.h"
#include "record_read.h"
#include "run_outcome.h"

#include <cerrno>
#include <cstring>
#include <poll.h>

enum BoardHeard { notHeard, announcedItself, bootloaderAsking };

// What the listening heard.
struct Heard {
    BoardHeard board;
    // How the board's frame crossed the bus: 16 (classic), 72 (CAN FD), and the switch.
    ssize_t boardRecordSize;
    bool boardSwitched;
    uint32_t requestedOffset;
    // The board type text of the bootloader's request, printable, or empty when it has none.
    char boardType[CANFD_MAX_DLEN - canMessageFirmwareUpdateRequestHeaderSize + 1];
    // Board 121's frames of other types: its firmware runs, but it did not announce itself.
    uint32_t boardOtherFrames;
    uint32_t otherFrames;
    uint32_t otherAnnouncements;
    uint8_t otherAnnouncer; // the source of the first of them
    uint32_t events;        // BusEvent bits of the error frames
    uint32_t errorFrames;
};

static Heard heard;

[[noreturn]] void endCheckAtStartUp() {
    logLine("Not ready: start-up failed, as the error stream says");
    endRun(1);
}

static bool printable(uint8_t character) {
    return character >= 0x20 && character <= 0x7E;
}

// The request's board type field, as far as the read returned it and the length byte holds it:
// up to a NUL, without the padding after the text (spaces, erased flash), and with '?' for
// what cannot be shown.
static void noteBoardType(const canfd_frame *frame, ssize_t nbytes) {
    size_t end = static_cast<size_t>(nbytes - frameHeaderSize);
    end = end < frame->len ? end : frame->len;
    end = end < CANFD_MAX_DLEN ? end : CANFD_MAX_DLEN;
    const uint8_t *text = frame->data + canMessageFirmwareUpdateRequestHeaderSize;
    size_t length = end > canMessageFirmwareUpdateRequestHeaderSize
                        ? end - canMessageFirmwareUpdateRequestHeaderSize
                        : 0;
    length = strnlen(reinterpret_cast<const char *>(text), length);
    while (length > 0 && (text[length - 1] == ' ' || !printable(text[length - 1]))) {
        length--;
    }
    for (size_t at = 0; at < length; at++) {
        heard.boardType[at] = printable(text[at]) ? static_cast<char>(text[at]) : '?';
    }
    heard.boardType[length] = '\0';
}

static void noteRecord(const canfd_frame *frame, ssize_t nbytes) {
    if (nbytes < frameHeaderSize) {
        return;
    }
    can_id canId = can_id_from_value(frame->can_id & CAN_EFF_MASK);
    bool fromBoard = canId.id.source_address == targetBoardAddress;
    if (canId.id.msgType == announce && fromBoard) {
        heard.board = announcedItself;
    } else if (canId.id.msgType == firmwareBlockRequest && fromBoard &&
               heldPayloadLength(frame, nbytes) >= canMessageFirmwareUpdateRequestHeaderSize) {
        heard.board = bootloaderAsking;
        heard.requestedOffset = decodeFirmwareUpdateRequest(frame->data).fileOffset;
        noteBoardType(frame, nbytes);
    } else if (fromBoard) {
        heard.boardOtherFrames++;
        return;
    } else {
        if (canId.id.msgType == announce && heard.otherAnnouncements++ == 0) {
            heard.otherAnnouncer = canId.id.source_address;
        }
        heard.otherFrames++;
        return;
    }
    heard.boardRecordSize = nbytes;
    heard.boardSwitched = receivedWithBitRateSwitch(frame, nbytes);
}

// Reads what waits on socket; false, with errno, when reading it failed (can0 went down).
static bool takeRecords(int socket) {
    canfd_frame frame;
    RecordFacts facts;
    while (heard.board == notHeard) {
        ssize_t nbytes = readRecord(socket, &frame, sizeof(frame), &facts);
        if (nbytes < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        noteRecord(&frame, nbytes);
    }
    return true;
}

static void takeErrorFrames() {
    can_frame frame;
    uint32_t events = 0;
    while (takeErrorFrame(&frame, &events)) {
        heard.events |= events;
        heard.errorFrames++;
    }
}

// Up to checkListenSeconds, or until board 121 spoke.
static bool listen(int socket) {
    int64_t until = monotonicMilliseconds() + 1000 * static_cast<int64_t>(checkListenSeconds);
    int64_t left;
    while (heard.board == notHeard && (left = until - monotonicMilliseconds()) > 0) {
        flushOutput();
        pollfd watched[4] = {{boardSocket(), POLLIN, 0},
                             {socket, POLLIN, 0},
                             {busHealthSocket(), POLLIN, 0},
                             {interruptionDescriptor(), POLLIN, 0}};
        if (poll(watched, 4, static_cast<int>(left)) < 0 && errno != EINTR) {
            return false;
        }
        endIfInterrupted();
        takeErrorFrames();
        if (!takeRecords(boardSocket()) || !takeRecords(socket)) {
            return false;
        }
    }
    return true;
}

static void reportSettingsLine() {
    if (!startupSettingsRead()) {
        logFormat("can0: its CAN settings could not be read (%s)\n",
                  strerror(startupSettingsError()));
        return;
    }
    // Cut to fit, if ever: the line is NUL-terminated either way.
    char line[384];
    formatCanSettings(startupSettings(), line, sizeof(line));
    logFormat("%s\n", line);
}

static void reportBoard() {
    if (heard.board == notHeard && heard.boardOtherFrames != 0) {
        logFormat("Board 121: %u frames in %d s, none of them an announcement\n",
                  heard.boardOtherFrames, checkListenSeconds);
        return;
    }
    if (heard.board == notHeard) {
        logFormat("Board 121: not heard in %d s\n", checkListenSeconds);
        return;
    }
    const char *frame = heard.boardRecordSize != CANFD_MTU ? "a classic frame"
                        : heard.boardSwitched ? "a CAN FD frame with the bit-rate switch"
                                              : "a CAN FD frame without the bit-rate switch";
    if (heard.board == announcedItself) {
        logFormat("Board 121: announced itself, in %s\n", frame);
    } else {
        logFormat("Board 121: its bootloader asks for the image (at offset %u), in %s\n",
                  heard.requestedOffset, frame);
        if (heard.boardType[0] != '\0') {
            logFormat("Board 121's type, as its bootloader names it: %s\n", heard.boardType);
        }
    }
}

static void reportOthers() {
    if (heard.otherAnnouncements != 0) {
        logFormat("Other nodes: %u frames, %u of them announcements from board %u\n",
                  heard.otherFrames, heard.otherAnnouncements, heard.otherAnnouncer);
    } else {
        logFormat("Other nodes: %u frames\n", heard.otherFrames);
    }
}

static void reportErrorFrames() {
    if (heard.errorFrames == 0) {
        logLine("Error frames: none");
        return;
    }
    logFormat(
        "Error frames: %u (%s%s%s%s%s%llu bus errors, %llu missing acknowledgements)\n",
        heard.errorFrames, (heard.events & enteredBusOff) != 0 ? "bus-off, " : "",
        (heard.events & enteredErrorPassive) != 0 ? "error-passive, " : "",
        (heard.events & (enteredErrorWarning | leftErrorPassive)) != 0 ? "error warning, " : "",
        (heard.events & firstReceiveOverflow) != 0 ? "receive overflow, " : "",
        (heard.events & (restartedAfterBusOff | backToErrorActive)) != 0 ? "back to error-active, "
                                                                         : "",
        static_cast<unsigned long long>(busErrorCount()),
        static_cast<unsigned long long>(noAcknowledgeCount()));
}

// The one thing to fix, or what to do next.
[[noreturn]] static void conclude() {
    if (controllerState() == busOff) {
        logLine("Not ready: can0 went bus-off while it listened: restart it (ip link set can0 "
                "type can restart), then look for the cause in the bit rates, the wiring and the "
                "termination");
        endRun(1);
    }
    if (heard.board == bootloaderAsking) {
        logLine("Ready: board 121's bootloader waits for the image, as after an interrupted "
                "upload; start canfd-flash, and it serves the board from its start");
        endRun(0);
    }
    if (heard.board == announcedItself) {
        logLine("Ready: board 121 announced itself; start canfd-flash, then power the board up "
                "or reset it");
        endRun(0);
    }
    if (heard.boardOtherFrames != 0) {
        logFormat("Not ready: board 121 runs its firmware but did not announce itself in %d s: it "
                  "announces itself only when it starts: power it off and on, or reset it, while "
                  "the check listens\n",
                  checkListenSeconds);
        endRun(1);
    }
    if (busErrorCount() != 0 || (heard.events & (enteredErrorPassive | enteredErrorWarning)) != 0) {
        logFormat("Not ready: nothing heard from board 121 in %d s, and can0 counted errors on the "
                  "bus: the bit rates differ from the board's, or the wiring or the termination "
                  "is at fault\n",
                  checkListenSeconds);
    } else if (heard.otherAnnouncements != 0) {
        logFormat("Not ready: board %u announced itself, not board 121: this tool flashes board "
                  "121 only, and would order board 121 to erase itself at that announcement\n",
                  heard.otherAnnouncer);
    } else if (heard.otherFrames != 0) {
        logFormat("Not ready: nothing heard from board 121 in %d s, though other nodes were: "
                  "power it on or reset it while the check listens, and check that it is on "
                  "this bus\n",
                  checkListenSeconds);
    } else {
        logFormat("Not ready: nothing heard on can0 in %d s: power the board on or reset it while "
                  "the check listens; if it was, check the wiring, the termination and that the "
                  "bit rates are the board's\n",
                  checkListenSeconds);
    }
    endRun(1);
}

[[noreturn]] void runCheck(int socket) {
    memset(&heard, 0, sizeof(heard));
    logFormat("Image: %s, %u bytes, read whole\n", firmwareImagePath, fileLength);
    reportSettingsLine();
    logFormat("Listening for board 121 on can0 for up to %d s, sending nothing: power the board "
              "on or reset it now\n",
              checkListenSeconds);
    if (!listen(socket)) {
        reportSystemError("Read");
        logLine("Not ready: can0 could not be read, as the error stream says");
        endRun(1);
    }
    reportBoard();
    reportOthers();
    reportErrorFrames();
    conclude();
}
