// Allocation-failure sweeps of the codec's block reader and of marld's handling
// of each message (the client's one allocation per call is a row of
// client_test): each runs with its first allocation failing, then its
// second, and so on, until a run makes no allocation that fails. A failing
// run must fail cleanly, with the lines and outputs of that very failure, and
// the next call, without a failure, must succeed. What is left allocated,
// LeakSanitizer and memcheck find in their suites.
#include <gtest/gtest.h>
#include <syslog.h>

#include <ctime>
#include <functional>

#include "eventFormat.h"
#include "marlEncDec.h"
#include "platform_interposer.h"
#include "test_support.h"

using namespace marltest;

namespace {

const std::string kPoint = "fan-tray-2/overheat"; // longer than a std::string holds without allocating
char kUp[] = "up";
char kTemperature[] = "temperature";
const t_threshold_info kThreshold{kTemperature, {kUp, 60.0F, 80.0F}, 82.5F, 1'700'000'000};
const marl::DynamicInfoView kInfo{&kThreshold, {"fan speed", "u", "p", "d", "1", "2"}};
constexpr marld::Endpoint kSender{0x7F000001, 40000};
const std::string kString = "oamMarlDecodeString";

// A run's result, what it shows (the readers' outputs, marld's line) and the lines it logged.
using Report = std::tuple<bool, std::string, std::vector<LogLine>>;

LogLine swerr(const std::string& function, const std::string& what)
{
    const std::string needle = "\"Marl Swerr: %s: " + what.substr(0, what.find(", size"));
    const std::string text = "Marl Swerr: " + function + ": " + what;
    return {LOG_CRIT, taggedLine("marl/module/marlengine/src/marlEncDec.cpp", needle, text)};
}

// Runs `operation` with its nth allocation failing (none for 0); `failed` tells whether one did.
template <typename Operation>
auto armed(int nth, bool& failed, Operation operation)
{
    platform().failAllocation(nth);
    auto result = operation();
    failed = nth > 0 && platform().allocationsCounted() >= nth;
    platform().failAllocation(0);
    return result;
}

struct Sweep {
    std::string name;
    int allocations; // made by a run in which none fails
    std::function<Report(marld::DatagramHandler&, int nth, bool& failed)> run;
    std::function<Report(int failed)> expected; // `failed`: the allocation that failed, 0 for none
};

// The outputs start at a sentinel: "-" when not written, "0" for null.
Report readBlock(marld::DatagramHandler&, int nth, bool& failed)
{
    Bytes wire(64);
    (void)oamMarlEncodeDynamicInfo(wire.data(), &kThreshold, "m", "u", "p", "d", "1", "2");
    char s = 0;
    auto* info = reinterpret_cast<t_threshold_info*>(&s);
    std::array<char*, 8> t{&s, &s, &s, &s, &s, &s, &s, &s}; // the record's two texts, then the six others
    const bool read = armed(nth, failed, [&] {
        return oamMarlDecodeDynamicInfo(wire.data(), &info, &t[2], &t[3], &t[4], &t[5], &t[6], &t[7]);
    });
    const bool record = info != nullptr && info != reinterpret_cast<t_threshold_info*>(&s);
    std::string shown = info == nullptr ? "0" : "-";
    shown = record ? "high=" + std::to_string(static_cast<int>(info->thresholdLevel.high)) : shown;
    t[0] = record ? info->attributeId : &s;
    t[1] = record ? info->thresholdLevel.indication : &s;
    for (std::size_t i = record ? 0 : 2; i < t.size(); ++i) { // released as a C caller releases them
        shown += " " + (t[i] == &s ? "-" : t[i] == nullptr ? "0" : std::string(t[i]));
        std::free(t[i] != &s ? t[i] : nullptr);
    }
    std::free(record ? info : nullptr);
    return {read, shown, platform().logs()};
}

// The block reader's nine allocations: the record, then its two texts and
// the six others. What came before a failure stays, the failed item is null
// and the later out-parameters are left alone, but for the record's own
// texts, null from the start, and its numbers, read only after its texts;
// each later text step logs the string reader's invalid-input line.
Report blockReaderFailure(int failed)
{
    const std::array<std::string, 8> values{"temperature", "up", "m", "u", "p", "d", "1", "2"};
    const bool high = failed == 0 || failed > 3;
    std::string shown = failed == 1 ? "0 - - - - - -" : std::string("high=") + (high ? "80" : "0");
    for (int i = 0; i < 8 && failed != 1; ++i) {
        const int step = i + 2; // the allocation that text i takes
        const std::string gone = step == failed || i < 2 ? "0" : "-";
        shown += " " + (failed == 0 || step < failed ? values[static_cast<std::size_t>(i)] : gone);
    }
    std::vector<LogLine> logged;
    if (failed == 1) {
        const std::string size = std::to_string(sizeof(t_threshold_info));
        logged = {swerr("oamMarlDecodeDynamicInfo",
                        "Failed Memory allocation of thresholdInfo, size " + size)};
    } else if (failed != 0) {
        const int size = failed == 2 ? 12 : failed == 3 ? 3 : 2; // "temperature", "up", one letter
        logged = {swerr(kString, "Failed Memory allocation of marlString, size " + std::to_string(size))};
        logged.resize(static_cast<std::size_t>(10 - failed), swerr(kString, "Invalid input parameter"));
    }
    return {failed == 0, shown, logged};
}

// marld handles the datagram and prints a line for the outcome, "dropped" for any allocation that fails.
Sweep handled(const std::string& name, int allocations, const Bytes& bytes, char id, const std::string& line)
{
    const std::string dropped =
        "marld: dropped " + std::to_string(bytes.size()) + " bytes from 127.0.0.1:40000: out-of-memory (id "
        "0x8c0";
    return {name, allocations,
            [bytes](marld::DatagramHandler& handler, int nth, bool& failed) {
                const std::size_t size = bytes.size();
                const auto outcome =
                    armed(nth, failed, [&] { return handler.handle(bytes.data(), size, kSender, {}); });
                const auto shown = marld::outcomeLine(marld::OutputFormat::text, outcome, size, kSender);
                return Report{!std::holds_alternative<marld::Dropped>(outcome), shown, {}};
            },
            [=](int failed) { return Report{failed == 0, failed != 0 ? dropped + id + ")\n" : line, {}}; }};
}

std::vector<Sweep> sweeps()
{
    const std::string from = " from 127.0.0.1:40000";
    return {
        {"oamMarlDecodeDynamicInfo", 9, readBlock, blockReaderFailure},
        // The name of the reported outcome, the store's key and its node.
        handled("marld_update", 3, datagramBytes(marl::UpdateDatagram{kPoint, true}), '0',
                "update \"fan-tray-2/overheat\" clear -> set (update 1)" + from + "\n"),
        // The block reader's nine, then as for an update.
        handled("marld_extended_update", 12, datagramBytes(marl::UpdateDatagram{kPoint, true, &kInfo}), '4',
                "update-ext \"fan-tray-2/overheat\" clear -> set (update 1)" + from +
                    " attributeId=\"temperature\" indication=\"up\" low=60 high=80 observedValue=82.5 "
                    "armTime=2023-11-14T22:13:20Z monitoredAttributes=\"fan speed\" serviceUser=\"u\" "
                    "serviceProvider=\"p\" securityAlarmDetector=\"d\" additionalText1=\"1\" "
                    "additionalText2=\"2\"\n"),
        // The answer's name and its reply.
        handled("marld_query", 2, datagramBytes(marl::QueryDatagram{kPoint}), '1',
                "query \"fan-tray-2/overheat\" -> clear (MARL_MSG_RC_OK) to 127.0.0.1:40000\n"),
    };
}

class AllocationSweep : public ::testing::TestWithParam<Sweep> {};

TEST_P(AllocationSweep, FailsEachAllocationInTurn)
{
    tzset(); // arm times print as dates; the C library loads its zone data on first use and keeps it
    const Sweep& sweep = GetParam();
    for (int nth = 1; nth <= sweep.allocations + 1; ++nth) {
        marld::PointStore store;
        marld::PointNames names;
        marld::DatagramHandler handler(store, names);
        platform().clearLogs();
        bool failed = false;
        const Report report = sweep.run(handler, nth, failed); // before `failed` is read
        EXPECT_EQ(report, sweep.expected(failed ? nth : 0)) << "allocation " << nth;
        EXPECT_EQ(failed, nth <= sweep.allocations) << "allocation " << nth;
        if (failed) {
            platform().clearLogs();
            EXPECT_EQ(sweep.run(handler, 0, failed), sweep.expected(0)) << "the call after " << nth;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, AllocationSweep, ::testing::ValuesIn(sweeps()),
                         [](const auto& p) { return p.param.name; });

} // namespace
