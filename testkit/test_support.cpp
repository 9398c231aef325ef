#include "test_support.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <stdexcept>

namespace marltest {

int sourceLineOf(const std::string& relativePath, const std::string& needle)
{
    std::ifstream source(std::string(MARL_SOURCE_DIR) + "/" + relativePath);
    std::string line;
    int found = -1;
    for (int number = 1; std::getline(source, line); ++number) {
        if (line.find(needle) != std::string::npos) {
            if (found != -1) {
                return -1;
            }
            found = number;
        }
    }
    return found;
}

std::string taggedLine(const std::string& moduleFile, const std::string& needle, const std::string& text)
{
    const int line = sourceLineOf("marl/module/marlengine/" + moduleFile, needle);
    return "[" + moduleFile + ":" + std::to_string(line) + "] " + text;
}

std::string testName(const std::string& text)
{
    std::string name = text.empty() ? "empty" : text;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return name;
}

std::vector<std::uint8_t> hexBytes(const std::string& hex)
{
    std::vector<std::uint8_t> bytes;
    std::string digits;
    for (char c : hex) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        }
    }
    if (digits.size() % 2 != 0) {
        throw std::invalid_argument("odd number of hex digits: " + hex);
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

UdpReceiver::UdpReceiver() : fd_(socket(AF_INET, SOCK_DGRAM, 0)), port_(0)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        throw std::runtime_error("cannot bind a loopback UDP socket");
    }
    port_ = ntohs(address.sin_port);
}

UdpReceiver::~UdpReceiver()
{
    close(fd_);
}

std::optional<std::vector<std::uint8_t>> UdpReceiver::receive(int timeoutMs)
{
    sockaddr_in sender{};
    return receive(sender, timeoutMs);
}

std::optional<std::vector<std::uint8_t>> UdpReceiver::receive(sockaddr_in& sender, int timeoutMs)
{
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) != 1) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> datagram(65536);
    // recvmsg, not recvfrom: the client tests interpose recvfrom to inject
    // faults into the library, and the test's own service must not see them.
    iovec buffer{datagram.data(), datagram.size()};
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    const ssize_t count = recvmsg(fd_, &message, 0);
    if (count < 0) {
        return std::nullopt;
    }
    datagram.resize(static_cast<std::size_t>(count));
    return datagram;
}

bool UdpReceiver::sendTo(const sockaddr_in& to, const std::vector<std::uint8_t>& datagram)
{
    // sendmsg, for the same reason as recvmsg above.
    iovec buffer{const_cast<std::uint8_t*>(datagram.data()), datagram.size()};
    msghdr message{};
    message.msg_name = const_cast<sockaddr_in*>(&to);
    message.msg_namelen = sizeof to;
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    return sendmsg(fd_, &message, 0) == static_cast<ssize_t>(datagram.size());
}

} // namespace marltest
