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
    const TurnTimes* turns = nullptr;       // the loop's
};

// Which points a list holds, from its query's arguments.
struct Selection {
    std::optional<bool> set;         // only the set (or the clear) ones
    std::string filter;              // a part of the name, ASCII letters of either case
    std::size_t limit = SIZE_MAX;    // at most this many, the first in the store's order
    bool counted = false;            // in an object with how many matched, were set and are known
};

// The selected points as a JSON array (or, counted, an object: "points",
// then "matching", "set" and "total"), produced a few points at a time as
// the client takes it, so that no answer is ever made in one go; points that
// come meanwhile are in it, each point once.
class PointsStream {
public:
    PointsStream(const PointStore& store, Selection selection)
        : store_(store), selection_(std::move(selection)), piece_(selection_.counted ? "{\"points\":[" : "[")
    {
    }

    // Copies up to `room` further bytes of the answer to `to`; 0 once it is
    // all out.
    [[nodiscard]] std::size_t read(char* to, std::size_t room);

private:
    const PointStore& store_;
    Selection selection_;
    std::size_t next_ = 0; // the next point's place in the store
    std::string piece_;
    std::size_t taken_ = 0; // of piece_
    std::size_t matching_ = 0;
    bool ended_ = false;
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
