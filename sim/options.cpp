#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace sim {

namespace {

bool parseNumber(const std::string &text, uint64_t low, uint64_t high, uint64_t &value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    value = parsed;
    return true;
}

struct Setter {
    bool takesValue;
    std::function<bool(const std::string &)> apply;
};

template <typename T> Setter number(T &field, uint64_t low, uint64_t high) {
    return {true, [&field, low, high](const std::string &text) {
                uint64_t value = 0;
                if (!parseNumber(text, low, high, value)) {
                    return false;
                }
                field = static_cast<T>(value);
                return true;
            }};
}

Setter flag(bool &field, bool value) {
    return {false, [&field, value](const std::string &) {
                field = value;
                return true;
            }};
}

Setter text(std::string &field) {
    return {true, [&field](const std::string &value) {
                field = value;
                return !value.empty();
            }};
}

} // namespace

ParsedOptions parseOptions(const std::vector<std::string> &args) {
    ParsedOptions result;
    Options &o = result.options;
    constexpr uint64_t kDay = 86'400'000;
    const std::map<std::string, Setter> setters = {
        {"--interface", text(o.interface)},
        {"--image", text(o.imagePath)},
        {"--announce-interval", number(o.announceIntervalMs, 1, kDay)},
        {"--no-announce", flag(o.announce, false)},
        {"--second-announce", flag(o.secondAnnounce, true)},
        {"--erase-ms", number(o.eraseMs, 0, kDay)},
        {"--chunk", number(o.chunkSize, 1, 0xFFFFFF)},
        {"--order", {true, [&o](const std::string &v) { return parseChunkOrder(v, o.order); }}},
        {"--seed", number(o.seed, 0, 0xFFFFFFFF)},
        {"--repeat", number(o.repeat, 0, 1000)},
        {"--chunk-timeout-ms", number(o.chunkTimeoutMs, 1, kDay)},
        {"--retries", number(o.retries, 0, 1000)},
        {"--noise", flag(o.noise, true)},
        {"--fd-requests", flag(o.fdRequests, true)},
        {"--brs-requests", flag(o.brsRequests, true)},
        {"--ignored-requests", flag(o.ignoredRequests, true)},
        {"--ignore-window-ms", number(o.ignoreWindowMs, 1, kDay)},
        {"--linger-ms", number(o.lingerMs, 0, kDay)},
        {"--quiet", flag(o.quiet, true)},
        {"--stats", flag(o.stats, true)},
        {"--timeout-s", number(o.timeoutS, 1, 86'400)},
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        // Both programs of the package answer -h, --help and --version alike.
        if (arg == "--help" || arg == "-h") {
            result.help = true;
            return result;
        }
        if (arg == "--version") {
            result.version = true;
            return result;
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const auto setter = setters.find(name);
        if (setter == setters.end()) {
            result.error = "unknown option '" + arg + "'";
            return result;
        }
        std::string value;
        if (setter->second.takesValue) {
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                result.error = "option " + name + " needs a value";
                return result;
            }
        } else if (equals != std::string::npos) {
            result.error = "option " + name + " takes no value";
            return result;
        }
        if (!setter->second.apply(value)) {
            result.error = "invalid value '" + value + "' for " + name;
            return result;
        }
    }
    if (o.imagePath.empty()) {
        result.error = "--image PATH is required";
    } else if (!o.announce && o.secondAnnounce) {
        result.error = "--second-announce needs the announcing board; drop --no-announce";
    }
    return result;
}

std::string usageText(const std::string &program) {
    return "Usage: " + program +
           " --image PATH [options]\n"
           R"(
Plays board 121 on a CAN FD interface for the flasher and checks every frame it sends:
announces itself, takes the order to update, then requests the image block by block and
compares what arrives with PATH.

  --interface NAME         CAN interface (default can0)
  --image PATH             the image the flasher is expected to send (required)
  --announce-interval MS   announce every MS until activated (default 200)
  --no-announce            recovery mode: start in the bootloader; any activation is an error
  --second-announce        announce once more after activation; an answer is an error
  --erase-ms MS            simulated flash erase after activation (default 300)
  --chunk BYTES            bytes asked for per block request (default 512)
  --order ORDER            sequential, reverse or random; the chunk holding the image's end
                           is always requested last (default sequential)
  --seed N                 seed for --order random (default 1)
  --repeat N               ask N more times for the first, middle and second-to-last
                           requested chunks, right after they arrive (default 0)
  --chunk-timeout-ms MS    an answer that brings no block for MS is over, complete or not
                           (default 2000)
  --retries N              re-requests in a row that bring no new byte before giving up
                           (default 5); only blocks lost at the sim's own receiver are
                           asked for again
  --noise                  put frames of other nodes on the bus between the requests
  --fd-requests            send requests as 64-byte CAN FD frames with the board type text,
                           without the bit-rate switch
  --brs-requests           the same with the bit-rate switch set (implies --fd-requests)
  --ignored-requests       also send requests the flasher must not answer (bootloader
                           version 1, offsets at and past the end) and watch for answers
  --ignore-window-ms MS    how long to watch for such answers (default 800)
  --linger-ms MS           keep listening after the last byte for stray frames (default 100)
  --quiet                  no per-frame log lines
  --stats                  print transfer time and frame rate at the end
  --timeout-s S            give up after S seconds in all (default 60)
  -h, --help               this text
  --version                print "canfd-board-sim" and the version

Every block must carry the bit-rate switch exactly when the request it answers did. Its
length byte may be 8 + dataLength or the CAN FD length a controller rounds that up to.
A block missing from an answer is asked for again only when the interface's receive error or
overrun counter, or the sim's own socket, counted a lost frame since the request; otherwise
the flasher left it out, and the sim fails naming it.

Once the command line is understood the sim ends with one line starting "PASS:" or "FAIL:".
A usage error only prints its reason on standard error and exits with status 3.
Exit status: 0 image received byte-exact, 1 protocol or image mismatch, 2 timeout or a
block that never came, 3 usage or system error.
)";
}

std::string versionText() {
    return std::string("canfd-board-sim ") + CANFD_FLASH_VERSION + "\n";
}

} // namespace sim
