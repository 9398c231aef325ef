// What the service does with received datagrams, without any socket.
//
// The handler reads each datagram once, through the library's record
// readers, checking every length against the number of bytes received; it
// applies an update to the point store or builds the reply to a query, and
// counts everything. It never throws, not even when memory runs out, and
// leaves the store untouched when it drops a datagram.
#pragma once


#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "counters.h"
#include "endpoint.h"
#include "journal.h"
#include "marlmsg.h"
#include "pointNames.h"
#include "pointStore.h"

namespace marld {

// An outcome's names are views of the datagram's bytes, and its reply and
// runtime information are the handler's or the store's own: handling a plain
// update or a query allocates nothing that the store does not keep, and an
// outcome is small. They hold until the next datagram is handled.
struct UpdateAccepted {
    std::string_view point;
    bool extended = false;
    PointChange change{};
    const RuntimeInfo* runtimeInfo = nullptr; // as decoded, extended updates only
};

// An acceptable update that --drop-updates withheld from the store.
struct UpdateWithheld {
    std::string_view point;
    bool set = false;
};

struct QueryAnswered {
    std::string_view point;
    bool pointIsSet = false;
    // Any 32-bit value with --reply-code, which the enumeration cannot hold.
    std::uint32_t returnCode = MARL_MSG_RC_OK;
    std::span<const std::uint8_t> reply; // to be sent as is
    Endpoint replyTo;                    // the query's sender
};

struct Dropped {
    DropReason reason;
    std::optional<std::uint32_t> id; // the header's identifier, if the datagram had a header
};

using Outcome = std::variant<UpdateAccepted, QueryAnswered, Dropped, UpdateWithheld>;

// Aids for testing an application's own handling of a lossy or odd service;
// all off by default.
struct TestAids {
    double dropUpdates = 0;                 // the fraction of acceptable updates withheld, 0 to 1
    std::uint64_t seed = 1;                 // of the draws that pick them
    std::optional<std::uint32_t> replyCode; // the return code of every reply
};

struct Datagram {
    const std::uint8_t* bytes;
    std::size_t size;
    Endpoint sender;
};

class DatagramHandler {
public:
    // Accepted updates are noted in `journal`, when there is one; only
    // senders in the `allowed` networks are heard, when there are any.
    DatagramHandler(PointStore& store, const PointNames& names, Counters& counters, Journal* journal = nullptr,
                    const TestAids& aids = {}, std::vector<Network> allowed = {});

    // The most datagrams a batch may hold.
    static constexpr std::size_t kMaxBatch = 1024;

    // Handles the datagrams of a batch, received at `now`, in order, calling
    // each(i, outcome) after datagram i.
    template <typename Each>
    void handle(std::span<const Datagram> batch, WallClock::time_point now, Each each)
    {
        read(batch);
        for (std::size_t i = 0; i < read_.size(); ++i) {
            each(i, apply(i, batch[i].sender, now));
        }
    }

    // One datagram on its own.
    [[nodiscard]] Outcome handle(const std::uint8_t* bytes, std::size_t size, Endpoint sender,
                                 WallClock::time_point now);

private:
    // A datagram whose header and record passed their checks.
    struct Request {
        std::uint32_t id;
        std::string_view name;
        bool set;                          // updates
        std::span<const std::uint8_t> rest; // after the name: an extended update's block
    };

    // Reads every datagram of the batch, and tells the store the names that
    // will be asked for.
    void read(std::span<const Datagram> batch);
    [[nodiscard]] std::variant<Request, Dropped> read(const Datagram& datagram);
    [[nodiscard]] Outcome apply(std::size_t i, Endpoint sender, WallClock::time_point now);
    [[nodiscard]] Outcome update(const Request& request, WallClock::time_point now);
    [[nodiscard]] Outcome answer(const Request& request, Endpoint sender);
    [[nodiscard]] Dropped drop(DropReason reason, std::optional<std::uint32_t> id);

    PointStore& store_;
    const PointNames& names_;
    Counters& counters_;
    Journal* journal_;
    TestAids aids_;
    std::vector<Network> allowed_;
    std::uint64_t draws_; // the state of the draws that pick the updates withheld
    // The batch's datagrams as read, and the names the store is asked for;
    // made kMaxBatch long at the start, so that handling allocates nothing.
    std::vector<std::variant<Request, Dropped>> read_;
    std::vector<std::string_view> askedNames_;
    // The latest reply, which keeps its capacity from one query to the next.
    std::vector<std::uint8_t> reply_;
};

} // namespace marld
