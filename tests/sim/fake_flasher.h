// A scripted flasher on the other end of a socketpair: it plays the flasher's part of the
// protocol, with switches for the faults the sim has to catch. It builds its records with the
// kernel's own can_frame / canfd_frame layouts rather than with the sim's encoder.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

struct FlasherScript {
    bool answerEveryAnnounce = false;  // activates again on every announcement
    bool activateUnprompted = false;   // sends the activation frames without an announcement
    uint8_t updateComplement = 0x86;   // last byte of updateFirmware
    bool serveIgnored = false;         // answers bootloaderVersion != 0 requests
    bool silent = false;               // never sends anything
    std::optional<uint32_t> corruptAt; // flips the image byte at this offset
    std::optional<uint32_t> dropAt;    // never sends the block starting here...
    bool dropOnce = false;             // ...or only the first time
    bool roundUpLength = false;        // length byte rounded up to a valid CAN FD length
    bool classicResponses = false;     // responses in 16-byte records
    uint32_t responseId = 0x93890079;
    uint8_t responseFlags = 0;
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
};

struct FlasherLog {
    unsigned announcements = 0;
    unsigned otherFrames = 0;
    std::vector<SeenRequest> requests;
};

class FakeFlasher {
  public:
    FakeFlasher(int fd, std::vector<uint8_t> image, FlasherScript script);
    ~FakeFlasher();
    // Stops the thread and returns what it saw.
    FlasherLog finish();

  private:
    void loop();
    void onRecord(const uint8_t *record, size_t size);
    void activate();
    void serve(uint32_t offset, uint32_t length);
    void sendClassic(uint32_t id, uint8_t len, const uint8_t *data);

    int fd_;
    std::vector<uint8_t> image_;
    FlasherScript script_;
    FlasherLog log_;
    bool activated_ = false;
    bool exited_ = false;
    bool dropped_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
