// The checker is the end-to-end suite's judge: these cases show that each kind of fault it is
// meant to catch does fail it, and that a faithful upload passes.
#include "capture_check.h"
#include "test_image.h"

#include <gtest/gtest.h>

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
    void request(uint32_t offset, uint32_t length, uint8_t version = 0) {
        std::vector<uint8_t> data = le24(offset);
        data.push_back(version);
        for (uint8_t b : le24(length)) {
            data.push_back(b);
        }
        data.push_back(1);
        add(false, kRequestId, data);
    }
    void block(uint32_t offset, uint32_t length) {
        std::vector<uint8_t> data = le24(offset);
        data.push_back(static_cast<uint8_t>(length));
        for (uint8_t b : le24(static_cast<uint32_t>(image.size()))) {
            data.push_back(b);
        }
        data.push_back(0);
        data.insert(data.end(), image.begin() + offset, image.begin() + offset + length);
        add(true, kResponseId, data);
    }
    // A whole request answered the way a correct flasher does, pause included.
    void served(uint32_t offset, uint32_t length) {
        request(offset, length);
        if (offset == 0) {
            wait(0.5);
        }
        while (length > 0 && offset < image.size()) {
            const uint32_t n =
                std::min({56u, length, static_cast<uint32_t>(image.size() - offset)});
            block(offset, n);
            offset += n;
            length -= n;
        }
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

} // namespace
} // namespace e2e
