// Judges a capture of the bus against what a correct flasher must have sent.
//
// The flasher handles frames one at a time in the order the bus carried them, so the block
// responses it owes follow from the requests alone: every valid request (8 header bytes or
// more, bootloader version 0, offset inside the image) calls for 56-byte blocks from its
// offset on, the last one short, until its length is served or the image ends; after the
// image's last byte nothing more. Each block carries the bit-rate switch exactly when the request
// it answers came as CAN FD with it. The check predicts that sequence and compares the captured
// responses with it frame by frame, so a block answering an ignored request, a lost or repeated
// block, a wrong byte or flag and a late extra frame all show up as the first frame that differs.
//
// On a real CAN FD controller a block's length byte arrives rounded up to a CAN FD length, with
// whatever the controller's buffer held in the pad bytes: 8 + dataLength or that rounded length
// pass, the pad is not looked at. A receiver whose queue overran loses frames the flasher did
// send, a run of them each time; Expectations::receiverLost lets that many runs of predicted
// blocks be missing, no more.
#pragma once

#include "capture_log.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

struct Expectations {
    // The image the flasher should upload; without one, no block response may appear.
    std::optional<std::vector<uint8_t>> image;
    // Exact number of activations (acknowledgeAnnounce followed by updateFirmware).
    std::optional<unsigned> activations;
    bool noFrames = false;        // nothing at all may cross the bus
    double firstBlockPause = 0.5; // least delay, in seconds, before answering a request at 0
    // When set, the median delay before the first block for requests at other offsets must
    // stay below this many seconds.
    std::optional<double> fastMedian;
    // Least counts of what must have been on the bus, so a scenario cannot pass without the
    // traffic it is about: announcements, others (frames of other nodes), short, version and
    // past-end (requests to be ignored), answered (requests), blocks.
    std::map<std::string, unsigned> atLeast;
    // Length byte of the frame that carries the image's last byte, as captured: on a real
    // controller pair the rounded CAN FD length.
    std::optional<unsigned> lastFrameLength;
    // How often the capturing interface overran (the rise of its rx_errors; the driver counts
    // an overrun once, however many frames in a row it cost): at most this many unbroken runs
    // of predicted blocks may be missing from the capture.
    unsigned receiverLost = 0;
    // The capture holds part of an upload (its flasher was cut off, or started after another
    // one had sent the image's first part): blocks may still be due at its end, and not every
    // image byte needs to cross. What did cross is judged as strictly as ever.
    bool partial = false;
};

struct CheckResult {
    std::vector<std::string> summary; // what the capture showed, for the test log
    std::string failure;              // empty when every expectation held
    // The image as put together from the block responses alone, in the order they crossed the
    // bus (zero where no block came): for a comparison that does not trust the checks above.
    std::vector<uint8_t> reassembled;
};

CheckResult checkCapture(const CaptureLog &log, const Expectations &expect);

} // namespace e2e
