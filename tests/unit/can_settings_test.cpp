#include "can_settings.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <linux/rtnetlink.h>
#include <memory>
#include <net/if.h>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Replies that the guests' kernels sent (link_replies/README.md).
Bytes recorded(const std::string &name) {
    std::ifstream file(std::string(LINK_REPLIES_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(file.good()) << name;
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

// Every known fact as one word, unknown ones left out.
std::string factsOf(const CanSettings &s) {
    std::string out;
    auto add = [&out](bool known, const std::string &word) { out += known ? word + " " : ""; };
    auto n = [](uint32_t value) { return std::to_string(value); };
    const can_device_stats &d = s.deviceStats;
    add(s.linkKnown, s.up ? (s.running ? "up running" : "up") : "down");
    add(s.kindKnown, "kind=" + n(s.kind) + ":" + s.kindName);
    add(s.mtuKnown, "mtu=" + n(s.mtu));
    add(s.transmitQueueLengthKnown, "txqueuelen=" + n(s.transmitQueueLength));
    add(s.operStateKnown, "operstate=" + n(s.operState));
    add(s.bitTiming.known, "bit=" + n(s.bitTiming.bitRate) + "/" + n(s.bitTiming.samplePoint));
    add(s.dataBitTiming.known,
        "data=" + n(s.dataBitTiming.bitRate) + "/" + n(s.dataBitTiming.samplePoint));
    add(s.controlModeKnown, "mode=" + n(s.controlMode));
    add(s.stateKnown, "state=" + n(s.state));
    add(s.restartMillisecondsKnown, "restart-ms=" + n(s.restartMilliseconds));
    add(s.errorCountersKnown, "errors=" + n(s.transmitErrors) + "/" + n(s.receiveErrors));
    add(s.deviceStatsKnown, "stats=" + n(d.bus_error) + "/" + n(d.error_warning) + "/" +
                                n(d.error_passive) + "/" + n(d.bus_off) + "/" +
                                n(d.arbitration_lost) + "/" + n(d.restarts));
    add(s.replyWhole, "whole");
    return out.empty() ? out : out.substr(0, out.size() - 1);
}

// Parsed from a heap copy of exactly its size, so that AddressSanitizer sees any overread.
bool parse(const Bytes &reply, CanSettings *settings) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[reply.size()]);
    std::copy(reply.begin(), reply.end(), copy.get());
    return parseLinkReply(copy.get(), reply.size(), settings);
}

std::string summaryOf(const CanSettings &settings) {
    char line[512];
    formatCanSettings(settings, line, sizeof(line));
    return line;
}

// Where the recorded 1M/4M controller replies hold these attributes' headers: the kernels of all
// three architectures lay them out alike.
const size_t infoDataAt = 620, bitTimingAt = 624, stateAt = 720, countersAt = 748;

// Rewrites an attribute of a recorded reply, after checking that it is the one meant.
std::function<void(Bytes &)> patched(size_t at, uint16_t type, std::vector<uint32_t> words,
                                     size_t payloadOffset = 4) {
    return [=](Bytes &reply) {
        rtattr header;
        memcpy(&header, &reply.at(at), sizeof(header));
        ASSERT_EQ(header.rta_type & NLA_TYPE_MASK, type);
        memcpy(&reply.at(at + payloadOffset), words.data(), 4 * words.size());
    };
}
// can_berr_counter is two 16-bit counters in one word: transmit errors in its low half.
uint32_t counters(uint16_t transmit, uint16_t receive) {
    return transmit | uint32_t(receive) << 16;
}

const std::string fd1m4mFacts =
    "up running kind=0:can mtu=72 txqueuelen=128 operstate=6 bit=1000000/750 data=4000000/720 "
    "mode=32 state=4 restart-ms=0 errors=0/0 stats=0/0/0/0/0/0 whole";
// The 1M/4M reply's facts with one word changed ("" drops it).
std::string fd1m4mWith(const std::string &word, const std::string &changed) {
    std::string facts = fd1m4mFacts;
    facts.replace(facts.find(word), word.size() + (changed.empty() ? 1 : 0), changed);
    return facts;
}
const std::string fd1m4m = "can0: 1000 kbit/s, data 4000 kbit/s (sample points 75.0 %, 72.0 %)";
const std::string zeroCounters = ", transmit errors 0, receive errors 0, restart-ms 0";
const std::string cutShort = " (the kernel's reply was cut short: the rest is unread)";
const std::string unread = "can0: its CAN settings could not be read";

TEST(CanSettings, RecordedRepliesGiveTheirFactsAndSummary) {
    struct Case {
        const char *what;
        const char *file;
        std::function<void(Bytes &)> edit;
        bool parsed;
        std::string facts;
        std::string summary;
    } cases[] = {
        {"1M/4M, x86_64", "x86_64-ctucan-fd-1m-4m.bin", nullptr, true, fd1m4mFacts,
         fd1m4m + ", state not reported" + zeroCounters},
        {"1M/4M, arm64", "arm64-ctucan-fd-1m-4m.bin", nullptr, true, fd1m4mFacts,
         fd1m4m + ", state not reported" + zeroCounters},
        {"1M/4M, armhf", "armhf-ctucan-fd-1m-4m.bin", nullptr, true, fd1m4mFacts,
         fd1m4m + ", state not reported" + zeroCounters},
        {"no data bit rate", "armhf-ctucan-classic-500k.bin", nullptr, true,
         "up running kind=0:can mtu=16 txqueuelen=128 operstate=6 bit=500000/875 mode=0 "
         "state=4 restart-ms=0 errors=0/0 stats=0/0/0/0/0/0 whole",
         "can0: 500 kbit/s (sample point 87.5 %), no data bit rate, state not reported" +
             zeroCounters},
        {"a bit rate of no whole kbit/s", "armhf-ctucan-classic-83k.bin", nullptr, true,
         "up running kind=0:can mtu=16 txqueuelen=128 operstate=6 bit=83333/875 mode=0 "
         "state=4 restart-ms=0 errors=0/0 stats=0/0/0/0/0/0 whole",
         "can0: 83.333 kbit/s (sample point 87.5 %), no data bit rate, state not reported" +
             zeroCounters},
        {"listen-only", "armhf-ctucan-listen-only.bin", nullptr, true,
         "up running kind=0:can mtu=72 txqueuelen=128 operstate=6 bit=1000000/750 "
         "data=4000000/720 mode=34 state=4 restart-ms=0 errors=0/0 stats=0/0/0/0/0/0 whole",
         fd1m4m + ", state not reported" + zeroCounters + ", listen-only"},
        {"loopback, restart-ms 100, a short queue", "armhf-ctucan-loopback.bin", nullptr, true,
         "up running kind=0:can mtu=72 txqueuelen=10 operstate=6 bit=1000000/750 "
         "data=4000000/720 mode=33 state=4 restart-ms=100 errors=0/0 stats=0/0/0/0/0/0 whole",
         fd1m4m + ", state not reported, transmit errors 0, receive errors 0, restart-ms 100, "
                  "loopback, txqueuelen 10"},
        {"down: stopped", "armhf-ctucan-down-fd.bin", nullptr, true,
         "down kind=0:can mtu=72 txqueuelen=128 operstate=2 bit=1000000/750 data=4000000/720 "
         "mode=32 state=4 restart-ms=0 errors=0/0 stats=0/0/0/0/0/0 whole",
         fd1m4m + ", stopped" + zeroCounters},
        {"vcan", "armhf-vcan.bin", nullptr, true,
         "up running kind=1:vcan mtu=72 txqueuelen=1000 operstate=0 whole",
         "can0: a virtual CAN interface (vcan): no bit timing and no controller state"},
        // The emulated controllers never leave STOPPED: these states were patched in.
        {"error-passive (patched)", "armhf-ctucan-fd-1m-4m.bin",
         [](Bytes &reply) {
             patched(stateAt, IFLA_CAN_STATE, {CAN_STATE_ERROR_PASSIVE})(reply);
             patched(countersAt, IFLA_CAN_BERR_COUNTER, {counters(128, 0)})(reply);
         },
         true, fd1m4mWith("state=4 restart-ms=0 errors=0/0", "state=2 restart-ms=0 errors=128/0"),
         fd1m4m + ", error-passive, transmit errors 128, receive errors 0, restart-ms 0"},
        {"bus-off (patched)", "armhf-ctucan-fd-1m-4m.bin",
         [](Bytes &reply) {
             patched(stateAt, IFLA_CAN_STATE, {CAN_STATE_BUS_OFF})(reply);
             patched(countersAt, IFLA_CAN_BERR_COUNTER, {counters(256, 3)})(reply);
         },
         true, fd1m4mWith("state=4 restart-ms=0 errors=0/0", "state=3 restart-ms=0 errors=256/3"),
         fd1m4m + ", bus-off, transmit errors 256, receive errors 3, restart-ms 0"},
        {"not of the kind \"can\": its IFLA_INFO_DATA is not read (patched)",
         "armhf-ctucan-fd-1m-4m.bin", [](Bytes &reply) { memcpy(&reply.at(588), "gre", 4); }, true,
         "up running kind=2:gre mtu=72 txqueuelen=128 operstate=6 whole",
         "can0: not a CAN controller but a gre interface: no bit timing and no controller state"},
        {"bit rate 0: never set (patched)", "armhf-ctucan-fd-1m-4m.bin",
         patched(bitTimingAt, IFLA_CAN_BITTIMING, {0}), true, fd1m4mWith("bit=1000000/750", ""),
         "can0: no bit rate set, state not reported" + zeroCounters},
        {"counters attribute shorter than its struct (patched)", "armhf-ctucan-fd-1m-4m.bin",
         patched(countersAt, IFLA_CAN_BERR_COUNTER, {6 | IFLA_CAN_BERR_COUNTER << 16}, 0), true,
         fd1m4mWith("errors=0/0", ""), fd1m4m + ", state not reported, restart-ms 0"},
        {"IFLA_INFO_DATA longer than the IFLA_LINKINFO around it (patched)",
         "armhf-ctucan-fd-1m-4m.bin",
         patched(infoDataAt, IFLA_INFO_DATA, {400 | IFLA_INFO_DATA << 16}, 0), true,
         fd1m4mFacts.substr(0, fd1m4mFacts.size() - 6),
         fd1m4m + ", state not reported" + zeroCounters + cutShort},
        {"an attribute of length 0 in IFLA_INFO_DATA ends it (patched)",
         "armhf-ctucan-fd-1m-4m.bin", patched(stateAt, IFLA_CAN_STATE, {IFLA_CAN_STATE << 16}, 0),
         true,
         "up running kind=0:can mtu=72 txqueuelen=128 operstate=6 bit=1000000/750 "
         "stats=0/0/0/0/0/0",
         "can0: 1000 kbit/s (sample point 75.0 %), no data bit rate, state not reported" +
             cutShort},
        {"nlmsg_len shorter than the link header (patched)", "armhf-ctucan-fd-1m-4m.bin",
         [](Bytes &reply) { reply.at(0) = 20, reply.at(1) = 0; }, false, "", unread},
        {"RTM_DELLINK (patched)", "armhf-ctucan-fd-1m-4m.bin",
         [](Bytes &reply) { reply.at(4) = RTM_DELLINK; }, false, "", unread},
        {"cut in IFLA_INFO_DATA, in IFLA_CAN_CTRLMODE", "armhf-ctucan-fd-1m-4m.bin",
         [](Bytes &reply) { reply.resize(734); }, true,
         "up running kind=0:can mtu=72 txqueuelen=128 operstate=6 bit=1000000/750 state=4 "
         "stats=0/0/0/0/0/0",
         "can0: 1000 kbit/s (sample point 75.0 %), no data bit rate, state not reported" +
             cutShort},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes reply = recorded(c.file);
        if (c.edit) {
            c.edit(reply);
        }
        CanSettings settings;
        EXPECT_EQ(parse(reply, &settings), c.parsed);
        EXPECT_EQ(factsOf(settings), c.facts);
        EXPECT_EQ(summaryOf(settings), c.summary);
    }
}

// However short the reply, whatever is known of it is what the whole reply says.
TEST(CanSettings, EveryCutOfARecordedReplyKnowsOnlyTrueFacts) {
    for (const char *file : {"armhf-ctucan-fd-1m-4m.bin", "armhf-vcan.bin"}) {
        const Bytes whole = recorded(file);
        CanSettings settings;
        parse(whole, &settings);
        std::istringstream words(factsOf(settings));
        const std::set<std::string> wholeFacts{std::istream_iterator<std::string>(words), {}};
        for (size_t size = 0; size < whole.size(); size++) {
            SCOPED_TRACE(std::string(file) + " cut to " + std::to_string(size));
            const bool parsed = parse(Bytes(whole.begin(), whole.begin() + size), &settings);
            EXPECT_EQ(parsed, size >= NLMSG_LENGTH(sizeof(ifinfomsg)));
            EXPECT_FALSE(settings.replyWhole);
            std::istringstream cutWords(factsOf(settings));
            for (std::istream_iterator<std::string> w(cutWords), end; w != end; ++w) {
                EXPECT_TRUE(wholeFacts.count(*w) == 1) << *w;
            }
        }
    }
}

TEST(CanSettings, SummaryOfSettingsNoRecordedReplyHas) {
    CanSettings base;
    memset(&base, 0, sizeof(base));
    base.replyWhole = base.linkKnown = base.up = base.kindKnown = base.stateKnown = true;
    base.kind = canController;
    base.state = CAN_STATE_ERROR_WARNING;
    base.bitTiming = {true, 83300, 800};
    base.dataBitTiming = {true, 2000005, 705};
    base.controlModeKnown = base.transmitQueueLengthKnown = true;
    base.controlMode = CAN_CTRLMODE_FD | CAN_CTRLMODE_BERR_REPORTING | CAN_CTRLMODE_ONE_SHOT |
                       CAN_CTRLMODE_PRESUME_ACK | CAN_CTRLMODE_FD_NON_ISO;
    base.transmitQueueLength = 32;
    struct Case {
        std::function<void(CanSettings &)> edit;
        std::string summary;
    } cases[] = {
        {[](CanSettings &) {},
         "can0: 83.3 kbit/s, data 2000.005 kbit/s (sample points 80.0 %, 70.5 %), error-warning, "
         "one-shot, presume-ack, fd-non-iso"},
        {[](CanSettings &s) { s.stateKnown = false, s.transmitQueueLength = 31; },
         "can0: 83.3 kbit/s, data 2000.005 kbit/s (sample points 80.0 %, 70.5 %), state not "
         "reported, one-shot, presume-ack, fd-non-iso, txqueuelen 31"},
    };
    for (const Case &c : cases) {
        CanSettings settings = base;
        c.edit(settings);
        EXPECT_EQ(summaryOf(settings), c.summary);
    }
}

TEST(CanSettings, ASummaryCutToItsBufferStaysTerminated) {
    CanSettings settings;
    parse(recorded("armhf-ctucan-loopback.bin"), &settings);
    const std::string line = summaryOf(settings);
    for (size_t size = 0; size <= line.size() + 1; size++) {
        std::unique_ptr<char[]> out(new char[size]);
        EXPECT_EQ(formatCanSettings(settings, out.get(), size), line.size());
        if (size > 0) {
            EXPECT_EQ(std::string(out.get()), line.substr(0, size - 1)) << size;
        }
    }
}

TEST(CanSettings, AskingTheKernel) {
    CanSettings settings;
    ASSERT_TRUE(readCanSettings(static_cast<int>(if_nametoindex("lo")), &settings))
        << strerror(errno);
    EXPECT_TRUE(settings.replyWhole && settings.up && settings.kindKnown && settings.mtuKnown);
    EXPECT_EQ(summaryOf(settings),
              "can0: not a CAN controller: no bit timing and no controller state");
    // The kernel answers NLMSG_ERROR for an index it does not know: nothing read before stays.
    errno = 0;
    EXPECT_FALSE(readCanSettings(INT_MAX, &settings));
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(factsOf(settings), "");
    EXPECT_EQ(summaryOf(settings), unread);
}

} // namespace
