// Allocation-failure sweeps of the codec's block reader and of marld's handling
// of each message (the client's one allocation per call is a row of
// client_test): each runs with its first allocation failing, then its
// second, and so on, until a run makes no allocation that fails. A failing
// run must fail cleanly, with the lines and outputs of that very failure.
// What is left allocated, LeakSanitizer and memcheck find in their suites.
#include <gtest/gtest.h>
#include <syslog.h>

#include "eventFormat.h"
#include "marlEncDec.h"
#include "platform_interposer.h"
#include "test_support.h"

using namespace marltest;

namespace {

const t_threshold_info kThreshold{const_cast<char*>("temperature"), {const_cast<char*>("up"), 60.0F, 80.0F},
                                  82.5F, 1'700'000'000};

// Runs `operation` with its nth allocation failing; `failed` tells whether one did.
template <typename Operation>
auto armed(int nth, bool& failed, Operation operation)
{
    platform().failAllocation(nth);
    auto result = operation();
    failed = platform().allocationsCounted() >= nth;
    platform().failAllocation(0);
    return result;
}

// The block reader's nine allocations: the record, then its two texts and
// the six others. What came before a failure stays, the failed item is null
// and the later out-parameters are left alone ("-"), but for the record's own
// texts, null from the start, and its numbers, read only after its texts;
// each later text step logs the string reader's invalid-input line.
TEST(AllocationSweep, BlockReaderKeepsWhatCameBeforeTheFailedItem)
{
    Bytes wire(64);
    (void)oamMarlEncodeDynamicInfo(wire.data(), &kThreshold, "m", "u", "p", "d", "1", "2");
    const std::array<std::string, 8> values{"temperature", "up", "m", "u", "p", "d", "1", "2"};
    const std::string file = "marl/module/marlengine/src/marlEncDec.cpp";
    const LogLine invalid{LOG_CRIT, taggedLine(file, "Swerr: %s: Invalid", "Marl Swerr: oamMarlDecodeString: "
                                                                          "Invalid input parameter")};
    for (int nth = 1; nth <= 10; ++nth) {
        platform().clearLogs();
        char s = 0; // where an out-parameter left alone points
        auto* info = reinterpret_cast<t_threshold_info*>(&s);
        std::array<char*, 8> t{&s, &s, &s, &s, &s, &s, &s, &s}; // the record's two texts, then the six others
        bool failed = false;
        const bool read = armed(nth, failed, [&] {
            return oamMarlDecodeDynamicInfo(wire.data(), &info, &t[2], &t[3], &t[4], &t[5], &t[6], &t[7]);
        });
        const int f = failed ? nth : 0; // the allocation that failed
        ASSERT_NE(info, reinterpret_cast<t_threshold_info*>(&s)) << nth;
        std::string shown = info == nullptr ? "0" : "high=" + std::to_string(int(info->thresholdLevel.high));
        std::string expected = f == 1 ? "0" : f == 0 || f > 3 ? "high=80" : "high=0";
        t[0] = info != nullptr ? info->attributeId : &s;
        t[1] = info != nullptr ? info->thresholdLevel.indication : &s;
        for (int step = 2; step < 10; ++step) { // the allocation that text t[step - 2] takes
            char*& text = t[std::size_t(step - 2)];
            shown += " " + (text == &s ? "-" : text == nullptr ? "0" : std::string(text));
            const bool gone = step == f || (step < 4 && f != 1);
            expected += " " + (f == 0 || step < f ? values[std::size_t(step - 2)] : gone ? "0" : "-");
            std::free(text != &s ? text : nullptr); // released as a C caller releases them
        }
        std::free(info);
        // The failure's own line, with the size it asked for, then the later steps' lines.
        std::vector<LogLine> logged(std::size_t(f < 2 ? f : 10 - f), invalid);
        if (f != 0) {
            const std::string item = f == 1 ? "DynamicInfo: Failed Memory allocation of thresholdInfo"
                                            : "String: Failed Memory allocation of marlString";
            const std::size_t size = f == 1 ? sizeof(t_threshold_info) : f == 2 ? 12 : f == 3 ? 3 : 2;
            const std::string text = "Marl Swerr: oamMarlDecode" + item + ", size " + std::to_string(size);
            logged[0] = {LOG_CRIT, taggedLine(file, item.substr(item.find("Failed")), text)};
        }
        EXPECT_EQ(std::tuple(read, failed, shown, platform().logs()),
                  std::tuple(f == 0, nth <= 9, expected, logged)) << "allocation " << nth;
    }
}

// marld drops an update as out of memory whichever allocation fails, and
// leaves the store as it was: an update is applied whole or not at all.
TEST(AllocationSweep, MarldDropsTheUpdateAndLeavesTheStoreAsItWas)
{
    const std::string point = "fan-tray-2/overheat"; // longer than a std::string holds without allocating
    const marl::DynamicInfoView info{&kThreshold, {"fan speed", "u", "p", "d", "1", "2"}};
    const Bytes bytes = datagramBytes(marl::UpdateDatagram{point, true, &info});
    const marld::Endpoint kSender{0x7F000001, 40000};
    const std::string dropped = "marld: dropped " + std::to_string(bytes.size()) +
                                " bytes from 127.0.0.1:40000: out-of-memory (id 0x8c04)\n";
    // The block reader's nine allocations, the block's bytes as they came, the stored block and, for the
    // first point, the store's table (its list of points is made with it); the reported outcome refers to the
    // datagram's name.
    for (int nth = 1; nth <= 13; ++nth) {
        marld::PointStore store;
        marld::PointNames names;
        marld::Counters counters;
        marld::DatagramHandler handler(store, names, counters);
        bool failed = false;
        const auto outcome =
            armed(nth, failed, [&] { return handler.handle(bytes.data(), bytes.size(), kSender, {}); });
        const auto line = marld::outcomeLine(marld::OutputFormat::text, outcome, bytes.size(), kSender);
        const auto expected = failed ? dropped : "update-ext \"" + point + "\" clear -> set (update 1)";
        EXPECT_EQ(std::tuple(failed, line.substr(0, expected.size()), store.size()),
                  std::tuple(nth <= 12, expected, std::size_t{!failed})) << "allocation " << nth;
    }
}

} // namespace
