// Allocation-failure sweeps: each operation runs with its first allocation
// failing, then its second, and so on, until a run makes no allocation that
// fails. Every failing run must give the result and the lines of that very
// failure and leave nothing allocated, and the next call, without a failure,
// must succeed.
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>

#include <atomic>
#include <climits>
#include <ctime>
#include <functional>
#include <stop_token>
#include <thread>

#include "client_fixture.h"
#include "datagramHandler.h"
#include "eventFormat.h"
#include "marlEncDec.h"
#include "marlRecords.h"

using marltest::LogLine;
using marltest::platform;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Longer than a std::string holds without allocating.
const std::string kPoint = "fan-tray-2/overheat";
const t_threshold_info kThreshold{const_cast<char*>("temperature"), {const_cast<char*>("up"), 60.0F, 80.0F}, 82.5F,
                                  1'700'000'000};
constexpr marld::Endpoint kSender{0x7F000001, 40000};
const marld::WallClock::time_point kNow{std::chrono::seconds(1'700'000'000)};

// What one call gave: its result, the lines it logged and, for marld, the
// line that the service prints for the outcome.
struct Report {
    bool ok = false;
    std::vector<LogLine> logged;
    std::string printed;
    bool operator==(const Report&) const = default;
};

void PrintTo(const Report& report, std::ostream* out)
{
    *out << (report.ok ? "ok" : "failed") << ", logged " << ::testing::PrintToString(report.logged) << ", printed \""
         << report.printed << "\"";
}

// Runs one operation with its nth allocation failing (none for 0) and counts
// the allocations it makes.
class Fault {
public:
    explicit Fault(int nth) : nth_(nth) {}

    template <typename Operation>
    auto operator()(Operation operation)
    {
        platform().failAllocation(nth_ > 0 ? nth_ : INT_MAX);
        auto result = operation();
        made_ = platform().allocationsCounted();
        platform().failAllocation(0);
        return result;
    }

    [[nodiscard]] bool failed() const { return nth_ > 0 && made_ >= nth_; }

private:
    int nth_;
    int made_ = 0;
};

// marld's side, new for each failing allocation, kept for the call after it.
struct Marld {
    marld::PointStore store;
    marld::PointNames names;
    marld::DatagramHandler handler{store, names};
};

struct Sweep {
    std::string name;
    int allocations; // made by a call in which none fails
    std::function<Report(Marld&, Fault&)> call;
    std::function<Report(int failed)> expected; // failed: the allocation that failed, 0 for none
};

LogLine logged(int priority, const std::string& file, const std::string& needle, const std::string& text)
{
    return {priority, marltest::taggedLine(file, needle, text)};
}

const LogLine& unableToAllocate()
{
    static const LogLine line = logged(LOG_CRIT, "src/marlclient.cpp", "Unable to allocate buffer",
                                       "Unable to allocate buffer");
    return line;
}

LogLine swerr(const std::string& function, const std::string& needle, const std::string& what)
{
    return logged(LOG_CRIT, "src/marlEncDec.cpp", "\"Marl Swerr: %s: " + needle,
                  "Marl Swerr: " + function + ": " + what);
}

// Fails with `lines` for any failed allocation, succeeds without a line.
std::function<Report(int)> failsWith(std::vector<LogLine> lines, std::vector<LogLine> always = {})
{
    return [=](int failed) {
        std::vector<LogLine> all = always;
        if (failed != 0) {
            all.insert(all.end(), lines.begin(), lines.end());
        }
        return Report{failed == 0, all, {}};
    };
}

// The block reader's nine allocations: the record, then its two texts and
// the six others. A failed text step ends the read; each later one logs.
Report blockReaderFailure(int failed)
{
    if (failed == 0) {
        return {true, {}, {}};
    }
    if (failed == 1) {
        return {false,
                {swerr("oamMarlDecodeDynamicInfo", "Failed Memory allocation of thresholdInfo",
                       "Failed Memory allocation of thresholdInfo, size " + std::to_string(sizeof(t_threshold_info)))},
                {}};
    }
    const int size = failed == 2 ? 12 : failed == 3 ? 3 : 2; // "temperature", "up", one letter
    Report report{false,
                  {swerr("oamMarlDecodeString", "Failed Memory allocation of marlString",
                         "Failed Memory allocation of marlString, size " + std::to_string(size))},
                  {}};
    report.logged.insert(report.logged.end(), static_cast<std::size_t>(9 - failed),
                         swerr("oamMarlDecodeString", "Invalid input parameter", "Invalid input parameter"));
    return report;
}

Report readBlock(Fault& fault)
{
    Bytes wire(64);
    const std::uint8_t* end = oamMarlEncodeDynamicInfo(wire.data(), &kThreshold, "m", "u", "p", "d", "1", "2");
    t_threshold_info* info = nullptr;
    std::array<char*, 6> texts{};
    const std::uint8_t* read = fault([&] {
        return oamMarlDecodeDynamicInfo(wire.data(), &info, &texts[0], &texts[1], &texts[2], &texts[3], &texts[4],
                                        &texts[5]);
    });
    std::string got;
    for (const char* text : {info != nullptr ? info->attributeId : nullptr,
                             info != nullptr ? info->thresholdLevel.indication : nullptr, texts[0], texts[1],
                             texts[2], texts[3], texts[4], texts[5]}) {
        got += text != nullptr ? text : "-";
    }
    // As a C caller releases what the reader gave it.
    if (info != nullptr) {
        std::free(info->attributeId);
        std::free(info->thresholdLevel.indication);
        std::free(info);
    }
    for (char* text : texts) {
        std::free(text);
    }
    return {read == end && got == "temperatureupmupd12", platform().logs(), {}};
}

Report readString(Fault& fault)
{
    const Bytes wire = marltest::hexBytes("0003 616263 00");
    char* text = nullptr;
    const std::uint8_t* end = fault([&] { return oamMarlDecodeString(wire.data(), &text); });
    const bool ok = end == wire.data() + wire.size() && text != nullptr && std::string(text) == "abc";
    std::free(text);
    return {ok, platform().logs(), {}};
}

// A datagram about kPoint, raising it for an update, with `block` after the
// name of an extended update.
Bytes datagram(std::uint32_t id, const Bytes& block = {})
{
    const std::size_t size = (id == MARL_MSG_QUERY_POINT ? MARL_QUERY_POINT_MSG_SIZE : MARL_UPDATE_POINT_MSG_SIZE) +
                             kPoint.size() + block.size();
    Bytes bytes(size);
    marl::ByteWriter writer(bytes.data(), size);
    msgHeaderNt header{};
    header.id = id;
    header.length = static_cast<msgLengthNt>(size);
    const auto nameLength = static_cast<std::uint32_t>(kPoint.size());
    const bool written =
        id == MARL_MSG_QUERY_POINT
            ? marl::putQueryPointMsg(writer, {header, nameLength})
            : marl::putUpdatePointMsg(writer, {header, 1, 0, nameLength});
    EXPECT_TRUE(written && writer.putBytes(kPoint.data(), kPoint.size()) && writer.putBytes(block.data(), block.size()));
    return bytes;
}

Bytes runtimeInfo()
{
    Bytes block(MARL_DYNAMIC_INFO_MAX_SIZE);
    block.resize(static_cast<std::size_t>(
        oamMarlEncodeDynamicInfo(block.data(), &kThreshold, "fan speed", "u", "p", "d", "1", "2") - block.data()));
    return block;
}

// marld handles the datagram; the report holds the line it prints for the
// outcome, made as udpServer.cpp makes it. What the library's block reader
// logs when one of its own allocations fails is the reader's sweep's
// business, not marld's.
Report handled(Marld& marld, Fault& fault, const Bytes& bytes)
{
    const marld::Outcome outcome =
        fault([&] { return marld.handler.handle(bytes.data(), bytes.size(), kSender, kNow); });
    const auto text = marld::OutputFormat::text;
    if (const auto* update = std::get_if<marld::UpdateAccepted>(&outcome)) {
        return {true, {}, marld::updateLine(text, *update, kSender)};
    }
    if (const auto* query = std::get_if<marld::QueryAnswered>(&outcome)) {
        return {true, {}, marld::queryLine(text, *query)};
    }
    return {false, {}, marld::dropLine(text, std::get<marld::Dropped>(outcome), bytes.size(), kSender)};
}

std::function<Report(int)> marldPrints(const std::string& failed, const std::string& succeeded)
{
    return [=](int failedAllocation) {
        return Report{failedAllocation == 0, {}, failedAllocation != 0 ? failed : succeeded};
    };
}

std::vector<Sweep> sweeps()
{
    const LogLine entry = logged(LOG_INFO, "src/marlclient.cpp", "update the marl point with runtime info",
                                 "update_marl_point_ext: update the marl point with runtime info");
    return {
        {"update_marl_point", 1,
         [](Marld&, Fault& fault) {
             return Report{fault([] { return update_marl_point(kPoint.c_str(), 1); }), platform().logs(), {}};
         },
         failsWith({unableToAllocate()})},
        {"update_marl_point_ext", 1,
         [](Marld&, Fault& fault) {
             return Report{fault([] {
                               return update_marl_point_ext(kPoint.c_str(), 1, &kThreshold, "fan speed", "u", "p",
                                                            "d", "1", "2");
                           }),
                           platform().logs(),
                           {}};
         },
         failsWith({unableToAllocate()}, {entry})},
        {"read_marl_point", 1,
         [](Marld&, Fault& fault) {
             std::uint8_t value = 7;
             const bool ok = fault([&] { return read_marl_point(kPoint.c_str(), &value); });
             return Report{ok && value == 1, platform().logs(), {}};
         },
         failsWith({unableToAllocate()})},
        {"oamMarlDecodeString", 1, [](Marld&, Fault& fault) { return readString(fault); },
         failsWith({swerr("oamMarlDecodeString", "Failed Memory allocation of marlString",
                          "Failed Memory allocation of marlString, size 4")})},
        {"oamMarlDecodeDynamicInfo", 9, [](Marld&, Fault& fault) { return readBlock(fault); }, blockReaderFailure},
        // The name of the reported outcome, the store's key and its node.
        {"marld_update", 3, [](Marld& marld, Fault& fault) { return handled(marld, fault, datagram(MARL_MSG_UPDATE_POINT)); },
         marldPrints("marld: dropped 65 bytes from 127.0.0.1:40000: out-of-memory (id 0x8c00)\n",
                     "update \"fan-tray-2/overheat\" clear -> set (update 1) from 127.0.0.1:40000\n")},
        // The block reader's nine (record, its two texts, six texts), then as
        // for an update.
        {"marld_extended_update", 12,
         [](Marld& marld, Fault& fault) {
             return handled(marld, fault, datagram(MARL_MSG_UPDATE_POINT_EXT, runtimeInfo()));
         },
         marldPrints("marld: dropped 134 bytes from 127.0.0.1:40000: out-of-memory (id 0x8c04)\n",
                     "update-ext \"fan-tray-2/overheat\" clear -> set (update 1) from 127.0.0.1:40000 "
                     "attributeId=\"temperature\" indication=\"up\" low=60 high=80 observedValue=82.5 "
                     "armTime=2023-11-14T22:13:20Z monitoredAttributes=\"fan speed\" serviceUser=\"u\" "
                     "serviceProvider=\"p\" securityAlarmDetector=\"d\" additionalText1=\"1\" "
                     "additionalText2=\"2\"\n")},
        // The answer's name and its reply.
        {"marld_query", 2, [](Marld& marld, Fault& fault) { return handled(marld, fault, datagram(MARL_MSG_QUERY_POINT)); },
         marldPrints("marld: dropped 63 bytes from 127.0.0.1:40000: out-of-memory (id 0x8c01)\n",
                     "query \"fan-tray-2/overheat\" -> clear (MARL_MSG_RC_OK) to 127.0.0.1:40000\n")},
    };
}

class AllocationSweep : public marltest::ClientTest, public ::testing::WithParamInterface<Sweep> {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        // marld's lines give arm times as dates; the C library loads its
        // time-zone data on first use and keeps it, which is no leak.
        tzset();
        responder_ = std::jthread([this](std::stop_token stop) { answerQueries(stop); });
        // A thread's start allocates too (the sanitizers' bookkeeping does):
        // over before any allocation is counted or failed.
        started_.wait(false);
    }

    // Answers every query that reaches the service with "set". Whatever the
    // thread allocates stays out of the counts: each allocation that a sweep
    // counts is the operation's own.
    void answerQueries(const std::stop_token& stop)
    {
        platform().ignoreAllocationsOfThisThread();
        started_ = true;
        started_.notify_one();
        while (!stop.stop_requested()) {
            pollfd ready{service.fd(), POLLIN, 0};
            std::uint8_t query[MARL_MAX_RESPONSE_LENGTH];
            sockaddr_in sender{};
            iovec buffer{query, sizeof query};
            msghdr message{};
            message.msg_name = &sender;
            message.msg_namelen = sizeof sender;
            message.msg_iov = &buffer;
            message.msg_iovlen = 1;
            if (poll(&ready, 1, 20) == 1 && recvmsg(service.fd(), &message, 0) >= 4 &&
                query[3] == (MARL_MSG_QUERY_POINT & 0xFF)) {
                service.sendTo(sender, reply_);
            }
        }
    }

    // Identifier 0x8C02, pointIsSet 1, return code 0.
    const Bytes reply_ = marltest::hexBytes("00008c02 00000031" + std::string(64, '0') + "01 00000000 00000000");
    std::atomic<bool> started_{false};
    std::jthread responder_;
};

TEST_P(AllocationSweep, FailsEachAllocationInTurn)
{
    const Sweep& sweep = GetParam();
    for (int nth = 1; nth <= sweep.allocations + 1; ++nth) {
        platform().startTrackingAllocations();
        {
            Marld marld;
            platform().clearLogs();
            Fault fault(nth);
            const Report report = sweep.call(marld, fault);
            EXPECT_EQ(report, sweep.expected(fault.failed() ? nth : 0)) << "allocation " << nth;
            EXPECT_EQ(fault.failed(), nth <= sweep.allocations) << "allocation " << nth;
            if (fault.failed()) {
                platform().clearLogs();
                Fault none(0);
                const Report next = sweep.call(marld, none);
                EXPECT_EQ(next, sweep.expected(0)) << "the call after allocation " << nth;
            }
        }
        EXPECT_EQ(platform().outstandingAllocations(), 0) << "allocation " << nth;
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, AllocationSweep, ::testing::ValuesIn(sweeps()),
                         [](const auto& param) { return param.param.name; });

} // namespace
