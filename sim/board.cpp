#include "board.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

struct Failure {
    int status;
    std::string message;
};

const std::function<bool()> kNever = [] { return false; };

std::chrono::milliseconds millis(uint32_t value) {
    return std::chrono::milliseconds(value);
}

// The two activation frames, byte for byte: empty, then requestId 1 with spare 0 in a
// little-endian word, the board's address and its complement.
const uint8_t kNoData[kClassicMaxLen] = {};
const uint8_t kUpdateData[kClassicMaxLen] = {0x01, 0x00, kBoardAddress,
                                             static_cast<uint8_t>(~kBoardAddress)};

std::string compareClassic(const Frame &frame, uint32_t id, uint8_t len, const uint8_t *data) {
    if (frame.recordSize != kClassicRecordSize) {
        return strprintf("sent in a %zu-byte record, expected a 16-byte classic record",
                         frame.recordSize);
    }
    if (frame.canId != id) {
        return "identifier " + hex32(frame.canId) + ", expected " + hex32(id);
    }
    if (frame.len != len) {
        return strprintf("length %u, expected %u", frame.len, len);
    }
    if (std::memcmp(frame.data.data(), data, kClassicMaxLen) != 0) {
        return "data " + hexBytes(frame.data.data(), kClassicMaxLen) + ", expected " +
               hexBytes(data, kClassicMaxLen);
    }
    return {};
}

// Traffic of other nodes on a busy bus, none of it for the flasher to act on.
Frame noiseFrame(size_t index) {
    Frame frame;
    switch (index % 7) {
    case 0: // a status report from board 32, CAN FD with bit-rate switch
        frame.canId = extendedId(msg::kStatusReport, 32, kFlasherAddress);
        frame.recordSize = kFdRecordSize;
        frame.flags = kFdFlagBrs;
        frame.len = 64;
        break;
    case 1:
        frame.canId = extendedId(msg::kFanTachoReport, 33, kFlasherAddress);
        frame.len = 8;
        break;
    case 2:
        frame.canId = 0x123;
        frame.len = 8;
        break;
    case 3: // another board announcing itself: not the one being flashed
        frame.canId = extendedId(msg::kAnnounce, kBoardAddress + 1, kFlasherAddress);
        frame.len = 4;
        break;
    case 4:
        frame.canId = extendedId(msg::kSensorTemperaturesReport, 34, kFlasherAddress);
        frame.recordSize = kFdRecordSize;
        frame.len = 12;
        break;
    case 5:
        frame.canId = 0x7FF;
        frame.recordSize = kFdRecordSize;
        frame.len = 20;
        break;
    default:
        frame.canId = kRtrFlag | 0x456;
        frame.len = 2;
        return frame;
    }
    for (size_t i = 0; i < frame.len; ++i) {
        frame.data[i] = static_cast<uint8_t>(index * 31 + i);
    }
    return frame;
}

} // namespace

Board::Board(const Options &options, std::vector<uint8_t> image, FrameChannel &channel,
             FrameLog &log)
    : options_(options), image_(std::move(image)), channel_(channel), log_(log),
      assembled_(image_.size()), arrived_(image_.size()) {}

Verdict Board::run() {
    start_ = Clock::now();
    deadline_ = start_ + std::chrono::seconds(options_.timeoutS);
    Verdict verdict;
    try {
        if (image_.empty() || image_.size() > kField24) {
            throw Failure{kExitSystem, strprintf("image of %zu bytes: it must hold 1 to %u bytes",
                                                 image_.size(), kField24)};
        }
        lossesAtStart_ = channel_.losses();
        if (options_.announce) {
            announceUntilActivated();
        } else {
            log_.note("recovery mode: starting in the bootloader without announcing");
        }
        bootload();
        phase_ = Phase::Lingering;
        waitUntil(Clock::now() + millis(options_.lingerMs), kNever);
        verifyImage();
        verdict = {kExitPass,
                   strprintf("PASS: image of %zu bytes received byte-exact in %.3f s; %s",
                             image_.size(), stats_.transferSeconds, reRequestText().c_str())};
    } catch (const Failure &failure) {
        verdict = {failure.status, "FAIL: " + failure.message};
    } catch (const SystemError &error) {
        verdict = {kExitSystem, std::string("FAIL: ") + error.what()};
    }
    stats_.totalSeconds = std::chrono::duration<double>(Clock::now() - start_).count();
    return verdict;
}

void Board::announceUntilActivated() {
    phase_ = Phase::Announcing;
    while (activation_ == Activation::Waiting) {
        send(makeAnnounce());
        ++stats_.announcements;
        if (options_.noise) {
            sendNoise();
        }
        waitUntil(Clock::now() + millis(options_.announceIntervalMs),
                  [this] { return activation_ != Activation::Waiting; });
    }
    waitUntil(deadline_, [this] { return activation_ == Activation::Done; });
    log_.note(strprintf("activated after %u announcement(s)", stats_.announcements));
    if (options_.secondAnnounce) {
        send(makeAnnounce());
        ++stats_.announcements;
        secondAnnounceSent_ = true;
        log_.note("announced once more: the flasher must not answer again");
    }
    phase_ = Phase::Erasing;
    log_.note(strprintf("erasing flash for %u ms", options_.eraseMs));
    waitUntil(Clock::now() + millis(options_.eraseMs), kNever);
}

void Board::bootload() {
    phase_ = Phase::Bootloader;
    plan_ = makeChunkPlan(static_cast<uint32_t>(image_.size()), options_.chunkSize, options_.order,
                          options_.seed, options_.repeat);
    log_.note(strprintf("bootloader: %zu bytes in %zu requests of %u bytes, order %s (seed %u)",
                        image_.size(), plan_.size(), options_.chunkSize,
                        chunkOrderName(options_.order), options_.seed));
    if (options_.repeat > 0 && plan_.size() < 2) {
        log_.note("--repeat ignored: the image fits in one chunk, which must come last");
    }
    if (options_.ignoredRequests) {
        ignoredRound();
    }
    const size_t middle = plan_.size() / 2;
    for (size_t index = 0; index < plan_.size(); ++index) {
        fetch(index);
        if (options_.ignoredRequests && index + 1 == middle) {
            ignoredRound();
        }
    }
}

void Board::fetch(size_t index) {
    const ChunkStep &step = plan_[index];
    chunk_ = ChunkState{};
    chunk_.active = true;
    chunk_.index = index;
    chunk_.step = step;
    chunk_.lossesAtChunk = channel_.losses();
    const uint32_t chunkEnd = step.offset + step.imageBytes;
    // Counts the requests in a row that brought nothing new: on a real receiver a long burst
    // can lose frames on every try and still make headway.
    unsigned retriesLeft = options_.retries;
    for (;;) {
        const uint32_t hadBefore = chunk_.have;
        chunk_.requestOffset = step.offset + chunk_.have;
        chunk_.requestLength = step.requestLength - chunk_.have;
        chunk_.requestEnd = chunkEnd;
        chunk_.serveBroken = false;
        chunk_.serveEnded = false;
        ++chunk_.requests;
        BlockRequest request;
        request.offset = chunk_.requestOffset;
        request.length = chunk_.requestLength;
        request.boardVersion = 1;
        if (!transferStart_) {
            transferStart_ = Clock::now();
        }
        chunk_.lossesAtRequest = channel_.losses();
        sendRequest(request);
        chunk_.lastHeard = Clock::now();

        const bool serveOver = waitForAnswer();
        if (chunk_.have == step.imageBytes) {
            break;
        }
        const uint32_t missing = step.offset + chunk_.have;
        if (!anyAnswer_) {
            // The flasher may not be listening yet; a bootloader keeps asking.
            log_.note(strprintf("no answer to the request at offset %u yet: asking again",
                                chunk_.requestOffset));
            continue;
        }
        // Only a frame the board's own receiver lost may be asked for again: one the flasher
        // never sent is its fault, whatever a real bootloader would make of it.
        const ReceiverLosses lost = lossesSinceRequest();
        if (!anyLoss(lost)) {
            throw Failure{kExitTimeout, neverCameMessage(serveOver)};
        }
        if (chunk_.have > hadBefore) {
            retriesLeft = options_.retries;
        }
        if (retriesLeft == 0) {
            std::string message = strprintf(
                "chunk %zu/%zu at offset %u: only %u of %u bytes arrived after %u requests; "
                "bytes from offset %u never came; since its first request %s",
                index + 1, plan_.size(), step.offset, chunk_.have, step.imageBytes, chunk_.requests,
                missing, lossText(lossesSince(channel_.losses(), chunk_.lossesAtChunk)).c_str());
            if (lastByteSeen_) {
                message += "; the block with the image's last byte had already come, and the "
                           "flasher ends once it has sent that one";
            }
            throw Failure{kExitTimeout, message};
        }
        --retriesLeft;
        ++stats_.reRequests;
        stats_.blocksAskedAgain += (chunkEnd - missing + kMaxBlockData - 1) / kMaxBlockData;
        reRequested_.emplace_back(step.offset, chunkEnd);
        log_.note(strprintf("blocks from offset %u missing after %s: asking again", missing,
                            lossText(lost).c_str()));
    }
    chunk_.active = false;
    if (index + 1 == plan_.size()) {
        stats_.transferSeconds =
            std::chrono::duration<double>(Clock::now() - *transferStart_).count();
    }
    // Every chunk when frames are logged anyway, about every tenth of the way when quiet.
    const size_t tenth = std::max<size_t>(1, plan_.size() / 10);
    if (!options_.quiet || index + 1 == plan_.size() || (index + 1) / tenth > progressShown_) {
        progressShown_ = (index + 1) / tenth;
        log_.note(progressLine(index));
    }
}

// The answer is over once the chunk is whole, the answer's last block came, or no block came for
// the chunk timeout: a long burst on a slow bus is still coming, however long it takes.
bool Board::waitForAnswer() {
    const auto quiet = millis(options_.chunkTimeoutMs);
    const auto answered = [this] {
        return chunk_.have == chunk_.step.imageBytes || chunk_.serveEnded;
    };
    for (;;) {
        if (waitUntil(chunk_.lastHeard + quiet, answered)) {
            return true;
        }
        if (Clock::now() >= chunk_.lastHeard + quiet) {
            return false;
        }
    }
}

// A driver may count an overrun only after it has handed on the frames that were waiting in its
// receive FIFO, so the count can trail the answer's last block a little.
ReceiverLosses Board::lossesSinceRequest() {
    constexpr auto kCountSettles = std::chrono::milliseconds(200);
    ReceiverLosses lost = lossesSince(channel_.losses(), chunk_.lossesAtRequest);
    if (!anyLoss(lost)) {
        waitUntil(Clock::now() + kCountSettles, kNever);
        lost = lossesSince(channel_.losses(), chunk_.lossesAtRequest);
    }
    return lost;
}

std::string Board::neverCameMessage(bool serveOver) const {
    const std::string how =
        serveOver ? "went on without it to its last block"
                  : strprintf("brought nothing more for %u ms", options_.chunkTimeoutMs);
    return strprintf("block at offset %u never came: the answer to the request at offset %u for "
                     "%u bytes (chunk %zu of %zu) %s, and %s since that request",
                     chunk_.step.offset + chunk_.have, chunk_.requestOffset, chunk_.requestLength,
                     chunk_.index + 1, plan_.size(), how.c_str(),
                     lossText(ReceiverLosses{}).c_str());
}

std::string Board::lossText(const ReceiverLosses &losses) const {
    std::string counted;
    if (losses.rxErrors > 0) {
        counted =
            strprintf("%llu receive error(s)", static_cast<unsigned long long>(losses.rxErrors));
    }
    if (losses.rxOverErrors > 0) {
        counted += strprintf("%s%llu overrun(s)", counted.empty() ? "" : " and ",
                             static_cast<unsigned long long>(losses.rxOverErrors));
    }
    std::string text = counted.empty() ? "" : options_.interface + " counted " + counted;
    if (losses.socketDrops > 0) {
        text += strprintf("%sthe sim's receive queue dropped %llu frame(s)",
                          text.empty() ? "" : " and ",
                          static_cast<unsigned long long>(losses.socketDrops));
    }
    return text.empty() ? options_.interface + " counted no lost frame" : text;
}

std::string Board::reRequestText() const {
    if (stats_.reRequests == 0) {
        return "no block asked for again";
    }
    return strprintf("%u block(s) asked for again after %s", stats_.blocksAskedAgain,
                     lossText(lossesSince(channel_.losses(), lossesAtStart_)).c_str());
}

std::string Board::progressLine(size_t index) const {
    const ChunkStep &step = plan_[index];
    return strprintf("chunk %zu of %zu: %u bytes at offset %u%s, %zu of %zu bytes received",
                     index + 1, plan_.size(), step.imageBytes, step.offset,
                     step.repeat ? " (asked again)" : "", received_, image_.size());
}

void Board::ignoredRound() {
    const uint32_t size = static_cast<uint32_t>(image_.size());
    const uint32_t length = options_.chunkSize;
    ignored_.clear();
    for (uint32_t offset : {0u, size / 2}) {
        BlockRequest request;
        request.offset = offset;
        request.bootloaderVersion = 1;
        request.length = length;
        ignored_.push_back(request);
    }
    for (uint32_t offset : {size, std::min(size + length, kField24)}) {
        BlockRequest request;
        request.offset = offset;
        request.length = length;
        ignored_.push_back(request);
    }
    phase_ = Phase::IgnoredWindow;
    for (const BlockRequest &request : ignored_) {
        sendRequest(request);
    }
    log_.note(strprintf("sent %zu requests the flasher must ignore; watching %u ms for answers",
                        ignored_.size(), options_.ignoreWindowMs));
    waitUntil(Clock::now() + millis(options_.ignoreWindowMs), kNever);
    phase_ = Phase::Bootloader;
}

void Board::verifyImage() {
    for (size_t i = 0; i < image_.size(); ++i) {
        if (!arrived_[i]) {
            throw Failure{kExitMismatch, strprintf("image byte at offset %zu never arrived", i)};
        }
        if (assembled_[i] != image_[i]) {
            throw Failure{kExitMismatch,
                          strprintf("assembled image byte at offset %zu is 0x%02X, expected 0x%02X",
                                    i, assembled_[i], image_[i])};
        }
    }
}

bool Board::waitUntil(Clock::time_point until, const std::function<bool()> &done) {
    for (;;) {
        if (done()) {
            return true;
        }
        const auto now = Clock::now();
        if (now >= deadline_) {
            throw Failure{kExitTimeout, timeoutMessage()};
        }
        if (now >= until) {
            return false;
        }
        if (const auto frame = channel_.receive(std::min(until, deadline_))) {
            handle(*frame);
        }
    }
}

void Board::handle(const Frame &frame) {
    log_.received(frame);
    const bool extended = (frame.canId & kEffFlag) || (frame.canId & kEffMask) > kSffMask;
    if (!extended) {
        return;
    }
    // These types come from the flasher only, so they are checked whatever their addresses.
    switch (msgTypeOf(frame.canId)) {
    case msg::kAcknowledgeAnnounce:
    case msg::kUpdateFirmware:
        onActivation(frame);
        return;
    case msg::kFirmwareBlockResponse:
        onBlock(frame);
        return;
    default:
        break;
    }
    if (sourceOf(frame.canId) == kFlasherAddress && destinationOf(frame.canId) == kBoardAddress) {
        throw Failure{kExitMismatch, "unexpected frame from the flasher:" +
                                         formatFrame(options_.interface, frame)};
    }
}

void Board::onActivation(const Frame &frame) {
    const bool ack = msgTypeOf(frame.canId) == msg::kAcknowledgeAnnounce;
    const std::string name = ack ? "acknowledgeAnnounce" : "updateFirmware";
    if (!options_.announce) {
        throw Failure{kExitMismatch,
                      name + " received in recovery mode, where the board never announced itself"};
    }
    if (activation_ == Activation::Done) {
        throw Failure{
            kExitMismatch,
            "duplicate activation: " + name + " after the board was activated" +
                (secondAnnounceSent_ ? " (the flasher answered a second announcement)" : "")};
    }
    if (ack && activation_ == Activation::Acknowledged) {
        throw Failure{kExitMismatch, "duplicate activation: a second acknowledgeAnnounce"};
    }
    if (!ack && activation_ == Activation::Waiting) {
        throw Failure{kExitMismatch, "updateFirmware arrived before acknowledgeAnnounce"};
    }
    const std::string fault = ack ? compareClassic(frame, kAckId, 0, kNoData)
                                  : compareClassic(frame, kUpdateId, 4, kUpdateData);
    if (!fault.empty()) {
        throw Failure{kExitMismatch, name + " " + fault};
    }
    activation_ = ack ? Activation::Acknowledged : Activation::Done;
}

void Board::onBlock(const Frame &frame) {
    Block block;
    const std::string fault =
        checkBlockResponse(frame, image_, requestKind() == RequestKind::FdBrs, block);
    if (!fault.empty()) {
        throw Failure{kExitMismatch, fault};
    }
    ++stats_.responses;
    anyAnswer_ = true;
    const uint32_t end = block.offset + block.length;
    lastByteSeen_ = lastByteSeen_ || end == image_.size();
    if (phase_ == Phase::IgnoredWindow) {
        std::string sent;
        for (const BlockRequest &r : ignored_) {
            sent += strprintf("%s offset %u version %u", sent.empty() ? "" : ",", r.offset,
                              r.bootloaderVersion);
        }
        throw Failure{kExitMismatch,
                      strprintf("the flasher answered a request it must ignore: block at offset "
                                "%u (ignored requests:%s)",
                                block.offset, sent.c_str())};
    }
    if (!chunk_.active) {
        if (lateDuplicate(block)) {
            ++stats_.duplicates;
            return;
        }
        throw Failure{
            kExitMismatch,
            strprintf("block at offset %u arrived with no request outstanding", block.offset)};
    }
    if (block.offset < chunk_.requestOffset || end > chunk_.requestEnd) {
        // After a re-request, blocks of the earlier answer may still trickle in.
        const bool ownChunk =
            chunk_.requests > 1 && block.offset >= chunk_.step.offset && end <= chunk_.requestEnd;
        if (ownChunk || lateDuplicate(block)) {
            ++stats_.duplicates;
            return;
        }
        throw Failure{kExitMismatch,
                      strprintf("block at offset %u (%u bytes) is outside the requested range "
                                "%u..%u",
                                block.offset, block.length, chunk_.requestOffset,
                                chunk_.requestEnd - 1)};
    }
    chunk_.lastHeard = Clock::now();
    if ((block.offset - chunk_.requestOffset) % kMaxBlockData != 0) {
        throw Failure{kExitMismatch,
                      strprintf("block at offset %u is not a whole number of 56-byte blocks "
                                "after the requested offset %u",
                                block.offset, chunk_.requestOffset)};
    }
    const uint32_t wanted = std::min<uint32_t>(kMaxBlockData, chunk_.requestEnd - block.offset);
    if (block.length != wanted) {
        throw Failure{kExitMismatch, strprintf("block at offset %u carries %u bytes, expected %u",
                                               block.offset, block.length, wanted)};
    }
    if (end == chunk_.requestEnd) {
        chunk_.serveEnded = true;
    }
    if (chunk_.serveBroken) {
        return;
    }
    const uint32_t expected = chunk_.step.offset + chunk_.have;
    if (block.offset == expected) {
        accept(frame, block);
    } else if (block.offset > expected) {
        log_.note(strprintf("blocks at offsets %u..%u lost: the next block came at offset %u",
                            expected, block.offset - 1, block.offset));
        chunk_.serveBroken = true;
    } else if (chunk_.requests > 1) {
        ++stats_.duplicates;
    } else {
        throw Failure{kExitMismatch,
                      strprintf("block at offset %u repeated or out of order: expected offset %u",
                                block.offset, expected)};
    }
}

void Board::accept(const Frame &frame, const Block &block) {
    std::memcpy(assembled_.data() + block.offset, frame.data.data() + kBlockHeaderSize,
                block.length);
    for (uint32_t i = block.offset; i < block.offset + block.length; ++i) {
        received_ += arrived_[i] ? 0 : 1;
        arrived_[i] = true;
    }
    chunk_.have += block.length;
    stats_.bytesAccepted += block.length;
}

bool Board::lateDuplicate(const Block &block) const {
    return std::any_of(reRequested_.begin(), reRequested_.end(), [&](const auto &range) {
        return block.offset >= range.first && block.offset + block.length <= range.second;
    });
}

void Board::send(const Frame &frame) {
    channel_.send(frame);
    log_.sent(frame);
}

void Board::sendRequest(const BlockRequest &request) {
    if (options_.noise) {
        sendNoise();
    }
    send(makeBlockRequest(request, requestKind()));
    ++stats_.requests;
    if (options_.noise) {
        sendNoise();
    }
}

RequestKind Board::requestKind() const {
    if (options_.brsRequests) {
        return RequestKind::FdBrs;
    }
    return options_.fdRequests ? RequestKind::Fd : RequestKind::Classic;
}

void Board::sendNoise() {
    send(noiseFrame(noiseIndex_++));
}

std::string Board::timeoutMessage() const {
    std::string what;
    switch (phase_) {
    case Phase::Announcing:
        what = activation_ == Activation::Waiting
                   ? strprintf("no answer to %u announcement(s)", stats_.announcements)
                   : "acknowledgeAnnounce arrived but updateFirmware never did";
        break;
    case Phase::Bootloader:
        what = chunk_.active
                   ? strprintf("chunk %zu/%zu at offset %u: %u of %u bytes arrived after %u "
                               "request(s)%s",
                               chunk_.index + 1, plan_.size(), chunk_.step.offset, chunk_.have,
                               chunk_.step.imageBytes, chunk_.requests,
                               anyAnswer_ ? "" : "; the flasher never answered a block request")
                   : "between chunks";
        break;
    case Phase::Erasing:
        what = "during the simulated erase";
        break;
    case Phase::IgnoredWindow:
        what = "while watching for answers to requests the flasher must ignore";
        break;
    case Phase::Lingering:
        what = "after the last byte";
        break;
    }
    return strprintf("timeout after %u s: %s", options_.timeoutS, what.c_str());
}

std::string Board::statsText() const {
    const double seconds = stats_.transferSeconds;
    const double rate = seconds > 0 ? stats_.responses / seconds : 0;
    const double kib = seconds > 0 ? stats_.bytesAccepted / seconds / 1024 : 0;
    return strprintf("stats: transfer %.3f s (first request to last byte), %u block responses, "
                     "%.0f frames/s, %.1f KiB/s; %u requests (%u re-requests), %u duplicate "
                     "blocks, %u announcements; whole run %.3f s",
                     seconds, stats_.responses, rate, kib, stats_.requests, stats_.reRequests,
                     stats_.duplicates, stats_.announcements, stats_.totalSeconds);
}

} // namespace sim
