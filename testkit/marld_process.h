// marld, the point service, as a child process of a test.
//
//     marltest::MarldProcess marld;               // runs: marld --port 0
//     ASSERT_NE(marld.port(), 0) << marld.stderrText();
//     ... send datagrams to 127.0.0.1:marld.port() ...
//     EXPECT_EQ(marld.stop(), 0);                  // SIGTERM, then wait
//     EXPECT_NE(marld.stdoutText().find("marld: received 3\n"), std::string::npos);
//
// The constructor starts marld (under the build's emulator in a cross build)
// and waits, bounded, for the listening line that marld prints first, in
// text or in JSON.
#pragma once

#include <cstdint>

#include "child_process.h"

namespace marltest {

class MarldProcess : public ChildProcess {
public:
    // Starts marld with "--port 0" (when `kernelPort` is set) followed by
    // `arguments`, and waits up to `startTimeout` for the listening line.
    explicit MarldProcess(std::vector<std::string> arguments = {}, bool kernelPort = true,
                          std::chrono::milliseconds startTimeout = kDefaultTimeout);

    // The port of the listening line; 0 when marld exited or timed out
    // before printing it.
    std::uint16_t port() const { return port_; }

private:
    std::uint16_t port_ = 0;
};

} // namespace marltest
