// Small helpers shared by the tests: expected log tags, hex byte strings and
// a loopback UDP receiver that plays the point service.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace marltest {

// Line (1-based) of the only line of `relativePath` (relative to the project)
// that contains `needle`; -1 when none or several do. Lets tests check a log
// tag's line number without copying line numbers into the tests.
int sourceLineOf(const std::string& relativePath, const std::string& needle);

// "[src/marlclient.cpp:LINE] " + text, LINE being where `needle` stands in
// the module's source file `moduleFile` (e.g. "src/marlclient.cpp").
std::string taggedLine(const std::string& moduleFile, const std::string& needle, const std::string& text);

// A GoogleTest parameter name made of `text`: every character that is not a
// letter or digit becomes '_'.
std::string testName(const std::string& text);

// Bytes from a string of hex pairs; blanks are ignored: "00 8c 02".
std::vector<std::uint8_t> hexBytes(const std::string& hex);

// A UDP socket bound to 127.0.0.1 on a port of the kernel's choosing.
class UdpReceiver {
public:
    UdpReceiver();
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    std::uint16_t port() const { return port_; }
    int fd() const { return fd_; }
    // The next datagram, or nothing if none arrives within timeoutMs.
    std::optional<std::vector<std::uint8_t>> receive(int timeoutMs = 2000);
    // As receive, also telling who sent it.
    std::optional<std::vector<std::uint8_t>> receive(sockaddr_in& sender, int timeoutMs = 2000);
    bool sendTo(const sockaddr_in& to, const std::vector<std::uint8_t>& datagram);

private:
    int fd_;
    std::uint16_t port_;
};

} // namespace marltest
