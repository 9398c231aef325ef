#include "eventFormat.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "jsonText.h"

namespace marld {

namespace {

// A JSON object, a member at a time.
class Json {
public:
    Json& text(std::string_view key, std::string_view value) { return raw(key, jsonString(value)); }
    Json& number(std::string_view key, std::uint64_t value) { return raw(key, std::to_string(value)); }
    Json& raw(std::string_view key, std::string_view value)
    {
        text_ += (text_.size() > 1 ? ",\"" : "\"") + std::string(key) + "\":" + std::string(value);
        return *this;
    }
    // "point", and "pointHex" when the JSON string cannot give the bytes back.
    Json& point(std::string_view name)
    {
        const std::string_view shown = name.substr(0, kMaxPointNameLength);
        return isValidUtf8(shown) ? text("point", shown) : text("point", shown).text("pointHex", hexText(shown));
    }
    [[nodiscard]] std::string object() const { return text_ + "}"; }
    [[nodiscard]] std::string line() const { return text_ + "}\n"; }

private:
    std::string text_ = "{";
};

Json event(std::string_view name)
{
    return std::move(Json().text("event", name));
}

const char* stateName(bool isSet)
{
    return isSet ? "set" : "clear";
}

// Codes other than the two the client knows come only from --reply-code.
std::string returnCodeName(std::uint32_t code)
{
    return code == MARL_MSG_RC_OK                 ? "MARL_MSG_RC_OK"
           : code == MARL_MSG_RC_INVALID_POINT_ID ? "MARL_MSG_RC_INVALID_POINT_ID"
                                                  : std::to_string(code);
}

// A float as a person or a JSON reader expects it: shortest form that reads
// back to the same value; JSON has no NaN or infinity, so those become null.
std::string floatText(bool json, float value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return json && !std::isfinite(value) ? "null" : text;
}

// UTC in RFC 3339, to the second or, with `millis`, to the millisecond:
// "1970-01-01T00:00:16Z", "2026-12-07T15:31:02.123Z".
std::string utcText(WallClock::time_point at, bool millis)
{
    const auto ms = std::chrono::floor<std::chrono::milliseconds>(at).time_since_epoch().count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    std::tm parts{};
    char text[48] = "?";
    if (gmtime_r(&seconds, &parts) != nullptr) {
        const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
        std::snprintf(text + length, sizeof text - length, millis ? ".%03dZ" : "Z", static_cast<int>((ms % 1000 + 1000) % 1000));
    }
    return text;
}

std::string armTimeText(std::int32_t seconds)
{
    return utcText(WallClock::time_point(std::chrono::seconds(seconds)), false);
}

// The decoded block: in JSON a "runtimeInfo" object (absent texts left out),
// in text " key=value" pairs.
std::string runtimeInfoFields(bool json, const RuntimeInfo& info)
{
    Json object;
    std::string pairs;
    const auto add = [&](std::string_view key, const std::string& value, bool isText) {
        if (json) {
            isText ? object.text(key, value) : object.raw(key, value);
        } else {
            pairs += " " + std::string(key) + "=" + (isText ? quotedName(value) : value);
        }
    };
    if (json) {
        object.number("blockBytes", info.block.size());
    }
    if (const auto& threshold = info.threshold) {
        for (const auto& [key, text] : {std::pair("attributeId", &threshold->attributeId), {"indication", &threshold->indication}}) {
            if (*text) {
                add(key, **text, true);
            }
        }
        add("low", floatText(json, threshold->low), false);
        add("high", floatText(json, threshold->high), false);
        add("observedValue", floatText(json, threshold->observedValue), false);
        add("armTime", json ? std::to_string(threshold->armTime) : armTimeText(threshold->armTime), false);
        if (json) {
            object.text("armTimeUtc", armTimeText(threshold->armTime));
        }
    }
    for (std::size_t i = 0; i < info.texts.size(); ++i) {
        if (info.texts[i]) {
            add(marl::kTextFields[i].name, *info.texts[i], true);
        }
    }
    return json ? object.object() : pairs;
}

} // namespace

std::string listeningLine(OutputFormat format, Endpoint bound, bool http)
{
    if (format == OutputFormat::json) {
        return event(http ? "http" : "listening").text("address", bound.addressText()).number("port", bound.port()).line();
    }
    return http ? "marld: serving HTTP on http://" + bound.text() + "/\n"
                : "marld: listening on " + bound.text() + "\n";
}

std::string updateLine(OutputFormat format, const UpdateAccepted& update, Endpoint sender)
{
    const PointChange& change = update.change;
    if (format == OutputFormat::json) {
        Json line = event("update").point(update.point).raw("extended", update.extended ? "true" : "false");
        line.text("old", stateName(change.oldSet)).text("new", stateName(change.newSet)).number("updates", change.updateCount);
        if (update.runtimeInfo) {
            line.raw("runtimeInfo", runtimeInfoFields(true, *update.runtimeInfo));
        }
        return line.text("sender", sender.text()).line();
    }
    return (update.extended ? "update-ext " : "update ") + quotedName(update.point) + " " + stateName(change.oldSet) +
           " -> " + stateName(change.newSet) + " (update " + std::to_string(change.updateCount) + ") from " +
           sender.text() + (update.runtimeInfo ? runtimeInfoFields(false, *update.runtimeInfo) : "") + "\n";
}

std::string queryLine(OutputFormat format, const QueryAnswered& query)
{
    if (format == OutputFormat::json) {
        return event("query").point(query.point).number("nameLength", query.point.size())
            .text("state", stateName(query.pointIsSet)).text("returnCode", returnCodeName(query.returnCode))
            .text("sender", query.replyTo.text()).line();
    }
    const bool cut = query.point.size() > kMaxPointNameLength;
    return "query " + quotedName(query.point.substr(0, kMaxPointNameLength)) +
           (cut ? "... (" + std::to_string(query.point.size()) + " bytes)" : "") + " -> " + stateName(query.pointIsSet) +
           " (" + returnCodeName(query.returnCode) + ") to " + query.replyTo.text() + "\n";
}

std::string outcomeLine(OutputFormat format, const Outcome& outcome, std::size_t size, Endpoint sender)
{
    const bool json = format == OutputFormat::json;
    if (const auto* update = std::get_if<UpdateAccepted>(&outcome)) {
        return updateLine(format, *update, sender);
    }
    if (const auto* query = std::get_if<QueryAnswered>(&outcome)) {
        return queryLine(format, *query);
    }
    if (const auto* withheld = std::get_if<UpdateWithheld>(&outcome)) {
        return json ? event("withheld").point(withheld->point).text("new", stateName(withheld->set))
                          .text("sender", sender.text()).line()
                    : "withheld " + quotedName(withheld->point) + " " + stateName(withheld->set) + " from " +
                          sender.text() + " (--drop-updates)\n";
    }
    const Dropped& drop = std::get<Dropped>(outcome);
    if (json) {
        return event("dropped").text("reason", dropReasonName(drop.reason))
            .raw("id", drop.id ? std::to_string(*drop.id) : "null").number("bytes", size)
            .text("sender", sender.text()).line();
    }
    char id[sizeof " (id 0xffffffff)"] = "";
    if (drop.id) {
        std::snprintf(id, sizeof id, " (id 0x%04x)", static_cast<unsigned>(*drop.id));
    }
    return "marld: dropped " + std::to_string(size) + " bytes from " + sender.text() + ": " +
           std::string(dropReasonName(drop.reason)) + id + "\n";
}

std::string suppressedLine(OutputFormat format, std::uint64_t count)
{
    return format == OutputFormat::json ? event("suppressed").number("lines", count).line()
                                        : "marld: " + std::to_string(count) + " more lines not shown\n";
}

std::string replyFailedLine(OutputFormat format, Endpoint to, std::string_view error)
{
    return format == OutputFormat::json ? event("reply-failed").text("to", to.text()).text("error", error).line()
                                        : "marld: reply to " + to.text() + " failed: " + std::string(error) + "\n";
}

std::string countersReport(OutputFormat format, const Counters& counters)
{
    Json json = event("counters");
    std::string text;
    for (const CounterRow& row : kCounterRows) {
        if (row.name.empty()) {
            continue;
        }
        // "receive-errors" is "receiveErrors" in JSON.
        std::string key(row.name);
        for (std::size_t dash; (dash = key.find('-')) != std::string::npos;) {
            key.replace(dash, 2, 1, static_cast<char>(std::toupper(static_cast<unsigned char>(key[dash + 1]))));
        }
        json.number(key, counters[row.count]);
        text += "marld: " + std::string(row.name) + " " + std::to_string(counters[row.count]) + "\n";
        if (row.count == Count::dropped) {
            Json byReason;
            for (const DropReasonRow& reason : kDropReasons) {
                byReason.number(reason.name, counters[reason.reason]);
                text += "marld: dropped " + std::string(reason.name) + " " + std::to_string(counters[reason.reason]) + "\n";
            }
            json.raw("droppedBy", byReason.object());
        }
    }
    return format == OutputFormat::json ? json.line() : text;
}

std::string rfc3339(WallClock::time_point at)
{
    return utcText(at, true);
}

std::string clockTime(WallClock::time_point at)
{
    const std::time_t seconds = WallClock::to_time_t(at);
    std::tm parts{};
    char text[16] = "";
    return localtime_r(&seconds, &parts) != nullptr ? std::string(text, std::strftime(text, sizeof text, "%H:%M", &parts))
                                                    : std::string("?");
}

std::string runtimeInfoWords(const RuntimeInfo& info)
{
    Json words;
    const auto add = [&](std::string_view key, const std::optional<std::string>& text) {
        if (text) {
            words.text(key, *text);
        }
    };
    if (const auto& threshold = info.threshold) {
        add("attribute", threshold->attributeId);
        add("indication", threshold->indication);
        words.text("low", floatText(false, threshold->low)).text("high", floatText(false, threshold->high));
        words.text("observed", floatText(false, threshold->observedValue));
        add("armed_at", threshold->armTime != 0 ? std::optional(armTimeText(threshold->armTime)) : std::nullopt);
    }
    constexpr std::array<std::string_view, marl::kTextCount> kWords = {
        "monitored_attributes", "service_user", "service_provider", "security_alarm_detector", "text1", "text2"};
    for (std::size_t i = 0; i < kWords.size(); ++i) {
        add(kWords[i], info.texts[i]);
    }
    const std::string object = words.object();
    return object.substr(1, object.size() - 2);
}

std::string pointJson(std::string_view name, const PointState& state)
{
    Json json;
    json.point(name).text("state", stateName(state.isSet)).text("lastChange", utcText(state.lastChange, true))
        .number("updateCount", state.updateCount)
        .raw("runtimeInfo", state.runtimeInfo ? runtimeInfoFields(true, *state.runtimeInfo) : "null");
    if (state.runtimeInfo) {
        json.raw("runtimeInfoFromLastUpdate", state.runtimeInfoFromLastUpdate ? "true" : "false");
    }
    return json.object();
}

std::string changeJson(const StateChange& change)
{
    return Json().text("at", utcText(change.at, true)).text("state", stateName(change.isSet))
        .raw("runtimeInfo", change.runtimeInfo ? runtimeInfoFields(true, *change.runtimeInfo) : "null").object();
}

} // namespace marld
