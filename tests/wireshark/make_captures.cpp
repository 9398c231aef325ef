// Writes the capture that the dissector test reads: datagrams built with the
// project's own record writers, each wrapped in Ethernet, IPv4 and UDP between
// two ports of 127.0.0.1, in a classic pcap file. Frame numbers (1-based, in
// the order below) are what dissector_test.sh refers to.
// Usage: make_captures OUT.pcap PORT
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "byteStream.h"
#include "marlRecords.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint16_t clientPort = 50123;

void require(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "make_captures: cannot write %s\n", what);
        std::exit(1);
    }
}

// Runs `write` on a writer over a generous buffer; returns what it wrote.
template <typename Write>
Bytes build(Write write)
{
    Bytes buffer(1 << 16);
    marl::ByteWriter writer(buffer.data(), buffer.size());
    require(write(writer), "datagram");
    buffer.resize(buffer.size() - writer.room());
    return buffer;
}

msgHeaderNt header(std::uint32_t id, std::size_t length)
{
    msgHeaderNt h{};
    h.id = id;
    h.length = static_cast<std::int32_t>(length);
    return h;
}

Bytes update(std::uint32_t id, std::uint8_t setPoint, const std::string& name, const Bytes& block = {})
{
    t_marl_update_point_msg msg{};
    msg.header = header(id, MARL_UPDATE_POINT_MSG_SIZE + name.size() + block.size());
    msg.setPoint = setPoint;
    msg.pointNameLength = static_cast<std::uint32_t>(name.size());
    return build([&](marl::ByteWriter& w) {
        return marl::putUpdatePointMsg(w, msg) && w.putBytes(name.data(), name.size()) &&
               w.putBytes(block.data(), block.size());
    });
}

Bytes query(const std::string& name)
{
    t_marl_query_point_msg msg{};
    msg.header = header(MARL_MSG_QUERY_POINT, MARL_QUERY_POINT_MSG_SIZE + name.size());
    msg.pointNameLength = static_cast<std::uint32_t>(name.size());
    return build([&](marl::ByteWriter& w) {
        return marl::putQueryPointMsg(w, msg) && w.putBytes(name.data(), name.size());
    });
}

Bytes response(msgHeaderNt h, std::uint8_t pointIsSet, t_marl_msg_return_code rc)
{
    t_marl_query_point_response_msg msg{};
    msg.header = h;
    msg.header.id = MARL_MSG_QUERY_POINT_RESPONSE;
    msg.header.length = MARL_QUERY_POINT_RESPONSE_MSG_SIZE;
    msg.pointIsSet = pointIsSet;
    msg.returnCode = rc;
    msg.pointNameLength = 2;
    return build([&](marl::ByteWriter& w) { return marl::putQueryPointResponseMsg(w, msg); });
}

// A counted string: absent (nullptr) as a zero length; present as its length
// capped at `max`, that many bytes and a NUL.
bool putCounted(marl::ByteWriter& w, const char* text, std::size_t max)
{
    if (text == nullptr) {
        return w.putU16(0);
    }
    const std::size_t n = std::min(std::strlen(text), max);
    return w.putU16(static_cast<std::uint16_t>(n)) && w.putBytes(text, n) && w.putU8(0);
}

struct Threshold {
    const char* attributeId;
    const char* indication;
    float low, high, observed;
    std::int32_t armTime;
    std::uint16_t length = 22;
};

// The dynamic information block of an extended update.
Bytes block(const Threshold* t, const std::vector<const char*>& six)
{
    return build([&](marl::ByteWriter& w) {
        bool ok = w.putU16(t != nullptr ? t->length : 0);
        if (t != nullptr) {
            ok = ok && putCounted(w, t->attributeId, 80) && putCounted(w, t->indication, 4) &&
                 w.putU32(std::bit_cast<std::uint32_t>(t->low)) && w.putU32(std::bit_cast<std::uint32_t>(t->high)) &&
                 w.putU32(std::bit_cast<std::uint32_t>(t->observed)) && w.putI32(t->armTime);
        }
        const std::size_t maxima[6] = {128, 32, 32, 32, 32, 32};
        for (std::size_t i = 0; i < 6; ++i) {
            ok = ok && putCounted(w, i < six.size() ? six[i] : nullptr, maxima[i]);
        }
        return ok;
    });
}

// Damage done to good datagrams for the malformed cases.
Bytes patchU32(Bytes bytes, std::size_t offset, std::uint32_t value)
{
    marl::ByteWriter w(bytes.data() + offset, 4);
    require(w.putU32(value), "patch");
    return bytes;
}
// Cuts or zero-pads to `size` bytes, with a header length to match.
Bytes resized(Bytes bytes, std::size_t size)
{
    bytes.resize(size);
    return size >= 8 ? patchU32(bytes, 4, static_cast<std::uint32_t>(size)) : bytes;
}

// Ethernet + IPv4 + UDP around one datagram, as one pcap record. Responses
// come from the service's port, everything else goes to it.
bool putFrame(marl::ByteWriter& w, std::uint32_t second, const Bytes& datagram, std::uint16_t port)
{
    const bool toService = datagram.size() < 4 || datagram[2] != 0x8C || datagram[3] != 0x02;
    const auto ipLength = static_cast<std::uint16_t>(20 + 8 + datagram.size());
    std::uint16_t ip[10] = {0x4500, ipLength, 0, 0x4000, 0x4011, 0, 0x7F00, 0x0001, 0x7F00, 0x0001};
    std::uint32_t sum = 0;
    for (std::uint16_t word : ip) {
        sum += word;
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    ip[5] = static_cast<std::uint16_t>(~(sum + (sum >> 16)));
    const auto frameLength = static_cast<std::uint32_t>(14 + ipLength);
    bool ok = w.putU32(second) && w.putU32(0) && w.putU32(frameLength) && w.putU32(frameLength) &&
              w.putBytes("\0\0\0\0\0\0\0\0\0\0\0\0\x08\x00", 14);
    for (std::uint16_t word : ip) {
        ok = ok && w.putU16(word);
    }
    return ok && w.putU16(toService ? clientPort : port) && w.putU16(toService ? port : clientPort) &&
           w.putU16(static_cast<std::uint16_t>(8 + datagram.size())) && w.putU16(0) &&
           w.putBytes(datagram.data(), datagram.size());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_captures OUT.pcap PORT\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));

    msgHeaderNt busy = header(0, 0); // every header field distinct and nonzero
    busy.control = 0x01020304;
    busy.sequence = 5;
    busy.sequenceReply = 6;
    busy.txTime = {7, 8};
    busy.rxTime = {-9, 10};
    busy.timeReply = {11, 999999};
    const Threshold example{"a", "b", 1.0f, 2.0f, 0.5f, 16};
    // thresholdLength 5: any nonzero value announces the threshold part.
    const Threshold full{"cpu-temp", "critical", -5.25f, 85.5f, 91.0f, 1700000000, 5};
    const Bytes fullUpdate = update(MARL_MSG_UPDATE_POINT_EXT, 1, "fan/hot",
                                    block(&full, {"temp", "user", "provider", "detector", "text1", "text2"}));
    const Bytes cutNumbers = update(MARL_MSG_UPDATE_POINT_EXT, 1, "ab", block(&example, {}));

    const std::vector<Bytes> frames = {
        update(MARL_MSG_UPDATE_POINT, 1, "ab"),                                       // 1 raise
        update(MARL_MSG_UPDATE_POINT, 0, "ab"),                                       // 2 clear
        query("ab"),                                                                  // 3
        response(busy, 1, MARL_MSG_RC_OK),                                            // 4
        response(header(0, 0), 0, MARL_MSG_RC_INVALID_POINT_ID),                      // 5
        update(MARL_MSG_UPDATE_POINT_EXT, 1, "ab", block(&example, {})),              // 6 38-byte block
        update(MARL_MSG_UPDATE_POINT_EXT, 0, "ab", block(nullptr, {"x"})),            // 7 16-byte block
        // 8: every item present; the indication is cut to 4 characters and the
        // datagram keeps the sender's uncut length, so 4 zero bytes end it.
        resized(fullUpdate, fullUpdate.size() + 4),
        update(0x8C03, 1, "ab"),                                                      // 9 unknown id
        resized(update(MARL_MSG_UPDATE_POINT, 1, "ab"), 3),                           // 10 no id
        resized(update(MARL_MSG_UPDATE_POINT, 1, "ab"), 20),                          // 11 cut header
        resized(response(header(0, 0), 1, MARL_MSG_RC_OK), 45),                       // 12 short response
        patchU32(update(MARL_MSG_UPDATE_POINT, 1, "ab"), 4, 50),                      // 13 length 50
        patchU32(update(MARL_MSG_UPDATE_POINT, 1, "ab"), 42, 10),                     // 14 name of 10
        resized(update(MARL_MSG_UPDATE_POINT_EXT, 1, "ab", block(nullptr, {"xyzw"})), 53), // 15 text cut
        resized(cutNumbers, cutNumbers.size() - 12 - 14),                             // 16 in "low"
        patchU32(update(MARL_MSG_UPDATE_POINT_EXT, 1, "ab", block(nullptr, {"x"})), 50, 0x00017879), // 17 no NUL
        resized(query("ab"), 48),                                                     // 18 trailing
    };

    const Bytes file = build([&](marl::ByteWriter& w) {
        // Classic pcap, written big-endian: magic, version 2.4, zone, accuracy,
        // snapshot length, link type Ethernet.
        bool ok = w.putU32(0xA1B2C3D4) && w.putU16(2) && w.putU16(4) && w.putU32(0) && w.putU32(0) &&
                  w.putU32(65535) && w.putU32(1);
        std::uint32_t second = 1700000000;
        for (const Bytes& datagram : frames) {
            ok = ok && putFrame(w, second++, datagram, port);
        }
        return ok;
    });
    FILE* out = std::fopen(argv[1], "wb");
    require(out != nullptr && std::fwrite(file.data(), 1, file.size(), out) == file.size() && std::fclose(out) == 0,
            argv[1]);
    return 0;
}
