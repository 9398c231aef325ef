#include "test_support.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace marltest {

static sockaddr_in loopback(std::uint16_t port)
{
    return {.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero{}};
}

std::string taggedLine(const std::string& file, const std::string& needle, const std::string& text)
{
    std::ifstream source(std::string(MARL_SOURCE_DIR) + "/" + file);
    int found = -1; // -2: not the only one
    std::string line;
    for (int number = 1; std::getline(source, line); ++number) {
        found = line.find(needle) == std::string::npos ? found : found == -1 ? number : -2;
    }
    const std::string module = "marl/module/marlengine/";
    const std::string shown = file.starts_with(module) ? file.substr(module.size()) : file;
    return "[" + shown + ":" + std::to_string(found) + "] " + text;
}

Bytes hexBytes(const std::string& hex)
{
    std::string digits = hex;
    std::erase_if(digits, [](unsigned char c) { return std::isxdigit(c) == 0; });
    Bytes bytes;
    for (std::size_t at = 0; at + 1 < digits.size(); at += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(at, 2), nullptr, 16)));
    }
    return bytes;
}

Bytes patched(Bytes bytes, std::size_t offset, const std::string& hex)
{
    for (const std::uint8_t byte : hexBytes(hex)) {
        bytes.at(offset++) = byte;
    }
    return bytes;
}

Bytes resized(Bytes bytes, std::size_t size)
{
    bytes.resize(size);
    char length[9];
    std::snprintf(length, sizeof length, "%08zx", size);
    return size < 8 ? bytes : patched(bytes, 4, length);
}

std::string describe(const marl::DynamicInfoView& info, bool cut)
{
    std::string text;
    const auto add = [&](const char* item, std::size_t maxLength) {
        const std::size_t length = item != nullptr ? strnlen(item, cut ? maxLength : SIZE_MAX) : 0;
        text += item == nullptr || (cut && length == 0) ? " -" : " \"" + std::string(item, length) + "\"";
    };
    if (const t_threshold_info* record = info.thresholdInfo) {
        const t_threshold_level& level = record->thresholdLevel;
        for (const float number : {level.low, level.high, record->observedValue}) {
            text += std::to_string(std::bit_cast<std::uint32_t>(number)) + " ";
        }
        text += std::to_string(static_cast<std::int32_t>(record->armTime));
        add(record->attributeId, MARL_MAX_ATTRIBUTE_ID_LENGTH);
        add(record->thresholdLevel.indication, MARL_MAX_INDICATION_LENGTH);
    }
    for (std::size_t i = 0; i < info.texts.size(); ++i) {
        add(info.texts[i], marl::kTextFields[i].maxLength);
    }
    return text;
}

marl::DynamicInfoView viewOf(const marl::DynamicInfo& info)
{
    marl::DynamicInfoView view{info.thresholdInfo, {}};
    std::copy(info.texts.begin(), info.texts.end(), view.texts.begin());
    return view;
}

UdpPeer::UdpPeer(std::uint16_t port, int receiveBuffer, const std::string& address)
    : fd_(socket(address.find(':') != address.npos ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)),
      ipv6_(address.find(':') != address.npos)
{
    sockaddr_in6 local{}; // or a sockaddr_in, which it has the room for
    auto& v4 = reinterpret_cast<sockaddr_in&>(local);
    local.sin6_family = ipv6_ ? AF_INET6 : AF_INET;
    const bool parsed = inet_pton(local.sin6_family, address.c_str(), ipv6_ ? static_cast<void*>(&local.sin6_addr) : &v4.sin_addr) == 1;
    (ipv6_ ? local.sin6_port : v4.sin_port) = htons(port);
    socklen_t size = ipv6_ ? sizeof local : sizeof v4;
    if (fd_ < 0 || !parsed ||
        (receiveBuffer > 0 && setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(int)) != 0) ||
        bind(fd_, reinterpret_cast<sockaddr*>(&local), size) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
        throw std::runtime_error("cannot bind a UDP socket to " + address + " port " + std::to_string(port));
    }
    port_ = ntohs(ipv6_ ? local.sin6_port : v4.sin_port);
}

UdpPeer::~UdpPeer() { close(fd_); }

std::optional<Bytes> UdpPeer::receive(std::chrono::milliseconds timeout, sockaddr_in* sender)
{
    Bytes datagram(65536);
    iovec buffer{datagram.data(), datagram.size()};
    msghdr message{.msg_name = sender, .msg_namelen = sender != nullptr ? socklen_t{sizeof *sender} : 0,
                   .msg_iov = &buffer, .msg_iovlen = 1, .msg_control = nullptr, .msg_controllen = 0,
                   .msg_flags = 0};
    pollfd ready{fd_, POLLIN, 0};
    const bool queued = poll(&ready, 1, static_cast<int>(timeout.count())) == 1;
    const ssize_t count = queued ? recvmsg(fd_, &message, 0) : -1;
    datagram.resize(static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    return count < 0 ? std::nullopt : std::optional(std::move(datagram));
}

bool UdpPeer::send(const sockaddr_in& to, const Bytes& datagram)
{
    return sendTo(&to, sizeof to, datagram);
}

bool UdpPeer::sendTo(const void* to, socklen_t size, const Bytes& datagram)
{
    iovec buffer{const_cast<std::uint8_t*>(datagram.data()), datagram.size()};
    msghdr message{.msg_name = const_cast<void*>(to), .msg_namelen = size, .msg_iov = &buffer,
                   .msg_iovlen = 1, .msg_control = nullptr, .msg_controllen = 0, .msg_flags = 0};
    return sendmsg(fd_, &message, 0) == static_cast<ssize_t>(datagram.size());
}

bool UdpPeer::send(std::uint16_t port, const Bytes& datagram)
{
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_addr = in6addr_loopback;
    to.sin6_port = htons(port);
    return ipv6_ ? sendTo(&to, sizeof to, datagram) : send(loopback(port), datagram);
}

std::optional<std::uint64_t> marldCounter(const std::string& output, const std::string& name)
{
    const std::string prefix = "\nmarld: " + name + " ";
    const std::size_t at = output.find(prefix);
    return at == output.npos ? std::nullopt : std::optional(std::stoull(output.substr(at + prefix.size())));
}

const std::string& testDirectory()
{
    // Never destroyed, so that the removal at exit still has its name.
    static const std::string* directory = [] {
        std::string pattern = std::filesystem::temp_directory_path().string() + "/marl-test-XXXXXX";
        const auto* made = new std::string(mkdtemp(pattern.data()) != nullptr ? pattern + "/" : "");
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(testDirectory(), ignored);
        });
        return made;
    }();
    return *directory;
}

} // namespace marltest
