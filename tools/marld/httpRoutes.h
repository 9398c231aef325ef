// What marld's HTTP side answers, with no server around it: a request's
// method and target (its path, the percent-encoded name in it and its query
// arguments) routed to every point, one point, its history, the metrics or
// the status page. The server (httpServer.h) only carries the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "counters.h"
#include "eventLoop.h"
#include "journal.h"
#include "pointStore.h"

namespace marld {

// What the HTTP side reads: the loop's own state, read between its batches.
struct HttpView {
    PointStore& store;
    const Journal& journal;
    const Counters& counters;
    std::optional<std::uint32_t> replyCode; // --reply-code, which every reply carries
    int udpSocket;                          // for the kernel's count of receive-buffer drops
    // Texts the page shows above its table, such as that updates were lost;
    // /view carries them. The service's, which may change between requests.
    const std::vector<std::string>* warnings = nullptr;
    const TurnTimes* turns = nullptr;       // the loop's
};

// The order of a list: the latest change first (the default, so that
// however long the list and its limit, the newest point leads), the earliest
// first, or by name, byte by byte. Points that changed at the same time go
// by their place in the store, the later one first when the newest lead, so
// that the order is total and the same from one request to the next.
enum class SortOrder : std::uint8_t { newest, oldest, name };

// Which points a list holds, from its query's arguments.
struct Selection {
    std::optional<bool> set;         // only the set (or the clear) ones
    std::string filter;              // a part of the name, ASCII letters of either case
    std::size_t limit = SIZE_MAX;    // at most this many, the first in `sort`'s order
    bool counted = false;            // in an object with how many matched, were set and are known
    SortOrder sort = SortOrder::newest;
};

// The selected points as a JSON array (or, counted, an object: "points",
// then "matching", "set", "total" and "warnings"), sorted and cut to the
// limit. Every call of read() does a bounded amount of work, however many
// points there are: the store is looked through a few thousand points a call,
// the matching ones kept in a heap of at most `limit` (worst on top), which
// is then put in order a bounded number of points a call and written out a
// few points at a time from each point's state as it then is. A point that no
// longer matches the state asked for by then is left out (and not counted);
// points that come meanwhile are left out; each point is in it at most once.
// A call that has done its share of work may have no byte to show yet.
class PointsStream {
public:
    PointsStream(const PointStore& store, Selection selection, const std::vector<std::string>* warnings = nullptr);

    // Does a bounded share of the answer's work and copies up to `room`
    // further bytes of it to `to`: none when that share had none to show.
    [[nodiscard]] std::size_t read(char* to, std::size_t room);
    // Whether the answer is all out.
    [[nodiscard]] bool done() const noexcept { return phase_ == Phase::done && taken_ == piece_.size(); }

private:
    // A matching point as it was when looked at, by its place, where its
    // name and current state are found, and a key that orders most pairs
    // without a look at the store: its change time (kept, as a later change
    // must not move a point within the heap), or its name's first 8 bytes.
    struct Kept {
        std::uint64_t key;
        std::uint32_t place;
    };
    enum class Phase : std::uint8_t { scan, order, write, done };

    // Whether `a` goes before `b`; counts the work.
    [[nodiscard]] bool before(const Kept& a, const Kept& b);
    // Works on until there are bytes to send or this call's work is spent.
    void step();
    void scan();
    void order();
    void write();

    const PointStore& store_;
    Selection selection_;
    std::string warnings_;          // the JSON array, for a counted list
    std::size_t end_;               // the store's size when asked: later points are left out
    std::size_t next_ = 0;          // the next point's place to look at
    std::vector<Kept> kept_;        // a heap (worst on top) while scanning, then best first
    std::size_t heapSize_ = 0;      // of kept_, while ordering: the part still a heap
    std::size_t written_ = 0;       // of kept_, while writing
    std::size_t listed_ = 0;        // points written
    std::size_t matching_ = 0;
    std::size_t work_ = 0;          // done in this call
    Phase phase_ = Phase::scan;
    std::string piece_;
    std::size_t taken_ = 0; // of piece_
};

struct HttpAnswer {
    unsigned status = 200;
    std::string body;
    std::string_view type = "application/json";
    std::unique_ptr<PointsStream> stream; // instead of the body
};

// The longest target answered; longer ones get 414. A name of the longest
// kind, every byte percent-encoded, fits with room to spare.
inline constexpr std::size_t kMaxTarget = 4096;

// `accept`, the request's Accept header, chooses the metrics' format.
[[nodiscard]] HttpAnswer respond(const HttpView& view, std::string_view method, std::string_view target,
                                 std::string_view accept = {});

} // namespace marld
