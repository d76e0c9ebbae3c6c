#include "capture_log.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace e2e {

namespace {

[[noreturn]] void bad(size_t line, const std::string &why) {
    throw std::runtime_error("capture line " + std::to_string(line) + ": " + why);
}

uint8_t hexByte(const std::string &text, size_t at, size_t line) {
    unsigned value = 0;
    for (size_t i = at; i < at + 2; ++i) {
        const char c = text[i];
        value <<= 4;
        if (c >= '0' && c <= '9') {
            value |= static_cast<unsigned>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            value |= static_cast<unsigned>(c - 'A' + 10);
        } else {
            bad(line, "bad hex digit '" + std::string(1, c) + "'");
        }
    }
    return static_cast<uint8_t>(value);
}

void parseEnd(const std::string &text, CaptureLog &log, size_t line) {
    unsigned long frames = 0;
    unsigned long dropped = 0;
    if (std::sscanf(text.c_str(), "# end frames=%lu dropped=%lu", &frames, &dropped) != 2) {
        bad(line, "malformed end line");
    }
    if (frames != log.frames.size()) {
        bad(line, "end line counts " + std::to_string(frames) + " frames, the file holds " +
                      std::to_string(log.frames.size()));
    }
    log.ended = true;
    log.dropped = dropped;
}

CapturedFrame parseFrame(const std::string &text, size_t line) {
    std::istringstream fields(text);
    std::string time, kind, id, flags, data;
    unsigned len = 0;
    if (!(fields >> time >> kind >> id >> flags >> len)) {
        bad(line, "expected <time> <C|F> <id> <flags> <len> [data]");
    }
    fields >> data;
    std::string rest;
    if (fields >> rest) {
        bad(line, "unexpected text after the data");
    }
    CapturedFrame frame;
    frame.line = line;
    try {
        size_t used = 0;
        frame.time = std::stod(time, &used);
        if (used != time.size()) {
            bad(line, "bad time '" + time + "'");
        }
    } catch (const std::logic_error &) {
        bad(line, "bad time '" + time + "'");
    }
    if (kind != "C" && kind != "F") {
        bad(line, "record kind '" + kind + "' is neither C nor F");
    }
    frame.fd = kind == "F";
    if (id.size() != 8 || flags.size() != 2) {
        bad(line, "identifier needs 8 hex digits and flags 2");
    }
    for (size_t i = 0; i < 8; i += 2) {
        frame.canId = frame.canId << 8 | hexByte(id, i, line);
    }
    frame.flags = hexByte(flags, 0, line);
    if (len > (frame.fd ? 64u : 8u)) {
        bad(line, "length " + std::to_string(len) + " too large for the record");
    }
    if (data.size() != 2 * len) {
        bad(line, "length " + std::to_string(len) + " but " + std::to_string(data.size() / 2) +
                      " data bytes");
    }
    for (size_t i = 0; i < len; ++i) {
        frame.data.push_back(hexByte(data, 2 * i, line));
    }
    return frame;
}

} // namespace

CaptureLog parseCapture(std::istream &in) {
    CaptureLog log;
    std::string text;
    size_t line = 0;
    while (std::getline(in, text)) {
        ++line;
        if (log.ended) {
            bad(line, "text after the end line");
        }
        if (text.rfind("# end ", 0) == 0) {
            parseEnd(text, log, line);
        } else if (text.rfind("# e2e-capture ", 0) == 0) {
            continue; // the header
        } else if (!text.empty() && text[0] == '#') {
            log.notes.push_back(text);
        } else {
            log.frames.push_back(parseFrame(text, line));
        }
    }
    return log;
}

std::string hexBytes(const std::vector<uint8_t> &bytes) {
    std::string out;
    char pair[4];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%s%02X", out.empty() ? "" : " ", b);
        out += pair;
    }
    return out;
}

} // namespace e2e
