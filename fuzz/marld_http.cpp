// marld's answer to an HTTP request, on arbitrary targets.
//
// The first byte picks the method (bit 0: HEAD rather than GET; bit 1: POST),
// and its bit 2 the room each read of a long answer is given (1 byte or 4 KiB);
// the rest is the target as the client sent it, path and query, escapes and
// all. The store knows three points, one of a name that is not UTF-8, one
// with runtime information and a history, each changed at another time and
// none in the order of time or name. The answer's status is one the router
// gives; an unknown method never gets 200; a target over the limit gets 414;
// a point's answer is exactly that point's JSON or 404; and every list of
// points read to its end is the JSON of each point it names, once, between
// brackets, newest first, oldest first or by name (newest when the query
// names no order), /view's then followed by its counts, the matching ones
// at least as many as those listed, and the service's warnings.
#include <algorithm>
#include <array>
#include <span>
#include <string>

#include "fuzz_target.h"
#include "httpRoutes.h"
#include "eventFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const char* method = size == 0 || (data[0] & 2) == 0 ? (size > 0 && (data[0] & 1) ? "HEAD" : "GET") : "POST";
    const std::size_t room = size > 0 && (data[0] & 4) ? 4096 : 1;
    const std::string target(data + (size > 0), data + size);
    const std::string_view path = std::string_view(target).substr(0, target.find('?'));
    static marld::PointStore store;
    static marld::Journal journal(true, false);
    static const bool made = [] {
        const marld::WallClock::time_point at{std::chrono::seconds(1'700'000'000)};
        const auto info = std::make_shared<const marld::RuntimeInfo>(marld::RuntimeInfo{{}, {{"x", {}, {}, {}, {}, {}}}, marltest::Bytes(16)});
        for (const auto& [name, set, late] : {std::tuple("ab", true, 2), {"fan/\xff", false, 0}, {"a b", true, 1}}) {
            const auto change = store.update(name, set, at + std::chrono::seconds(late), std::string_view(name) == "ab" ? info : nullptr);
            journal.note(name, *change->point, true);
        }
        return true;
    }();
    (void)made;
    const marld::Counters counters;
    static const std::vector<std::string> warnings{"lost \"1\""};
    const marld::HttpAnswer answer = marld::respond({store, journal, counters, std::nullopt, -1, &warnings}, method, target);
    const unsigned status = answer.status;
    FUZZ_CHECK(status == 200 || status == 400 || status == 404 || status == 405 || status == 414);
    FUZZ_CHECK((status == 414) == (target.size() > marld::kMaxTarget));
    FUZZ_CHECK(status != 200 || std::string_view(method) != "POST");
    if (status == 200 && target.starts_with("/points/") && !answer.stream && !path.ends_with("/history")) {
        const std::string body = answer.body;
        bool one = false;
        for (std::size_t i = 0; i < store.size(); ++i) {
            const auto [name, state] = store.at(i);
            one = one || body == marld::pointJson(name, state) + "\n";
        }
        FUZZ_CHECK(one);
    }
    if (answer.stream) {
        std::string read;
        char piece[4096];
        for (std::size_t calls = 0; !answer.stream->done(); ++calls) {
            const std::size_t got = answer.stream->read(piece, room);
            FUZZ_CHECK(got <= room && calls < 1'000'000); // an answer ends
            read.append(piece, got);
        }
        // Each point at most once, in one of the orders (their places newest first, oldest first, by
        // name); all of them, newest first, without a query. A counted list (/view) is an object: the
        // array, then the counts, of the points matched at least. Three points never take more than
        // one read's share of work, so no spaces come between them.
        const std::size_t open = read.starts_with("{\"points\":[") ? 10 : 0;
        const bool named = target.find("sort") != target.npos || target.find('%') != target.npos;
        bool listed = false;
        const std::array<std::array<std::size_t, 3>, 3> orders{{{0, 2, 1}, {1, 2, 0}, {2, 0, 1}}};
        for (const auto& order : std::span(orders).first(named ? 3 : 1)) {
            std::string list = "[";
            std::size_t count = 0;
            for (const std::size_t i : order) {
                const auto [name, state] = store.at(i);
                const std::string json = (count == 0 ? "" : ",") + marld::pointJson(name, state);
                const bool here = read.compare(open + list.size(), json.size(), json) == 0;
                list += here ? json : "";
                count += here ? 1 : 0;
            }
            list += "]";
            const std::string tail = read.substr(std::min(read.size(), open + list.size()));
            // Of the three points, at least as many match as were listed.
            const std::string head = ",\"matching\":";
            const char matching = tail.size() > head.size() ? tail[head.size()] : '\0';
            const bool counted = matching >= static_cast<char>('0' + count) && matching <= '3' &&
                                 tail == head + matching + R"(,"set":2,"total":3,"warnings":["lost \"1\""]})" "\n";
            listed = listed || (read.compare(open, list.size(), list) == 0 && (open == 0 ? tail == "\n" : counted) &&
                                (target != "/points" || count == store.size()));
        }
        FUZZ_CHECK(listed);
    }
    return 0;
}

std::vector<FuzzInput> marlFuzzSeeds()
{
    const auto seed = [](std::uint8_t options, const std::string& target) {
        FuzzInput bytes{options};
        bytes.insert(bytes.end(), target.begin(), target.end());
        return bytes;
    };
    return {seed(0, "/"), seed(4, "/points"), seed(0, "/points?state=set"), seed(4, "/points?filter=A&state=cl%65ar"),
            seed(0, "/points?sort=name"), seed(4, "/view?sort=oldest&limit=2"), seed(0, "/points?sort=%6Eame&sort=x"),
            seed(0, "/view?state=all&limit=1&filter=%20"), seed(0, "/points?limit=2"), seed(0, "/points?limit=x"),
            seed(0, "/points/ab"), seed(1, "/points/fan%2F%FF"), seed(0, "/points/a%20b/history"), seed(0, "/points/ab/history?"), seed(0, "/metrics"),
            seed(0, "/points/%zz"), seed(0, "/points?state=%"), seed(2, "/points"), seed(0, "/points/ab/c"),
            seed(0, "/" + std::string(4096, 'a')), seed(0, "/nope")};
}
