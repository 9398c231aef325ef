// Where datagrams come from and go to: an IPv4 or IPv6 address and a port,
// as the socket calls take and give them; and the networks that --allow
// names, which senders must belong to.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marld {

struct Endpoint {
    Endpoint() = default;
    // An IPv4 address and port, in host order.
    Endpoint(std::uint32_t ipv4, std::uint16_t port);

    [[nodiscard]] socklen_t size() const noexcept
    {
        return address.any.sa_family == AF_INET6 ? sizeof address.v6 : sizeof address.v4;
    }
    [[nodiscard]] std::uint16_t port() const noexcept;
    void setPort(std::uint16_t port) noexcept;
    // The address without the port: "127.0.0.1", "::1"; an IPv4 address
    // mapped into IPv6 reads as IPv4.
    [[nodiscard]] std::string addressText() const;
    // "127.0.0.1:41718", "[::1]:41718".
    [[nodiscard]] std::string text() const;
    [[nodiscard]] bool operator==(const Endpoint& other) const noexcept;

    union {
        sockaddr_in6 v6; // first, so that the whole union starts zeroed
        sockaddr_in v4;
        sockaddr any;
    } address{};
};

// "10.0.0.0/8", "127.0.0.1", "fe80::/10", "::1": every address that shares
// the network's first `bits` bits.
struct Network {
    std::array<std::uint8_t, 16> bytes{}; // IPv4 in the first four
    bool ipv6 = false;
    unsigned bits = 0;
};

[[nodiscard]] std::optional<Network> parseNetwork(std::string_view text);

// Whether `sender` belongs to one of `networks`; an IPv4 address mapped into
// IPv6 belongs to the IPv4 networks that hold it.
[[nodiscard]] bool belongs(const Endpoint& sender, const std::vector<Network>& networks);

} // namespace marld
