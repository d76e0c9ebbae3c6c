// Runs the real canfd-flash under the fault shim with one system call failing, plays board 121
// on the other end of the bus, and checks the exit status, the report on the error stream,
// and every record the board received: nothing may follow a fatal failure.
//
// Usage: fault_driver <canfd-flash> <fault_shim.so> <scenario>
#include "bus_lock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <iostream>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Record = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const uint32_t imageSize = 150; // two full blocks and a short one
const uint32_t blockSize = 56;
const auto announcePeriod = std::chrono::milliseconds(300);

enum class Log { Is, Holds };

struct Scenario {
    const char *name;
    const char *call; // the failing call, nullptr for none
    int nth;
    int error;
    int count;
    int mtu;
    int status;
    std::string report;               // the whole error stream
    std::vector<std::string> records; // ack, order, or block<N>: what the board must get
    Log match;
    std::string log; // the standard output, or text it must hold
    int readLines;   // "Hotovo" lines, -1 for any number
    // The log's reader leaves after this many lines, besides the failing call (0: never).
    int logReaderLeavesAfter = 0;
    // Once this many blocks came, the flasher gets this signal, and the board asks for no more
    // unless the flasher was started with the signal ignored (as under nohup). A flasher that the
    // signal ends must die by it.
    int signalAfterBlocks = 0;
    int signal = 0;
    bool signalIgnored = false;
    // What can0 says of itself (a recorded netlink reply in LINK_REPLIES_DIR; nullptr: the
    // kernel cannot be asked), whether its driver hands the blocks back once sent, and whether
    // the kernel tells a socket's unsent bytes.
    const char *linkReply = nullptr;
    bool echoes = false;
    bool unsentBytesTold = true;
    int runLimitSeconds = 10;
    // The log's reader sleeps from the start until the board has the whole image: the run must
    // give can0 and its lock back while it waits for that reader.
    bool logReaderSleeps = false;
};

const std::string startLog = "Firmware size 150\n\rCAN Sockets Receive Demo\r\n";
const std::string uploaded = "Firmware uploaded...";
const std::string sendFailed = "Error sending command via CAN FD!: ";
const std::string noCanSupport = "The kernel has no CAN support loaded: load it (modprobe can_raw, "
                                 "as root), or use a kernel built with CAN\n";
const std::vector<std::string> fullUpload = {"ack", "order", "block0", "block1", "block2"};
// The settings line that follows a report, from the recorded reply of a CTU CAN FD controller.
const std::string ctucanSettings = "can0: 1000 kbit/s, data 4000 kbit/s (sample points 75.0 %, "
                                   "72.0 %), state not reported, transmit errors 0, receive "
                                   "errors 0, restart-ms 0";

// Not a system call: the driver stops reading the log after `nth` lines and closes the pipe.
const char logReaderLeaves[] = "log-reader-leaves";
// Not a failing call: can0 exists and carries CAN FD but is down.
const char interfaceDown[] = "interface-down";
// Not a failing call: another run holds can0.
const char busInUse[] = "bus-in-use";
// Where a report names the process that holds can0: this driver's number.
const char holderMark[] = "{holder}";
// Where a report names the user who runs the flasher, as the driver does, and its group.
const char userMark[] = "{user}";
const char groupMark[] = "{group}";
const char uidMark[] = "{uid}";

// clang-format off
const Scenario scenarios[] = {
    // name, failing call, nth, errno, calls in a row, MTU,
    //   status, report, records, log match, log, "Hotovo" lines
    {"upload-without-faults", nullptr, 0, 0, 0, 72,
     0, "", fullUpload, Log::Holds, uploaded, -1},
    {"image-open", "open", 1, ENOENT, 1, 72,
     1, "Firmware file not found!: No such file or directory\n/opt/klipper.bin does not exist: "
        "copy the firmware image you built there (the raw .bin file from the build's output "
        "folder)\n", {}, Log::Is, "", 0},
    // The image as the driver wrote it: this user's, mode 0600.
    {"image-unreadable", "open", 1, EACCES, 1, 72,
     1, "Firmware file not found!: Permission denied\n/opt/klipper.bin: owner {user}, group "
        "{group}, mode 0600 (rw-------); canfd-flash runs as user {user} (uid {uid}): let every "
        "user read it (chmod a+r /opt/klipper.bin, as root or its owner), or run canfd-flash as a "
        "user who may read it\n", {}, Log::Is, "", 0},
    {"image-fstat", "fstat", 1, EIO, 1, 72,
     1, "Firmware size could not be read: Input/output error\n", {}, Log::Is, "", 0},
    {"image-read-at-start", "pread", 1, EIO, 1, 72,
     1, "Firmware file could not be read: Input/output error\n", {}, Log::Is, "", 0},
    {"socket", "socket", 1, EAFNOSUPPORT, 1, 72,
     1, "Socket: Address family not supported by protocol\n" + noCanSupport, {}, Log::Is,
     startLog, 0},
    {"raw-socket", "socket", 1, EPROTONOSUPPORT, 1, 72,
     1, "Socket: Protocol not supported\n" + noCanSupport, {}, Log::Is, startLog, 0},
    // The second socket receives the board's frames, the third the controller's error frames.
    {"board-socket", "socket", 2, EMFILE, 1, 72,
     1, "Interface can0 board socket: Too many open files\n", {}, Log::Is, startLog, 0},
    {"error-report-socket", "socket", 3, EMFILE, 1, 72,
     1, "Interface can0 error reports: Too many open files\n", {}, Log::Is, startLog, 0},
    {"send-buffer-size", "setsockopt_sndbuf", 1, EPERM, 1, 72,
     0, "setsockopt: Operation not permitted\n", fullUpload, Log::Holds, uploaded, -1},
    {"interface-index", "ioctl_ifindex", 1, ENODEV, 1, 72,
     1, "Interface can0: No such device\n", {}, Log::Is, startLog, 0},
    {"bind", "bind", 1, EADDRNOTAVAIL, 1, 72,
     1, "Bind: Cannot assign requested address\n", {}, Log::Is, startLog, 0},
    {"fd-frames", "setsockopt_fd_frames", 1, ENOPROTOOPT, 1, 72,
     1, "setsockopt CAN_RAW_FD_FRAMES: Protocol not available\n", {}, Log::Is, startLog, 0},
    {"classic-can-mtu", nullptr, 0, 0, 0, 16,
     1, "Interface can0 does not carry CAN FD frames (MTU 16, needs 72): set it up with "
        "\"fd on\"\n", {}, Log::Is, startLog, 0},
    {"mtu-query", "ioctl_mtu", 1, EOPNOTSUPP, 1, 72,
     1, "Interface can0 MTU: Operation not supported\n", {}, Log::Is, startLog, 0},
    {"state-query", "ioctl_flags", 1, EOPNOTSUPP, 1, 72,
     1, "Interface can0 state: Operation not supported\n", {}, Log::Is, startLog, 0},
    {"interface-down", interfaceDown, 0, 0, 0, 72,
     1, "Interface can0 is down: bring it up first (ip link set can0 up)\n", {}, Log::Is,
     startLog, 0},
    {"first-read", "read", 1, ENETDOWN, 1, 72,
     1, "Read: Network is down\n", {}, Log::Is, startLog + "Citam\r\nHotovo\r\n", 1},
    {"read-during-upload", "read", 3, ENETDOWN, 1, 72,
     1, "Read: Network is down\n", {"ack", "order", "block0"}, Log::Holds,
     "Sending firmware block size 56 offset 0\n\r", 3},
    // The log line between the read and its report fails too (EPIPE): the report keeps the
    // read's own cause.
    {"read-fails-without-log-reader", "read", 3, ENETDOWN, 1, 72,
     1, "Read: Network is down\n", {"ack", "order", "block0"}, Log::Holds, "", -1, 2},
    // The lock is held by this driver, which is not a canfd-flash run.
    {"bus-in-use", busInUse, 0, 0, 0, 72,
     1, "Interface can0 is in use: process {holder} (fault_driver), which is not canfd-flash, "
        "holds the lock that keeps a second run off can0: end that process\n", {}, Log::Is, "",
     0},
    {"bus-lock", "bind_lock", 1, ENOMEM, 1, 72,
     1, "Interface can0 lock: Cannot allocate memory\n", {}, Log::Is, "", 0},
    // A failed activation is reported and tried again at the board's next announcement.
    {"acknowledge-write", "write", 1, ENETDOWN, 1, 72,
     0, sendFailed + "Network is down\n", fullUpload, Log::Holds, uploaded, -1},
    {"erase-order-write", "write", 2, ENETDOWN, 1, 72,
     0, sendFailed + "Network is down\n", {"ack", "ack", "order", "block0", "block1", "block2"},
     Log::Holds, uploaded, -1},
    {"block-write", "write", 4, ENETDOWN, 1, 72,
     2, sendFailed + "Network is down\n", {"ack", "order", "block0"}, Log::Holds,
     "Sending firmware block size 56 offset 56\n\r", -1},
    // The last block failing must not pass for a finished upload.
    {"last-block-write", "write", 5, EMSGSIZE, 1, 72,
     2, sendFailed + "Message too long\n", {"ack", "order", "block0", "block1"}, Log::Holds,
     "Sending firmware block size 38 offset 112\n\r", -1},
    {"block-queue-stays-full", "write", 3, ENOBUFS, 1 << 30, 72,
     2, sendFailed + "No buffer space available\n", {"ack", "order"}, Log::Holds, "", -1},
    {"block-queue-clears", "write", 3, ENOBUFS, 50, 72,
     0, "", fullUpload, Log::Holds, uploaded, -1},
    // Piped into `head` or a dying `tee`, the log may lose its reader mid-upload.
    {"log-reader-leaves", logReaderLeaves, 9, 0, 0, 72,
     0, "", fullUpload, Log::Holds, "Waiting for bootloader...\r\n", -1},
    // Ctrl-C mid-upload: the log is written out, the last word says where the upload stood, and
    // the flasher dies by the signal, so that a shell loop stops there too.
    {"interrupted-mid-upload", nullptr, 0, 0, 0, 72,
     128 + SIGINT, "Interrupted by SIGINT at byte 112 of 150 of the upload: the board waits in "
        "its bootloader; run canfd-flash again, and it serves the board from its start\n",
     {"ack", "order", "block0", "block1"}, Log::Holds,
     "Sending firmware block size 56 offset 56\n\rSrc: 121 Dest: 0\r\n", -1, 0, 2, SIGINT},
    // Under nohup a hangup must not end the upload.
    {"hangup-under-nohup", nullptr, 0, 0, 0, 72,
     0, "", fullUpload, Log::Holds, uploaded, -1, 0, 1, SIGHUP, true},
    // Status 0 only once can0 confirmed the last block: by its echo where the driver hands frames
    // back (a CAN controller), else by the unsent bytes, and said where neither can tell.
    {"echo-comes", nullptr, 0, 0, 0, 72,
     0, "", fullUpload, Log::Holds, uploaded, -1, 0, 0, 0, false,
     "x86_64-ctucan-fd-1m-4m.bin", true},
    {"echo-never-comes", nullptr, 0, 0, 0, 72,
     2, "can0 is not sending: none of its frames has left for 2 s. No node acknowledges them "
        "(board off, unplugged or resetting), the bus is not terminated, or the bit rates "
        "differ; waiting up to 20 s\n" + ctucanSettings + "\n" + sendFailed +
        "can0 sent nothing for 20 s, and the image's last blocks are still queued on it: no node "
        "acknowledges its frames (board off, unplugged or resetting), the bus is not "
        "terminated, or the bit rates differ\n" + ctucanSettings + "\n",
     fullUpload, Log::Holds, "Sending firmware block size 38 offset 112\n\r", -1, 0, 0, 0,
     false, "x86_64-ctucan-fd-1m-4m.bin", false, true, 30},
    {"no-echo", nullptr, 0, 0, 0, 72,
     0, "", fullUpload, Log::Holds, uploaded, -1, 0, 0, 0, false, "armhf-vcan.bin", true},
    {"neither-echo-nor-unsent-bytes", nullptr, 0, 0, 0, 72,
     0, "can0 could not confirm the last blocks: it does not hand frames back once sent, and "
        "this kernel does not tell a socket's unsent bytes. Watch the board start its new "
        "firmware\n", fullUpload, Log::Holds, uploaded, -1, 0, 0, 0, false, "armhf-vcan.bin",
     false, false},
    {"lock-released-while-log-reader-sleeps", nullptr, 0, 0, 0, 72,
     0, "", fullUpload, Log::Holds, uploaded, -1, 0, 0, 0, false, nullptr, false, true, 10,
     true},
};
// clang-format on

std::vector<uint8_t> imageBytes() {
    std::vector<uint8_t> bytes(imageSize);
    for (uint32_t i = 0; i < imageSize; i++) {
        bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    return bytes;
}

void putWord(uint32_t value, uint8_t *at) {
    for (int i = 0; i < 4; i++) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t word(const uint8_t *at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

const uint8_t bitRateSwitch = 0x01;

Record classic(uint32_t id, const std::vector<uint8_t> &payload) {
    Record record(16, 0);
    putWord(id | 0x80000000u, record.data());
    record[4] = static_cast<uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), record.begin() + 8);
    return record;
}

// Board 121 (source) speaking to the flasher at address 0.
Record announcement() {
    return classic(4512u << 16 | 121u << 8, {0x01, 0x00, 0x00, 0x00});
}

// A CAN FD request in the 72-byte record a read returns for it, with the bit-rate switch and,
// as older kernels deliver it, without CANFD_FDF: the record's size alone says FD.
Record blockRequest(uint32_t offset) {
    Record record(72, 0);
    putWord((5000u << 16 | 121u << 8) | 0x80000000u, record.data());
    record[4] = 8;
    record[5] = bitRateSwitch;
    putWord(offset, record.data() + 8);
    putWord(blockSize, record.data() + 12);
    return record;
}

Record expectedRecord(const std::string &name, const std::vector<uint8_t> &image) {
    if (name == "ack") {
        return classic(6038u << 16 | 121u, {});
    }
    if (name == "order") {
        return classic(6025u << 16 | 121u, {0x01, 0x00, 121, 0x86});
    }
    uint32_t offset = static_cast<uint32_t>(std::stoul(name.substr(5))) * blockSize;
    uint32_t length = std::min(blockSize, imageSize - offset);
    Record record(72, 0);
    putWord(0x80000000u | 5001u << 16 | 121u, record.data());
    record[4] = static_cast<uint8_t>(8 + length);
    record[5] = bitRateSwitch; // the requests came with it
    putWord(offset | length << 24, record.data() + 8);
    putWord(imageSize, record.data() + 12);
    std::copy(image.begin() + offset, image.begin() + offset + length, record.begin() + 16);
    return record;
}

std::string temporaryFile(const char *what) {
    std::string name = std::string("/tmp/canfd-fault-") + what + "-XXXXXX";
    int fd = mkstemp(name.data());
    if (fd < 0) {
        perror("mkstemp");
        exit(3);
    }
    close(fd);
    return name;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t countOf(const std::string &text, const std::string &what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        count++;
    }
    return count;
}

size_t countLines(const std::string &text) {
    return countOf(text, "\n");
}

void send(int fd, const Record &record) {
    // The flasher may have ended already; a lost record is then of no interest.
    (void)::send(fd, record.data(), record.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

struct Run {
    int status = -1; // exit status, or -1 when it did not exit normally
    int signal = 0;  // the signal that ended it
    bool lockFreedWhileRunning = false;
    std::string description;
    std::vector<Record> received;
    std::string out;
    std::string err;
};

// Reads what the flasher has logged so far. The reader leaves, as `| head` would, once the
// log holds leaveAfterLines lines (0: never).
void readLog(int &log, int leaveAfterLines, Run &run) {
    char text[4096];
    ssize_t size;
    while (log >= 0 && (size = read(log, text, sizeof(text))) > 0) {
        run.out.append(text, static_cast<size_t>(size));
        if (leaveAfterLines > 0 && countLines(run.out) >= static_cast<size_t>(leaveAfterLines)) {
            close(log);
            log = -1;
        }
    }
}

// Whether the run's lock on can0 (tagged, see fault_shim.cpp) is free: its name can be bound.
bool lockFree(const std::string &lockTag) {
    sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    std::string name = "canfd-flash can0" + lockTag;
    memcpy(address.sun_path + 1, name.data(), name.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    int probe = socket(AF_UNIX, SOCK_STREAM, 0);
    bool free = bind(probe, reinterpret_cast<const sockaddr *>(&address), length) == 0;
    close(probe);
    return free;
}

// Looks for up to 3 s whether the flasher gives its lock back while it still runs.
bool lockFreedWhileRunning(const std::string &lockTag, pid_t flasher) {
    auto until = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < until) {
        if (lockFree(lockTag)) {
            siginfo_t ended;
            memset(&ended, 0, sizeof(ended));
            return waitid(P_PID, static_cast<id_t>(flasher), &ended, WEXITED | WNOHANG | WNOWAIT) ==
                       0 &&
                   ended.si_pid == 0;
        }
        usleep(20000);
    }
    return false;
}

// A board that announces until it is ordered into its bootloader, then asks for the image
// block after block, as the real bootloader does.
void playBoard(int board, int log, int leaveAfterLines, const Scenario &scenario, pid_t flasher,
               const std::string &lockTag, Run &run) {
    int blocks = 0;
    bool inBootloader = false;
    bool readingLog = !scenario.logReaderSleeps;
    auto started = Clock::now();
    auto lastAnnouncement = started - announcePeriod;
    int waitStatus = 0;
    for (;;) {
        pid_t ended = waitpid(flasher, &waitStatus, WNOHANG);
        if (!inBootloader && Clock::now() - lastAnnouncement >= announcePeriod && ended == 0) {
            send(board, announcement());
            lastAnnouncement = Clock::now();
        }
        pollfd wait[2] = {{board, POLLIN, 0}, {log, POLLIN, 0}};
        if (ended == 0 && poll(wait, 2, 20) < 0 && errno != EINTR) {
            perror("poll");
        }
        if (readingLog) {
            readLog(log, leaveAfterLines, run);
        }
        for (;;) {
            uint8_t bytes[128];
            ssize_t size = recv(board, bytes, sizeof(bytes), MSG_DONTWAIT | MSG_TRUNC);
            if (size <= 0) {
                break;
            }
            Record record(bytes,
                          bytes + std::min<size_t>(static_cast<size_t>(size), sizeof(bytes)));
            run.received.push_back(record);
            uint32_t id = word(record.data()) & 0x1FFFFFFFu;
            if (id >> 16 == 6025) {
                inBootloader = true;
                send(board, blockRequest(0));
            } else if (id >> 16 == 5001 && record.size() >= 16) {
                uint32_t next = (word(record.data() + 8) & 0xFFFFFFu) + (record[11] & 0x3Fu);
                bool signalled = ++blocks == scenario.signalAfterBlocks;
                if (signalled) {
                    kill(flasher, scenario.signal);
                }
                if ((!signalled || scenario.signalIgnored) && next < imageSize) {
                    send(board, blockRequest(next));
                }
                if (next >= imageSize && !readingLog) {
                    run.lockFreedWhileRunning = lockFreedWhileRunning(lockTag, flasher);
                    readingLog = true;
                }
            }
        }
        if (ended == flasher) {
            readLog(log, 0, run);
            break;
        }
        if (Clock::now() - started > std::chrono::seconds(scenario.runLimitSeconds)) {
            kill(flasher, SIGKILL);
            waitpid(flasher, &waitStatus, 0);
            run.description =
                "still running after " + std::to_string(scenario.runLimitSeconds) + " s: killed";
            return;
        }
    }
    if (WIFEXITED(waitStatus)) {
        run.status = WEXITSTATUS(waitStatus);
        run.description = "exit status " + std::to_string(run.status);
    } else if (WIFSIGNALED(waitStatus)) {
        run.signal = WTERMSIG(waitStatus);
        run.description = "ended by signal " + std::to_string(run.signal);
    }
}

Run runFlasher(const char *flasher, const char *shim, const Scenario &scenario,
               const std::string &imagePath) {
    Run run;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0) {
        perror("socketpair");
        exit(3);
    }
    int log[2];
    if (pipe2(log, O_NONBLOCK) != 0) {
        perror("pipe");
        exit(3);
    }
    // A reader that sleeps from the start: the pipe is full before the flasher writes a line.
    size_t filled = 0;
    if (scenario.logReaderSleeps) {
        fcntl(log[1], F_SETPIPE_SZ, 4096);
        const char filler[256] = {};
        ssize_t put;
        while ((put = write(log[1], filler, sizeof(filler))) > 0) {
            filled += static_cast<size_t>(put);
        }
    }
    std::string errPath = temporaryFile("err");
    // The run's lock on can0 is tagged with this driver's number (see fault_shim.cpp), so the
    // fault tests that ctest runs side by side never refuse each other.
    std::string lockTag = "-fault-" + std::to_string(getpid());
    // Another run holding can0, as a second canfd-flash would meet it.
    if (scenario.call == busInUse && !takeBusLock(("can0" + lockTag).c_str())) {
        exit(3);
    }
    pid_t child = fork();
    if (child < 0) {
        perror("fork");
        exit(3);
    }
    if (child == 0) {
        close(ends[1]);
        close(log[0]);
        int err = open(errPath.c_str(), O_WRONLY | O_TRUNC);
        dup2(log[1], STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        fcntl(STDOUT_FILENO, F_SETFL, 0);
        close(log[1]);
        close(err);
        setenv("LD_PRELOAD", shim, 1);
        setenv("CANFD_FAULT_BUS_FD", std::to_string(ends[0]).c_str(), 1);
        setenv("CANFD_FAULT_IMAGE", imagePath.c_str(), 1);
        setenv("CANFD_FAULT_MTU", std::to_string(scenario.mtu).c_str(), 1);
        setenv("CANFD_FAULT_LOCK_TAG", lockTag.c_str(), 1);
        if (scenario.call == interfaceDown) {
            setenv("CANFD_FAULT_DOWN", "1", 1);
        } else if (scenario.call != nullptr && strcmp(scenario.call, logReaderLeaves) != 0 &&
                   scenario.call != busInUse) {
            setenv("CANFD_FAULT_CALL", scenario.call, 1);
            setenv("CANFD_FAULT_NTH", std::to_string(scenario.nth).c_str(), 1);
            setenv("CANFD_FAULT_COUNT", std::to_string(scenario.count).c_str(), 1);
            setenv("CANFD_FAULT_ERRNO", std::to_string(scenario.error).c_str(), 1);
        }
        if (scenario.linkReply != nullptr) {
            setenv("CANFD_FAULT_LINK_REPLY",
                   (std::string(LINK_REPLIES_DIR) + "/" + scenario.linkReply).c_str(), 1);
        }
        if (scenario.echoes) {
            setenv("CANFD_FAULT_ECHO", "1", 1);
        }
        if (!scenario.unsentBytesTold) {
            setenv("CANFD_FAULT_NO_MEMINFO", "1", 1);
        }
        // As a shell leaves them for a foreground job, whatever ctest was given.
        signal(SIGINT, SIG_DFL);
        if (scenario.signalIgnored) {
            signal(scenario.signal, SIG_IGN);
        }
        execl(flasher, flasher, static_cast<char *>(nullptr));
        perror("exec");
        _exit(127);
    }
    close(ends[0]);
    close(log[1]);
    bool leaves = scenario.call != nullptr && strcmp(scenario.call, logReaderLeaves) == 0;
    playBoard(ends[1], log[0], leaves ? scenario.nth : scenario.logReaderLeavesAfter, scenario,
              child, lockTag, run);
    close(ends[1]);
    close(log[0]);
    run.out.erase(0, std::min(filled, run.out.size()));
    run.err = readFile(errPath);
    unlink(errPath.c_str());
    return run;
}

std::string hex(const Record &record) {
    std::string text;
    char digits[4];
    for (uint8_t byte : record) {
        snprintf(digits, sizeof(digits), "%02X ", byte);
        text += digits;
    }
    return text;
}

int check(const Scenario &scenario, const Run &run, const std::vector<uint8_t> &image) {
    int failures = 0;
    auto fail = [&failures](const std::string &what) {
        std::cerr << "FAIL: " << what << "\n";
        failures++;
    };
    bool diesBySignal = scenario.signal != 0 && scenario.status == 128 + scenario.signal;
    if (diesBySignal && run.signal != scenario.signal) {
        fail(run.description + ", expected death by signal " + std::to_string(scenario.signal));
    }
    if (!diesBySignal && run.status != scenario.status) {
        fail(run.description + ", expected exit status " + std::to_string(scenario.status));
    }
    if (scenario.logReaderSleeps && !run.lockFreedWhileRunning) {
        fail("the lock on can0 was still held, or the flasher gone, 3 s after the last block");
    }
    std::string report = scenario.report;
    const passwd *user = getpwuid(getuid());
    const group *ownGroup = getgrgid(getgid());
    const std::pair<const char *, std::string> marks[] = {
        {holderMark, std::to_string(getpid())},
        {userMark, user != nullptr ? user->pw_name : "?"},
        {groupMark, ownGroup != nullptr ? ownGroup->gr_name : "?"},
        {uidMark, std::to_string(getuid())},
    };
    for (const auto &[mark, value] : marks) {
        for (size_t at = report.find(mark); at != std::string::npos; at = report.find(mark)) {
            report.replace(at, strlen(mark), value);
        }
    }
    if (run.err != report) {
        fail("error stream\n  got:      \"" + run.err + "\"\n  expected: \"" + report + "\"");
    }
    std::vector<Record> expected;
    for (const std::string &name : scenario.records) {
        expected.push_back(expectedRecord(name, image));
    }
    if (run.received != expected) {
        std::string listing;
        for (size_t i = 0; i < std::max(run.received.size(), expected.size()); i++) {
            listing += "\n  " + std::to_string(i) + " got      " +
                       (i < run.received.size() ? hex(run.received[i]) : "-") + "\n  " +
                       std::to_string(i) + " expected " +
                       (i < expected.size() ? hex(expected[i]) : "-");
        }
        fail("records on the bus:" + listing);
    }
    if (scenario.match == Log::Is && run.out != scenario.log) {
        fail("standard output\n  got:      \"" + run.out + "\"\n  expected: \"" + scenario.log +
             "\"");
    }
    if (scenario.match == Log::Holds && run.out.find(scenario.log) == std::string::npos) {
        fail("standard output lacks \"" + scenario.log + "\":\n" + run.out);
    }
    if (scenario.readLines >= 0 &&
        countOf(run.out, "Hotovo\r\n") != static_cast<size_t>(scenario.readLines)) {
        fail(std::to_string(countOf(run.out, "Hotovo\r\n")) + " \"Hotovo\" lines, expected " +
             std::to_string(scenario.readLines));
    }
    bool wholeLog = (scenario.call == nullptr || strcmp(scenario.call, logReaderLeaves) != 0) &&
                    scenario.logReaderLeavesAfter == 0;
    bool endsUploaded =
        run.out.size() >= uploaded.size() &&
        run.out.compare(run.out.size() - uploaded.size(), uploaded.size(), uploaded) == 0;
    if (wholeLog && scenario.status == 0 && !endsUploaded) {
        fail("a successful run must end its log with \"" + uploaded + "\"");
    }
    return failures;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::cerr << "usage: fault_driver <canfd-flash> <fault_shim.so> <scenario>\n";
        return 3;
    }
    const Scenario *scenario = nullptr;
    for (const Scenario &candidate : scenarios) {
        if (candidate.name == std::string(argv[3])) {
            scenario = &candidate;
        }
    }
    if (scenario == nullptr) {
        std::cerr << "unknown scenario " << argv[3] << "\n";
        return 3;
    }
    std::vector<uint8_t> image = imageBytes();
    std::string imagePath = temporaryFile("image");
    {
        std::ofstream out(imagePath, std::ios::binary);
        out.write(reinterpret_cast<const char *>(image.data()),
                  static_cast<std::streamsize>(image.size()));
    }
    Run run = runFlasher(argv[1], argv[2], *scenario, imagePath);
    unlink(imagePath.c_str());
    int failures = check(*scenario, run, image);
    if (failures == 0) {
        std::cout << scenario->name << ": " << run.description << ", " << run.received.size()
                  << " records on the bus, as expected\n";
    }
    return failures == 0 ? 0 : 1;
}
