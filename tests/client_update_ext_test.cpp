// update_marl_point_ext: the extended datagram on the wire, byte for byte,
// its sizing on the texts' full lengths, the fall-back and the failures.
#include <syslog.h>

#include <cerrno>
#include <string>

#include "client_fixture.h"

using marltest::ClientTest;
using marltest::hexBytes;
using marltest::LogLine;
using marltest::platform;

namespace {

const t_threshold_info kThreshold{const_cast<char*>("a"), {const_cast<char*>("b"), 1.0F, 2.0F}, 0.5F, 16};
const std::string kLongId(100, 'i');
const t_threshold_info kLongIdThreshold{const_cast<char*>(kLongId.c_str()), {nullptr, 0.0F, 0.0F}, 0.0F, -1};

struct Arguments {
    const t_threshold_info* thresholdInfo;
    const char* texts[6];
};

bool updateExt(const char* pntId, std::uint8_t value, const Arguments& a)
{
    return update_marl_point_ext(pntId, value, a.thresholdInfo, a.texts[0], a.texts[1], a.texts[2], a.texts[3],
                                 a.texts[4], a.texts[5]);
}

LogLine entryLine()
{
    return {LOG_INFO, marltest::taggedLine("src/marlclient.cpp", "update the marl point with runtime info",
                                           "update_marl_point_ext: update the marl point with runtime info")};
}

// The 48 bytes before the block: record and the name ab, value 0.
std::string headOfPointAb(std::size_t length, const char* id = "8c04")
{
    char head[32];
    std::snprintf(head, sizeof head, "0000%s %08zx", id, length);
    return head + std::string(64, '0') + "00 00 00000002 6162";
}

struct ExtCase {
    std::string name;
    Arguments arguments;
    std::string block; // hex, followed in the datagram by `cut` zero bytes
    std::size_t cut;
};

class ExtDatagram : public ClientTest, public ::testing::WithParamInterface<ExtCase> {};

TEST_P(ExtDatagram, CarriesTheBlockAfterTheName)
{
    const ExtCase& row = GetParam();
    ASSERT_TRUE(updateExt("ab", 0, row.arguments));
    const auto datagram = service.receive();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(*datagram, hexBytes(headOfPointAb(48 + hexBytes(row.block).size() + row.cut) + row.block +
                                  std::string(2 * row.cut, '0')));
    EXPECT_EQ(platform().logs(), std::vector<LogLine>({entryLine()}));
}

std::string repeat(const std::string& text, std::size_t times)
{
    std::string repeated;
    while (times-- > 0) {
        repeated += text;
    }
    return repeated;
}

// Each text alone, then the threshold record alone: any one runtime argument
// makes the extended form. Then the cuts, which leave the uncut length's zero
// bytes at the end.
std::vector<ExtCase> extCases()
{
    const char* const names[] = {"monitoredAttributes",   "serviceUser", "serviceProvider",
                                 "securityAlarmDetector", "wildChar1",   "wildChar2"};
    std::vector<ExtCase> rows;
    for (std::size_t i = 0; i < 6; ++i) {
        ExtCase row{names[i], {nullptr, {}}, "0000" + repeat("0000", i) + "00017800" + repeat("0000", 5 - i), 0};
        row.arguments.texts[i] = "x";
        rows.push_back(row);
    }
    const std::string noTexts = repeat("0000", 6);
    rows.push_back({"thresholdInfo", {&kThreshold, {}},
                    "0016 00016100 00016200 3f800000 40000000 3f000000 00000010" + noTexts, 0});
    rows.push_back({"attributeId_of_100", {&kLongIdThreshold, {}},
                    "0016 0050" + repeat("69", 80) + "00 0000 00000000 00000000 00000000 ffffffff" + noTexts, 20});
    rows.push_back({"empty_text", {nullptr, {""}}, "0000" + noTexts, 1});
    rows.push_back({"serviceUser_of_33", {nullptr, {nullptr, "0123456789abcdef0123456789abcdefX"}},
                    "0000 0000 0020" + repeat("30313233343536373839616263646566", 2) + "00" + repeat("0000", 4), 1});
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Rows, ExtDatagram, ::testing::ValuesIn(extCases()),
                         [](const auto& param) { return param.param.name; });

TEST_F(ClientTest, WithoutRuntimeInformationFallsBackToThePlainUpdate)
{
    ASSERT_TRUE(updateExt("ab", 0, {nullptr, {}}));
    const auto datagram = service.receive();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(*datagram, hexBytes(headOfPointAb(48, "8c00")));
    EXPECT_EQ(platform().logs(),
              std::vector<LogLine>({entryLine(), {LOG_INFO, marltest::taggedLine(
                                                                "src/marlclient.cpp", "no runtime info",
                                                                "update_marl_point_ext: no runtime info, call "
                                                                "update_marl_point instead")}}));
}

// The 646-byte limit counts the texts uncut: a 583-character text fills it
// exactly (46 + 2 + 2 + 586 + 5 * 2), though only 128 characters travel.
class ExtLimit : public ClientTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(ExtLimit, CountsTheUncutLengths)
{
    const std::string text(GetParam(), 't');
    const bool fits = GetParam() + 63 <= 646;
    platform().startTrackingAllocations();
    EXPECT_EQ(updateExt("ab", 1, {nullptr, {text.c_str()}}), fits);
    EXPECT_EQ(platform().outstandingAllocations(), 0);
    const auto datagram = service.receive(fits ? 2000 : 200);
    ASSERT_EQ(datagram.has_value(), fits);
    if (fits) {
        ASSERT_EQ(datagram->size(), 646u);
        EXPECT_EQ(std::vector(datagram->begin() + 50, datagram->begin() + 53), hexBytes("0080 74"));
        EXPECT_EQ(std::vector(datagram->begin() + 180, datagram->end()), std::vector<std::uint8_t>(466, 0))
            << "128 characters travel; then the NUL, five absent texts and the zero bytes of the cut";
    } else {
        EXPECT_EQ(platform().logs(), std::vector<LogLine>({entryLine(), clientLog(LOG_CRIT, "Maximum message length",
                                                                                  "Maximum message length exceeded")}));
    }
}

INSTANTIATE_TEST_SUITE_P(Limit, ExtLimit, ::testing::Values(583u, 584u),
                         [](const auto& param) { return "text_of_" + std::to_string(param.param); });

TEST_F(ClientTest, ExtRefusesNullAndEmptyNamesAfterItsEntryLine)
{
    const char* empty = "";
    EXPECT_FALSE(updateExt(nullptr, 1, {nullptr, {}}));
    EXPECT_FALSE(updateExt(empty, 1, {nullptr, {"x"}}));
    EXPECT_EQ(platform().logs(),
              std::vector<LogLine>({entryLine(),
                                    clientLog(LOG_CRIT, "Point ID is a null pointer",
                                              "update_marl_point_ext: Point ID is a null pointer"),
                                    entryLine(),
                                    clientLog(LOG_CRIT, "%s: pntId is empty",
                                              "update_marl_point_ext: pntId is empty. Its address is " +
                                                  pointerText(empty))}));
    EXPECT_EQ(platform().socketCalls, 0);
}

TEST_F(ClientTest, ExtSendFailureReleasesEverything)
{
    platform().startTrackingAllocations();
    platform().sendtoFailErrno = EPERM;
    EXPECT_FALSE(updateExt("ab", 1, {&kThreshold, {"x"}}));
    EXPECT_EQ(platform().outstandingAllocations(), 0);
    EXPECT_EQ(platform().logs(),
              std::vector<LogLine>({entryLine(),
                                    clientLog(LOG_CRIT, "sendto failed",
                                              "update_marl_point_ext sendto failed Operation not permitted pntId ab")}));
}

} // namespace
