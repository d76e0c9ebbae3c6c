#include "can_settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/if.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

// A CAN link's reply is about 1 KiB; a bigger one is parsed as far as this holds it.
static uint8_t replyBuffer[8192];

// Below this many frames a burst of blocks fills can0's transmit queue at once (the drivers'
// default is 10), so the summary names it; a longer queue is left out to keep the line short.
static const uint32_t shortTransmitQueue = 32;

// The attributes of one nesting level, walked without reading past its end.
struct AttributeWalk {
    const uint8_t *next;
    size_t left;
    bool broken; // an attribute ran past the end: it was cut, whatever followed it is lost
};

struct Attribute {
    uint16_t type; // without the nesting and byte-order flags
    const uint8_t *payload;
    size_t length;
};

static AttributeWalk walkAttributes(const uint8_t *start, size_t length) {
    AttributeWalk walk;
    walk.next = start;
    walk.left = length;
    walk.broken = false;
    return walk;
}

// An attribute that runs past the end comes last, cut to what is there: a nested one may still
// hold whole attributes, and a value too short for its type is not read.
static bool nextAttribute(AttributeWalk *walk, Attribute *attribute) {
    rtattr header;
    if (walk->left < sizeof(header)) {
        return false;
    }
    memcpy(&header, walk->next, sizeof(header));
    if (header.rta_len < sizeof(header)) {
        walk->broken = true;
        return false;
    }
    size_t length = header.rta_len;
    if (length > walk->left) {
        walk->broken = true;
        length = walk->left;
    }
    attribute->type = static_cast<uint16_t>(header.rta_type & NLA_TYPE_MASK);
    attribute->payload = walk->next + sizeof(header);
    attribute->length = length - sizeof(header);
    // The padding after the last attribute may be missing.
    size_t step = RTA_ALIGN(length);
    if (step > walk->left) {
        step = walk->left;
    }
    walk->next += step;
    walk->left -= step;
    return true;
}

// An attribute shorter than the value it should hold leaves the value unknown.
static bool readValue(const Attribute &attribute, void *value, size_t size) {
    if (attribute.length < size) {
        return false;
    }
    memcpy(value, attribute.payload, size);
    return true;
}

static void readBitTiming(const Attribute &attribute, CanBitTiming *timing) {
    can_bittiming bitTiming;
    // A controller never set up may send its bit timing all zero.
    if (readValue(attribute, &bitTiming, sizeof(bitTiming)) && bitTiming.bitrate != 0) {
        timing->known = true;
        timing->bitRate = bitTiming.bitrate;
        timing->samplePoint = bitTiming.sample_point;
    }
}

// Returns false when an attribute in it was cut short.
static bool readCanData(const Attribute &data, CanSettings *settings) {
    AttributeWalk walk = walkAttributes(data.payload, data.length);
    Attribute attribute;
    while (nextAttribute(&walk, &attribute)) {
        switch (attribute.type) {
        case IFLA_CAN_BITTIMING:
            readBitTiming(attribute, &settings->bitTiming);
            break;
        case IFLA_CAN_DATA_BITTIMING:
            readBitTiming(attribute, &settings->dataBitTiming);
            break;
        case IFLA_CAN_CTRLMODE: {
            can_ctrlmode mode;
            if (readValue(attribute, &mode, sizeof(mode))) {
                settings->controlModeKnown = true;
                settings->controlMode = mode.flags;
            }
            break;
        }
        case IFLA_CAN_STATE: {
            uint32_t state = 0;
            if (readValue(attribute, &state, sizeof(state)) && state < CAN_STATE_MAX) {
                settings->stateKnown = true;
                settings->state = state;
            }
            break;
        }
        case IFLA_CAN_RESTART_MS:
            settings->restartMillisecondsKnown = readValue(
                attribute, &settings->restartMilliseconds, sizeof(settings->restartMilliseconds));
            break;
        case IFLA_CAN_BERR_COUNTER: {
            can_berr_counter counters;
            if (readValue(attribute, &counters, sizeof(counters))) {
                settings->errorCountersKnown = true;
                settings->transmitErrors = counters.txerr;
                settings->receiveErrors = counters.rxerr;
            }
            break;
        }
        default:
            break;
        }
    }
    return !walk.broken;
}

// The kernel ends the name with a NUL; one without it was cut short.
static void readKind(const Attribute &attribute, CanSettings *settings) {
    if (memchr(attribute.payload, 0, attribute.length) == nullptr) {
        return;
    }
    size_t length = 0;
    while (length + 1 < sizeof(settings->kindName) && attribute.payload[length] != 0) {
        settings->kindName[length] = static_cast<char>(attribute.payload[length]);
        length++;
    }
    settings->kindName[length] = '\0';
    settings->kindKnown = true;
    if (strcmp(settings->kindName, "can") == 0) {
        settings->kind = canController;
    } else if (strcmp(settings->kindName, "vcan") == 0) {
        settings->kind = virtualCan;
    } else {
        settings->kind = otherKind;
    }
}

// What IFLA_INFO_DATA and IFLA_INFO_XSTATS hold depends on the kind, which may come after them.
// Returns false when an attribute in it was cut short.
static bool readLinkInfo(const Attribute &linkInfo, CanSettings *settings) {
    AttributeWalk walk = walkAttributes(linkInfo.payload, linkInfo.length);
    Attribute attribute;
    Attribute data = {0, nullptr, 0};
    Attribute stats = {0, nullptr, 0};
    while (nextAttribute(&walk, &attribute)) {
        if (attribute.type == IFLA_INFO_KIND) {
            readKind(attribute, settings);
        } else if (attribute.type == IFLA_INFO_DATA) {
            data = attribute;
        } else if (attribute.type == IFLA_INFO_XSTATS) {
            stats = attribute;
        }
    }
    bool dataWhole = true;
    if (settings->kindKnown && settings->kind == canController) {
        dataWhole = readCanData(data, settings);
        settings->deviceStatsKnown =
            readValue(stats, &settings->deviceStats, sizeof(settings->deviceStats));
    }
    return !walk.broken && dataWhole;
}

bool parseLinkReply(const uint8_t *reply, size_t size, CanSettings *settings) {
    memset(settings, 0, sizeof(*settings));
    const size_t attributesStart = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifinfomsg));
    nlmsghdr header;
    if (size < attributesStart) {
        return false;
    }
    memcpy(&header, reply, sizeof(header));
    if (header.nlmsg_type != RTM_NEWLINK || header.nlmsg_len < attributesStart) {
        return false;
    }
    ifinfomsg link;
    memcpy(&link, reply + NLMSG_HDRLEN, sizeof(link));
    settings->linkKnown = true;
    settings->up = (link.ifi_flags & IFF_UP) != 0;
    settings->running = (link.ifi_flags & IFF_RUNNING) != 0;
    settings->echo = (link.ifi_flags & IFF_ECHO) != 0;

    const bool cut = header.nlmsg_len > size;
    const size_t end = cut ? size : header.nlmsg_len;
    AttributeWalk walk = walkAttributes(reply + attributesStart, end - attributesStart);
    bool linkInfoWhole = true;
    Attribute attribute;
    while (nextAttribute(&walk, &attribute)) {
        switch (attribute.type) {
        case IFLA_MTU:
            settings->mtuKnown = readValue(attribute, &settings->mtu, sizeof(settings->mtu));
            break;
        case IFLA_TXQLEN:
            settings->transmitQueueLengthKnown = readValue(
                attribute, &settings->transmitQueueLength, sizeof(settings->transmitQueueLength));
            break;
        case IFLA_OPERSTATE:
            settings->operStateKnown =
                readValue(attribute, &settings->operState, sizeof(settings->operState));
            break;
        case IFLA_LINKINFO:
            linkInfoWhole = readLinkInfo(attribute, settings);
            break;
        default:
            break;
        }
    }
    settings->replyWhole = !cut && !walk.broken && linkInfoWhole;
    // Only a reply read to its end tells that it named no kind.
    if (!settings->kindKnown && settings->replyWhole) {
        settings->kindKnown = true;
        settings->kind = otherKind;
    }
    return true;
}

// Connected to the kernel (port 0), the socket takes no message from any other sender.
static ssize_t askForLink(int s, int interfaceIndex) {
    timeval wait = {1, 0};
    sockaddr_nl kernel;
    memset(&kernel, 0, sizeof(kernel));
    kernel.nl_family = AF_NETLINK;
    struct {
        nlmsghdr header;
        ifinfomsg link;
    } request;
    memset(&request, 0, sizeof(request));
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(request.link));
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.link.ifi_family = AF_UNSPEC;
    request.link.ifi_index = interfaceIndex;
    if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait)) < 0 ||
        connect(s, reinterpret_cast<const sockaddr *>(&kernel), sizeof(kernel)) < 0 ||
        send(s, &request, sizeof(request), 0) < 0) {
        return -1;
    }
    ssize_t received;
    do {
        // MSG_TRUNC: the reply's whole size, even when the buffer held less of it.
        received = recv(s, replyBuffer, sizeof(replyBuffer), MSG_TRUNC);
    } while (received < 0 && errno == EINTR);
    return received;
}

// The errno for a reply that is not a link's: the kernel's own when it refused the request.
static int refusal(const uint8_t *reply, size_t size) {
    nlmsghdr header;
    int error = 0;
    if (size < NLMSG_HDRLEN + sizeof(error)) {
        return EPROTO;
    }
    memcpy(&header, reply, sizeof(header));
    memcpy(&error, reply + NLMSG_HDRLEN, sizeof(error));
    return header.nlmsg_type == NLMSG_ERROR && error < 0 ? -error : EPROTO;
}

bool readCanSettings(int interfaceIndex, CanSettings *settings) {
    memset(settings, 0, sizeof(*settings));
    int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (s < 0) {
        return false;
    }
    ssize_t received = askForLink(s, interfaceIndex);
    int failure = errno;
    close(s);
    if (received < 0) {
        errno = failure;
        return false;
    }
    size_t size = static_cast<size_t>(received);
    if (size > sizeof(replyBuffer)) {
        size = sizeof(replyBuffer);
    }
    if (!parseLinkReply(replyBuffer, size, settings)) {
        errno = refusal(replyBuffer, size);
        return false;
    }
    return true;
}

// The summary as far as it fits in out; length counts the whole of it.
struct Line {
    char *out;
    size_t size;
    size_t length;
};

static void append(Line *line, const char *text) {
    size_t textLength = strlen(text);
    if (line->length + 1 < line->size) {
        size_t room = line->size - line->length - 1;
        size_t copied = textLength < room ? textLength : room;
        memcpy(line->out + line->length, text, copied);
        line->out[line->length + copied] = '\0';
    }
    line->length += textLength;
}

static void appendNumber(Line *line, uint32_t value) {
    char text[16];
    snprintf(text, sizeof(text), "%u", static_cast<unsigned>(value));
    append(line, text);
}

// Exact: 83333 bit/s is "83.333 kbit/s", 1000000 is "1000 kbit/s".
static void appendBitRate(Line *line, uint32_t bitRate) {
    char text[32];
    unsigned whole = bitRate / 1000;
    unsigned fraction = bitRate % 1000;
    if (fraction == 0) {
        snprintf(text, sizeof(text), "%u kbit/s", whole);
    } else {
        int digits = 3;
        while (fraction % 10 == 0) {
            fraction /= 10;
            digits--;
        }
        snprintf(text, sizeof(text), "%u.%0*u kbit/s", whole, digits, fraction);
    }
    append(line, text);
}

static void appendSamplePoint(Line *line, uint32_t tenths) {
    char text[24];
    snprintf(text, sizeof(text), "%u.%u %%", static_cast<unsigned>(tenths / 10),
             static_cast<unsigned>(tenths % 10));
    append(line, text);
}

static void appendBitRates(Line *line, const CanSettings &settings) {
    const CanBitTiming &nominal = settings.bitTiming;
    const CanBitTiming &data = settings.dataBitTiming;
    if (!nominal.known) {
        append(line, "no bit rate set");
        return;
    }
    appendBitRate(line, nominal.bitRate);
    if (!data.known) {
        append(line, " (sample point ");
        appendSamplePoint(line, nominal.samplePoint);
        append(line, "), no data bit rate");
        return;
    }
    append(line, ", data ");
    appendBitRate(line, data.bitRate);
    append(line, " (sample points ");
    appendSamplePoint(line, nominal.samplePoint);
    append(line, ", ");
    appendSamplePoint(line, data.samplePoint);
    append(line, ")");
}

static const char *stateText(const CanSettings &settings) {
    if (!settings.stateKnown) {
        return "state not reported";
    }
    switch (settings.state) {
    case CAN_STATE_ERROR_ACTIVE:
        return "error-active";
    case CAN_STATE_ERROR_WARNING:
        return "error-warning";
    case CAN_STATE_ERROR_PASSIVE:
        return "error-passive";
    case CAN_STATE_BUS_OFF:
        return "bus-off";
    case CAN_STATE_STOPPED:
        // A real controller that is up reports error-active or worse; emulated ones stay
        // STOPPED while they carry frames, so that says nothing about the bus.
        return settings.up ? "state not reported" : "stopped";
    case CAN_STATE_SLEEPING:
        return "sleeping";
    default:
        return "state not reported";
    }
}

struct ModeName {
    uint32_t flag;
    const char *name;
};

// The modes that change what can0 does on the bus, named as "ip link" names them.
static const ModeName busModes[] = {
    {CAN_CTRLMODE_LISTENONLY, "listen-only"}, {CAN_CTRLMODE_LOOPBACK, "loopback"},
    {CAN_CTRLMODE_ONE_SHOT, "one-shot"},      {CAN_CTRLMODE_PRESUME_ACK, "presume-ack"},
    {CAN_CTRLMODE_FD_NON_ISO, "fd-non-iso"},
};

static void appendController(Line *line, const CanSettings &settings) {
    append(line, "can0: ");
    appendBitRates(line, settings);
    append(line, ", ");
    append(line, stateText(settings));
    if (settings.errorCountersKnown) {
        append(line, ", transmit errors ");
        appendNumber(line, settings.transmitErrors);
        append(line, ", receive errors ");
        appendNumber(line, settings.receiveErrors);
    }
    if (settings.restartMillisecondsKnown) {
        append(line, ", restart-ms ");
        appendNumber(line, settings.restartMilliseconds);
    }
    for (const ModeName &mode : busModes) {
        if (settings.controlModeKnown && (settings.controlMode & mode.flag) != 0) {
            append(line, ", ");
            append(line, mode.name);
        }
    }
    if (settings.transmitQueueLengthKnown && settings.transmitQueueLength < shortTransmitQueue) {
        append(line, ", txqueuelen ");
        appendNumber(line, settings.transmitQueueLength);
    }
    // What the line calls missing may then only be unread.
    if (!settings.replyWhole) {
        append(line, " (the kernel's reply was cut short: the rest is unread)");
    }
}

size_t formatCanSettings(const CanSettings &settings, char *out, size_t size) {
    Line line = {out, size, 0};
    if (size > 0) {
        out[0] = '\0';
    }
    if (!settings.linkKnown || !settings.kindKnown) {
        append(&line, "can0: its CAN settings could not be read");
    } else if (settings.kind == virtualCan) {
        append(&line,
               "can0: a virtual CAN interface (vcan): no bit timing and no controller state");
    } else if (settings.kind == otherKind && settings.kindName[0] != '\0') {
        append(&line, "can0: not a CAN controller but a ");
        append(&line, settings.kindName);
        append(&line, " interface: no bit timing and no controller state");
    } else if (settings.kind == otherKind) {
        append(&line, "can0: not a CAN controller: no bit timing and no controller state");
    } else {
        appendController(&line, settings);
    }
    return line.length;
}
