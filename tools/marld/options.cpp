#include "options.h"

#include <arpa/inet.h>

#include <charconv>
#include <limits>

namespace marld {

namespace {

template <typename Number>
std::optional<Number> parseNumber(std::string_view text, Number low, Number high)
{
    Number value{};
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value);
    if (text.empty() || failure != std::errc() || stop != end || value < low || value > high) {
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
           "  --json          print JSON Lines instead of text\n"
           "  --rcvbuf BYTES  size of the socket's receive buffer (SO_RCVBUF); the kernel\n"
           "                  caps it at net.core.rmem_max and doubles it\n"
           "  --max-points N  keep at most N points (default 65536); updates of further\n"
           "                  new points are dropped as store-full\n"
           "  --recv-batch N  take up to N datagrams per receive call (default 32, at\n"
           "                  most 1024; 1 receives one at a time)\n"
           "  --quiet         print no line per update or query; drops, the listening\n"
           "                  line and the counters are still printed\n"
           "  --help          show this help and exit\n"
           "  --version       show the version and exit\n"
           "\n"
           "The first line on stdout tells where marld listens. SIGINT or SIGTERM stops\n"
           "it; it then prints its counters and exits 0. Bad options, or a port that\n"
           "cannot be known or bound, make it exit 2.\n";
}

std::optional<Options> parseOptions(const std::vector<std::string_view>& arguments, std::string& error)
{
    Options options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string_view name = arguments[i];
        std::optional<std::string_view> inlineValue;
        if (const auto equals = name.find('='); name.starts_with("--") && equals != std::string_view::npos) {
            inlineValue = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        const bool takesValue = name == "--port" || name == "--bind" || name == "--points" || name == "--rcvbuf" ||
                                name == "--max-points" || name == "--recv-batch";
        std::string_view value;
        if (takesValue) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < arguments.size()) {
                value = arguments[++i];
            } else {
                error = "option " + std::string(name) + " needs a value";
                return std::nullopt;
            }
        } else if (inlineValue) {
            error = "option " + std::string(name) + " takes no value";
            return std::nullopt;
        }

        const auto invalid = [&](std::string_view what) {
            error = "invalid value for " + std::string(name) + ": \"" + std::string(value) + "\" (" +
                    std::string(what) + ")";
            return std::nullopt;
        };
        if (name == "--help") {
            options.help = true;
        } else if (name == "--version") {
            options.version = true;
        } else if (name == "--quiet") {
            options.server.quiet = true;
        } else if (name == "--json") {
            options.server.format = OutputFormat::json;
        } else if (name == "--port") {
            const auto port = parseNumber<std::uint16_t>(value, 0, std::numeric_limits<std::uint16_t>::max());
            if (!port) {
                return invalid("a port number from 0 to 65535");
            }
            options.server.bindTo.port = *port;
            options.portGiven = true;
        } else if (name == "--bind") {
            const auto address = parseAddress(value);
            if (!address) {
                return invalid("an IPv4 address in dotted-quad form");
            }
            options.server.bindTo.address = *address;
        } else if (name == "--points") {
            if (value.empty()) {
                return invalid("a file name");
            }
            options.pointsFile = std::string(value);
        } else if (name == "--rcvbuf") {
            // The kernel doubles the value it is given; keep that within an int.
            options.server.receiveBuffer = parseNumber<int>(value, 1, std::numeric_limits<int>::max() / 2);
            if (!options.server.receiveBuffer) {
                return invalid("a positive number of bytes");
            }
        } else if (name == "--max-points") {
            const auto maxPoints = parseNumber<std::size_t>(value, 1, std::numeric_limits<std::size_t>::max());
            if (!maxPoints) {
                return invalid("a positive number of points");
            }
            options.maxPoints = *maxPoints;
        } else if (name == "--recv-batch") {
            const auto batch = parseNumber<int>(value, 1, kMaxReceiveBatch);
            if (!batch) {
                return invalid("a number of datagrams from 1 to 1024");
            }
            options.server.receiveBatch = *batch;
        } else {
            error = (name.starts_with("-") ? "unknown option " : "unexpected argument ") + std::string(arguments[i]);
            return std::nullopt;
        }
    }
    return options;
}

} // namespace marld
