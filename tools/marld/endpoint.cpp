#include "endpoint.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace marld {

namespace {

// The sender's address as an IPv4 or IPv6 network's bytes would hold it.
Network addressOf(const Endpoint& endpoint)
{
    Network address;
    const auto& v6 = endpoint.address.v6.sin6_addr;
    if (endpoint.address.any.sa_family == AF_INET6 && !IN6_IS_ADDR_V4MAPPED(&v6)) {
        address.ipv6 = true;
        std::memcpy(address.bytes.data(), &v6, 16);
    } else if (endpoint.address.any.sa_family == AF_INET6) {
        std::memcpy(address.bytes.data(), reinterpret_cast<const std::uint8_t*>(&v6) + 12, 4);
    } else {
        std::memcpy(address.bytes.data(), &endpoint.address.v4.sin_addr, 4);
    }
    return address;
}

} // namespace

Endpoint::Endpoint(std::uint32_t ipv4, std::uint16_t port)
{
    address.v4.sin_family = AF_INET;
    address.v4.sin_addr.s_addr = htonl(ipv4);
    address.v4.sin_port = htons(port);
}

std::uint16_t Endpoint::port() const noexcept
{
    return ntohs(address.any.sa_family == AF_INET6 ? address.v6.sin6_port : address.v4.sin_port);
}

void Endpoint::setPort(std::uint16_t port) noexcept
{
    (address.any.sa_family == AF_INET6 ? address.v6.sin6_port : address.v4.sin_port) = htons(port);
}

std::string Endpoint::addressText() const
{
    const Network bytes = addressOf(*this);
    char text[INET6_ADDRSTRLEN] = "?";
    (void)inet_ntop(bytes.ipv6 ? AF_INET6 : AF_INET, bytes.bytes.data(), text, sizeof text);
    return text;
}

std::string Endpoint::text() const
{
    const bool ipv6 = addressOf(*this).ipv6;
    return (ipv6 ? "[" : "") + addressText() + (ipv6 ? "]:" : ":") + std::to_string(port());
}

bool Endpoint::operator==(const Endpoint& other) const noexcept
{
    return size() == other.size() && std::memcmp(&address, &other.address, size()) == 0;
}

std::optional<Network> parseNetwork(std::string_view text)
{
    Network network;
    const std::size_t slash = text.find('/');
    const std::string address(text.substr(0, slash));
    network.ipv6 = address.find(':') != std::string::npos;
    const unsigned width = network.ipv6 ? 128 : 32;
    network.bits = width;
    const std::string_view bits = slash == text.npos ? "" : text.substr(slash + 1);
    const auto [end, failure] = std::from_chars(bits.data(), bits.data() + bits.size(), network.bits);
    if (inet_pton(network.ipv6 ? AF_INET6 : AF_INET, address.c_str(), network.bytes.data()) != 1 ||
        (slash != text.npos && (bits.empty() || failure != std::errc() || end != bits.data() + bits.size())) ||
        network.bits > width) {
        return std::nullopt;
    }
    return network;
}

bool belongs(const Endpoint& sender, const std::vector<Network>& networks)
{
    const Network address = addressOf(sender);
    return std::ranges::any_of(networks, [&](const Network& network) {
        const unsigned whole = network.bits / 8;
        const auto mask = static_cast<std::uint8_t>(0xFF00U >> (network.bits % 8));
        return network.ipv6 == address.ipv6 &&
               std::equal(network.bytes.begin(), network.bytes.begin() + whole, address.bytes.begin()) &&
               (whole == 16 || (network.bytes[whole] & mask) == (address.bytes[whole] & mask));
    });
}

} // namespace marld
