// The simulated board: stock firmware that announces itself and takes the order to update,
// then a bootloader that asks for the image chunk by chunk and checks every frame that comes
// back. It talks through a FrameChannel only, so it runs the same over SocketCAN and over a
// socketpair in the host tests.
#pragma once

#include "block_check.h"
#include "chunk_plan.h"
#include "frame_channel.h"
#include "frame_log.h"
#include "options.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

enum ExitStatus : int { kExitPass = 0, kExitMismatch = 1, kExitTimeout = 2, kExitSystem = 3 };

struct Verdict {
    int status = kExitSystem;
    std::string line; // "PASS: ..." or "FAIL: ..."
};

struct TransferStats {
    unsigned announcements = 0;
    unsigned requests = 0;
    unsigned reRequests = 0;       // after frames lost at the board's receiver
    unsigned blocksAskedAgain = 0; // the blocks those re-requests asked for
    unsigned responses = 0;
    unsigned duplicates = 0;
    uint64_t bytesAccepted = 0;
    double transferSeconds = 0; // first block request to the image's last byte
    double totalSeconds = 0;
};

class Board {
  public:
    Board(const Options &options, std::vector<uint8_t> image, FrameChannel &channel, FrameLog &log);

    Verdict run();
    const TransferStats &stats() const {
        return stats_;
    }
    std::string statsText() const;

  private:
    enum class Activation { Waiting, Acknowledged, Done };
    enum class Phase { Announcing, Erasing, Bootloader, IgnoredWindow, Lingering };

    // The chunk being fetched. `have` counts the bytes that arrived in order from its start;
    // a serve is the run of blocks answering one request.
    struct ChunkState {
        bool active = false;
        size_t index = 0;
        ChunkStep step;
        uint32_t have = 0;
        uint32_t requestOffset = 0;
        uint32_t requestLength = 0;
        uint32_t requestEnd = 0;
        unsigned requests = 0;
        bool serveBroken = false;
        bool serveEnded = false;
        Clock::time_point lastHeard; // the request, or the latest block answering it
        ReceiverLosses lossesAtChunk;
        ReceiverLosses lossesAtRequest;
    };

    void announceUntilActivated();
    void bootload();
    void fetch(size_t index);
    bool waitForAnswer();
    ReceiverLosses lossesSinceRequest();
    std::string neverCameMessage(bool serveOver) const;
    std::string lossText(const ReceiverLosses &losses) const;
    std::string reRequestText() const;
    void ignoredRound();
    void verifyImage();

    // Handles frames until done() holds (true) or until passes (false); throws once the
    // overall deadline has passed.
    bool waitUntil(Clock::time_point until, const std::function<bool()> &done);
    void handle(const Frame &frame);
    void onActivation(const Frame &frame);
    void onBlock(const Frame &frame);
    void accept(const Frame &frame, const Block &block);
    bool lateDuplicate(const Block &block) const;

    void send(const Frame &frame);
    void sendRequest(const BlockRequest &request);
    void sendNoise();
    RequestKind requestKind() const;
    std::string timeoutMessage() const;
    std::string progressLine(size_t index) const;

    Options options_;
    std::vector<uint8_t> image_;
    FrameChannel &channel_;
    FrameLog &log_;

    std::vector<uint8_t> assembled_;
    std::vector<bool> arrived_;
    size_t received_ = 0; // distinct image bytes that have arrived
    std::vector<ChunkStep> plan_;
    ChunkState chunk_;
    std::vector<std::pair<uint32_t, uint32_t>> reRequested_;
    std::vector<BlockRequest> ignored_;

    Activation activation_ = Activation::Waiting;
    Phase phase_ = Phase::Announcing;
    ReceiverLosses lossesAtStart_;
    bool anyAnswer_ = false;
    bool lastByteSeen_ = false; // a valid block ending at the image's end came
    bool secondAnnounceSent_ = false;
    size_t noiseIndex_ = 0;
    size_t progressShown_ = 0;

    Clock::time_point start_;
    Clock::time_point deadline_;
    std::optional<Clock::time_point> transferStart_;
    TransferStats stats_;
};

} // namespace sim
