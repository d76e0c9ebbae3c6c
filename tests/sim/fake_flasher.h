// A scripted flasher on the other end of a socketpair: it plays the flasher's part of the
// protocol, with switches for the faults the sim has to catch. It builds its records with the
// kernel's own can_frame / canfd_frame layouts rather than with the sim's encoder.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// How the blocks' length byte is set: as the flasher writes it, as a real controller pair
// delivers it (rounded up to a CAN FD length, stale bytes in the pad), or rounded a step too far.
enum class LengthByte { Exact, Rounded, TooLong };
// Whether the blocks carry the bit-rate switch: as the request did, always, or never.
enum class Brs { InKind, Always, Never };

struct FlasherScript {
    bool answerEveryAnnounce = false;  // activates again on every announcement
    bool activateUnprompted = false;   // sends the activation frames without an announcement
    uint8_t updateComplement = 0x86;   // last byte of updateFirmware
    bool serveIgnored = false;         // answers bootloaderVersion != 0 requests
    bool silent = false;               // never sends anything
    std::optional<uint32_t> corruptAt; // flips the image byte at this offset
    std::optional<uint32_t> dropAt;    // never sends the block starting here...
    bool dropOnce = false;             // ...or only the first time
    bool dropCounted = false;          // ...and the board's interface counts it as lost
    // Loses every Nth block frame of a serve on the way, as a receiver whose queue overruns in
    // long bursts does, and counts each at the board's interface; never a serve's last block,
    // so a later block always shows the gap, and nothing of the serve that ends the image, as
    // the flasher stops after it.
    unsigned loseEvery = 0;
    bool firstBlockOnly = false;        // answers each request with its first block alone
    std::optional<uint32_t> strayAfter; // after serving a request here, sends block 0 unasked
    LengthByte length = LengthByte::Exact;
    bool classicResponses = false; // responses in 16-byte records
    uint32_t responseId = 0x93890079;
    Brs brs = Brs::InKind;
    uint8_t extraFlags = 0; // or'ed into every response's flags
    uint8_t err = 0;
    uint8_t spare2 = 0;
    int32_t fileLengthDelta = 0;
    uint32_t blockSize = 56;
    int pauseAtZeroMs = 0;
};

struct SeenRequest {
    uint32_t offset;
    uint8_t bootloaderVersion;
    uint32_t length;
    size_t recordSize;
    uint8_t len;
    uint8_t flags = 0;
};

struct FlasherLog {
    unsigned announcements = 0;
    unsigned otherFrames = 0;
    std::vector<SeenRequest> requests;
};

class FakeFlasher {
  public:
    // rxErrors: the board's interface counter that a counted loss raises.
    FakeFlasher(int fd, std::vector<uint8_t> image, FlasherScript script, std::string rxErrors);
    ~FakeFlasher();
    // Stops the thread and returns what it saw.
    FlasherLog finish();

  private:
    void loop();
    void onRecord(const uint8_t *record, size_t size);
    void activate();
    void serve(uint32_t offset, uint32_t length, bool brs);
    void sendBlock(uint32_t at, uint32_t count, bool brs, bool lose);
    void sendClassic(uint32_t id, uint8_t len, const uint8_t *data);
    void countLoss();

    int fd_;
    std::vector<uint8_t> image_;
    FlasherScript script_;
    std::string rxErrors_;
    uint64_t lossesCounted_ = 0;
    FlasherLog log_;
    bool activated_ = false;
    bool exited_ = false;
    bool dropped_ = false;
    uint8_t controllerBuffer_[64]; // what the pad bytes of a rounded frame pick up
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
