// The sim against a scripted flasher over a socketpair: a correct flasher passes, each fault
// ends in the right verdict and exit status.
#include "board.h"
#include "fake_flasher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace sim;

std::vector<uint8_t> testImage(size_t size) {
    std::mt19937 random(42);
    std::vector<uint8_t> image(size);
    for (uint8_t &byte : image) {
        byte = static_cast<uint8_t>(random());
    }
    return image;
}

// The waits that the flasher's answer ends (announcing, a chunk, the whole run) are long: they
// cost nothing when the answer comes, and a loaded machine (sanitizers, qemu-user, -j2) cannot
// make them run out and change what is counted. Only the waits that always run in full (erase,
// ignore window, linger) are short.
Options fastOptions() {
    Options options;
    options.imagePath = "test.bin";
    options.announceIntervalMs = 30'000;
    options.eraseMs = 10;
    options.chunkSize = 128;
    options.chunkTimeoutMs = 30'000;
    options.retries = 2;
    options.ignoreWindowMs = 100;
    options.lingerMs = 20;
    options.timeoutS = 60;
    return options;
}

struct Outcome {
    Verdict verdict;
    TransferStats stats;
    FlasherLog flasher;
    std::string log;
};

// A socketpair has no interface: the board's counters of lost frames live in a folder of the
// test's own, which the scripted flasher raises for the frames it loses as a receiver would.
Outcome runAgainst(const Options &options, const FlasherScript &script, size_t imageSize = 1000) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    char folder[] = "/tmp/sim-statistics.XXXXXX";
    EXPECT_NE(mkdtemp(folder), nullptr);
    const std::string statistics = folder;
    for (const char *counter : {"/rx_errors", "/rx_over_errors"}) {
        std::ofstream(statistics + counter) << "0\n";
    }
    std::ostringstream text;
    Outcome outcome;
    {
        FakeFlasher flasher(fds[1], testImage(imageSize), script, statistics + "/rx_errors");
        FrameChannel channel(fds[0], statistics);
        FrameLog log(text, "can0", options.quiet);
        Board board(options, testImage(imageSize), channel, log);
        outcome.verdict = board.run();
        outcome.stats = board.stats();
        outcome.flasher = flasher.finish();
    }
    close(fds[0]);
    close(fds[1]);
    std::filesystem::remove_all(statistics);
    outcome.log = text.str();
    return outcome;
}

std::vector<uint32_t> requestedOffsets(const FlasherLog &log) {
    std::vector<uint32_t> offsets;
    for (const SeenRequest &request : log.requests) {
        offsets.push_back(request.offset);
    }
    return offsets;
}

TEST(Board, PassesACorrectFlasher) {
    const Outcome outcome = runAgainst(fastOptions(), {});
    EXPECT_EQ(outcome.verdict.status, kExitPass) << outcome.verdict.line;
    EXPECT_EQ(outcome.verdict.line.rfind("PASS: image of 1000 bytes received byte-exact in ", 0),
              0u);
    EXPECT_NE(outcome.verdict.line.find(" s; no block asked for again"), std::string::npos)
        << outcome.verdict.line;
    EXPECT_EQ(requestedOffsets(outcome.flasher),
              (std::vector<uint32_t>{0, 128, 256, 384, 512, 640, 768, 896}));
    for (const SeenRequest &request : outcome.flasher.requests) {
        EXPECT_EQ(request.recordSize, 16u);
        EXPECT_EQ(request.len, 8u);
        EXPECT_EQ(request.length, 128u) << "the last chunk too asks for a whole chunk";
    }
    EXPECT_EQ(outcome.stats.responses, 7u * 3 + 2);
    EXPECT_EQ(outcome.stats.reRequests, 0u);
    EXPECT_NE(outcome.log.find("TX  can0  13887900   [8]  00 00 00 00 80 00 00 01"),
              std::string::npos)
        << outcome.log;
    EXPECT_NE(outcome.log.find("RX  can0  13890079  [64]  00 00 00 38 E8 03 00 00"),
              std::string::npos);
    EXPECT_NE(outcome.log.find("chunk 8 of 8"), std::string::npos);
}

TEST(Board, PassesOnABusyBusWithEveryRequestVariant) {
    Options options = fastOptions();
    options.noise = true;
    options.fdRequests = true;
    options.ignoredRequests = true;
    options.order = ChunkOrder::Random;
    options.seed = 5;
    options.repeat = 2;
    options.secondAnnounce = true;
    FlasherScript script;
    script.pauseAtZeroMs = 50;
    const Outcome outcome = runAgainst(options, script, 3000);
    ASSERT_EQ(outcome.verdict.status, kExitPass) << outcome.verdict.line;

    std::vector<uint32_t> wanted;
    for (const ChunkStep &step : makeChunkPlan(3000, 128, ChunkOrder::Random, 5, 2)) {
        wanted.push_back(step.offset);
    }
    std::vector<uint32_t> served;
    unsigned ignored = 0;
    for (const SeenRequest &request : outcome.flasher.requests) {
        EXPECT_EQ(request.recordSize, 72u);
        EXPECT_EQ(request.len, 64u);
        EXPECT_EQ(request.flags, 0u) << "--fd-requests come without the bit-rate switch";
        if (request.bootloaderVersion != 0 || request.offset >= 3000) {
            ++ignored;
        } else {
            served.push_back(request.offset);
        }
    }
    EXPECT_EQ(served, wanted);
    EXPECT_EQ(ignored, 8u) << "two rounds of four";
    EXPECT_EQ(outcome.flasher.announcements, outcome.stats.announcements);
    EXPECT_GE(outcome.flasher.announcements, 2u);
    EXPECT_GT(outcome.flasher.otherFrames, 2 * wanted.size());
}

TEST(Board, RecoveryModeRequestsWithoutAnnouncing) {
    Options options = fastOptions();
    options.announce = false;
    options.order = ChunkOrder::Reverse;
    const Outcome outcome = runAgainst(options, {}, 600);
    EXPECT_EQ(outcome.verdict.status, kExitPass) << outcome.verdict.line;
    EXPECT_EQ(outcome.flasher.announcements, 0u);
    EXPECT_EQ(requestedOffsets(outcome.flasher), (std::vector<uint32_t>{384, 256, 128, 0, 512}));
}

// A block its own interface counted as lost is one the board may ask for again.
TEST(Board, ReRequestsALostBlockAndPasses) {
    FlasherScript script;
    script.dropAt = 128 + 56;
    script.dropOnce = true;
    script.dropCounted = true;
    const Outcome outcome = runAgainst(fastOptions(), script);
    EXPECT_EQ(outcome.verdict.status, kExitPass) << outcome.verdict.line;
    EXPECT_EQ(outcome.stats.reRequests, 1u);
    EXPECT_NE(outcome.verdict.line.find("; 2 block(s) asked for again after can0 counted 1 "
                                        "receive error(s)"),
              std::string::npos)
        << outcome.verdict.line;
    const auto offsets = requestedOffsets(outcome.flasher);
    ASSERT_GE(offsets.size(), 3u);
    EXPECT_EQ(offsets[2], 128u + 56) << "asks again from the first missing byte";
    EXPECT_EQ(outcome.flasher.requests[2].length, 128u - 56);

    // The last block of a serve lost: only the chunk timeout can tell, so it must be short here.
    // On a slow machine it may also run out before a block that is merely late; such a request
    // only brings duplicates, so the retries are many.
    Options options = fastOptions();
    options.chunkTimeoutMs = 200;
    options.retries = 50;
    script.dropAt = 128 + 112;
    const Outcome timedOut = runAgainst(options, script);
    EXPECT_EQ(timedOut.verdict.status, kExitPass) << timedOut.verdict.line;
    EXPECT_GE(timedOut.stats.reRequests, 1u);
    const auto again = requestedOffsets(timedOut.flasher);
    EXPECT_NE(std::find(again.begin(), again.end(), 128u + 112), again.end());
}

// An overrun receiver loses a frame of every few; the board asks again from the first missing
// byte as often as each try brings new bytes, though one retry in a row is all it may spend.
TEST(Board, RecoversFromFramesLostAtTheReceiver) {
    Options options = fastOptions();
    options.chunkSize = 512;
    options.retries = 1;
    options.order = ChunkOrder::Random;
    options.repeat = 1;
    FlasherScript script;
    script.loseEvery = 4;
    const Outcome outcome = runAgainst(options, script, 3000);
    EXPECT_EQ(outcome.verdict.status, kExitPass) << outcome.verdict.line;
    // Ten blocks a chunk: blocks 3 and 7 are lost, then block 6 of the seven asked again.
    EXPECT_EQ(outcome.stats.reRequests, 2u * 8) << outcome.log;
    EXPECT_NE(outcome.verdict.line.find("; 88 block(s) asked for again after can0 counted 24 "
                                        "receive error(s)"),
              std::string::npos)
        << outcome.verdict.line;
}

TEST(Board, PassesWithLengthsRoundedByTheController) {
    for (uint32_t chunk : {1u, 37u, 56u, 100u, 512u, 4096u}) {
        for (ChunkOrder order : {ChunkOrder::Sequential, ChunkOrder::Reverse, ChunkOrder::Random}) {
            Options options = fastOptions();
            options.quiet = true;
            options.chunkSize = chunk;
            options.order = order;
            options.repeat = order == ChunkOrder::Random ? 1 : 0;
            FlasherScript script;
            script.length = LengthByte::Rounded;
            // 1001 bytes: the last block carries 1, 2, 41 or 49 bytes, and for some chunk
            // sizes blocks in between 37 or 44: lengths a controller rounds up.
            const Outcome outcome = runAgainst(options, script, 1001);
            EXPECT_EQ(outcome.verdict.status, kExitPass)
                << chunk << " " << chunkOrderName(order) << ": " << outcome.verdict.line;
        }
    }
}

// Blocks carry the bit-rate switch when, and only when, the request they answer had it; a
// flasher that always or never sets it fails on the kinds of request where that is wrong.
TEST(Board, ChecksTheBitRateSwitchAgainstEachKindOfRequest) {
    for (RequestKind kind : {RequestKind::Classic, RequestKind::Fd, RequestKind::FdBrs}) {
        for (Brs brs : {Brs::InKind, Brs::Always, Brs::Never}) {
            Options options = fastOptions();
            options.fdRequests = kind == RequestKind::Fd;
            options.brsRequests = kind == RequestKind::FdBrs;
            FlasherScript script;
            script.brs = brs;
            script.extraFlags = 0x04; // as newer kernels mark every CAN FD record
            const Outcome outcome = runAgainst(options, script);
            const bool withBrs = kind == RequestKind::FdBrs;
            const bool right = brs == Brs::InKind || (brs == Brs::Always) == withBrs;
            const std::string what =
                strprintf("kind %d, flasher %d", static_cast<int>(kind), static_cast<int>(brs));
            EXPECT_EQ(outcome.verdict.status, right ? kExitPass : kExitMismatch)
                << what << ": " << outcome.verdict.line;
            if (!right) {
                EXPECT_NE(outcome.verdict.line.find(withBrs ? "no bit-rate switch, though the "
                                                            : "bit-rate switch set, though the "),
                          std::string::npos)
                    << what << ": " << outcome.verdict.line;
            }
            ASSERT_FALSE(outcome.flasher.requests.empty()) << what;
            EXPECT_EQ(outcome.flasher.requests[0].recordSize,
                      kind == RequestKind::Classic ? 16u : 72u);
            EXPECT_EQ(outcome.flasher.requests[0].flags, withBrs ? 0x01u : 0u) << what;
        }
    }
}

struct FaultCase {
    const char *name;
    FlasherScript script;
    int status;
    std::string message;
    Options options = fastOptions();
};

void PrintTo(const FaultCase &fault, std::ostream *out) {
    *out << fault.name;
}

class BoardFault : public testing::TestWithParam<FaultCase> {};

TEST_P(BoardFault, FailsWithTheRightVerdict) {
    const FaultCase &fault = GetParam();
    const Outcome outcome = runAgainst(fault.options, fault.script);
    EXPECT_EQ(outcome.verdict.status, fault.status) << outcome.verdict.line;
    EXPECT_EQ(outcome.verdict.line.rfind("FAIL: ", 0), 0u) << outcome.verdict.line;
    EXPECT_NE(outcome.verdict.line.find(fault.message), std::string::npos) << outcome.verdict.line;
}

FaultCase with(const char *name, int status, const std::string &message,
               const std::function<void(FlasherScript &, Options &)> &change) {
    FaultCase fault{name, {}, status, message};
    change(fault.script, fault.options);
    return fault;
}

const uint8_t kImageByte300 = testImage(1000)[300];

INSTANTIATE_TEST_SUITE_P(
    Faults, BoardFault,
    testing::Values(
        with("WrongByte", kExitMismatch,
             strprintf("image byte at offset 300 is 0x%02X, expected 0x%02X (block at offset 256)",
                       kImageByte300 ^ 0x5A, kImageByte300),
             [](FlasherScript &s, Options &) { s.corruptAt = 300; }),
        with("LengthRoundedTooFar", kExitMismatch,
             "block at offset 112: length byte 32, expected 8 + dataLength 16 = 24",
             [](FlasherScript &s, Options &) { s.length = LengthByte::TooLong; }),
        with("ShortBlocks", kExitMismatch, "block at offset 0 carries 50 bytes, expected 56",
             [](FlasherScript &s, Options &) { s.blockSize = 50; }),
        with("ErrField", kExitMismatch, "block at offset 0: err 2, expected 0",
             [](FlasherScript &s, Options &) { s.err = 2; }),
        with("Spare2", kExitMismatch, "spare2 7, expected 0",
             [](FlasherScript &s, Options &) { s.spare2 = 7; }),
        with("FileLength", kExitMismatch, "fileLength 999, expected 1000",
             [](FlasherScript &s, Options &) { s.fileLengthDelta = -1; }),
        with("Identifier", kExitMismatch, "identifier 0x93890179, expected 0x93890079",
             [](FlasherScript &s, Options &) { s.responseId = 0x93890179; }),
        with("ErrorStateIndicator", kExitMismatch,
             "flags 0x02: only the bit-rate switch (0x01) may be set",
             [](FlasherScript &s, Options &) { s.extraFlags = 0x02; }),
        with("ClassicRecord", kExitMismatch, "in a 16-byte record, expected a 72-byte",
             [](FlasherScript &s, Options &) { s.classicResponses = true; }),
        with("UpdateComplement", kExitMismatch,
             "updateFirmware data 01 00 79 85 00 00 00 00, expected 01 00 79 86 00 00 00 00",
             [](FlasherScript &s, Options &) { s.updateComplement = 0x85; }),
        with("DuplicateActivation", kExitMismatch,
             "duplicate activation: acknowledgeAnnounce after the board was activated (the "
             "flasher answered a second announcement)",
             [](FlasherScript &s, Options &o) {
                 s.answerEveryAnnounce = true;
                 o.secondAnnounce = true;
             }),
        with("ActivationInRecovery", kExitMismatch, "acknowledgeAnnounce received in recovery mode",
             [](FlasherScript &s, Options &o) {
                 s.activateUnprompted = true;
                 o.announce = false;
             }),
        with("AnswersIgnoredRequest", kExitMismatch,
             "the flasher answered a request it must ignore: block at offset 0",
             [](FlasherScript &s, Options &o) {
                 s.serveIgnored = true;
                 o.ignoredRequests = true;
                 o.ignoreWindowMs = 10'000; // ends at the answer
             }),
        // A block left out, which the board's interface did not count as lost.
        with("MissingBlock", kExitTimeout,
             "block at offset 312 never came: the answer to the request at offset 256 for 128 "
             "bytes (chunk 3 of 8) went on without it to its last block, and can0 counted no "
             "lost frame since that request",
             [](FlasherScript &s, Options &) { s.dropAt = 312; }),
        with("FirstBlockOnly", kExitTimeout,
             "block at offset 56 never came: the answer to the request at offset 0 for 512 bytes "
             "(chunk 1 of 2) brought nothing more for 2000 ms, and can0 counted no lost frame "
             "since that request",
             [](FlasherScript &s, Options &o) {
                 s.firstBlockOnly = true;
                 o = Options{};
             }),
        // Frames lost at the receiver do not excuse a flasher fault once they came again.
        with("WrongByteAfterALoss", kExitMismatch, "image byte at offset 200 is",
             [](FlasherScript &s, Options &) {
                 s.dropAt = 184;
                 s.dropOnce = true;
                 s.dropCounted = true;
                 s.corruptAt = 200;
             }),
        with("StrayBlockAfterALoss", kExitMismatch,
             "block at offset 0 (56 bytes) is outside the requested range 256..383",
             [](FlasherScript &s, Options &) {
                 s.dropAt = 184;
                 s.dropOnce = true;
                 s.dropCounted = true;
                 s.strayAfter = 184;
             }),
        with("LossInTheLastServe", kExitTimeout,
             "bytes from offset 896 never came; since its first request can0 counted 1 receive "
             "error(s); the block with the image's last byte had already come",
             [](FlasherScript &s, Options &o) {
                 s.dropAt = 896;
                 s.dropCounted = true;
                 o.retries = 0;
             }),
        with("SilentFlasher", kExitTimeout, "timeout after 1 s: no answer to",
             [](FlasherScript &s, Options &o) {
                 s.silent = true;
                 o.timeoutS = 1;
             }),
        with("NoAnswerToRequests", kExitTimeout,
             "timeout after 1 s: chunk 1/8 at offset 0: 0 of 128 bytes arrived after",
             [](FlasherScript &s, Options &o) {
                 s.silent = true;
                 o.announce = false;
                 o.timeoutS = 1;
             })),
    [](const testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

} // namespace
