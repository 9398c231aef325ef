#include "datagramHandler.h"

#include <memory>
#include <new>
#include <utility>

#include "byteStream.h"
#include "marlRecords.h"

namespace marld {

namespace {

// The name of `length` bytes after a record, and what follows it; nothing
// when the name runs past the end. The reader compares the length with the
// count of bytes left, so no length, not even 0xFFFFFFFF, can wrap around.
[[nodiscard]] bool takeName(marl::ByteReader& reader, std::uint32_t length, std::string_view& name,
                            std::span<const std::uint8_t>& rest)
{
    const auto* start = reinterpret_cast<const char*>(reader.position());
    if (!reader.skip(length)) {
        return false;
    }
    name = {start, length};
    rest = {reader.position(), reader.left()};
    return true;
}

// splitmix64, uniform in [0, 1) in steps of 2^-53: small and fully defined by
// its seed, so that one seed and one sequence of updates withhold the same
// updates on every machine.
double nextDraw(std::uint64_t& state) noexcept
{
    std::uint64_t z = state += 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1.0p-53;
}

} // namespace

DatagramHandler::DatagramHandler(PointStore& store, const PointNames& names, Counters& counters, Journal* journal,
                                 const TestAids& aids, std::vector<Network> allowed)
    : store_(store), names_(names), counters_(counters), journal_(journal), aids_(aids), allowed_(std::move(allowed)),
      draws_(aids.seed)
{
    read_.reserve(kMaxBatch);
    askedNames_.reserve(kMaxBatch);
}

Outcome DatagramHandler::handle(const std::uint8_t* bytes, std::size_t size, Endpoint sender,
                                WallClock::time_point now)
{
    const Datagram datagram{bytes, size, sender};
    read(std::span(&datagram, 1));
    return apply(0, sender, now);
}

Dropped DatagramHandler::drop(DropReason reason, std::optional<std::uint32_t> id)
{
    counters_.drop(reason);
    return Dropped{reason, id};
}

void DatagramHandler::read(std::span<const Datagram> batch)
{
    read_.clear();
    askedNames_.clear();
    for (const Datagram& datagram : batch.first(std::min(batch.size(), kMaxBatch))) {
        read_.push_back(read(datagram));
        if (const auto* request = std::get_if<Request>(&read_.back())) {
            askedNames_.push_back(request->name);
        }
    }
    store_.expect(askedNames_);
}

std::variant<DatagramHandler::Request, Dropped> DatagramHandler::read(const Datagram& datagram)
{
    counters_.add(Count::received);
    if (!allowed_.empty() && !belongs(datagram.sender, allowed_)) {
        return drop(DropReason::senderNotAllowed, std::nullopt);
    }
    marl::ByteReader reader(datagram.bytes, datagram.size);
    std::uint32_t id = 0;
    std::int32_t length = 0;
    if (!marl::getHeaderIdAndLength(reader, id, length)) {
        return drop(DropReason::shortDatagram, std::nullopt);
    }
    if (id != MARL_MSG_UPDATE_POINT && id != MARL_MSG_UPDATE_POINT_EXT && id != MARL_MSG_QUERY_POINT) {
        return drop(DropReason::unknownId, id);
    }
    if (length < 0 || static_cast<std::size_t>(length) != datagram.size) {
        return drop(DropReason::lengthMismatch, id);
    }
    Request request{id, {}, false, {}};
    std::uint32_t nameLength = 0;
    if (id == MARL_MSG_QUERY_POINT) {
        t_marl_query_point_msg query{};
        if (!marl::getQueryPointFields(reader, query)) {
            return drop(DropReason::shortDatagram, id);
        }
        nameLength = query.pointNameLength;
    } else {
        t_marl_update_point_msg update{};
        if (!marl::getUpdatePointFields(reader, update)) {
            return drop(DropReason::shortDatagram, id);
        }
        nameLength = update.pointNameLength;
        request.set = update.setPoint != 0;
    }
    if (!takeName(reader, nameLength, request.name, request.rest)) {
        return drop(DropReason::nameOverrun, id);
    }
    if (id != MARL_MSG_UPDATE_POINT_EXT && !request.rest.empty()) {
        return drop(DropReason::trailingBytes, id);
    }
    // A rejected name in a query is still answered, with the refusal.
    if (id != MARL_MSG_QUERY_POINT && !names_.accepts(request.name)) {
        return drop(DropReason::invalidName, id);
    }
    // With an acceptable name, only an extended update's block can make it
    // longer than an update may be.
    if (id != MARL_MSG_QUERY_POINT && datagram.size > MARL_MAX_UPDATE_MSG_LENGTH) {
        return drop(DropReason::updateTooLong, id);
    }
    return request;
}

Outcome DatagramHandler::apply(std::size_t i, Endpoint sender, WallClock::time_point now)
{
    if (const auto* dropped = std::get_if<Dropped>(&read_[i])) {
        return *dropped;
    }
    const Request& request = std::get<Request>(read_[i]);
    // What follows allocates. A service that runs short of memory drops the
    // datagram and goes on, rather than ending on the exception; the store is
    // changed last, by one step that either completes or changes nothing, so
    // a failure leaves no update half applied.
    try {
        return request.id == MARL_MSG_QUERY_POINT ? answer(request, sender) : update(request, now);
    } catch (const std::bad_alloc&) {
        return drop(DropReason::outOfMemory, request.id);
    }
}

Outcome DatagramHandler::update(const Request& request, WallClock::time_point now)
{
    const bool extended = request.id == MARL_MSG_UPDATE_POINT_EXT;
    // The block is decoded, and allocated where the store keeps it, before
    // anything changes: a failure there leaves the store as it was.
    std::shared_ptr<const RuntimeInfo> runtimeInfo;
    if (extended) {
        std::optional<RuntimeInfo> decoded = decodeRuntimeInfo(request.rest.data(), request.rest.size());
        if (!decoded) {
            return drop(DropReason::invalidRuntimeInfo, request.id);
        }
        runtimeInfo = std::make_shared<const RuntimeInfo>(std::move(*decoded));
    }
    // Drawn for acceptable updates only, so that malformed ones in between
    // leave the pick of the others alone.
    if (aids_.dropUpdates > 0 && nextDraw(draws_) < aids_.dropUpdates) {
        counters_.add(Count::withheld);
        return UpdateWithheld{request.name, request.set};
    }
    const auto change = store_.update(request.name, request.set, now, std::move(runtimeInfo));
    if (!change) {
        return drop(DropReason::storeFull, request.id);
    }
    counters_.add(Count::updates);
    if (journal_ != nullptr) {
        // The update is applied; without the memory to note it, the history
        // and the state file miss this one update.
        try {
            journal_->note(request.name, *change->point, change->updateCount == 1 || change->oldSet != change->newSet);
        } catch (const std::bad_alloc&) {
            counters_.add(Count::historyLost);
        }
    }
    // The block shown is the one the store keeps: it stays until the point's
    // next update, which is a later datagram's.
    return UpdateAccepted{request.name, extended, *change, extended ? change->point->runtimeInfo.get() : nullptr};
}

Outcome DatagramHandler::answer(const Request& request, Endpoint sender)
{
    QueryAnswered answer;
    answer.point = request.name;
    answer.replyTo = sender;
    if (!names_.accepts(request.name)) {
        answer.returnCode = MARL_MSG_RC_INVALID_POINT_ID;
    } else if (const PointState* point = store_.find(request.name)) {
        answer.pointIsSet = point->isSet;
    }
    if (aids_.replyCode) {
        answer.returnCode = *aids_.replyCode;
        counters_.add(Count::replyCoded);
    }
    // Written into the reply kept from the last query, which grows only for
    // a longer name than any before it.
    const marl::ResponseDatagram response{request.name, answer.pointIsSet, answer.returnCode};
    reply_.resize(marl::datagramSize(response));
    marl::ByteWriter writer(reply_.data(), reply_.size());
    // Cannot fail, the buffer having exactly the room needed; were it ever
    // to, an empty reply is safer than a half-written one.
    if (!marl::putDatagram(writer, response)) {
        reply_.clear();
    }
    answer.reply = reply_;
    counters_.add(Count::queries);
    counters_.add(Count::queriesRefused, answer.returnCode == MARL_MSG_RC_INVALID_POINT_ID ? 1 : 0);
    return answer;
}

} // namespace marld
