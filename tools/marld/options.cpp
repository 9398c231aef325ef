#include "options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <charconv>
#include <cstdint>
#include <limits>

namespace marld {

namespace {

// Written so that NaN, which compares false with everything, fails too.
template <typename Number>
std::optional<Number> parseNumber(std::string_view text, Number low, Number high)
{
    Number value{};
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value);
    if (text.empty() || failure != std::errc() || stop != end || !(value >= low && value <= high)) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint32_t> parseAddress(std::string_view text)
{
    in_addr address{};
    if (inet_pton(AF_INET, std::string(text).c_str(), &address) != 1) {
        return std::nullopt;
    }
    return ntohl(address.s_addr);
}

} // namespace

std::string_view usageText()
{
    return "Usage: marld [OPTION]...\n"
           "The point service: keeps the state of every point that clients raise and\n"
           "clear over UDP and answers their queries.\n"
           "\n"
           "  --port N        listen on UDP port N (0: a port of the kernel's choosing);\n"
           "                  default: the port of the \"marl\" entry of the services database\n"
           "  --bind ADDR     listen on the IPv4 address ADDR (default 127.0.0.1)\n"
           "  --points FILE   accept only the point names in FILE, one per line\n"
           "  --state FILE    keep every point's state in FILE, an SQLite database,\n"
           "                  and take it up again at start; created if missing\n"
           "  --http [ADDR:]PORT  serve the points, their history, metrics and a status\n"
           "                  page over HTTP on PORT (0: the kernel's choice) of ADDR\n"
           "                  (default 127.0.0.1)\n"
           "  --json          print JSON Lines instead of text\n"
           "  --rcvbuf BYTES  size of the socket's receive buffer (SO_RCVBUF); the kernel\n"
           "                  caps it at net.core.rmem_max and doubles it\n"
           "  --max-points N  keep at most N points (default 65536); updates of further\n"
           "                  new points are dropped as store-full\n"
           "  --recv-batch N  take up to N datagrams per receive call (default 32, at\n"
           "                  most 1024; 1 receives one at a time)\n"
           "  --quiet         print no line per update or query; drops, the listening\n"
           "                  line and the counters are still printed\n"
           "  -h, --help      show this help and exit\n"
           "  -V, --version   show the version and exit\n"
           "\n"
           "Test aids, for trying an application's own handling of lost updates and odd\n"
           "replies; each is counted on exit:\n"
           "  --drop-updates P\n"
           "                  withhold a fraction P (0 to 1) of the acceptable updates\n"
           "                  from the store, picked at random; counted as withheld, not\n"
           "                  as dropped\n"
           "  --seed N        seed of that pick (default 1): the same seed and the same\n"
           "                  updates withhold the same ones on every machine\n"
           "  --reply-delay MS\n"
           "                  answer each query MS milliseconds late (at most 3600000);\n"
           "                  up to 4096 replies wait, further ones are dropped, and those\n"
           "                  still waiting at the stop are discarded\n"
           "  --reply-code N  answer every query with return code N (0 to 4294967295),\n"
           "                  still with the point's state\n"
           "\n"
           "Options may be abbreviated where that is unambiguous; -- ends them.\n"
           "The first line on stdout tells where marld listens. SIGINT or SIGTERM stops\n"
           "it; it then prints its counters and exits 0. Bad options, or a port that\n"
           "cannot be known or bound, or a state file that is not marld's, is damaged or\n"
           "is in use, make it exit 2.\n";
}

std::optional<Options> parseOptions(int argc, char** argv, std::string& error)
{
    enum { kPort = 256, kBind, kPoints, kJson, kRcvbuf, kMaxPoints, kRecvBatch, kQuiet, kState, kHttp, kDropUpdates, kSeed,
           kReplyDelay, kReplyCode };
    static const option longOptions[] = {
        {"port", required_argument, nullptr, kPort},
        {"bind", required_argument, nullptr, kBind},
        {"points", required_argument, nullptr, kPoints},
        {"json", no_argument, nullptr, kJson},
        {"rcvbuf", required_argument, nullptr, kRcvbuf},
        {"max-points", required_argument, nullptr, kMaxPoints},
        {"recv-batch", required_argument, nullptr, kRecvBatch},
        {"quiet", no_argument, nullptr, kQuiet},
        {"state", required_argument, nullptr, kState},
        {"http", required_argument, nullptr, kHttp},
        {"drop-updates", required_argument, nullptr, kDropUpdates},
        {"seed", required_argument, nullptr, kSeed},
        {"reply-delay", required_argument, nullptr, kReplyDelay},
        {"reply-code", required_argument, nullptr, kReplyCode},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    optind = 1;
    opterr = 0; // its messages name the path marld was started by
    int index = -1;
    for (int option; (option = getopt_long(argc, argv, ":hV", longOptions, &index)) != -1; index = -1) {
        const std::string name = index >= 0 ? std::string("--") + longOptions[index].name : argv[optind - 1];
        const std::string_view value = optarg != nullptr ? optarg : "";
        const auto invalid = [&](std::string_view what) {
            error = "invalid value for " + name + ": \"" + std::string(value) + "\" (" + std::string(what) +
                    ")";
            return std::nullopt;
        };
        switch (option) {
        case 'h':
            options.help = true;
            break;
        case 'V':
            options.version = true;
            break;
        case kQuiet:
            options.server.quiet = true;
            break;
        case kJson:
            options.server.format = OutputFormat::json;
            break;
        case kPort:
            if (const auto port = parseNumber<std::uint16_t>(value, 0, 65535)) {
                options.server.bindTo.port = *port;
                options.portGiven = true;
                break;
            }
            return invalid("a port number from 0 to 65535");
        case kBind:
            if (const auto address = parseAddress(value)) {
                options.server.bindTo.address = *address;
                break;
            }
            return invalid("an IPv4 address in dotted-quad form");
        case kPoints:
            if (value.empty()) {
                return invalid("a file name");
            }
            options.pointsFile = std::string(value);
            break;
        case kHttp: {
            // [ADDR:]PORT; loopback unless an address is given.
            const std::size_t colon = value.rfind(':');
            const auto address = colon == std::string_view::npos ? std::optional<std::uint32_t>(0x7F000001)
                                                                   : parseAddress(value.substr(0, colon));
            const auto port = parseNumber<std::uint16_t>(
                colon == std::string_view::npos ? value : value.substr(colon + 1), 0, 65535);
            if (!address || !port) {
                return invalid("[ADDR:]PORT, an IPv4 address and a port from 0 to 65535");
            }
            options.http = Endpoint{*address, *port};
            break;
        }
        case kState:
            if (value.empty()) {
                return invalid("a file name");
            }
            options.stateFile = std::string(value);
            break;
        case kRcvbuf:
            // The kernel doubles the value it is given; keep that within an int.
            options.server.receiveBuffer = parseNumber<int>(value, 1, std::numeric_limits<int>::max() / 2);
            if (!options.server.receiveBuffer) {
                return invalid("a positive number of bytes");
            }
            break;
        case kMaxPoints:
            if (const auto maxPoints = parseNumber<std::size_t>(value, 1, SIZE_MAX)) {
                options.maxPoints = *maxPoints;
                break;
            }
            return invalid("a positive number of points");
        case kRecvBatch:
            if (const auto batch = parseNumber<int>(value, 1, kMaxReceiveBatch)) {
                options.server.receiveBatch = *batch;
                break;
            }
            return invalid("a number of datagrams from 1 to 1024");
        case kDropUpdates:
            if (const auto fraction = parseNumber<double>(value, 0, 1)) {
                options.server.testAids.dropUpdates = *fraction;
                break;
            }
            return invalid("a fraction from 0 to 1");
        case kSeed:
            if (const auto seed = parseNumber<std::uint64_t>(value, 0, UINT64_MAX)) {
                options.server.testAids.seed = *seed;
                break;
            }
            return invalid("a number from 0 to 18446744073709551615");
        case kReplyDelay:
            if (const auto delay = parseNumber<std::int64_t>(value, 0, kMaxReplyDelay.count())) {
                options.server.replyDelay = std::chrono::milliseconds(*delay);
                break;
            }
            return invalid("a number of milliseconds from 0 to 3600000");
        case kReplyCode:
            if (const auto code = parseNumber<std::uint32_t>(value, 0, UINT32_MAX)) {
                options.server.testAids.replyCode = *code;
                break;
            }
            return invalid("a return code from 0 to 4294967295");
        case ':':
            error = "option " + name + " needs a value";
            return std::nullopt;
        default: // '?': unknown or ambiguous, or a value given to an option that takes none
            const bool valueGiven = optopt != 0 && name.starts_with("--");
            error = valueGiven ? "option " + name.substr(0, name.find('=')) + " takes no value"
                               : "unknown or ambiguous option " + name;
            return std::nullopt;
        }
    }
    if (optind < argc) {
        error = std::string("unexpected argument ") + argv[optind];
        return std::nullopt;
    }
    return options;
}

} // namespace marld
