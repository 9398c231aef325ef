// Allocation-failure sweeps of the codec's readers and of marld's handling
// of each message (the client's one allocation per call is a row of
// client_test): each runs with its first allocation failing, then its
// second, and so on, until a run makes no allocation that fails. Every
// failing run must give the result, the lines and the outputs of that very
// failure, and the next call, without a failure, must succeed. What is left
// allocated, LeakSanitizer and memcheck find in their suites.
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
const t_threshold_info kThreshold{const_cast<char*>("temperature"), {const_cast<char*>("up"), 60.0F, 80.0F}, 82.5F, 1'700'000'000};
const marl::DynamicInfoView kInfo{&kThreshold, {"fan speed", "u", "p", "d", "1", "2"}};
constexpr marld::Endpoint kSender{0x7F000001, 40000};

// What one call gave: its result, the lines it logged, and what it shows:
// the line marld prints, the readers' out-parameters.
struct Report {
    bool ok = false;
    std::vector<LogLine> logged;
    std::string shown;
    bool operator==(const Report&) const = default;
};

void PrintTo(const Report& report, std::ostream* out)
{
    *out << (report.ok ? "ok" : "failed") << ", " << ::testing::PrintToString(report.logged) << ", " << report.shown;
}

LogLine swerr(const std::string& function, const std::string& what)
{
    return {LOG_CRIT, taggedLine("marl/module/marlengine/src/marlEncDec.cpp", "\"Marl Swerr: %s: " + what.substr(0, what.find(", size")),
                                 "Marl Swerr: " + function + ": " + what)};
}

// Runs an operation with its nth allocation failing (none for 0) and tells
// whether one did; the harness's own allocations around it are left alone.
struct Fault {
    int nth;
    bool failed = false;

    template <typename Operation>
    auto operator()(Operation operation)
    {
        platform().failAllocation(nth);
        auto result = operation();
        failed = nth > 0 && platform().allocationsCounted() >= nth;
        platform().failAllocation(0);
        return result;
    }
};

struct Sweep {
    std::string name;
    int allocations; // made by a call in which none fails
    std::function<Report(marld::DatagramHandler&, Fault&)> call; // on a service kept for the call after
    std::function<Report(int failed)> expected;                  // `failed`: the allocation that failed, 0 for none
};

// The outputs start at a sentinel: "-" when not written, "0" for null.
Report readBlock(marld::DatagramHandler&, Fault& fault)
{
    Bytes wire(64);
    oamMarlEncodeDynamicInfo(wire.data(), &kThreshold, "m", "u", "p", "d", "1", "2");
    char sentinel = 0;
    auto* info = reinterpret_cast<t_threshold_info*>(&sentinel);
    std::array<char*, 6> t{&sentinel, &sentinel, &sentinel, &sentinel, &sentinel, &sentinel};
    const bool read = fault([&] { return oamMarlDecodeDynamicInfo(wire.data(), &info, &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]) != nullptr; });
    const auto show = [&](char* text) { return text == &sentinel ? "-" : text == nullptr ? "0" : std::string(text); };
    const bool record = info != nullptr && info != reinterpret_cast<t_threshold_info*>(&sentinel);
    std::string shown = record ? "high=" + std::to_string(static_cast<int>(info->thresholdLevel.high)) + " " + show(info->attributeId) + " " +
                                     show(info->thresholdLevel.indication)
                               : show(reinterpret_cast<char*>(info));
    for (char* text : t) {
        shown += " " + show(text);
        std::free(text != &sentinel ? text : nullptr);
    }
    if (record) { // as a C caller releases what the reader gave it
        std::free(info->attributeId);
        std::free(info->thresholdLevel.indication);
        std::free(info);
    }
    return {read, platform().logs(), shown};
}

// The block reader's nine allocations: the record, then its two texts and
// the six others. What came before a failure stays, the failed item is null
// and the later out-parameters are left alone, but for the record's own
// texts, null from the start, and its numbers, read only after its texts;
// each later text step logs the string reader's invalid-input line.
Report blockReaderFailure(int failed)
{
    const std::array<std::string, 8> values{"temperature", "up", "m", "u", "p", "d", "1", "2"};
    Report report{failed == 0, {}, failed == 1 ? "0 - - - - - -" : std::string("high=") + (failed == 0 || failed > 3 ? "80" : "0")};
    for (int i = 0; i < 8 && failed != 1; ++i) {
        const int step = i + 2; // the allocation that text i takes
        report.shown += " " + (failed == 0 || step < failed ? values[static_cast<std::size_t>(i)] : step == failed || i < 2 ? "0" : "-");
    }
    if (failed == 1) {
        report.logged = {swerr("oamMarlDecodeDynamicInfo", "Failed Memory allocation of thresholdInfo, size " + std::to_string(sizeof(t_threshold_info)))};
    } else if (failed != 0) {
        const int size = failed == 2 ? 12 : failed == 3 ? 3 : 2; // "temperature", "up", one letter
        report.logged = {swerr("oamMarlDecodeString", "Failed Memory allocation of marlString, size " + std::to_string(size))};
        report.logged.insert(report.logged.end(), static_cast<std::size_t>(9 - failed), swerr("oamMarlDecodeString", "Invalid input parameter"));
    }
    return report;
}

Report readString(marld::DatagramHandler&, Fault& fault)
{
    const Bytes wire = hexBytes("0003 616263 00");
    char* text = reinterpret_cast<char*>(&fault); // written on every path
    const bool ok = fault([&] { return oamMarlDecodeString(wire.data(), &text); }) == wire.data() + 6;
    const Report report{ok, platform().logs(), text != nullptr ? text : "0"};
    std::free(text);
    return report;
}

// marld handles the datagram and prints a line for the outcome; the block
// reader's own lines are its sweep's business.
std::function<Report(marld::DatagramHandler&, Fault&)> handled(Bytes bytes)
{
    return [bytes](marld::DatagramHandler& handler, Fault& fault) {
        const auto outcome = fault([&] { return handler.handle(bytes.data(), bytes.size(), kSender, marld::WallClock::time_point{}); });
        return Report{!std::holds_alternative<marld::Dropped>(outcome), {}, marld::outcomeLine(marld::OutputFormat::text, outcome, bytes.size(), kSender)};
    };
}

std::function<Report(int)> prints(const std::string& failed, const std::string& succeeded)
{
    return [=](int failedAllocation) { return Report{failedAllocation == 0, {}, failedAllocation != 0 ? failed : succeeded}; };
}

std::vector<Sweep> sweeps()
{
    const auto drop = [](const char* bytes, char id) {
        return "marld: dropped " + std::string(bytes) + " bytes from 127.0.0.1:40000: out-of-memory (id 0x8c0" + id + ")\n";
    };
    return {
        {"oamMarlDecodeString", 1, readString,
         [](int failed) {
             return Report{failed == 0, failed == 0 ? std::vector<LogLine>{} : std::vector{swerr("oamMarlDecodeString", "Failed Memory allocation of marlString, size 4")},
                           failed == 0 ? "abc" : "0"};
         }},
        {"oamMarlDecodeDynamicInfo", 9, readBlock, blockReaderFailure},
        // The name of the reported outcome, the store's key and its node.
        {"marld_update", 3, handled(datagramBytes(marl::UpdateDatagram{kPoint, true})),
         prints(drop("65", '0'), "update \"fan-tray-2/overheat\" clear -> set (update 1) from 127.0.0.1:40000\n")},
        // The block reader's nine, then as for an update.
        {"marld_extended_update", 12, handled(datagramBytes(marl::UpdateDatagram{kPoint, true, &kInfo})),
         prints(drop("134", '4'), "update-ext \"fan-tray-2/overheat\" clear -> set (update 1) from 127.0.0.1:40000 attributeId=\"temperature\" "
                                  "indication=\"up\" low=60 high=80 observedValue=82.5 armTime=2023-11-14T22:13:20Z monitoredAttributes=\"fan speed\" "
                                  "serviceUser=\"u\" serviceProvider=\"p\" securityAlarmDetector=\"d\" additionalText1=\"1\" additionalText2=\"2\"\n")},
        // The answer's name and its reply.
        {"marld_query", 2, handled(datagramBytes(marl::QueryDatagram{kPoint})),
         prints(drop("63", '1'), "query \"fan-tray-2/overheat\" -> clear (MARL_MSG_RC_OK) to 127.0.0.1:40000\n")},
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
        Fault fault{nth};
        const Report report = sweep.call(handler, fault); // before `fault.failed` is read
        EXPECT_EQ(report, sweep.expected(fault.failed ? nth : 0)) << "allocation " << nth;
        EXPECT_EQ(fault.failed, nth <= sweep.allocations) << "allocation " << nth;
        if (fault.failed) {
            platform().clearLogs();
            Fault none{0};
            EXPECT_EQ(sweep.call(handler, none), sweep.expected(0)) << "the call after allocation " << nth;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, AllocationSweep, ::testing::ValuesIn(sweeps()), [](const auto& p) { return p.param.name; });

} // namespace
