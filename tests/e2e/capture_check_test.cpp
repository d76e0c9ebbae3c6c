// The checker is the end-to-end suite's judge: these cases show that each kind of fault it is
// meant to catch does fail it, and that a faithful upload passes.
#include "capture_check.h"
#include "test_image.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace e2e {
namespace {

constexpr uint32_t kAnnounceId = 0x91A07900u;
constexpr uint32_t kRequestId = 0x93887900u;
constexpr uint32_t kResponseId = 0x93890079u;
constexpr uint32_t kAckId = 0x97960079u;
constexpr uint32_t kUpdateId = 0x97890079u;

std::vector<uint8_t> le24(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16)};
}

enum Kind { kClassic, kFd, kFdBrs };            // how the board sends a request
enum Answer { kInKind, kAlwaysBrs, kNeverBrs }; // how a flasher sets the bit-rate switch

// Builds a capture frame by frame, a millisecond apart unless told to wait.
class Bus {
  public:
    explicit Bus(size_t imageSize) : image(makeTestImage(imageSize, 3)) {
        log.ended = true;
    }

    void add(bool fd, uint32_t id, std::vector<uint8_t> data, uint8_t flags = 0) {
        CapturedFrame frame;
        frame.time = now;
        frame.fd = fd;
        frame.canId = id;
        frame.flags = flags;
        frame.data = std::move(data);
        frame.line = log.frames.size() + 1;
        log.frames.push_back(frame);
        now += 0.001;
    }
    void wait(double seconds) {
        now += seconds;
    }
    void announce() {
        add(false, kAnnounceId, {});
    }
    void activation() {
        add(false, kAckId, {});
        add(false, kUpdateId, {0x01, 0x00, 121, 134});
    }
    void request(uint32_t offset, uint32_t length, uint8_t version = 0, Kind kind = kClassic) {
        std::vector<uint8_t> data = le24(offset);
        data.push_back(version);
        for (uint8_t b : le24(length)) {
            data.push_back(b);
        }
        data.push_back(1);
        if (kind != kClassic) {
            data.resize(64, 'x'); // the board type text
        }
        add(kind != kClassic, kRequestId, data, kind == kFdBrs ? 0x05 : kind == kFd ? 0x04 : 0);
        brs = answer == kAlwaysBrs || (answer == kInKind && kind == kFdBrs);
    }
    // A block as the flasher sends it, or with wireLength as a controller delivers it: the
    // pad bytes up to that length hold what its buffer held before (non-zero here).
    void block(uint32_t offset, uint32_t length, size_t wireLength = 0) {
        std::vector<uint8_t> data = le24(offset);
        data.push_back(static_cast<uint8_t>(length));
        for (uint8_t b : le24(static_cast<uint32_t>(image.size()))) {
            data.push_back(b);
        }
        data.push_back(0);
        data.insert(data.end(), image.begin() + offset, image.begin() + offset + length);
        data.resize(std::max(data.size(), wireLength), 0xEE);
        add(true, kResponseId, data, brs ? 0x05 : 0x04);
    }
    // A whole request answered the way a correct flasher does, pause included, each block's
    // length rounded when the bus is between real controllers; lost: offsets of blocks the
    // receiver loses.
    void served(uint32_t offset, uint32_t length, Kind kind = kClassic,
                const std::vector<uint32_t> &lost = {}) {
        request(offset, length, 0, kind);
        if (offset == 0) {
            wait(0.5);
        }
        while (length > 0 && offset < image.size()) {
            const uint32_t n =
                std::min({56u, length, static_cast<uint32_t>(image.size() - offset)});
            if (std::find(lost.begin(), lost.end(), offset) == lost.end()) {
                block(offset, n, rounded ? roundUp(8 + n) : 0);
            }
            offset += n;
            length -= n;
        }
    }
    static size_t roundUp(size_t len) {
        const size_t valid[] = {8, 12, 16, 20, 24, 32, 48, 64};
        return *std::lower_bound(std::begin(valid), std::end(valid), len);
    }

    CheckResult check(Expectations expect = {}) const {
        if (!expect.image) {
            expect.image = image;
        }
        return checkCapture(log, expect);
    }

    std::vector<uint8_t> image;
    CaptureLog log;
    double now = 0;
    Answer answer = kInKind;
    bool brs = false; // whether the flasher answers the last request with the switch
    bool rounded = false;
};

Bus faithfulUpload() {
    Bus bus(300);
    bus.announce();
    bus.activation();
    bus.announce();
    bus.served(0, 128);
    bus.served(128, 128);
    bus.served(256, 128);
    return bus;
}

Expectations oneActivation() {
    Expectations expect;
    expect.activations = 1;
    return expect;
}

TEST(CaptureCheck, FaithfulUploadPasses) {
    const Bus bus = faithfulUpload();
    const CheckResult result = bus.check(oneActivation());
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(result.reassembled, bus.image);
    ASSERT_FALSE(result.summary.empty());
    EXPECT_NE(result.summary[0].find("2 announcement(s), 1 activation(s)"), std::string::npos);
}

TEST(CaptureCheck, WrongByteFails) {
    Bus bus = faithfulUpload();
    bus.log.frames.back().data[8 + 3] ^= 0x01;
    const CheckResult result = bus.check();
    EXPECT_NE(result.failure.find("image byte at offset 259"), std::string::npos);
    ASSERT_EQ(result.reassembled.size(), bus.image.size());
    EXPECT_EQ(result.reassembled[259], bus.image[259] ^ 0x01);
}

TEST(CaptureCheck, MissingOrRepeatedBlocksFail) {
    Bus lost = faithfulUpload();
    lost.log.frames.erase(lost.log.frames.end() - 3); // the block at 240, 16 bytes
    EXPECT_NE(lost.check().failure.find("block at offset 256 with 44 bytes; expected offset 240"),
              std::string::npos);

    Bus repeated = faithfulUpload();
    repeated.log.frames.push_back(repeated.log.frames.back());
    EXPECT_NE(repeated.check().failure.find("answers no request"), std::string::npos);

    Bus unfinished(300);
    unfinished.served(0, 128);
    unfinished.request(128, 172);
    unfinished.block(128, 56);
    EXPECT_NE(unfinished.check().failure.find("stopped answering: 3 block(s) still due"),
              std::string::npos);
}

TEST(CaptureCheck, AnswersToIgnoredRequestsFail) {
    for (const auto &[offset, version] : {std::pair<uint32_t, uint8_t>{0, 1}, {300, 0}}) {
        Bus bus(300);
        bus.served(0, 128);
        bus.request(offset, 56, version);
        bus.block(0, 56);
        EXPECT_NE(bus.check().failure.find("answers no request"), std::string::npos) << offset;
    }
    Bus tooShort(300);
    tooShort.add(false, kRequestId, {0x38, 0, 0, 0, 0x38, 0, 0});
    tooShort.block(56, 56);
    EXPECT_NE(tooShort.check().failure.find("the last request: too short (7 bytes)"),
              std::string::npos);
}

TEST(CaptureCheck, NothingIsOwedAfterTheLastByte) {
    Bus bus = faithfulUpload();
    bus.request(0, 56); // the flasher has exited: a silent bus is right
    Expectations expect;
    expect.atLeast["answered"] = 3;
    EXPECT_EQ(bus.check(expect).failure, "");
    bus.block(0, 56);
    EXPECT_NE(bus.check().failure.find("answers no request"), std::string::npos);
}

TEST(CaptureCheck, ActivationMustComeOnceInOrderAndExact) {
    Bus twice = faithfulUpload();
    twice.activation();
    EXPECT_NE(twice.check(oneActivation()).failure.find("2 activation(s)"), std::string::npos);

    Bus none(300);
    none.served(0, 300);
    EXPECT_EQ(none.check(oneActivation()).failure, "0 activation(s) on the bus, expected 1");

    Bus unasked(300);
    unasked.activation();
    EXPECT_NE(unasked.check().failure.find("before the board announced"), std::string::npos);

    Bus reversed(300);
    reversed.announce();
    reversed.add(false, kUpdateId, {0x01, 0x00, 121, 134});
    EXPECT_NE(reversed.check().failure.find("without acknowledgeAnnounce"), std::string::npos);

    Bus wrongPayload(300);
    wrongPayload.announce();
    wrongPayload.add(false, kAckId, {});
    wrongPayload.add(false, kUpdateId, {0x01, 0x00, 121, 121});
    EXPECT_NE(wrongPayload.check().failure.find("updateFirmware: classic record"),
              std::string::npos);

    Bus half(300);
    half.announce();
    half.add(false, kAckId, {});
    EXPECT_NE(half.check().failure.find("never followed"), std::string::npos);
}

TEST(CaptureCheck, BlockFramesAreCheckedFieldByField) {
    Bus bus(300);
    bus.served(0, 56);
    Bus classic = bus;
    classic.log.frames.back().fd = false;
    EXPECT_NE(classic.check().failure.find("as classic record"), std::string::npos);

    Bus bitRateSwitch = bus;
    bitRateSwitch.log.frames.back().flags = 0x01;
    EXPECT_NE(bitRateSwitch.check().failure.find("flags 01"), std::string::npos);

    Bus padded = bus;
    padded.log.frames.back().data.push_back(0);
    EXPECT_NE(padded.check().failure.find("65 bytes for dataLength 56"), std::string::npos);

    Bus wrongSize = bus;
    wrongSize.log.frames.back().data[4] = 0x2B;
    EXPECT_NE(wrongSize.check().failure.find("fileLength 299"), std::string::npos);
}

TEST(CaptureCheck, TimingOfTheFirstBlock) {
    Bus hasty(56);
    hasty.request(0, 56);
    hasty.wait(0.45);
    hasty.block(0, 56);
    EXPECT_NE(hasty.check().failure.find("before the 0.500 s pause"), std::string::npos);

    Expectations fast;
    fast.fastMedian = 0.1;
    EXPECT_EQ(faithfulUpload().check(fast).failure, "");

    Bus slow(300);
    slow.served(0, 128);
    slow.request(128, 172);
    slow.wait(0.2);
    slow.block(128, 56);
    slow.block(184, 56);
    slow.block(240, 56);
    slow.block(296, 4);
    EXPECT_NE(slow.check(fast).failure.find("waited 0.2010 s (median)"), std::string::npos);
}

TEST(CaptureCheck, EmptyBusAndCaptureHealth) {
    Expectations silent;
    silent.noFrames = true;
    Bus empty(300);
    EXPECT_EQ(checkCapture(empty.log, silent).failure, "");
    empty.announce();
    EXPECT_NE(checkCapture(empty.log, silent).failure.find("1 frame(s) on the bus where none"),
              std::string::npos);

    Bus cut = faithfulUpload();
    cut.log.ended = false;
    EXPECT_NE(cut.check().failure.find("did not end cleanly"), std::string::npos);
    Bus lossy = faithfulUpload();
    lossy.log.dropped = 2;
    EXPECT_NE(lossy.check().failure.find("lost 2 frame(s)"), std::string::npos);
}

TEST(CaptureCheck, ScenarioCountsAndLastFrame) {
    Expectations expect;
    expect.atLeast["announcements"] = 3;
    EXPECT_EQ(faithfulUpload().check(expect).failure,
              "2 announcements on the bus, expected at least 3");
    expect.atLeast = {{"answered", 3}, {"blocks", 6}};
    expect.lastFrameLength = 52; // the block at 256 holds the last 44 bytes
    EXPECT_EQ(faithfulUpload().check(expect).failure, "");
    expect.lastFrameLength = 64;
    EXPECT_NE(faithfulUpload().check(expect).failure.find("frame of 52 bytes, expected 64"),
              std::string::npos);
}

TEST(CaptureCheck, LengthByteAsSentOrAsAControllerRoundsIt) {
    for (uint32_t count = 1; count <= 56; ++count) {
        for (size_t len = 8; len <= 64; ++len) {
            Bus bus(count);
            bus.request(0, 56);
            bus.wait(0.5);
            bus.block(0, count, len);
            bus.log.frames.back().data.resize(len);
            const bool right = len == 8 + count || len == Bus::roundUp(8 + count);
            EXPECT_EQ(bus.check().failure.empty(), right) << count << " bytes, length " << len;
        }
    }
    // The full upload's last block, 36 bytes, arrives as 48 on a real controller pair.
    Bus bus(24836);
    bus.rounded = true;
    for (uint32_t offset = 0; offset < 24836; offset += 512) {
        bus.served(offset, 512);
    }
    Expectations expect;
    expect.lastFrameLength = 48;
    const CheckResult result = bus.check(expect);
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(result.reassembled, bus.image);
    expect.lastFrameLength = 44;
    EXPECT_NE(bus.check(expect).failure.find("frame of 48 bytes, expected 44"), std::string::npos);
}

// A block carries the bit-rate switch exactly when the request it answers did; a flasher that
// always or never sets it fails on the kind of request where that is wrong.
TEST(CaptureCheck, BitRateSwitchAnswersInKind) {
    for (Kind kind : {kClassic, kFd, kFdBrs}) {
        for (Answer answer : {kInKind, kAlwaysBrs, kNeverBrs}) {
            Bus bus(300);
            bus.answer = answer;
            bus.served(0, 128, kind);
            bus.served(128, 172, kind);
            const bool right = answer == kInKind || (answer == kAlwaysBrs) == (kind == kFdBrs);
            const std::string failure = bus.check().failure;
            if (right) {
                EXPECT_EQ(failure, "") << kind << " " << answer;
            } else {
                EXPECT_EQ(failure.rfind("capture line 2: block at offset 0: flags ", 0), 0u)
                    << kind << " " << answer << ": " << failure;
            }
        }
    }
    Bus mixed(300);
    mixed.served(0, 100, kFdBrs);
    mixed.served(100, 100, kClassic);
    mixed.served(200, 100, kFd);
    EXPECT_EQ(mixed.check().failure, "");
    mixed.log.frames[4].flags = 0x05; // the first block answering the classic request
    EXPECT_NE(mixed.check().failure.find("flags 05, with the bit-rate switch; the request at "
                                         "offset 100 it answers came without the switch"),
              std::string::npos);
    mixed.log.frames[4].flags = 0x06;
    EXPECT_NE(mixed.check().failure.find("flags 06, 64 bytes; expected CAN FD, 93890079, no flag "
                                         "but the bit-rate switch"),
              std::string::npos);
}

// Frames lost by an overrun receiver: the run asks again for them, and the check lets as many
// predicted blocks be missing as the receiver lost, not one more, and nothing else through.
TEST(CaptureCheck, BlocksLostByTheReceiver) {
    auto upload = [](const std::vector<uint32_t> &lost) {
        Bus bus(300);
        bus.served(0, 128);
        bus.served(128, 128, kClassic, lost);
        bus.served(lost.empty() ? 128 : lost.front(), 256 - (lost.empty() ? 128 : lost.front()));
        bus.served(256, 44);
        return bus;
    };
    Expectations expect;
    EXPECT_NE(upload({184}).check(expect).failure.find("block at offset 240 with 16 bytes; "
                                                       "expected offset 184 with 56 bytes"),
              std::string::npos);
    // An overrun loses a run of frames in a row, however long.
    expect.receiverLost = 1;
    const CheckResult result = upload({128, 184}).check(expect);
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(result.reassembled, upload({}).image);
    EXPECT_EQ(result.summary.at(3),
              "receiver: 2 predicted block(s) in 1 run(s) missing from the capture, tolerated as "
              "lost by the receiver (at most 1 run(s)) at offsets 128, 184");
    // Two runs for one overrun: one of them is not the receiver's doing.
    EXPECT_NE(upload({128, 240})
                  .check(expect)
                  .failure.find("that makes 2 run(s) of predicted blocks missing from the "
                                "capture, more than the 1 overrun(s) of the receiver"),
              std::string::npos);
    expect.receiverLost = 2;
    EXPECT_EQ(upload({128, 240}).check(expect).failure, "");

    Bus wrongByte = upload({184});
    wrongByte.log.frames.back().data[8] ^= 0x01;
    EXPECT_NE(wrongByte.check(expect).failure.find("image byte at offset 256"), std::string::npos);
    Bus extra = upload({184});
    extra.block(0, 56);
    EXPECT_NE(extra.check(expect).failure.find("answers no request"), std::string::npos);

    Bus unfinished(300);
    unfinished.served(0, 128);
    unfinished.request(128, 172);
    unfinished.block(128, 56);
    expect.receiverLost = 0;
    EXPECT_EQ(unfinished.check(expect).failure,
              "the flasher stopped answering: 3 block(s) still due, the first at offset 184");
    expect.receiverLost = 1;
    EXPECT_EQ(unfinished.check(expect).failure,
              "image byte at offset 184 never crossed the bus (the receiver lost its block, and "
              "it was not sent again)");
}

TEST(CaptureCheck, PartOfAnUploadIsJudgedForWhatCrossed) {
    // The flasher was cut off in the middle of its second answer.
    Bus cutOff(300);
    cutOff.served(0, 128);
    cutOff.request(128, 172);
    cutOff.block(128, 56);
    Expectations expect;
    expect.partial = true;
    EXPECT_EQ(cutOff.check(expect).failure, "");
    cutOff.log.frames.back().data[9] ^= 0x01;
    EXPECT_NE(cutOff.check(expect).failure.find("image byte at offset 129"), std::string::npos);

    // Another run sent the first part: what this one sends must still be what it owes.
    Bus resumed(300);
    resumed.served(184, 116);
    EXPECT_EQ(resumed.check(expect).failure, "");
    resumed.block(184, 56);
    EXPECT_NE(resumed.check(expect).failure.find("answers no request"), std::string::npos);
    expect.partial = false;
    Bus whole(300);
    whole.served(184, 116);
    EXPECT_EQ(whole.check(expect).failure, "image byte at offset 0 never crossed the bus");
}

} // namespace
} // namespace e2e
