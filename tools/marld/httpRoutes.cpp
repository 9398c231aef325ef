#include "httpRoutes.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "eventFormat.h"
#include "jsonText.h"
#include "lossWatch.h"
#include "marlmsg.h"
#include "statusPage.h"

namespace marld {

namespace {

// Points written per piece of a long answer.
constexpr std::size_t kPointsPerPiece = 16;
// The work a list's read() may do in one call, in points looked at and
// comparisons made: a few hundred microseconds at most, so that several
// clients reading long lists never hold the loop for long. A comparison of
// two names that share their first 8 bytes reads both from the store.
constexpr std::size_t kWorkPerRead = 2048;
constexpr std::size_t kNameComparisonWork = 16;

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
    Selection selection{std::nullopt, "", SIZE_MAX, counted, SortOrder::newest};
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
        } else if (key == "sort" && (value == "newest" || value == "oldest" || value == "name")) {
            selection.sort = value == "newest" ? SortOrder::newest : value == "oldest" ? SortOrder::oldest : SortOrder::name;
        } else if (key != "limit" || !isCount(value, selection.limit)) {
            why = key == "state"   ? "state is set, clear or all"
                  : key == "limit" ? "limit is a count of points"
                  : key == "sort"  ? "sort is newest, oldest or name"
                                   : "a list takes state, filter, limit and sort";
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

// Taken as the program starts, before main: the process's start time.
const std::chrono::system_clock::time_point kStarted = std::chrono::system_clock::now();

// A label, its value escaped as both formats want it.
std::string label(std::string_view key, std::string_view value)
{
    std::string text = "{" + std::string(key) + "=\"";
    for (const char c : value) {
        text += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
    }
    return text + "\"}";
}

// Whether an Accept header asks for OpenMetrics: one of its media ranges is
// application/openmetrics-text, other than with q=0. Prometheus sends it
// first, with the text format 0.0.4 as its second choice.
bool asksForOpenMetrics(std::string_view accept)
{
    const auto trimmed = [](std::string_view text) {
        const std::size_t from = std::min(text.find_first_not_of(" \t"), text.size());
        return text.substr(from, text.find_last_not_of(" \t") + 1 - from);
    };
    const auto same = [](std::string_view a, std::string_view b) {
        const auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
        return std::ranges::equal(a, b, [&](char x, char y) { return lower(x) == lower(y); });
    };
    while (!accept.empty()) {
        std::string_view range = accept.substr(0, accept.find(','));
        accept.remove_prefix(std::min(accept.size(), range.size() + 1));
        bool wanted = same(trimmed(range.substr(0, range.find(';'))), "application/openmetrics-text");
        while (wanted && range.find(';') != range.npos) {
            range.remove_prefix(range.find(';') + 1);
            const std::string_view parameter = trimmed(range.substr(0, range.find(';')));
            wanted = !(parameter.size() > 2 && same(parameter.substr(0, 2), "q=") &&
                       parameter.find_first_not_of("0.", 2) == parameter.npos);
        }
        if (wanted) {
            return true;
        }
    }
    return false;
}

// The metrics, from the counters' table, then the others, in OpenMetrics or
// in the text format 0.0.4. The two differ in that the latter names a
// counter's family with its _total, has no info type (a gauge, named with
// its _info) and no # EOF.
std::string metrics(const HttpView& view, bool openMetrics)
{
    enum class Type : std::uint8_t { counter, gauge, info };
    using Samples = std::vector<std::pair<std::string, std::uint64_t>>; // labels and value
    std::string text;
    const auto family = [&](std::string_view name, Type type, std::string_view help, const Samples& samples) {
        if (samples.empty()) {
            return; // as the alert counts without --alertmanager
        }
        const std::string_view suffix = type == Type::counter ? "_total" : type == Type::info ? "_info" : "";
        const std::string sample = std::string(name) + std::string(suffix);
        const std::string named = openMetrics ? std::string(name) : sample;
        const std::string_view kind = type == Type::counter ? "counter" : type == Type::info && openMetrics ? "info" : "gauge";
        text += "# TYPE " + named + " " + std::string(kind) + "\n# HELP " + named + " " + std::string(help) + "\n";
        for (const auto& [labels, value] : samples) {
            text += sample + labels + " " + std::to_string(value) + "\n";
        }
    };
    const Counters& counted = view.counters;
    for (const CounterRow& row : kCounterRows) {
        Samples samples{{"", counted[row.count]}};
        if (row.count == Count::dropped) {
            samples.clear();
            for (const DropReasonRow& reason : kDropReasons) {
                samples.emplace_back(label("reason", reason.name), counted[reason.reason]);
            }
        } else if (row.count == Count::queries) {
            // Every reply carries --reply-code's code when it is given.
            const std::uint64_t refused = view.replyCode ? 0 : counted[Count::queriesRefused];
            std::map<std::uint32_t, std::uint64_t> byCode{{MARL_MSG_RC_OK, 0}, {MARL_MSG_RC_INVALID_POINT_ID, refused}};
            byCode[view.replyCode.value_or(MARL_MSG_RC_OK)] += counted[Count::queries] - refused;
            samples.clear();
            for (const auto& [code, count] : byCode) {
                samples.emplace_back(label("code", std::to_string(code)), count);
            }
        } else if (byAlertmanager(row.count)) {
            samples.clear();
            for (std::size_t at = 0; at < counted.alertmanagers(); ++at) {
                samples.emplace_back(label("alertmanager", counted.alertmanager(at)), counted(row.count, at));
            }
        }
        if (!row.metric.empty()) {
            family("marld_" + std::string(row.metric), row.gauge ? Type::gauge : Type::counter, row.help, samples);
        }
    }
    family("marld_receive_buffer_drops", Type::counter, "Datagrams the kernel dropped with the receive buffer full.",
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
    family("marld_points", Type::gauge, "Points known.", {{"", view.store.size()}});
    family("marld_points_set", Type::gauge, "Points set.", {{"", view.store.setCount()}});
    family("marld_build", Type::info, "The version of marld.", {{label("version", MARLD_VERSION), 1}});
    const auto started = std::chrono::duration_cast<std::chrono::seconds>(kStarted.time_since_epoch()).count();
    family("process_start_time_seconds", Type::gauge, "When the process started, in seconds since the epoch.",
           {{"", static_cast<std::uint64_t>(started)}});
    return text + (openMetrics ? "# EOF\n" : "");
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

PointsStream::PointsStream(const PointStore& store, Selection selection, const std::vector<std::string>* warnings)
    : store_(store), selection_(std::move(selection)), end_(store.size()), piece_(selection_.counted ? "{\"points\":[" : "[")
{
    // Taken now, as the rest of the answer is about now.
    warnings_ = "[";
    for (const std::string& text : warnings != nullptr ? *warnings : std::vector<std::string>{}) {
        warnings_ += (warnings_.size() > 1 ? "," : "") + jsonString(text);
    }
    warnings_ += "]";
    if (!selection_.counted && selection_.limit == 0) {
        end_ = 0; // nothing to list, nothing to count
    }
    // Room for all it may keep, so that no call copies the heap to grow it;
    // the memory is only touched as points are kept.
    kept_.reserve(std::min(selection_.limit, end_));
}

bool PointsStream::before(const Kept& a, const Kept& b)
{
    ++work_;
    const bool newest = selection_.sort == SortOrder::newest;
    if (a.key != b.key) {
        return (a.key > b.key) == newest;
    }
    if (selection_.sort != SortOrder::name) {
        return (a.place > b.place) == newest;
    }
    work_ += kNameComparisonWork;
    // Names are unique, and std::string_view compares bytes as unsigned.
    return store_.at(a.place).first < store_.at(b.place).first;
}

void PointsStream::scan()
{
    const Selection& wanted = selection_;
    const auto worse = [this](const Kept& a, const Kept& b) { return before(a, b); }; // the heap's top: the worst
    for (; next_ < end_ && work_ < kWorkPerRead; ++next_) {
        const auto [name, state] = store_.at(next_);
        // Matching a filter against a long name is work too.
        work_ += 1 + (wanted.filter.empty() ? 0 : name.size() * std::min(name.size(), wanted.filter.size()) / 128);
        if ((wanted.set && state.isSet != *wanted.set) || !nameHas(name, wanted.filter)) {
            continue;
        }
        ++matching_;
        Kept point{0, static_cast<std::uint32_t>(next_)};
        if (wanted.sort == SortOrder::name) {
            // Big-endian, so that the numbers compare as the bytes do; a
            // shorter name's zeros sort it before its longer namesakes.
            for (std::size_t i = 0; i < sizeof point.key; ++i) {
                point.key = point.key << 8U | (i < name.size() ? static_cast<unsigned char>(name[i]) : 0U);
            }
        } else {
            // Offset so that times before 1970 stay before the later ones.
            const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(state.lastChange.time_since_epoch());
            point.key = static_cast<std::uint64_t>(since.count()) ^ (std::uint64_t{1} << 63U);
        }
        if (kept_.size() < wanted.limit) {
            kept_.push_back(point);
            std::push_heap(kept_.begin(), kept_.end(), worse);
        } else if (!kept_.empty() && before(point, kept_.front())) {
            std::pop_heap(kept_.begin(), kept_.end(), worse);
            kept_.back() = point;
            std::push_heap(kept_.begin(), kept_.end(), worse);
        }
    }
    if (next_ == end_) {
        heapSize_ = kept_.size();
        phase_ = Phase::order;
    }
}

void PointsStream::order()
{
    // Each pop puts the worst left in the heap just behind it, so that kept_
    // ends up best first.
    const auto worse = [this](const Kept& a, const Kept& b) { return before(a, b); };
    for (; heapSize_ > 1 && work_ < kWorkPerRead; --heapSize_) {
        std::pop_heap(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(heapSize_), worse);
    }
    if (heapSize_ <= 1) {
        phase_ = Phase::write;
    }
}

void PointsStream::write()
{
    const Selection& wanted = selection_;
    for (std::size_t points = 0; written_ < kept_.size() && points < kPointsPerPiece && work_ < kWorkPerRead; ++written_) {
        const auto [name, state] = store_.at(kept_[written_].place);
        ++work_;
        // Its state now, which may have changed since it was looked at.
        if (wanted.set && state.isSet != *wanted.set) {
            --matching_;
            continue;
        }
        piece_ += (listed_++ == 0 ? "" : ",") + pointJson(name, state);
        ++points;
    }
    if (written_ == kept_.size()) {
        piece_ += !wanted.counted ? "]\n"
                                  : "],\"matching\":" + std::to_string(matching_) + ",\"set\":" +
                                        std::to_string(store_.setCount()) + ",\"total\":" + std::to_string(store_.size()) +
                                        ",\"warnings\":" + warnings_ + "}\n";
        phase_ = Phase::done;
        kept_ = {};
    }
}

void PointsStream::step()
{
    work_ = 0;
    while (piece_.empty() && phase_ != Phase::done && work_ < kWorkPerRead) {
        switch (phase_) {
        case Phase::scan: scan(); break;
        case Phase::order: order(); break;
        case Phase::write: write(); break;
        case Phase::done: break;
        }
    }
}

std::size_t PointsStream::read(char* to, std::size_t room)
{
    if (taken_ == piece_.size() && phase_ != Phase::done) {
        piece_.clear();
        taken_ = 0;
        step();
    }
    const std::size_t count = std::min(room, piece_.size() - taken_);
    std::memcpy(to, piece_.data() + taken_, count);
    taken_ += count;
    return count;
}

HttpAnswer respond(const HttpView& view, std::string_view method, std::string_view target, std::string_view accept)
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
        const bool openMetrics = asksForOpenMetrics(accept);
        return {200, metrics(view, openMetrics),
                openMetrics ? "application/openmetrics-text; version=1.0.0; charset=utf-8" : "text/plain; version=0.0.4; charset=utf-8",
                nullptr};
    }
    if (path == "/points" || path == "/view") {
        std::string why;
        auto selection = selectionOf(*arguments, path == "/view", why);
        if (!selection) {
            return error(400, why);
        }
        HttpAnswer answer;
        answer.stream = std::make_unique<PointsStream>(view.store, std::move(*selection), view.warnings);
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
