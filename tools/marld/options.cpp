#include "options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <limits>
#include <vector>

namespace marld {

namespace {

struct OptionRow {
    std::string_view name;
    char shortName;            // 0 for none
    std::string_view argument; // the value's name in --help; empty for a flag
    std::string_view expected; // what the value is, in messages: "a port number"
    std::string_view help;     // --help's words, which the bounds complete
    bool (*set)(Options& options, std::string_view text); // false when the text is no such value
    std::string (*bounds)();   // "from 1 to 1024, default 32", or empty
    bool testAid = false;
};

template <typename Number>
std::optional<Number> parseNumber(std::string_view text, Number low, Number high)
{
    Number value{};
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value);
    // Written so that NaN, which compares false with everything, fails too.
    if (text.empty() || failure != std::errc() || stop != end || !(value >= low && value <= high)) {
        return std::nullopt;
    }
    return value;
}

template <typename Number>
std::string numberText(const Number& value)
{
    if constexpr (requires { value.has_value(); }) {
        return value ? numberText(*value) : std::string();
    } else if constexpr (requires { value.count(); }) {
        return std::to_string(value.count());
    } else {
        char text[32];
        return {text, std::to_chars(text, text + sizeof text, value).ptr};
    }
}

// The number that a member holds: itself, an optional one's, a duration's count.
template <typename Member>
struct Held {
    using type = Member;
};
template <typename Number>
struct Held<std::optional<Number>> {
    using type = Number;
};
template <typename Rep, typename Period>
struct Held<std::chrono::duration<Rep, Period>> {
    using type = Rep;
};

// A number from `low` to `high`, of the type of what `at` names.
template <auto at, auto low, auto high>
constexpr OptionRow number(std::string_view name, std::string_view argument, std::string_view expected,
                           std::string_view help, bool testAid = false)
{
    return {name, 0, argument, expected, help,
            [](Options& options, std::string_view text) {
                using Number = typename Held<std::remove_reference_t<decltype(at(options))>>::type;
                const auto value = parseNumber<Number>(text, static_cast<Number>(low), static_cast<Number>(high));
                if (value) {
                    at(options) = std::remove_reference_t<decltype(at(options))>(*value);
                }
                return value.has_value();
            },
            [] {
                Options defaults;
                const std::string fallback = numberText(at(defaults));
                return "from " + numberText(low) + " to " + numberText(high) + (fallback.empty() ? "" : ", default " + fallback);
            },
            testAid};
}

// Any other value, which `parse` makes of the text, kept where `at` says; a
// flag when `argument` is empty.
template <auto at, auto parse>
constexpr OptionRow other(std::string_view name, char shortName, std::string_view argument, std::string_view expected,
                          std::string_view help)
{
    return {name, shortName, argument, expected, help,
            [](Options& options, std::string_view text) {
                auto value = parse(text);
                if (value) {
                    at(options) = std::move(*value);
                }
                return value.has_value();
            },
            [] { return std::string(); }};
}

// An IPv4 address or, with `ipv6`, an IPv6 one too, port 0.
std::optional<Endpoint> parseAddress(std::string_view text, bool ipv6)
{
    Endpoint endpoint;
    const std::string address(text);
    if (inet_pton(AF_INET, address.c_str(), &endpoint.address.v4.sin_addr) == 1) {
        endpoint.address.v4.sin_family = AF_INET;
    } else if (ipv6 && inet_pton(AF_INET6, address.c_str(), &endpoint.address.v6.sin6_addr) == 1) {
        endpoint.address.v6.sin6_family = AF_INET6;
    } else {
        return std::nullopt;
    }
    return endpoint;
}

std::optional<std::string> parseFileName(std::string_view text)
{
    return text.empty() ? std::nullopt : std::optional<std::string>(text);
}

// [ADDR:]PORT; loopback unless an address is given.
std::optional<Endpoint> parseEndpoint(std::string_view text)
{
    const std::size_t colon = text.rfind(':');
    auto address = colon == text.npos ? std::optional(Endpoint{0x7F000001, 0}) : parseAddress(text.substr(0, colon), false);
    const auto port = parseNumber<std::uint16_t>(text.substr(colon == text.npos ? 0 : colon + 1), 0, 65535);
    if (address && port) {
        address->setPort(*port);
    }
    return port ? address : std::nullopt;
}

constexpr auto kTrue = [](std::string_view) { return std::optional(true); };

// http://HOST[:PORT][/PATH], where Alertmanager answers.
std::optional<std::string> parseUrl(std::string_view text)
{
    const bool http = text.starts_with("http://") && text.size() > 7 && text.find_first_of(" \t\"") == text.npos;
    return http ? std::optional<std::string>(text) : std::nullopt;
}

// KEY=VALUE, KEY a label name as Alertmanager takes it.
std::optional<std::pair<std::string, std::string>> parseLabel(std::string_view text)
{
    const std::size_t equals = text.find('=');
    const std::string_view key = text.substr(0, equals);
    const bool named = !key.empty() && !std::isdigit(static_cast<unsigned char>(key[0])) &&
                       std::ranges::all_of(key, [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
    return named && equals != text.npos ? std::optional(std::pair(std::string(key), std::string(text.substr(equals + 1))))
                                        : std::nullopt;
}

const std::array kRows{
    number<[](Options& o) -> auto& { return o.port; }, std::uint16_t{0}, std::uint16_t{65535}>(
        "port", "N", "a port number",
        "listen on UDP port N (0: a port of the kernel's choosing); without it, the port of the \"marl\" entry of "
        "the services database"),
    other<[](Options& o) -> auto& { return o.bind; }, [](std::string_view text) { return parseAddress(text, true); }>(
        "bind", 0, "ADDR", "an IPv4 or IPv6 address", "listen on the address ADDR, IPv4 or IPv6 (default 127.0.0.1)"),
    other<[](Options& o) -> auto& { return o.allow.emplace_back(); }, parseNetwork>(
        "allow", 0, "CIDR", "an IPv4 or IPv6 network, as 10.0.0.0/8 or ::1",
        "answer only senders in the network CIDR, IPv4 or IPv6 (repeatable; without it, every sender); others are "
        "dropped as sender-not-allowed"),
    other<[](Options& o) -> auto& { return o.pointsFile; }, parseFileName>(
        "points", 0, "FILE", "a file name", "accept only the point names in FILE, one per line"),
    other<[](Options& o) -> auto& { return o.stateFile; }, parseFileName>(
        "state", 0, "FILE", "a file name",
        "keep every point's state in FILE, an SQLite database, and take it up again at start; created if missing"),
    other<[](Options& o) -> auto& { return o.http; }, parseEndpoint>(
        "http", 0, "[ADDR:]PORT", "[ADDR:]PORT, an IPv4 address and a port from 0 to 65535",
        "serve the points, their history, metrics and a status page over HTTP on PORT (0: the kernel's choice) of "
        "ADDR (default 127.0.0.1)"),
    other<[](Options& o) -> auto& { return o.format; }, [](std::string_view) { return std::optional(OutputFormat::json); }>(
        "json", 0, "", "", "print JSON Lines instead of text"),
    // The kernel doubles the value it is given; keep that within an int.
    other<[](Options& o) -> auto& { return o.alerts.urls.emplace_back(); }, parseUrl>(
        "alertmanager", 0, "URL", "an http:// URL",
        "send every raised point to the Alertmanager at URL as an alert, and each cleared one as resolved "
        "(repeatable: one of a cluster each)"),
    other<[](Options& o) -> auto& { return o.alerts.labels.emplace_back(); }, parseLabel>(
        "alert-label", 0, "KEY=VALUE", "KEY=VALUE, KEY letters, digits and underscores",
        "add the label KEY=VALUE to every alert (repeatable), as for the site or the system"),
    number<[](Options& o) -> auto& { return o.alerts.resend; }, 1, 86400>(
        "alert-resend", "SECONDS", "a number of seconds",
        "send every raised point again after SECONDS, with an end four times that far ahead, so that its "
        "alert ends by itself when marld is gone"),
    number<[](Options& o) -> auto& { return o.receiveBuffer; }, 1, std::numeric_limits<int>::max() / 2>(
        "rcvbuf", "BYTES", "a number of bytes",
        "size of the socket's receive buffer, room for a storm of updates; past net.core.rmem_max only with "
        "CAP_NET_ADMIN, else capped there with a line"),
    number<[](Options& o) -> auto& { return o.maxPoints; }, std::size_t{1}, SIZE_MAX>(
        "max-points", "N", "a number of points",
        "keep at most N points; updates of further new points are dropped as store-full"),
    number<[](Options& o) -> auto& { return o.receiveBatch; }, 1, int{DatagramHandler::kMaxBatch}>(
        "recv-batch", "N", "a number of datagrams", "take up to N datagrams per receive call (1 receives one at a time)"),
    other<[](Options& o) -> auto& { return o.quiet; }, kTrue>(
        "quiet", 0, "", "",
        "print no line per update or query; drops, the listening line and the counters are still printed"),
    other<[](Options& o) -> auto& { return o.help; }, kTrue>("help", 'h', "", "", "show this help and exit"),
    other<[](Options& o) -> auto& { return o.version; }, kTrue>("version", 'V', "", "", "show the version and exit"),
    number<[](Options& o) -> auto& { return o.testAids.dropUpdates; }, 0, 1>(
        "drop-updates", "P", "a fraction",
        "withhold a fraction P of the acceptable updates from the store, picked at random; counted as withheld, not "
        "as dropped",
        true),
    number<[](Options& o) -> auto& { return o.testAids.seed; }, std::uint64_t{0}, UINT64_MAX>(
        "seed", "N", "a number",
        "seed of that pick: the same seed and the same updates withhold the same ones on every machine", true),
    number<[](Options& o) -> auto& { return o.replyDelay; }, std::int64_t{0}, std::int64_t{3'600'000}>(
        "reply-delay", "MS", "a number of milliseconds",
        "answer each query MS milliseconds late; up to 4096 replies wait, further ones are dropped, and those still "
        "waiting at the stop are discarded",
        true),
    number<[](Options& o) -> auto& { return o.testAids.replyCode; }, std::uint32_t{0}, UINT32_MAX>(
        "reply-code", "N", "a return code", "answer every query with return code N, still with the point's state",
        true),
};

// The row's lines of --help: its name and argument, then its words with its
// bounds and default, wrapped at 78 columns from the 19th.
std::string helpLines(const OptionRow& row)
{
    constexpr std::size_t kIndent = 18;
    std::string line = row.shortName != 0 ? std::string("  -") + row.shortName + ", --" : "  --";
    line += std::string(row.name) + (row.argument.empty() ? "" : " " + std::string(row.argument));
    std::string lines;
    if (line.size() >= kIndent - 1) {
        lines = line + "\n";
        line.clear();
    }
    line.resize(kIndent, ' ');
    const std::string bounds = row.bounds();
    const std::string words = std::string(row.help) + (bounds.empty() ? "" : " (" + bounds + ")");
    for (std::size_t at = 0; at < words.size();) {
        const std::size_t end = std::min(words.find(' ', at), words.size());
        if (line.size() > kIndent && line.size() + 1 + (end - at) > 78) {
            lines += line + "\n";
            line.assign(kIndent, ' ');
        }
        line += (line.size() > kIndent ? " " : "") + words.substr(at, end - at);
        at = end + 1;
    }
    return lines + line + "\n";
}

} // namespace

std::string usageText()
{
    std::string text = "Usage: marld [OPTION]...\n"
                       "The point service: keeps the state of every point that clients raise and\n"
                       "clear over UDP and answers their queries.\n\n";
    for (const bool testAids : {false, true}) {
        text += testAids ? "\nTest aids, for trying an application's own handling of lost updates and odd\n"
                           "replies; each is counted on exit:\n"
                         : "";
        for (const OptionRow& row : kRows) {
            text += row.testAid == testAids ? helpLines(row) : "";
        }
    }
    return text + "\n"
                  "Options may be abbreviated where that is unambiguous; -- ends them.\n"
                  "The first line on stdout tells where marld listens. SIGINT or SIGTERM stops\n"
                  "it; it then prints its counters and exits 0. Bad options, or a port that\n"
                  "cannot be known or bound, or a state file that is not marld's, is damaged or\n"
                  "is in use, make it exit 2.\n";
}

std::optional<Options> parseOptions(int argc, char** argv, std::string& error)
{
    // Each row's getopt_long value: its short name, or 256 and its place.
    constexpr int kFirstLong = 256;
    std::vector<option> longOptions;
    std::string shortOptions = ":";
    for (const OptionRow& row : kRows) {
        const int value = row.shortName != 0 ? row.shortName : kFirstLong + static_cast<int>(&row - kRows.data());
        longOptions.push_back({row.name.data(), row.argument.empty() ? no_argument : required_argument, nullptr, value});
        shortOptions += row.shortName != 0 ? std::string(1, row.shortName) : "";
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});
    Options options;
    optind = 1;
    opterr = 0; // its messages name the path marld was started by
    int index = -1;
    for (int got; (got = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), &index)) != -1; index = -1) {
        const std::string name =
            index >= 0 ? std::string("--") + longOptions[static_cast<std::size_t>(index)].name : argv[optind - 1];
        if (got == ':') {
            error = "option " + name + " needs a value";
            return std::nullopt;
        }
        if (got == '?') { // unknown or ambiguous, or a value given to an option that takes none
            const bool valueGiven = optopt != 0 && name.starts_with("--");
            error = valueGiven ? "option " + name.substr(0, name.find('=')) + " takes no value"
                               : "unknown or ambiguous option " + name;
            return std::nullopt;
        }
        const OptionRow& row = got >= kFirstLong ? kRows[static_cast<std::size_t>(got - kFirstLong)]
                                                 : *std::ranges::find(kRows, static_cast<char>(got), &OptionRow::shortName);
        const std::string_view value = optarg != nullptr ? optarg : "";
        if (!row.set(options, value)) {
            const std::string bounds = row.bounds();
            error = "invalid value for " + name + ": \"" + std::string(value) + "\" (" + std::string(row.expected) +
                    (bounds.empty() ? "" : " " + bounds.substr(0, bounds.find(", default"))) + ")";
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
