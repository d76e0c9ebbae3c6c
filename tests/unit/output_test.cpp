#include "output.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

// A pipe whose reader does not read until told: a paused pager, a slow console.
struct Reader {
    int readEnd = -1;
    int writeEnd = -1;
    Reader() {
        int ends[2];
        EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
        readEnd = ends[0];
        writeEnd = ends[1];
        fcntl(readEnd, F_SETFL, O_NONBLOCK);
    }
    ~Reader() {
        close(readEnd);
        close(writeEnd);
    }
    // What is in the pipe now.
    std::string take() const {
        std::string taken;
        char piece[65536];
        ssize_t n;
        while ((n = read(readEnd, piece, sizeof(piece))) > 0) {
            taken.append(piece, static_cast<size_t>(n));
        }
        return taken;
    }
    // Reads until size bytes came, letting the tool write more each time (at most 10,000 turns).
    std::string takeAll(size_t size) const {
        std::string taken;
        for (int turn = 0; turn < 10000 && taken.size() < size; turn++) {
            flushOutput();
            taken += take();
        }
        return taken;
    }
};

class Output : public testing::Test {
  protected:
    void SetUp() override {
        // As the tool does: a reader that leaves must not end the process.
        signal(SIGPIPE, SIG_IGN);
        // A write that waits for the reader would hang the test: fail it instead.
        alarm(20);
    }
    void TearDown() override {
        alarm(0);
        resetOutput();
        signal(SIGPIPE, SIG_DFL);
    }
};

const std::string blockLine = "Sending firmware block size 56 offset 1234567\n\r";

TEST_F(Output, AReaderThatStopsHoldsNothingUpAndLosesNothing) {
    Reader log;
    Reader reports;
    startOutput(log.writeEnd, reports.writeEnd);
    std::string expected;
    // Several times what the pipe holds, while nobody reads it.
    for (int i = 0; i < 20000; i++) {
        std::string line = "Hotovo " + std::to_string(i) + "\r\n";
        logText(line.data(), line.size());
        logBlockText(blockLine.data(), blockLine.size());
        expected += line + blockLine;
        flushOutput();
    }
    reportText("can0 is bus-off\n");
    // The reports have a reader of their own, which the log's does not hold back.
    EXPECT_EQ(reports.take(), "can0 is bus-off\n");
    EXPECT_EQ(log.takeAll(expected.size()), expected);
    EXPECT_TRUE(drainOutput(0));
}

TEST_F(Output, PastTheBoundBlockLinesAreLeftOutAndSaidSo) {
    Reader log;
    Reader reports;
    startOutput(log.writeEnd, reports.writeEnd);
    size_t kept = 0;
    for (size_t queued = 0; queued < logQueueBytes + (1u << 20); queued += blockLine.size()) {
        logBlockText(blockLine.data(), blockLine.size());
    }
    // Room is kept for the other lines, which say what happened.
    const std::string trailer = "Src: 121 Dest: 0\r\n";
    logText(trailer.data(), trailer.size());
    std::string taken = log.takeAll(logQueueBytes);
    taken += log.takeAll(logQueueBytes);
    for (size_t at = 0; taken.compare(at, blockLine.size(), blockLine) == 0;
         at += blockLine.size()) {
        kept++;
    }
    size_t total = (logQueueBytes + (1u << 20) + blockLine.size() - 1) / blockLine.size();
    ASSERT_GT(kept, (logQueueBytes - (64u << 10)) / blockLine.size() - 1);
    ASSERT_LT(kept, total);
    EXPECT_EQ(taken.substr(kept * blockLine.size()),
              "(" + std::to_string(total - kept) +
                  " lines left out here: the reader fell 8 MiB behind)\r\n" + trailer);
}

TEST_F(Output, StreamsSharingAReaderKeepTheirOrder) {
    Reader both;
    startOutput(both.writeEnd, both.writeEnd);
    std::string expected;
    for (int i = 0; i < 5000; i++) {
        logBlockText(blockLine.data(), blockLine.size());
        expected += blockLine;
        if (i % 1000 == 0) {
            reportText("a report\n");
            expected += "a report\n";
        }
    }
    EXPECT_EQ(both.takeAll(expected.size()), expected);
}

TEST_F(Output, TheStatusLineIsErasedBeforeAReport) {
    int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    int screen = open(ptsname(terminal), O_RDWR | O_NOCTTY);
    ASSERT_GE(screen, 0);
    termios raw;
    ASSERT_EQ(tcgetattr(screen, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(screen, TCSANOW, &raw), 0);
    Reader log;
    // Only a terminal of its own gets the line: not when the log is the terminal too.
    startOutput(screen, screen);
    EXPECT_FALSE(statusLineAllowed());
    startOutput(log.writeEnd, screen);
    ASSERT_TRUE(statusLineAllowed());
    showStatusLine("Uploading: 512 of 1024 bytes (50 %)");
    reportText("a report\n");
    eraseStatusLine();
    showStatusLine("Uploading: 1024 of 1024 bytes (100 %)");
    eraseStatusLine();
    resetOutput();
    const std::string expected = "\rUploading: 512 of 1024 bytes (50 %)\033[K\r\033[Ka report\n"
                                 "\rUploading: 1024 of 1024 bytes (100 %)\033[K\r\033[K";
    // The terminal may hand what was written over in pieces.
    std::string shown;
    pollfd readable = {terminal, POLLIN, 0};
    while (shown.size() < expected.size() && poll(&readable, 1, 1000) == 1) {
        char piece[256];
        ssize_t n = read(terminal, piece, sizeof(piece));
        ASSERT_GT(n, 0);
        shown.append(piece, static_cast<size_t>(n));
    }
    EXPECT_EQ(shown, expected);
    close(screen);
    close(terminal);
}

} // namespace
