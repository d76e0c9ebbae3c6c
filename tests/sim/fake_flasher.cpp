#include "fake_flasher.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <linux/can.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

uint32_t le32(const uint8_t *p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void putLe32(uint8_t *p, uint32_t v) {
    p[0] = v & 0xFF;
    p[1] = (v >> 8) & 0xFF;
    p[2] = (v >> 16) & 0xFF;
    p[3] = v >> 24;
}

uint8_t roundUpToFdLength(uint8_t len) {
    for (uint8_t valid : {8, 12, 16, 20, 24, 32, 48, 64}) {
        if (len <= valid) {
            return valid;
        }
    }
    return 64;
}

} // namespace

FakeFlasher::FakeFlasher(int fd, std::vector<uint8_t> image, FlasherScript script,
                         std::string rxErrors)
    : fd_(fd), image_(std::move(image)), script_(script), rxErrors_(std::move(rxErrors)) {
    std::memset(controllerBuffer_, 0xA5, sizeof controllerBuffer_);
    thread_ = std::thread([this] { loop(); });
}

FakeFlasher::~FakeFlasher() {
    finish();
}

FlasherLog FakeFlasher::finish() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    return log_;
}

void FakeFlasher::loop() {
    if (script_.activateUnprompted) {
        activate();
    }
    while (!stop_) {
        pollfd waitFor{fd_, POLLIN, 0};
        if (poll(&waitFor, 1, 10) <= 0) {
            continue;
        }
        uint8_t record[sizeof(canfd_frame)];
        const ssize_t got = recv(fd_, record, sizeof record, 0);
        if (got <= 0) {
            return;
        }
        onRecord(record, static_cast<size_t>(got));
    }
}

void FakeFlasher::onRecord(const uint8_t *record, size_t size) {
    canfd_frame frame{};
    std::memcpy(&frame, record, size);
    const uint32_t id = frame.can_id & CAN_EFF_MASK;
    const bool extended = frame.can_id & CAN_EFF_FLAG;
    if (extended && id == 0x11A07900) {
        ++log_.announcements;
        if (!script_.silent && !exited_ && (!activated_ || script_.answerEveryAnnounce)) {
            activate();
        }
    } else if (extended && id == 0x13887900) {
        const uint32_t word0 = le32(frame.data);
        const uint32_t word1 = le32(frame.data + 4);
        SeenRequest request{word0 & 0xFFFFFF, static_cast<uint8_t>(word0 >> 24), word1 & 0xFFFFFF,
                            size, frame.len};
        request.flags = frame.flags;
        log_.requests.push_back(request);
        if (!script_.silent && !exited_ &&
            (request.bootloaderVersion == 0 || script_.serveIgnored) &&
            request.offset < image_.size()) {
            serve(request.offset, request.length,
                  size == sizeof(canfd_frame) && (frame.flags & CANFD_BRS));
        }
    } else {
        ++log_.otherFrames;
    }
}

void FakeFlasher::activate() {
    activated_ = true;
    sendClassic(CAN_EFF_FLAG | 0x17960079, 0, nullptr);
    const uint8_t update[] = {0x01, 0x00, 0x79, script_.updateComplement};
    sendClassic(CAN_EFF_FLAG | 0x17890079, 4, update);
}

void FakeFlasher::serve(uint32_t offset, uint32_t length, bool brs) {
    if (offset == 0 && script_.pauseAtZeroMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(script_.pauseAtZeroMs));
    }
    uint32_t end = std::min<uint32_t>(offset + length, image_.size());
    if (script_.firstBlockOnly) {
        end = std::min(end, offset + script_.blockSize);
    }
    const bool last = end == image_.size();
    unsigned sent = 0;
    for (uint32_t at = offset; at < end;) {
        const uint32_t count = std::min(script_.blockSize, end - at);
        const bool drop = script_.dropAt == at && !(script_.dropOnce && dropped_);
        dropped_ = dropped_ || drop;
        const bool lost =
            script_.loseEvery > 0 && !last && ++sent % script_.loseEvery == 0 && at + count < end;
        sendBlock(at, count, brs, drop || lost);
        if (lost || (drop && script_.dropCounted)) {
            countLoss();
        }
        at += count;
    }
    if (script_.strayAfter == offset) {
        sendBlock(0, std::min<uint32_t>(script_.blockSize, image_.size()), brs, false);
    }
    // The flasher's work is done once the image's last byte has gone out.
    exited_ = last;
}

void FakeFlasher::sendBlock(uint32_t at, uint32_t count, bool brs, bool lose) {
    canfd_frame frame{};
    frame.can_id = script_.responseId;
    const bool withBrs = script_.brs == Brs::Always || (script_.brs == Brs::InKind && brs);
    frame.flags = static_cast<uint8_t>((withBrs ? CANFD_BRS : 0) | script_.extraFlags);
    frame.len = static_cast<uint8_t>(8 + count);
    if (script_.length != LengthByte::Exact) {
        frame.len = roundUpToFdLength(frame.len);
    }
    if (script_.length == LengthByte::TooLong && frame.len < 64) {
        frame.len = roundUpToFdLength(frame.len + 1);
    }
    putLe32(frame.data, at | count << 24 | static_cast<uint32_t>(script_.err) << 30);
    putLe32(frame.data + 4, (static_cast<uint32_t>(image_.size()) + script_.fileLengthDelta) |
                                static_cast<uint32_t>(script_.spare2) << 24);
    std::memcpy(frame.data + 8, image_.data() + at, count);
    if (script_.corruptAt && *script_.corruptAt >= at && *script_.corruptAt < at + count) {
        frame.data[8 + *script_.corruptAt - at] ^= 0x5A;
    }
    // A controller sends the pad bytes of a rounded frame from a buffer earlier frames filled.
    std::memcpy(frame.data + 8 + count, controllerBuffer_ + 8 + count, frame.len - 8 - count);
    std::memcpy(controllerBuffer_, frame.data, frame.len);
    if (!lose) {
        send(fd_, &frame, script_.classicResponses ? sizeof(can_frame) : sizeof frame,
             MSG_NOSIGNAL);
    }
}

// Written whole and renamed into place, so the board never reads half a number.
void FakeFlasher::countLoss() {
    const std::string next = rxErrors_ + ".next";
    std::ofstream(next) << ++lossesCounted_ << "\n";
    std::rename(next.c_str(), rxErrors_.c_str());
}

void FakeFlasher::sendClassic(uint32_t id, uint8_t len, const uint8_t *data) {
    can_frame frame{};
    frame.can_id = id;
    frame.len = len;
    if (len > 0) {
        std::memcpy(frame.data, data, len);
    }
    send(fd_, &frame, sizeof frame, MSG_NOSIGNAL);
}
