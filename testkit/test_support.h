// Helpers shared by the tests, the fuzz targets' replays and the benchmarks:
// expected log tags, hex bytes, datagrams as byte vectors, a loopback UDP
// peer, and the counters marld prints.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "marlRecords.h"

namespace marltest {

using Bytes = std::vector<std::uint8_t>;

// "[FILE:LINE] " + text, LINE being the only line of `file` (from the
// project's top) that holds `needle`, so that tests check a log tag without
// copying line numbers. FILE is as the build names it: the module's own
// files from the module ("src/marlclient.cpp"), others from the top.
std::string taggedLine(const std::string& file, const std::string& needle, const std::string& text);

// Bytes from hex pairs; blanks are ignored: "00 8c 02".
Bytes hexBytes(const std::string& hex);

// `bytes` with `hex` written over them from `offset` on (at() throws past
// the end).
Bytes patched(Bytes bytes, std::size_t offset, const std::string& hex);
// Cut or zero-padded to `size` bytes, with a header length to match when
// there is room for one.
Bytes resized(Bytes bytes, std::size_t size);

// A datagram as the project's own builder writes it.
template <typename Datagram>
Bytes datagramBytes(const Datagram& datagram)
{
    Bytes bytes(marl::datagramSize(datagram));
    marl::ByteWriter writer(bytes.data(), bytes.size());
    return marl::putDatagram(writer, datagram) ? bytes : throw std::logic_error("datagram size mismatch");
}

// Runtime information as one line of text: the record's numbers (as bits),
// then its two texts and the six others, each up to its first NUL and "-"
// when absent. With `cut`, each text is cut to its maximum and one left
// empty is absent: what a reader gives back of what a writer wrote.
std::string describe(const marl::DynamicInfoView& info, bool cut = false);
marl::DynamicInfoView viewOf(const marl::DynamicInfo& info);

// A UDP socket bound to `address` on loopback, 127.0.0.1 unless told (port
// 0: one of the kernel's choosing); it sends to 127.0.0.1, or ::1 when its
// own address is IPv6. It sends and receives with sendmsg and recvmsg, which
// the interposer leaves alone, so that the library's faults are not its own.
class UdpPeer {
public:
    explicit UdpPeer(std::uint16_t port = 0, int receiveBuffer = 0, const std::string& address = "127.0.0.1");
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    std::uint16_t port() const { return port_; }
    // The next datagram, or nothing if none arrives within `timeout` (0:
    // only one already queued).
    std::optional<Bytes> receive(std::chrono::milliseconds timeout = std::chrono::seconds(2),
                                 sockaddr_in* sender = nullptr);
    bool send(const sockaddr_in& to, const Bytes& datagram);
    bool send(std::uint16_t port, const Bytes& datagram);

private:
    bool sendTo(const void* to, socklen_t size, const Bytes& datagram);

    int fd_;
    std::uint16_t port_ = 0;
    bool ipv6_ = false;
};

// The counter `name` of the counters marld prints when it stops
// ("marld: NAME N"); nothing when the output has none.
std::optional<std::uint64_t> marldCounter(const std::string& output, const std::string& name);

// A folder of this test process's own, made at the first call and removed
// at its exit, with a trailing '/': two runs never share a file.
const std::string& testDirectory();

} // namespace marltest
