// Fixture of the client tests: a loopback receiver that plays the point
// service, the service look-up pointed at it, and helpers for the log.
//
// The library's socket lives as long as the process, and several tests need
// a process in which it was never created; CTest runs each test in a process
// of its own, and SetUp refuses to run a second client test in one process.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "byteStream.h"
#include "marlclient.h"
#include "platform_interposer.h"
#include "test_support.h"

namespace marltest {

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int testsInThisProcess = 0;
        ASSERT_EQ(++testsInThisProcess, 1)
            << "the client tests need one process each; run them through ctest, or one at a time with "
               "--gtest_filter";
        unsetenv("CMN_HAL_CENTRAL_ADDRESS");
        platform().service = Platform::Service::FakePort;
        platform().servicePort = service.port();
        platform().resetCounters(); // the receiver's own socket is not the library's
    }

    // A line of the client's log as it must appear: tag, then text; `needle`
    // finds the logging statement in src/marlclient.cpp.
    static LogLine clientLog(int priority, const std::string& needle, const std::string& text)
    {
        return {priority, taggedLine("src/marlclient.cpp", needle, text)};
    }

    static std::string pointerText(const void* pointer)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%p", pointer);
        return text;
    }

    UdpReceiver service;
};

} // namespace marltest
