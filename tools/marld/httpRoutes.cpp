#include "httpRoutes.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "eventFormat.h"
#include "lossWatch.h"
#include "marlmsg.h"
#include "statusPage.h"

namespace marld {

namespace {

// Points written per piece of a long answer.
constexpr std::size_t kPointsPerPiece = 16;

HttpAnswer error(unsigned status, std::string_view text)
{
    return {status, std::string(text) + "\n", "text/plain; charset=utf-8", nullptr};
}

// The bytes a percent-encoded text stands for; nothing when an escape is not
// two hexadecimal digits.
std::optional<std::string> percentDecoded(std::string_view text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        const char* digits = text.data() + i + 1;
        if (byte == '%' && (text.size() - i < 3 || std::from_chars(digits, digits + 2, byte, 16).ptr != digits + 2)) {
            return std::nullopt;
        }
        bytes += static_cast<char>(byte);
        i += text[i] == '%' ? 2U : 0U;
    }
    return bytes;
}

using Arguments = std::map<std::string, std::string, std::less<>>;

// The query's arguments, decoded; nothing when one has a bad escape.
std::optional<Arguments> queryArguments(std::string_view query)
{
    Arguments arguments;
    while (!query.empty()) {
        const std::string_view argument = query.substr(0, query.find('&'));
        query.remove_prefix(std::min(query.size(), argument.size() + 1));
        if (argument.empty()) {
            continue; // as between the two &s of "a&&b": says nothing
        }
        const std::size_t equals = argument.find('=');
        const auto key = percentDecoded(argument.substr(0, equals));
        const auto value = percentDecoded(equals == argument.npos ? "" : argument.substr(equals + 1));
        if (!key || !value) {
            return std::nullopt;
        }
        arguments.insert_or_assign(*key, *value);
    }
    return arguments;
}

// A list's selection from its query's arguments; nothing, with `why` set,
// for an argument it does not know or a bad value.
std::optional<Selection> selectionOf(const Arguments& arguments, bool counted, std::string& why)
{
    Selection selection{std::nullopt, "", SIZE_MAX, counted};
    // The whole value, a count that fits.
    const auto isCount = [](const std::string& value, std::size_t& count) {
        const char* end = value.data() + value.size();
        const auto read = std::from_chars(value.data(), end, count);
        return !value.empty() && read.ptr == end && read.ec == std::errc();
    };
    for (const auto& [key, value] : arguments) {
        if (key == "state" && (value == "set" || value == "clear" || value == "all")) {
            selection.set = value == "all" ? std::nullopt : std::optional(value == "set");
        } else if (key == "filter") {
            selection.filter = value;
        } else if (key != "limit" || !isCount(value, selection.limit)) {
            why = key == "state"   ? "state is set, clear or all"
                  : key == "limit" ? "limit is a count of points"
                                   : "a list takes state, filter and limit";
            return std::nullopt;
        }
    }
    return selection;
}

// Whether `part` is in `name`, ASCII letters matched in either case.
bool nameHas(std::string_view name, std::string_view part)
{
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return part.empty() || std::search(name.begin(), name.end(), part.begin(), part.end(),
                                       [&](char a, char b) { return lower(a) == lower(b); }) != name.end();
}

// A number of seconds as Prometheus reads it: as short as exact, never in
// a locale's form.
std::string decimalText(double value)
{
    char text[32];
    return {text, std::to_chars(text, text + sizeof text, value).ptr};
}

// OpenMetrics, from the counters' table, then the gauges.
std::string metrics(const HttpView& view)
{
    using Samples = std::vector<std::pair<std::string, std::uint64_t>>; // labels and value
    std::string text;
    const auto family = [&](std::string_view name, bool counter, std::string_view help, const Samples& samples) {
        const std::string full = "marld_" + std::string(name);
        text += "# TYPE " + full + (counter ? " counter" : " gauge") + "\n# HELP " + full + " " + std::string(help) + "\n";
        for (const auto& [labels, value] : samples) {
            text += full + (counter ? "_total" : "") + labels + " " + std::to_string(value) + "\n";
        }
    };
    const Counters& counted = view.counters;
    for (const CounterRow& row : kCounterRows) {
        Samples samples{{"", counted[row.count]}};
        if (row.count == Count::dropped) {
            samples.clear();
            for (const DropReasonRow& reason : kDropReasons) {
                samples.emplace_back("{reason=\"" + std::string(reason.name) + "\"}", counted[reason.reason]);
            }
        } else if (row.count == Count::queries) {
            // Every reply carries --reply-code's code when it is given.
            const std::uint64_t refused = view.replyCode ? 0 : counted[Count::queriesRefused];
            std::map<std::uint32_t, std::uint64_t> byCode{{MARL_MSG_RC_OK, 0}, {MARL_MSG_RC_INVALID_POINT_ID, refused}};
            byCode[view.replyCode.value_or(MARL_MSG_RC_OK)] += counted[Count::queries] - refused;
            samples.clear();
            for (const auto& [code, count] : byCode) {
                samples.emplace_back("{code=\"" + std::to_string(code) + "\"}", count);
            }
        }
        if (!row.metric.empty()) {
            family(row.metric, !row.gauge, row.help, samples);
        }
    }
    family("receive_buffer_drops", true, "Datagrams the kernel dropped with the receive buffer full.",
           {{"", receiveBufferDrops(view.udpSocket)}});
    if (view.turns != nullptr) {
        const TurnTimes& turns = *view.turns;
        const std::string name = "marld_loop_turn_seconds";
        text += "# TYPE " + name + " histogram\n# HELP " + name + " How long each turn of the loop kept it busy.\n";
        std::uint64_t upTo = 0;
        for (std::size_t i = 0; i <= TurnTimes::kBounds.size(); ++i) {
            upTo += turns.buckets[i];
            const std::string bound = i < TurnTimes::kBounds.size() ? decimalText(TurnTimes::kBounds[i]) : "+Inf";
            text += name + "_bucket{le=\"" + bound + "\"} " + std::to_string(upTo) + "\n";
        }
        text += name + "_sum " + decimalText(turns.sum) + "\n" + name + "_count " + std::to_string(turns.count) + "\n";
        text += "# TYPE marld_loop_turn_longest_seconds gauge\n# HELP marld_loop_turn_longest_seconds The longest turn "
                "of the loop since marld started.\nmarld_loop_turn_longest_seconds " + decimalText(turns.longest) + "\n";
    }
    family("points", false, "Points known.", {{"", view.store.size()}});
    family("points_set", false, "Points set.", {{"", view.store.setCount()}});
    return text + "# EOF\n";
}

HttpAnswer point(const HttpView& view, std::string_view name, bool history)
{
    const PointState* state = view.store.find(name);
    if (state == nullptr) {
        return error(404, "no such point");
    }
    if (!history) {
        return {200, pointJson(name, *state) + "\n", "application/json", nullptr};
    }
    std::string body = "[";
    for (const StateChange& change : view.journal.history(name)) {
        body += (body.size() > 1 ? "," : "") + changeJson(change);
    }
    return {200, body + "]\n", "application/json", nullptr};
}

} // namespace

std::size_t PointsStream::read(char* to, std::size_t room)
{
    const Selection& wanted = selection_;
    while (taken_ == piece_.size() && !ended_) {
        piece_.clear();
        taken_ = 0;
        for (const std::size_t end = next_ + kPointsPerPiece; next_ < end && next_ < store_.size(); ++next_) {
            const auto [name, state] = store_.at(next_);
            if ((!wanted.set || state.isSet == *wanted.set) && nameHas(name, wanted.filter) && matching_++ < wanted.limit) {
                piece_ += (matching_ == 1 ? "" : ",") + pointJson(name, state);
            }
        }
        // Without counts, the list ends at its limit.
        if (next_ == store_.size() || (!wanted.counted && matching_ >= wanted.limit)) {
            piece_ += !wanted.counted ? "]\n"
                                      : "],\"matching\":" + std::to_string(matching_) + ",\"set\":" +
                                            std::to_string(store_.setCount()) + ",\"total\":" + std::to_string(store_.size()) + "}\n";
            ended_ = true;
        }
    }
    const std::size_t count = std::min(room, piece_.size() - taken_);
    std::memcpy(to, piece_.data() + taken_, count);
    taken_ += count;
    return count;
}

HttpAnswer respond(const HttpView& view, std::string_view method, std::string_view target)
{
    if (target.size() > kMaxTarget) {
        return error(414, "the target is too long");
    }
    const std::size_t question = target.find('?');
    const std::string_view path = target.substr(0, question);
    const bool known = path == "/" || path == "/metrics" || path == "/points" || path == "/view" || path.starts_with("/points/");
    if (!known) {
        return error(404, "no such resource");
    }
    if (method != "GET" && method != "HEAD") {
        return error(405, "only GET and HEAD");
    }
    const auto arguments = queryArguments(question == target.npos ? "" : target.substr(question + 1));
    if (!arguments) {
        return error(400, "a bad percent-encoding in the query");
    }
    if (path == "/") {
        return {200, std::string(statusPage()), "text/html; charset=utf-8", nullptr};
    }
    if (path == "/metrics") {
        return {200, metrics(view), "application/openmetrics-text; version=1.0.0; charset=utf-8", nullptr};
    }
    if (path == "/points" || path == "/view") {
        std::string why;
        auto selection = selectionOf(*arguments, path == "/view", why);
        if (!selection) {
            return error(400, why);
        }
        HttpAnswer answer;
        answer.stream = std::make_unique<PointsStream>(view.store, std::move(*selection));
        return answer;
    }
    std::string_view rest = path.substr(std::strlen("/points/"));
    const bool history = rest.ends_with("/history");
    rest.remove_suffix(history ? std::strlen("/history") : 0);
    // Decoded here, segment by segment, so that an encoded '/' stays part of a name.
    const auto name = percentDecoded(rest);
    if (!name) {
        return error(400, "a bad percent-encoding in the point's name");
    }
    if (rest.find('/') != std::string_view::npos) {
        return error(404, "no such resource");
    }
    return point(view, *name, history);
}

} // namespace marld
