#include "capture_check.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <map>
#include <stdexcept>

namespace e2e {

namespace {

// The suite's own copy of the bus vocabulary: it must not inherit a mistake of the flasher's.
constexpr uint8_t kBoard = 121;
constexpr uint8_t kFlasher = 0;
constexpr uint16_t kAnnounce = 4512;
constexpr uint16_t kRequest = 5000;
constexpr uint16_t kResponse = 5001;
constexpr uint16_t kUpdateFirmware = 6025;
constexpr uint16_t kAcknowledge = 6038;
constexpr uint32_t kEff = 0x80000000u;
constexpr uint32_t kAckId = 0x97960079u;
constexpr uint32_t kUpdateId = 0x97890079u;
constexpr uint32_t kResponseId = 0x93890079u;
constexpr uint8_t kBrsFlag = 0x01;
constexpr uint8_t kFdfFlag = 0x04; // set by newer kernels on every CAN FD record
constexpr uint32_t kBlockData = 56;
const std::vector<uint8_t> kUpdatePayload = {0x01, 0x00, 121, static_cast<uint8_t>(~121u)};

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

struct Failed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const CapturedFrame &frame, const std::string &why) {
    throw Failed(format("capture line %zu: ", frame.line) + why);
}

// The length a CAN FD controller puts on the wire for n bytes (n itself past 64).
size_t fdWireLength(size_t n) {
    for (size_t valid : {8, 12, 16, 20, 24, 32, 48, 64}) {
        if (n <= valid) {
            return n <= 8 ? n : valid;
        }
    }
    return n;
}

uint32_t le24(const std::vector<uint8_t> &d, size_t at) {
    return static_cast<uint32_t>(d[at]) | static_cast<uint32_t>(d[at + 1]) << 8 |
           static_cast<uint32_t>(d[at + 2]) << 16;
}

struct Due {
    uint32_t offset;
    uint32_t length;
    size_t request;
    bool first;
    bool brs; // the request came as CAN FD with the bit-rate switch
};

struct Served {
    double time;
    uint32_t offset;
    double firstBlock = -1;
};

class Model {
  public:
    explicit Model(const Expectations &expect)
        : expect_(expect), covered_(expect.image ? expect.image->size() : 0, false),
          reassembled_(covered_.size(), 0) {}

    const std::vector<uint8_t> &reassembled() const {
        return reassembled_;
    }

    void frame(const CapturedFrame &f) {
        const bool eff = (f.canId & kEff) != 0;
        const uint16_t type = static_cast<uint16_t>((f.canId & 0x1FFFFFFFu) >> 16);
        const uint8_t source = static_cast<uint8_t>(f.canId >> 8);
        const uint8_t destination = static_cast<uint8_t>(f.canId);
        if (eff && source == kFlasher) {
            fromFlasher(f, type, destination);
        } else if (eff && source == kBoard && destination == kFlasher && type == kAnnounce) {
            ++announcements_;
        } else if (eff && source == kBoard && destination == kFlasher && type == kRequest) {
            request(f);
        } else {
            ++others_;
        }
    }

    void finish() {
        if (ackPending_) {
            throw Failed("acknowledgeAnnounce was never followed by updateFirmware");
        }
        if (expect_.activations && *expect_.activations != updates_) {
            throw Failed(
                format("%u activation(s) on the bus, expected %u", updates_, *expect_.activations));
        }
        if (!expect_.image) {
            return;
        }
        if (!due_.empty() && !expect_.partial && missingRuns_ + 1 > expect_.receiverLost) {
            throw Failed(format("the flasher stopped answering: %zu block(s) still due, the "
                                "first at offset %u",
                                due_.size(), due_.front().offset) +
                         tooManyMissing());
        }
        if (!due_.empty() && !expect_.partial) {
            missing_.insert(missing_.end(), due_.begin(), due_.end());
            ++missingRuns_;
        }
        due_.clear();
        if (expect_.partial) {
            checkTiming();
            checkCounts();
            return;
        }
        const auto gap = std::find(covered_.begin(), covered_.end(), false);
        if (gap != covered_.end()) {
            const size_t at = static_cast<size_t>(gap - covered_.begin());
            const bool lost = std::any_of(missing_.begin(), missing_.end(), [at](const Due &d) {
                return at >= d.offset && at < d.offset + d.length;
            });
            throw Failed(
                format("image byte at offset %zu never crossed the bus%s", at,
                       lost ? " (the receiver lost its block, and it was not sent again)" : ""));
        }
        checkTiming();
        checkCounts();
    }

    std::vector<std::string> summary() const {
        std::vector<std::string> lines;
        lines.push_back(format("bus: %zu frames; %u announcement(s), %u activation(s), %zu "
                               "frame(s) of other nodes",
                               frames_, announcements_, updates_, others_));
        lines.push_back(format("requests: %zu answered; ignored: %u with a bootloader version "
                               "other than 0, %u past the image's end, %u too short, %u after "
                               "the last byte",
                               served_.size(), ignoredVersion_, ignoredPastEnd_, ignoredShort_,
                               afterEnd_));
        if (expect_.image) {
            lines.push_back(format("blocks: %zu, %llu bytes, every one as predicted and equal "
                                   "to the image",
                                   blocks_, static_cast<unsigned long long>(bytes_)));
        }
        if (expect_.receiverLost > 0 || !missing_.empty()) {
            std::string offsets;
            for (size_t i = 0; i < missing_.size() && i < 10; ++i) {
                offsets += format("%s%u", i == 0 ? " at offsets " : ", ", missing_[i].offset);
            }
            lines.push_back(format("receiver: %zu predicted block(s) in %u run(s) missing from the "
                                   "capture, tolerated as lost by the receiver (at most %u "
                                   "run(s))%s%s",
                                   missing_.size(), missingRuns_, expect_.receiverLost,
                                   offsets.c_str(), missing_.size() > 10 ? ", ..." : ""));
        }
        if (!pauses_.empty()) {
            lines.push_back(
                format("first block after a request at offset 0: %s s", list(pauses_).c_str()));
        }
        if (!otherDelays_.empty()) {
            std::vector<double> sorted = otherDelays_;
            std::sort(sorted.begin(), sorted.end());
            lines.push_back(format("first block after a request at another offset: median "
                                   "%.4f s, max %.4f s (%zu requests)",
                                   median(sorted), sorted.back(), sorted.size()));
        }
        return lines;
    }

    void count() {
        ++frames_;
    }

  private:
    void fromFlasher(const CapturedFrame &f, uint16_t type, uint8_t destination) {
        if (destination != kBoard) {
            fail(f, format("frame from address 0 to %u: only board 121 is to be addressed",
                           destination));
        }
        if (ackPending_ && type != kUpdateFirmware) {
            fail(f, "acknowledgeAnnounce was not followed by updateFirmware");
        }
        switch (type) {
        case kAcknowledge:
            activationFrame(f, kAckId, {}, "acknowledgeAnnounce");
            if (announcements_ == 0) {
                fail(f, "acknowledgeAnnounce before the board announced itself");
            }
            ackPending_ = true;
            return;
        case kUpdateFirmware:
            activationFrame(f, kUpdateId, kUpdatePayload, "updateFirmware");
            if (!ackPending_) {
                fail(f, "updateFirmware without acknowledgeAnnounce just before it");
            }
            ackPending_ = false;
            ++updates_;
            return;
        case kResponse:
            response(f);
            return;
        default:
            fail(f, format("unexpected frame of message type %u from the flasher", type));
        }
    }

    void activationFrame(const CapturedFrame &f, uint32_t id, const std::vector<uint8_t> &data,
                         const char *name) {
        if (f.fd || f.canId != id || f.data != data) {
            fail(f, format("%s: %s record, identifier %08X, data [%s]; expected a classic record, "
                           "identifier %08X, data [%s]",
                           name, f.fd ? "CAN FD" : "classic", f.canId, hexBytes(f.data).c_str(), id,
                           hexBytes(data).c_str()));
        }
    }

    void request(const CapturedFrame &f) {
        if (f.data.size() < 8) {
            ++ignoredShort_;
            lastRequest_ = format("too short (%zu bytes)", f.data.size());
            return;
        }
        const uint32_t offset = le24(f.data, 0);
        const uint8_t version = f.data[3];
        const uint32_t length = le24(f.data, 4);
        if (version != 0) {
            ++ignoredVersion_;
            lastRequest_ = format("bootloader version %u at offset %u", version, offset);
            return;
        }
        if (!expect_.image) {
            lastRequest_ = format("offset %u, while no upload was expected", offset);
            return;
        }
        const size_t size = covered_.size();
        if (offset >= size) {
            ++ignoredPastEnd_;
            lastRequest_ = format("offset %u, at or past the end", offset);
            return;
        }
        if (finished_) {
            ++afterEnd_;
            lastRequest_ = format("offset %u, after the last byte had gone out", offset);
            return;
        }
        lastRequest_ = format("offset %u, %u bytes", offset, length);
        served_.push_back({f.time, offset});
        const bool brs = f.fd && (f.flags & kBrsFlag) != 0;
        uint32_t at = offset;
        uint32_t left = length;
        bool first = true;
        while (left > 0) {
            const uint32_t n = std::min({kBlockData, left, static_cast<uint32_t>(size - at)});
            due_.push_back({at, n, served_.size() - 1, first, brs});
            first = false;
            if (at + n == size) {
                finished_ = true;
                break;
            }
            at += n;
            left -= n;
        }
    }

    void response(const CapturedFrame &f) {
        if (!expect_.image) {
            fail(f, "a block response, but no upload was expected");
        }
        const std::vector<uint8_t> &image = *expect_.image;
        if (!f.fd || f.canId != kResponseId || (f.flags & ~(kFdfFlag | kBrsFlag)) != 0 ||
            f.data.size() < 8) {
            fail(f,
                 format("block response as %s record, identifier %08X, flags %02X, %zu bytes; "
                        "expected CAN FD, %08X, no flag but the bit-rate switch, 8 bytes or more",
                        f.fd ? "CAN FD" : "classic", f.canId, f.flags, f.data.size(), kResponseId));
        }
        const uint32_t offset = le24(f.data, 0);
        const uint32_t dataLength = f.data[3] & 0x3Fu;
        const unsigned err = f.data[3] >> 6;
        const uint32_t fileLength = le24(f.data, 4);
        if (8u + dataLength <= f.data.size() && offset + dataLength <= reassembled_.size()) {
            std::copy(f.data.begin() + 8, f.data.begin() + 8 + dataLength,
                      reassembled_.begin() + offset);
        }
        // The pad a controller adds up to the CAN FD length holds anything: it is not looked at.
        if (err != 0 || f.data[7] != 0 || fileLength != image.size() ||
            (f.data.size() != 8 + dataLength && f.data.size() != fdWireLength(8 + dataLength))) {
            fail(f, format("block at offset %u: err %u, spare %u, fileLength %u, %zu bytes for "
                           "dataLength %u; expected 0, 0, %zu and 8 + dataLength or the CAN FD "
                           "length it rounds up to",
                           offset, err, f.data[7], fileLength, f.data.size(), dataLength,
                           image.size()));
        }
        if (due_.empty()) {
            fail(f, format("block at offset %u answers no request (the last request: %s)", offset,
                           lastRequest_.c_str()));
        }
        // Blocks the receiver lost leave a gap before the first block that matches.
        size_t skip = 0;
        while (skip < due_.size() &&
               (offset != due_[skip].offset || dataLength != due_[skip].length)) {
            ++skip;
        }
        if (skip > 0 && (skip == due_.size() || missingRuns_ + 1 > expect_.receiverLost)) {
            const Due &due = due_.front();
            fail(f,
                 format("block at offset %u with %u bytes; expected offset %u with %u bytes, "
                        "answering the request at offset %u",
                        offset, dataLength, due.offset, due.length, served_[due.request].offset) +
                     (skip < due_.size() ? tooManyMissing() : ""));
        }
        missingRuns_ += skip > 0 ? 1 : 0;
        missing_.insert(missing_.end(), due_.begin(), due_.begin() + skip);
        due_.erase(due_.begin(), due_.begin() + skip);
        const Due due = due_.front();
        due_.pop_front();
        if (((f.flags & kBrsFlag) != 0) != due.brs) {
            fail(f,
                 format("block at offset %u: flags %02X, %s the bit-rate switch; the request "
                        "at offset %u it answers came %s",
                        offset, f.flags, due.brs ? "without" : "with", served_[due.request].offset,
                        due.brs ? "as CAN FD with the switch" : "without the switch"));
        }
        for (uint32_t i = 0; i < dataLength; ++i) {
            if (f.data[8 + i] != image[offset + i]) {
                fail(f, format("image byte at offset %u is %02X on the bus, %02X in the image",
                               offset + i, f.data[8 + i], image[offset + i]));
            }
            covered_[offset + i] = true;
        }
        if (due.first) {
            served_[due.request].firstBlock = f.time;
        }
        if (offset + dataLength == image.size()) {
            lastFrameLength_ = static_cast<unsigned>(f.data.size());
        }
        ++blocks_;
        bytes_ += dataLength;
    }

    void checkCounts() const {
        const std::map<std::string, size_t> counts = {
            {"announcements", announcements_},
            {"others", others_},
            {"short", ignoredShort_},
            {"version", ignoredVersion_},
            {"past-end", ignoredPastEnd_},
            {"answered", served_.size()},
            {"blocks", blocks_},
        };
        for (const auto &[name, least] : expect_.atLeast) {
            const auto count = counts.find(name);
            if (count == counts.end()) {
                throw Failed("unknown count '" + name + "'");
            }
            if (count->second < least) {
                throw Failed(format("%zu %s on the bus, expected at least %u", count->second,
                                    name.c_str(), least));
            }
        }
        if (expect_.lastFrameLength && *expect_.lastFrameLength != lastFrameLength_) {
            throw Failed(format("the image's last byte came in a frame of %u bytes, expected %u",
                                lastFrameLength_, *expect_.lastFrameLength));
        }
    }

    void checkTiming() {
        for (const Served &s : served_) {
            if (s.firstBlock < 0) {
                continue;
            }
            const double delay = s.firstBlock - s.time;
            if (s.offset == 0) {
                pauses_.push_back(delay);
                if (delay < expect_.firstBlockPause) {
                    throw Failed(format("a request at offset 0 was answered after %.4f s, "
                                        "before the %.3f s pause",
                                        delay, expect_.firstBlockPause));
                }
            } else {
                otherDelays_.push_back(delay);
            }
        }
        if (!expect_.fastMedian) {
            return;
        }
        if (pauses_.empty() || otherDelays_.empty()) {
            throw Failed("the timing check needs answered requests at offset 0 and elsewhere");
        }
        std::vector<double> sorted = otherDelays_;
        std::sort(sorted.begin(), sorted.end());
        if (median(sorted) >= *expect_.fastMedian) {
            throw Failed(format("requests at other offsets waited %.4f s (median) for their "
                                "first block, not below %.3f s",
                                median(sorted), *expect_.fastMedian));
        }
    }

    // Says, for a receiver that may lose frames, that one more gap is too many.
    std::string tooManyMissing() const {
        if (expect_.receiverLost == 0) {
            return {};
        }
        return format("; that makes %u run(s) of predicted blocks missing from the capture, more "
                      "than the %u overrun(s) of the receiver",
                      missingRuns_ + 1, expect_.receiverLost);
    }

    static double median(const std::vector<double> &sorted) {
        const size_t n = sorted.size();
        return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }

    static std::string list(const std::vector<double> &values) {
        std::string text;
        for (double v : values) {
            text += format("%s%.4f", text.empty() ? "" : ", ", v);
        }
        return text;
    }

    const Expectations &expect_;
    std::vector<bool> covered_;
    std::vector<uint8_t> reassembled_;
    std::deque<Due> due_;
    std::vector<Due> missing_; // predicted blocks the capture does not hold
    unsigned missingRuns_ = 0; // unbroken runs of them
    std::vector<Served> served_;
    std::string lastRequest_ = "none";
    bool finished_ = false;
    bool ackPending_ = false;
    size_t frames_ = 0;
    size_t others_ = 0;
    size_t blocks_ = 0;
    uint64_t bytes_ = 0;
    unsigned announcements_ = 0;
    unsigned updates_ = 0;
    unsigned ignoredVersion_ = 0;
    unsigned ignoredPastEnd_ = 0;
    unsigned ignoredShort_ = 0;
    unsigned afterEnd_ = 0;
    unsigned lastFrameLength_ = 0;
    std::vector<double> pauses_;
    std::vector<double> otherDelays_;
};

} // namespace

CheckResult checkCapture(const CaptureLog &log, const Expectations &expect) {
    CheckResult result;
    Model model(expect);
    try {
        if (!log.ended) {
            throw Failed("the capture did not end cleanly: it may miss frames");
        }
        if (log.dropped > 0) {
            throw Failed(format("the capture lost %lu frame(s) to a full queue", log.dropped));
        }
        if (expect.noFrames && !log.frames.empty()) {
            const CapturedFrame &f = log.frames.front();
            fail(f, format("%zu frame(s) on the bus where none may be, the first %08X [%s]",
                           log.frames.size(), f.canId, hexBytes(f.data).c_str()));
        }
        for (const CapturedFrame &f : log.frames) {
            model.count();
            model.frame(f);
        }
        model.finish();
    } catch (const Failed &failure) {
        result.failure = failure.what();
    }
    result.summary = model.summary();
    result.reassembled = model.reassembled();
    return result;
}

} // namespace e2e
