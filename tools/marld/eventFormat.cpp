#include "eventFormat.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#include "jsonText.h"

namespace marld {

namespace {

std::string_view shownName(std::string_view name)
{
    return name.substr(0, kMaxPointNameLength);
}

std::string_view stateName(bool isSet)
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

// "point":"...", followed by "pointHex":"..." when the JSON string cannot
// give the name's bytes back.
std::string jsonPoint(std::string_view name)
{
    const std::string_view shown = shownName(name);
    std::string fields = "\"point\":" + jsonString(shown);
    if (!isValidUtf8(shown)) {
        fields += ",\"pointHex\":\"" + hexText(shown) + "\"";
    }
    return fields;
}

std::string jsonText(std::string_view key, std::string_view value)
{
    return "\"" + std::string(key) + "\":" + jsonString(value);
}

std::string jsonNumber(std::string_view key, std::uint64_t value)
{
    return "\"" + std::string(key) + "\":" + std::to_string(value);
}

std::string jsonBool(std::string_view key, bool value)
{
    return "\"" + std::string(key) + "\":" + (value ? "true" : "false");
}

} // namespace

std::string addressText(std::uint32_t address)
{
    char text[sizeof "255.255.255.255"];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFFu, (address >> 16) & 0xFFu,
                  (address >> 8) & 0xFFu, address & 0xFFu);
    return text;
}

std::string endpointText(Endpoint endpoint)
{
    return addressText(endpoint.address) + ":" + std::to_string(endpoint.port);
}

std::string listeningLine(OutputFormat format, Endpoint bound)
{
    if (format == OutputFormat::json) {
        return "{\"event\":\"listening\"," + jsonText("address", addressText(bound.address)) + "," +
               jsonNumber("port", bound.port) + "}\n";
    }
    return "marld: listening on " + endpointText(bound) + "\n";
}

std::string httpLine(OutputFormat format, Endpoint bound)
{
    if (format == OutputFormat::json) {
        return "{\"event\":\"http\"," + jsonText("address", addressText(bound.address)) + "," +
               jsonNumber("port", bound.port) + "}\n";
    }
    return "marld: serving HTTP on http://" + endpointText(bound) + "/\n";
}

namespace {

// A float as a person or a JSON reader expects it: shortest form that reads
// back to the same value; JSON has no NaN or infinity, so those become null.
std::string floatText(OutputFormat format, float value)
{
    if (format == OutputFormat::json && !std::isfinite(value)) {
        return "null";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return text;
}

// "1970-01-01T00:00:16Z" for an arm time in seconds.
std::string utcText(std::int32_t seconds)
{
    const std::time_t time = seconds;
    std::tm parts{};
    char text[32] = "?";
    if (gmtime_r(&time, &parts) != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    }
    return text;
}

// The decoded block: in JSON a "runtimeInfo" object (absent texts left out),
// in text " key=value" pairs.
std::string runtimeInfoFields(OutputFormat format, const RuntimeInfo& info)
{
    const bool json = format == OutputFormat::json;
    std::vector<std::string> fields;
    const auto addText = [&](std::string_view key, const std::optional<std::string>& text) {
        if (text) {
            fields.push_back(json ? jsonText(key, *text) : std::string(key) + "=" + quotedName(*text));
        }
    };
    const auto addRaw = [&](std::string_view key, const std::string& value) {
        fields.push_back(json ? "\"" + std::string(key) + "\":" + value : std::string(key) + "=" + value);
    };
    if (json) {
        addRaw("blockBytes", std::to_string(info.blockSize));
    }
    if (const auto& threshold = info.threshold) {
        addText("attributeId", threshold->attributeId);
        addText("indication", threshold->indication);
        addRaw("low", floatText(format, threshold->low));
        addRaw("high", floatText(format, threshold->high));
        addRaw("observedValue", floatText(format, threshold->observedValue));
        addRaw("armTime", json ? std::to_string(threshold->armTime) : utcText(threshold->armTime));
        if (json) {
            addRaw("armTimeUtc", jsonString(utcText(threshold->armTime)));
        }
    }
    for (std::size_t i = 0; i < info.texts.size(); ++i) {
        addText(marl::kTextFields[i].name, info.texts[i]);
    }
    std::string joined;
    for (const auto& field : fields) {
        joined += json ? (joined.empty() ? "" : ",") + field : " " + field;
    }
    return json ? "\"runtimeInfo\":{" + joined + "}" : joined;
}

} // namespace

std::string updateLine(OutputFormat format, const UpdateAccepted& update, Endpoint sender)
{
    const PointChange& change = update.change;
    if (format == OutputFormat::json) {
        return "{\"event\":\"update\"," + jsonPoint(update.point) + "," + jsonBool("extended", update.extended) +
               "," + jsonText("old", stateName(change.oldSet)) + "," + jsonText("new", stateName(change.newSet)) +
               "," + jsonNumber("updates", change.updateCount) + "," +
               (update.runtimeInfo ? runtimeInfoFields(format, *update.runtimeInfo) + "," : std::string()) +
               jsonText("sender", endpointText(sender)) + "}\n";
    }
    std::string line = std::string(update.extended ? "update-ext " : "update ") + quotedName(update.point) + " " +
                       std::string(stateName(change.oldSet)) + " -> " + std::string(stateName(change.newSet)) +
                       " (update " + std::to_string(change.updateCount);
    line += ") from " + endpointText(sender);
    if (update.runtimeInfo) {
        line += runtimeInfoFields(format, *update.runtimeInfo);
    }
    return line + "\n";
}

std::string queryLine(OutputFormat format, const QueryAnswered& query)
{
    if (format == OutputFormat::json) {
        return "{\"event\":\"query\"," + jsonPoint(query.point) + "," + jsonNumber("nameLength", query.point.size()) +
               "," + jsonText("state", stateName(query.pointIsSet)) + "," +
               jsonText("returnCode", returnCodeName(query.returnCode)) + "," +
               jsonText("sender", endpointText(query.replyTo)) + "}\n";
    }
    std::string line = "query " + quotedName(shownName(query.point));
    if (query.point.size() > kMaxPointNameLength) {
        line += "... (" + std::to_string(query.point.size()) + " bytes)";
    }
    return line + " -> " + std::string(stateName(query.pointIsSet)) + " (" +
           std::string(returnCodeName(query.returnCode)) + ") to " + endpointText(query.replyTo) + "\n";
}

std::string withheldLine(OutputFormat format, const UpdateWithheld& update, Endpoint sender)
{
    if (format == OutputFormat::json) {
        return "{\"event\":\"withheld\"," + jsonPoint(update.point) + "," + jsonText("new", stateName(update.set)) +
               "," + jsonText("sender", endpointText(sender)) + "}\n";
    }
    return "withheld " + quotedName(update.point) + " " + std::string(stateName(update.set)) + " from " +
           endpointText(sender) + " (--drop-updates)\n";
}

std::string dropLine(OutputFormat format, const Dropped& drop, std::size_t size, Endpoint sender)
{
    if (format == OutputFormat::json) {
        return "{\"event\":\"dropped\"," + jsonText("reason", dropReasonName(drop.reason)) + "," +
               (drop.id ? jsonNumber("id", *drop.id) : "\"id\":null") + "," + jsonNumber("bytes", size) + "," +
               jsonText("sender", endpointText(sender)) + "}\n";
    }
    std::string line = "marld: dropped " + std::to_string(size) + " bytes from " + endpointText(sender) + ": " +
                       std::string(dropReasonName(drop.reason));
    if (drop.id) {
        char id[sizeof " (id 0xffffffff)"];
        std::snprintf(id, sizeof id, " (id 0x%04x)", static_cast<unsigned>(*drop.id));
        line += id;
    }
    return line + "\n";
}

std::string outcomeLine(OutputFormat format, const Outcome& outcome, std::size_t size, Endpoint sender)
{
    if (const auto* update = std::get_if<UpdateAccepted>(&outcome)) {
        return updateLine(format, *update, sender);
    }
    if (const auto* query = std::get_if<QueryAnswered>(&outcome)) {
        return queryLine(format, *query);
    }
    if (const auto* withheld = std::get_if<UpdateWithheld>(&outcome)) {
        return withheldLine(format, *withheld, sender);
    }
    return dropLine(format, std::get<Dropped>(outcome), size, sender);
}

std::string suppressedLine(OutputFormat format, std::uint64_t count)
{
    if (format == OutputFormat::json) {
        return "{\"event\":\"suppressed\"," + jsonNumber("lines", count) + "}\n";
    }
    return "marld: " + std::to_string(count) + " more lines not shown\n";
}

std::string replyFailedLine(OutputFormat format, Endpoint to, std::string_view error)
{
    if (format == OutputFormat::json) {
        return "{\"event\":\"reply-failed\"," + jsonText("to", endpointText(to)) + "," + jsonText("error", error) +
               "}\n";
    }
    return "marld: reply to " + endpointText(to) + " failed: " + std::string(error) + "\n";
}

std::string countersReport(OutputFormat format, const Counters& counters)
{
    const bool json = format == OutputFormat::json;
    std::string report = json ? "{\"event\":\"counters\"" : "";
    for (const CounterRow& row : kCounterRows) {
        if (row.name.empty()) {
            continue;
        }
        // "receive-errors" is "receiveErrors" in JSON.
        std::string key(row.name);
        for (std::size_t dash; (dash = key.find('-')) != std::string::npos;) {
            key.replace(dash, 2, 1, static_cast<char>(std::toupper(static_cast<unsigned char>(key[dash + 1]))));
        }
        report += json ? "," + jsonNumber(key, counters[row.count])
                       : "marld: " + std::string(row.name) + " " + std::to_string(counters[row.count]) + "\n";
        if (row.count != Count::dropped) {
            continue;
        }
        report += json ? ",\"droppedBy\":{" : "";
        for (const DropReasonRow& reason : kDropReasons) {
            report += json ? (&reason == kDropReasons.data() ? "" : ",") + jsonNumber(reason.name, counters[reason.reason])
                           : "marld: dropped " + std::string(reason.name) + " " +
                                 std::to_string(counters[reason.reason]) + "\n";
        }
        report += json ? "}" : "";
    }
    return report + (json ? "}\n" : "");
}

namespace {

// "2026-12-07T15:31:02.123Z".
std::string rfc3339(WallClock::time_point at)
{
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(millis / 1000 - (millis % 1000 < 0 ? 1 : 0));
    std::tm parts{};
    char text[48] = "?";
    if (gmtime_r(&seconds, &parts) != nullptr) {
        const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
        std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>((millis % 1000 + 1000) % 1000));
    }
    return text;
}

std::string runtimeInfoJson(const RuntimeInfo* info)
{
    return info != nullptr ? runtimeInfoFields(OutputFormat::json, *info) : "\"runtimeInfo\":null";
}

} // namespace

std::string pointJson(std::string_view name, const PointState& state)
{
    return "{" + jsonPoint(name) + ",\"state\":\"" + std::string(stateName(state.isSet)) + "\"," +
           jsonText("lastChange", rfc3339(state.lastChange)) + "," + jsonNumber("updateCount", state.updateCount) +
           "," + runtimeInfoJson(state.runtimeInfo.get()) + "}";
}

std::string changeJson(const StateChange& change)
{
    return "{" + jsonText("at", rfc3339(change.at)) + ",\"state\":\"" + std::string(stateName(change.isSet)) +
           "\"," + runtimeInfoJson(change.runtimeInfo.get()) + "}";
}

} // namespace marld
