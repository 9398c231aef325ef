// The platform stand-in's central address.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "cmnHal.h"
#include "test_support.h"

namespace {

struct AddressCase {
    const char* environment; // nullptr: unset
    const char* written;
    int result;
};

class CentralAddress : public ::testing::TestWithParam<AddressCase> {};

TEST_P(CentralAddress, ComesFromTheEnvironmentOrLoopback)
{
    const AddressCase& row = GetParam();
    if (row.environment != nullptr) {
        setenv(CMN_HAL_CENTRAL_ADDRESS_ENV, row.environment, 1);
    } else {
        unsetenv(CMN_HAL_CENTRAL_ADDRESS_ENV);
    }
    in_addr address{};
    address.s_addr = 0xDEADBEEF;
    EXPECT_EQ(cmn_hal_getCentralAddress(&address), row.result);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    EXPECT_STREQ(text, row.written);
}

INSTANTIATE_TEST_SUITE_P(Rows, CentralAddress,
                         ::testing::Values(AddressCase{nullptr, "127.0.0.1", 0},
                                           AddressCase{"10.20.30.40", "10.20.30.40", 0},
                                           AddressCase{"127.0.0.9", "127.0.0.9", 0},
                                           AddressCase{"", "127.0.0.1", -1},
                                           AddressCase{"central-node", "127.0.0.1", -1},
                                           AddressCase{"256.1.1.1", "127.0.0.1", -1},
                                           AddressCase{"10.1.2.3 ", "127.0.0.1", -1}),
                         [](const auto& param) {
                             return marltest::testName(param.param.environment ? param.param.environment : "unset");
                         });

TEST(CentralAddress, NullOutParameterIsRefused)
{
    EXPECT_EQ(cmn_hal_getCentralAddress(nullptr), -1);
}

} // namespace
