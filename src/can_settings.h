// What the kernel tells of can0 as a CAN interface, asked over rtnetlink: its kind, bit rates,
// modes, controller state and error counters. Nothing is reported from here; the caller decides
// what each fact means for an upload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/can/netlink.h>

enum CanInterfaceKind : uint8_t {
    canController, // IFLA_INFO_KIND "can": a controller with bit timing and a state
    virtualCan,    // "vcan": frames go round in the kernel, no controller, no wire
    otherKind,     // any other kind (vxcan, ...), or none given
};

struct CanBitTiming {
    bool known;           // false too when the kernel sends a bit rate of 0: never set
    uint32_t bitRate;     // bits per second
    uint32_t samplePoint; // tenths of a percent: 875 is 87.5 %
};

// Each fact comes with its own flag: a reply that lacks it, or was cut short before it, leaves
// it unknown. CAN facts are taken only from an interface of the kind "can".
struct CanSettings {
    bool replyWhole; // read to its end: a fact still unknown is not in the reply at all
    bool linkKnown;  // the reply held the link's flags
    bool up;         // IFF_UP
    bool running;    // IFF_RUNNING: up and with a carrier
    bool echo;       // IFF_ECHO: the driver hands each frame back once its controller sent it
    bool kindKnown;
    CanInterfaceKind kind;
    char kindName[16]; // IFLA_INFO_KIND as sent (cut to fit), "" when none
    bool mtuKnown;
    uint32_t mtu;
    bool transmitQueueLengthKnown;
    uint32_t transmitQueueLength;
    bool operStateKnown;
    uint8_t operState; // IF_OPER_*
    CanBitTiming bitTiming;
    CanBitTiming dataBitTiming; // present once a data bit rate is set (CAN FD)
    bool controlModeKnown;
    uint32_t controlMode; // CAN_CTRLMODE_* flags that are on
    bool stateKnown;
    uint32_t state; // enum can_state, below CAN_STATE_MAX
    bool restartMillisecondsKnown;
    uint32_t restartMilliseconds; // 0: no restart after bus-off but by hand
    bool errorCountersKnown;      // only where the driver can read its controller's counters
    uint16_t transmitErrors;
    uint16_t receiveErrors;
    bool deviceStatsKnown;
    can_device_stats deviceStats; // events counted by the driver: bus-off, restarts, ...
};

// Reads one reply to RTM_GETLINK (a netlink message: nlmsghdr, ifinfomsg, attributes) of size
// bytes into settings. Every length in it is checked against size; a reply cut short yields
// what it holds whole. Returns false, with every fact unknown, for an NLMSG_ERROR reply or any
// other message that is not a whole RTM_NEWLINK header.
bool parseLinkReply(const uint8_t *reply, size_t size, CanSettings *settings);

// Asks the kernel about the interface with this index and parses its answer, waiting about a
// second at most. Returns false with errno set when the kernel could not be asked or refused
// (ENODEV: no such interface), or EPROTO for an answer that is not a link's.
bool readCanSettings(int interfaceIndex, CanSettings *settings);

// Writes a one-line summary of settings (no newline) into out, which always ends with a NUL
// when size > 0, and returns the length of the whole line, as snprintf does: a result of size
// or more means the line was cut.
size_t formatCanSettings(const CanSettings &settings, char *out, size_t size);
