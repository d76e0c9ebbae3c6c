#include "block_service.h"
#include "block_socket.h"
#include "board_watch.h"
#include "bus_health.h"
#include "bus_reports.h"
#include "firmware_image.h"
#include "frame_log.h"
#include "message_handler.h"
#include "output.h"
#include "upload_state.h"

#include "bus_pair.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/can/error.h>
#include <unistd.h>

namespace {

// The record the board must receive for one block: identifier, length byte, flags, zero
// reserved bytes, the two header words, the image bytes, zero padding to 72 bytes.
std::vector<uint8_t> blockRecord(const std::vector<uint8_t> &image, uint32_t offset,
                                 uint32_t length, uint8_t flags = 0) {
    std::vector<uint8_t> record(72, 0);
    record[5] = flags;
    const uint32_t canId = 0x93890079;
    const uint32_t first = offset | length << 24;
    const uint32_t second = static_cast<uint32_t>(image.size());
    for (int i = 0; i < 4; i++) {
        record[i] = static_cast<uint8_t>(canId >> (8 * i));
        record[8 + i] = static_cast<uint8_t>(first >> (8 * i));
        record[12 + i] = static_cast<uint8_t>(second >> (8 * i));
    }
    record[4] = static_cast<uint8_t>(8 + length);
    std::copy(image.begin() + offset, image.begin() + offset + length, record.begin() + 16);
    return record;
}

std::string requestLines(uint32_t length, uint32_t readLength, uint32_t offset) {
    return "Requested length " + std::to_string(length) + " \r\nFile read length " +
           std::to_string(readLength) + " \r\nRequested fileOffset " + std::to_string(offset) +
           "\r\n";
}

std::string blockLine(int size, uint32_t offset) {
    return "Sending firmware block size " + std::to_string(size) + " offset " +
           std::to_string(offset) + "\n\r";
}

const char receivedLine[] = "Received FirmwareUpdateRequest from bootloader\r\n";
const char trailer[] = "Src: 121 Dest: 0\r\n";

class BlockService : public testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "fast");
        resetUploadState();
        clearWriteFailures();
        framesLeaveAtOnce(bus.flasherEnd);
        char name[] = "/tmp/canfd-flash-log-XXXXXX";
        int fd = mkstemp(name);
        close(fd);
        logPath = name;
    }
    void TearDown() override {
        clearWriteFailures();
        framesLeaveAtOnce(-1);
        resetBusHealth();
        useRealClock();
        closeImage();
        unlink(logPath.c_str());
    }

    void load(size_t size) {
        imageBytes = patternImage(size);
        image = std::make_unique<TempImage>(imageBytes);
        useImage(*image);
    }

    Outcome handle(const can_frame &frame, ssize_t nbytes = sizeof(can_frame)) {
        return handleRecord(bus, frame, nbytes);
    }
    Outcome handle(const canfd_frame &record, ssize_t nbytes) {
        return handleRecord(bus, record, nbytes);
    }

    // For paths that end the process: the log goes to a file the test reads afterwards.
    void handleUntilExit(const can_frame &frame) {
        int fd = open(logPath.c_str(), O_WRONLY | O_TRUNC);
        dup2(fd, STDOUT_FILENO);
        close(fd);
        const canfd_frame record = widened(frame);
        useBlockSocket(bus.flasherEnd);
        ProcessReceivedMessage(&record, bus.flasherEnd, sizeof(can_frame));
        fflush(stdout);
        _exit(99); // returning at all is a failure
    }

    std::string log() const {
        return readFile(logPath);
    }

    BusPair bus;
    std::vector<uint8_t> imageBytes;
    std::unique_ptr<TempImage> image;
    std::string logPath;
};

TEST_F(BlockService, HundredByteImageIsSentInTwoFramesAndEndsTheRun) {
    load(100);
    can_frame request = classicFrame(0x93887900, {0x00, 0x00, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EXIT(handleUntilExit(request), testing::ExitedWithCode(0), "^$");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));

    EXPECT_EQ(log(), std::string(receivedLine) + requestLines(100, 56, 0) + blockLine(56, 0) +
                         blockLine(44, 56) + "Firmware uploaded...");
    auto sent = bus.drain();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], blockRecord(imageBytes, 0, 56));
    EXPECT_EQ(sent[1], blockRecord(imageBytes, 56, 44));
    EXPECT_EQ(sent[0][4], 64);
    EXPECT_EQ(sent[1][4], 52);
    EXPECT_EQ(std::vector<uint8_t>(sent[1].begin() + 8, sent[1].begin() + 16),
              (std::vector<uint8_t>{0x38, 0x00, 0x00, 0x2C, 0x64, 0x00, 0x00, 0x00}));
}

TEST_F(BlockService, PartialRequestGoesOutInBlocksOfAtMost56AfterAPause) {
    load(1000);
    auto start = std::chrono::steady_clock::now();
    forgetSleeps();
    Outcome outcome = handle(blockRequest(0, 120));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(requestedSleepMicroseconds(), 500000u);
    EXPECT_EQ(outcome.out, std::string(receivedLine) + requestLines(120, 56, 0) + blockLine(56, 0) +
                               blockLine(56, 56) + blockLine(8, 112) + trailer);
    ASSERT_EQ(outcome.sent.size(), 3u);
    EXPECT_EQ(outcome.sent[0], blockRecord(imageBytes, 0, 56));
    EXPECT_EQ(outcome.sent[1], blockRecord(imageBytes, 56, 56));
    EXPECT_EQ(outcome.sent[2], blockRecord(imageBytes, 112, 8));
    EXPECT_EQ(outcome.err, "");
}

TEST_F(BlockService, LaterRequestsShowProgressAndNoPause) {
    load(1000);
    forgetSleeps();
    Outcome outcome = handle(blockRequest(560, 56));
    EXPECT_EQ(requestedSleepMicroseconds(), 0u);
    EXPECT_EQ(outcome.out, std::string(receivedLine) + requestLines(56, 56, 560) +
                               "Done: 56.000000%\r\n" + blockLine(56, 560) + trailer);
    ASSERT_EQ(outcome.sent.size(), 1u);
    EXPECT_EQ(outcome.sent[0], blockRecord(imageBytes, 560, 56));
}

TEST_F(BlockService, RepeatedRequestIsServedAgainInFull) {
    load(1000);
    Outcome first = handle(blockRequest(280, 100));
    EXPECT_EQ(uploadPosition(), 380u);
    Outcome again = handle(blockRequest(280, 100));
    EXPECT_EQ(first.out, again.out);
    EXPECT_EQ(first.sent, again.sent);
    EXPECT_EQ(again.sent.size(), 2u);
}

// A request as the kernel hands it over: a classic frame in 16 bytes, a CAN FD frame in 72,
// with its flags byte (the pad byte of a classic record) and, in 72, the board type text
// after the request's 8 bytes.
canfd_frame asReceived(uint8_t length, uint8_t flags, ssize_t nbytes) {
    canfd_frame record = widened(blockRequest(100, 60));
    record.len = length;
    record.flags = flags;
    for (size_t i = 8; nbytes == CANFD_MTU && i < sizeof(record.data); i++) {
        record.data[i] = static_cast<uint8_t>('A' + i % 26);
    }
    return record;
}

std::string dumpOf(const canfd_frame &record, ssize_t nbytes) {
    testing::internal::CaptureStdout();
    printFrameDump(&record, nbytes);
    flushOutput();
    return testing::internal::GetCapturedStdout();
}

TEST_F(BlockService, RecordSizeTellsFdFromClassicAndOnlyFdCarriesTheSwitch) {
    load(1000);
    const uint8_t fdf = CANFD_FDF;
    const uint8_t brs = CANFD_BRS;
    const std::string request = "0x13887900 [8] 64 00 00 00 3C 00 00 00 ";
    const std::string longRequest =
        "0x13887900 [64] 64 00 00 00 3C 00 00 00 (cut: 8 of 64 bytes held) ";
    const std::string switched = "(bit-rate switch) \r\n";
    struct Case {
        const char *what;
        ssize_t nbytes;
        uint8_t length;
        uint8_t flags;
        uint8_t blockFlags;
        std::string dump;
    } cases[] = {
        {"classic request", 16, 8, 0, 0, request + "\r\n"},
        {"classic request whose pad byte holds 0x05", 16, 8, fdf | brs, 0, request + "\r\n"},
        {"FD request without the switch", 72, 8, fdf, 0, request + "\r\n"},
        {"FD request with the switch", 72, 8, fdf | brs, brs, request + switched},
        {"64-byte FD request without the switch", 72, 64, fdf, 0, longRequest + "\r\n"},
        {"64-byte FD request with the switch", 72, 64, fdf | brs, brs, longRequest + switched},
        {"switched FD request from a kernel that leaves FDF clear", 72, 8, brs, brs,
         request + switched},
        {"classic request after a switched one", 16, 8, 0, 0, request + "\r\n"},
    };
    for (const Case &c : cases) {
        canfd_frame record = asReceived(c.length, c.flags, c.nbytes);
        EXPECT_EQ(dumpOf(record, c.nbytes), c.dump) << c.what;
        Outcome outcome = handle(record, c.nbytes);
        ASSERT_EQ(outcome.sent.size(), 2u) << c.what;
        EXPECT_EQ(outcome.sent[0], blockRecord(imageBytes, 100, 56, c.blockFlags)) << c.what;
        EXPECT_EQ(outcome.sent[1], blockRecord(imageBytes, 156, 4, c.blockFlags)) << c.what;
    }
}

TEST_F(BlockService, RequestsThatMustBeIgnoredSendNothing) {
    load(1000);
    can_frame shortRequest = blockRequest(100, 56);
    shortRequest.can_dlc = 4;
    can_frame cutRecord = blockRequest(100, 56);
    struct Case {
        const char *what;
        can_frame frame;
        ssize_t nbytes;
        std::string out;
    } cases[] = {
        {"newer bootloader", blockRequest(100, 56, 1), 16, std::string(receivedLine) + trailer},
        {"offset at the end", blockRequest(1000, 56), 16, receivedLine},
        {"offset past the end", blockRequest(0xFFFFFF, 56), 16, receivedLine},
        {"length byte too short", shortRequest, 16,
         std::string(receivedLine) + "FirmwareUpdateRequest of 4 bytes is too short, ignored\r\n" +
             trailer},
        {"read cut short", cutRecord, 13,
         std::string(receivedLine) + "FirmwareUpdateRequest of 5 bytes is too short, ignored\r\n" +
             trailer},
        {"nothing wanted", blockRequest(10, 0), 16,
         std::string(receivedLine) + requestLines(0, 0, 10) + "Done: 1.000000%\r\n" + trailer},
    };
    for (const Case &c : cases) {
        resetUploadState();
        Outcome outcome = handle(c.frame, c.nbytes);
        EXPECT_EQ(outcome.out, c.out) << c.what;
        EXPECT_TRUE(outcome.sent.empty()) << c.what;
        EXPECT_EQ(outcome.err, "") << c.what;
        // An interrupted run must not say that the board waits in its bootloader for these.
        EXPECT_EQ(uploadBegun(), std::string(c.what) == "nothing wanted") << c.what;
    }
}

TEST_F(BlockService, RequestRunningPastTheEndCompletesOnTheLastByte) {
    load(1008);
    EXPECT_EXIT(handleUntilExit(blockRequest(952, 500)), testing::ExitedWithCode(0), "^$");
    auto sent = bus.drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], blockRecord(imageBytes, 952, 56));
    EXPECT_EQ(sent[0][4], 64);
    EXPECT_EQ(log(), std::string(receivedLine) + requestLines(500, 56, 952) +
                         "Done: 94.444443%\r\n" + blockLine(56, 952) + "Firmware uploaded...");
}

TEST_F(BlockService, FailedSendEndsWithStatus2) {
    load(1000);
    failWrites(bus.flasherEnd, ENETDOWN, 1, 1);
    EXPECT_EXIT(handleUntilExit(blockRequest(100, 200)), testing::ExitedWithCode(2),
                "^Error sending command via CAN FD!: Network is down\n$");
    EXPECT_EQ(bus.drain().size(), 1u);
    EXPECT_EQ(log(), std::string(receivedLine) + requestLines(200, 56, 100) +
                         "Done: 10.000000%\r\n" + blockLine(56, 100) + blockLine(56, 156));
}

TEST_F(BlockService, FullTransmitQueueThatPersistsEndsWithStatus2) {
    load(1000);
    failWrites(bus.flasherEnd, ENOBUFS, 1 << 30);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EXIT(handleUntilExit(blockRequest(100, 56)), testing::ExitedWithCode(2),
                "^Error sending command via CAN FD!: No buffer space available\n$");
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(1000));
    // Only that the wait ends: a loaded machine, ASan or qemu-user stretch it, and the clock
    // arithmetic of the patience is pinned down with a stepped clock in frame_send_test.
    EXPECT_LT(waited, std::chrono::milliseconds(20000));
    EXPECT_TRUE(bus.drain().empty());
}

TEST_F(BlockService, FullTransmitQueueThatClearsLosesNoBlock) {
    load(1000);
    failWrites(bus.flasherEnd, ENOBUFS, 20, 1);
    Outcome outcome = handle(blockRequest(100, 168));
    EXPECT_EQ(failedWriteAttempts(), 20);
    EXPECT_EQ(outcome.err, "");
    ASSERT_EQ(outcome.sent.size(), 3u);
    for (uint32_t i = 0; i < 3; i++) {
        EXPECT_EQ(outcome.sent[i], blockRecord(imageBytes, 100 + 56 * i, 56));
    }
}

can_frame errorFrame(canid_t classes) {
    can_frame frame;
    memset(&frame, 0, sizeof(frame));
    frame.can_id = CAN_ERR_FLAG | classes;
    frame.can_dlc = CAN_ERR_DLC;
    return frame;
}

// Status 0 is the last word only once the image's last frame has left can0, and no bus-off may
// have dropped it: a controller that goes bus-off takes what it is handed and drops it, and
// write() does not say so.
TEST_F(BlockService, TheRunEndsWithSuccessOnlyWhenTheLastFramesReachedTheBus) {
    const char sendFailed[] = "Error sending command via CAN FD!: ";
    struct Case {
        const char *what;
        std::vector<canid_t> reportedBefore; // error frames read before the request
        std::vector<canid_t> reportedDuring; // error frames that come while it is served
        bool framesLeave;
        int status;
        std::string reports; // a regular expression
    } cases[] = {
        {"a healthy bus", {}, {}, true, 0, "^$"},
        {"the last frames never leave",
         {},
         {},
         false,
         2,
         "^can0 is not sending: none of its frames has left for 2 s.*\n" + std::string(sendFailed) +
             "can0 sent nothing for 20 s, and the image's last blocks are still queued on it: no "
             "node acknowledges its frames .*\n$"},
        {"bus-off while the last blocks went out",
         {},
         {CAN_ERR_BUSOFF},
         true,
         2,
         "^can0 is bus-off.*\n" + std::string(sendFailed) +
             "can0 went bus-off while the last blocks were sent, and some may be lost: run the "
             "tool again\n$"},
        {"bus-off from before, still in force",
         {CAN_ERR_BUSOFF},
         {},
         true,
         2,
         "^can0 is bus-off.*\n" + std::string(sendFailed) +
             "can0 is still bus-off, so the last blocks may never have reached the board: "
             "restart can0 .*\n$"},
        {"bus-off from before, restarted since",
         {CAN_ERR_BUSOFF, CAN_ERR_RESTARTED},
         {},
         true,
         0,
         "^can0 is bus-off.*\ncan0 restarted after bus-off.*\n$"},
    };
    for (const Case &c : cases) {
        if (!c.framesLeave && !unsentBytesVisible(bus.flasherEnd)) {
            // qemu-user: the tool cannot tell that frames are still queued, and does not wait.
            continue;
        }
        load(100);
        resetBusHealth();
        BusPair health;
        watchBusHealth(health.flasherEnd);
        framesLeaveAtOnce(c.framesLeave ? bus.flasherEnd : -1);
        // Each look at the clock finds it a second later: the 20 s pass in 20 looks.
        useFakeClock(c.framesLeave ? 0 : 1000);
        EXPECT_EXIT(
            {
                for (canid_t classes : c.reportedBefore) {
                    can_frame frame = errorFrame(classes);
                    ASSERT_EQ(write(health.boardEnd, &frame, sizeof(frame)), 16);
                }
                readBusHealth();
                for (canid_t classes : c.reportedDuring) {
                    can_frame frame = errorFrame(classes);
                    ASSERT_EQ(write(health.boardEnd, &frame, sizeof(frame)), 16);
                }
                handleUntilExit(blockRequest(56, 44));
            },
            testing::ExitedWithCode(c.status), c.reports)
            << c.what;
        EXPECT_EQ(bus.drain().size(), 1u) << c.what;
        std::string tail = c.status == 0 ? "Firmware uploaded..." : "";
        EXPECT_EQ(log(), std::string(receivedLine) + requestLines(44, 44, 56) +
                             "Done: 56.000000%\r\n" + blockLine(44, 56) + tail)
            << c.what;
        useRealClock();
    }
}

TEST_F(BlockService, FileCutShortOrRewrittenAfterStartUpChangesNothingThatIsSent) {
    struct Case {
        const char *what;
        std::vector<uint8_t> newContent;
    } cases[] = {
        {"cut short", std::vector<uint8_t>(130, 0x11)},
        {"rewritten in place with other bytes", std::vector<uint8_t>(1000, 0x22)},
    };
    for (const Case &c : cases) {
        load(1000);
        std::ofstream rewrite(image->path, std::ios::binary | std::ios::trunc);
        rewrite.write(reinterpret_cast<const char *>(c.newContent.data()),
                      static_cast<std::streamsize>(c.newContent.size()));
        rewrite.close();
        EXPECT_EXIT(handleUntilExit(blockRequest(900, 200)), testing::ExitedWithCode(0), "^$")
            << c.what;
        auto sent = bus.drain();
        ASSERT_EQ(sent.size(), 2u) << c.what;
        EXPECT_EQ(sent[0], blockRecord(imageBytes, 900, 56)) << c.what;
        EXPECT_EQ(sent[1], blockRecord(imageBytes, 956, 44)) << c.what;
    }
}

} // namespace
