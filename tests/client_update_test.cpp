// update_marl_point: the datagram on the wire, byte for byte, and every way
// it can be refused or fail.
#include <syslog.h>

#include <cerrno>
#include <string>

#include "client_fixture.h"

using marltest::ClientTest;
using marltest::hexBytes;
using marltest::LogLine;
using marltest::platform;

namespace {

constexpr const char* kZeroTimesAndControl = "00000000 0000 0000 00000000 00000000 00000000 00000000 00000000 00000000";

struct ValueCase {
    std::uint8_t value;
    const char* setPoint;
};

class UpdateValue : public ClientTest, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(UpdateValue, SendsTheUpdateDatagramOfPointAb)
{
    ASSERT_TRUE(update_marl_point("ab", GetParam().value));
    const auto datagram = service.receive();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(*datagram, hexBytes(std::string("00008c00 00000030") + kZeroTimesAndControl + GetParam().setPoint +
                                  "00 00000002 6162"));
    EXPECT_TRUE(platform().logs().empty());
}

INSTANTIATE_TEST_SUITE_P(Values, UpdateValue,
                         ::testing::Values(ValueCase{1, "01"}, ValueCase{0, "00"}, ValueCase{2, "01"},
                                           ValueCase{255, "01"}),
                         [](const auto& param) { return "value_" + std::to_string(param.param.value); });

// Name length against the 646-byte datagram limit: exact fit passes, one
// byte more is refused before anything is allocated or sent.
struct LengthCase {
    std::size_t nameLength;
    bool sent;
};

class UpdateNameLength : public ClientTest, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(UpdateNameLength, FitsTheDatagramLimit)
{
    const std::string name(GetParam().nameLength, 'n');
    platform().startTrackingAllocations();
    EXPECT_EQ(update_marl_point(name.c_str(), 1), GetParam().sent);
    EXPECT_EQ(platform().outstandingAllocations(), 0);
    const auto datagram = service.receive(GetParam().sent ? 2000 : 200);
    if (!GetParam().sent) {
        EXPECT_FALSE(datagram.has_value());
        EXPECT_EQ(platform().sendtoCalls, 0);
        EXPECT_EQ(platform().logs(), std::vector<LogLine>({clientLog(LOG_CRIT, "Maximum message length exceeded",
                                                                     "Maximum message length exceeded")}));
        return;
    }
    ASSERT_TRUE(datagram.has_value());
    const std::size_t total = 46 + name.size();
    ASSERT_EQ(datagram->size(), total);
    marl::ByteReader header(datagram->data(), datagram->size());
    std::uint32_t id = 0;
    std::int32_t length = 0;
    std::uint32_t nameLength = 0;
    ASSERT_TRUE(header.getU32(id) && header.getI32(length) && header.skip(34) && header.getU32(nameLength));
    EXPECT_EQ(length, static_cast<std::int32_t>(total));
    EXPECT_EQ(nameLength, name.size());
    EXPECT_EQ(std::string(datagram->begin() + 46, datagram->end()), name);
}

INSTANTIATE_TEST_SUITE_P(Limits, UpdateNameLength,
                         ::testing::Values(LengthCase{1, true}, LengthCase{599, true}, LengthCase{600, true},
                                           LengthCase{601, false}, LengthCase{4096, false}),
                         [](const auto& param) { return "name_of_" + std::to_string(param.param.nameLength); });

// Refused arguments: one line, false, and the shared socket not touched.
TEST_F(ClientTest, NullAndEmptyNamesAreRefusedBeforeTheSocket)
{
    const char* empty = "";
    EXPECT_FALSE(update_marl_point(nullptr, 1));
    EXPECT_FALSE(update_marl_point(empty, 1));
    EXPECT_EQ(platform().logs(),
              std::vector<LogLine>({clientLog(LOG_CRIT, "Point ID is a null pointer",
                                              "update_marl_point: Point ID is a null pointer"),
                                    clientLog(LOG_CRIT, "%s: pntId is empty",
                                              "update_marl_point: pntId is empty. Its address is " +
                                                  pointerText(empty))}));
    EXPECT_EQ(platform().socketCalls, 0);
    EXPECT_EQ(platform().serviceLookups, 0);
    EXPECT_EQ(platform().centralAddressCalls, 0);
}

TEST_F(ClientTest, SendFailureIsLoggedWithTheErrorAndReleasesTheBuffer)
{
    platform().startTrackingAllocations();
    platform().sendtoFailErrno = EPERM;
    EXPECT_FALSE(update_marl_point("ab", 1));
    EXPECT_EQ(platform().outstandingAllocations(), 0);
    EXPECT_EQ(platform().logs(),
              std::vector<LogLine>({clientLog(LOG_CRIT, "sendto failed",
                                              "update_marl_point sendto failed Operation not permitted pntId ab")}));
    EXPECT_TRUE(update_marl_point("ab", 0)) << "a failed send leaves the socket usable";
    EXPECT_TRUE(service.receive().has_value());
}

} // namespace
