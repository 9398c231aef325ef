#include "test_support.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace marltest {

std::string taggedLine(const std::string& file, const std::string& needle, const std::string& text)
{
    std::ifstream source(std::string(MARL_SOURCE_DIR) + "/" + file);
    std::string line;
    int found = -1;
    for (int number = 1; std::getline(source, line); ++number) {
        if (line.find(needle) != std::string::npos) {
            found = found == -1 ? number : -2; // -2: not the only one
        }
    }
    const std::string module = "marl/module/marlengine/";
    const std::string shown = file.starts_with(module) ? file.substr(module.size()) : file;
    return "[" + shown + ":" + std::to_string(found) + "] " + text;
}

Bytes hexBytes(const std::string& hex)
{
    Bytes bytes;
    std::string pair;
    for (const char c : hex) {
        if (std::isxdigit(static_cast<unsigned char>(c)) && (pair += c).size() == 2) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16)));
            pair.clear();
        }
    }
    return bytes;
}

Bytes patched(Bytes bytes, std::size_t offset, const std::string& hex)
{
    const Bytes patch = hexBytes(hex);
    for (std::size_t i = 0; i < patch.size(); ++i) {
        bytes.at(offset + i) = patch[i];
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
        const std::string shown = item != nullptr ? std::string(item).substr(0, cut ? maxLength : std::string::npos) : "";
        text += item == nullptr || (cut && shown.empty()) ? " -" : " \"" + shown + "\"";
    };
    if (const t_threshold_info* record = info.thresholdInfo) {
        for (const float number : {record->thresholdLevel.low, record->thresholdLevel.high, record->observedValue}) {
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

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

UdpPeer::UdpPeer(std::uint16_t port, int receiveBuffer) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in address = loopback(port);
    socklen_t size = sizeof address;
    if (fd_ < 0 || (receiveBuffer > 0 && setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) != 0) ||
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        throw std::runtime_error("cannot bind a loopback UDP socket to port " + std::to_string(port));
    }
    port_ = ntohs(address.sin_port);
}

UdpPeer::~UdpPeer()
{
    close(fd_);
}

std::optional<Bytes> UdpPeer::receive(std::chrono::milliseconds timeout, sockaddr_in* sender)
{
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(timeout.count())) != 1) {
        return std::nullopt;
    }
    Bytes datagram(65536);
    iovec buffer{datagram.data(), datagram.size()};
    msghdr message{};
    message.msg_name = sender;
    message.msg_namelen = sender != nullptr ? sizeof *sender : 0;
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    const ssize_t count = recvmsg(fd_, &message, 0);
    if (count < 0) {
        return std::nullopt;
    }
    datagram.resize(static_cast<std::size_t>(count));
    return datagram;
}

bool UdpPeer::send(const sockaddr_in& to, const Bytes& datagram)
{
    iovec buffer{const_cast<std::uint8_t*>(datagram.data()), datagram.size()};
    msghdr message{};
    message.msg_name = const_cast<sockaddr_in*>(&to);
    message.msg_namelen = sizeof to;
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    return sendmsg(fd_, &message, 0) == static_cast<ssize_t>(datagram.size());
}

std::size_t UdpPeer::drain()
{
    std::size_t taken = 0;
    std::uint8_t sink[2048];
    while (recv(fd_, sink, sizeof sink, MSG_DONTWAIT) >= 0) {
        ++taken;
    }
    return taken;
}

std::optional<std::uint64_t> marldCounter(const std::string& output, const std::string& name)
{
    const std::string prefix = "\nmarld: " + name + " ";
    const std::size_t at = output.find(prefix);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    return std::stoull(output.substr(at + prefix.size()));
}

std::uint64_t udpCounter(const std::string& name)
{
    // Two "Udp:" lines: the field names, then the values.
    std::ifstream snmp("/proc/net/snmp");
    std::string names, values;
    while (std::getline(snmp, names) && !names.starts_with("Udp: ")) {
    }
    std::getline(snmp, values);
    std::istringstream nameWords(names), valueWords(values);
    for (std::string field, value; nameWords >> field && valueWords >> value;) {
        if (field == name) {
            return std::stoull(value);
        }
    }
    return 0;
}

} // namespace marltest
