// Prints the datagrams that the dissector test reads, one a line in hex after
// its time in seconds, for text2pcap to wrap into UDP frames; the line number
// is the frame number that dissector_test.sh refers to. Every datagram comes from the library's own
// builders, the damaged ones and those no client sends patched afterwards.
#include <cstdio>
#include <vector>

#include "test_support.h"

using namespace marltest;
using marl::UpdateDatagram, marl::ResponseDatagram;

int main()
{
    char a[] = "a", b[] = "b", cpuTemp[] = "cpu-temp", critical[] = "critical";
    const t_threshold_info small{a, {b, 1.0f, 2.0f}, 0.5f, 16};
    const t_threshold_info full{cpuTemp, {critical, -5.25f, 85.5f}, 91.0f, 1700000000};
    const marl::DynamicInfoView smallInfo{&small, {}}, xInfo{nullptr, {"x"}},
        fullInfo{&full, {"temp", "user", "provider", "detector", "text1", "text2"}};
    const Bytes set = datagramBytes(UpdateDatagram{"ab", true}), query = datagramBytes(marl::QueryDatagram{"ab"});
    const Bytes setOk = datagramBytes(ResponseDatagram{"ab", true, MARL_MSG_RC_OK});
    const Bytes smallExt = datagramBytes(UpdateDatagram{"ab", true, &smallInfo});
    const Bytes xExt = datagramBytes(UpdateDatagram{"ab", false, &xInfo});
    // Every header field after the length distinct and nonzero, rxTime negative.
    const std::string busyHeader = "01020304 0005 0006 00000007 00000008 fffffff7 0000000a 0000000b 000f423f";
    const std::vector<Bytes> frames = {
        set, datagramBytes(UpdateDatagram{"", false}), query, patched(setOk, 8, busyHeader), // 1-4, 2 with no name
        datagramBytes(ResponseDatagram{"ab", false, MARL_MSG_RC_INVALID_POINT_ID}), smallExt, xExt, // 5-7
        // "critical" goes out cut to 4 characters while the length counts all
        // 8, so 4 zero bytes end the datagram; thresholdLength 5 instead of 22.
        patched(datagramBytes(UpdateDatagram{"fan/hot", true, &fullInfo}), 53, "0005"), // 8
        // 9 an unknown id; 10-12 cut in the id, in the header, in the response
        patched(set, 0, "00008c03"), resized(set, 3), resized(set, 20), resized(setOk, 48),
        // 13 the length, 14 the name too long; 15 x, then no NUL; 16 cut in "low"
        patched(set, 4, "00000032"), patched(set, 42, "0000000a"), resized(xExt, 53), resized(smallExt, 61),
        // 17 y for the NUL; 18, 19 bytes after the message
        patched(xExt, 53, "79"), resized(query, 48), patched(resized(xExt, 66), 65, "01"),
        // 20 a reply for another point than query 18's; 21 one that comes 11 s after it
        datagramBytes(ResponseDatagram{"cd", true, MARL_MSG_RC_OK}), setOk};
    for (std::size_t frame = 1; const Bytes& datagram : frames) {
        std::printf("%d.%06zu ", frame == 21 ? 11 : 0, frame);
        ++frame;
        for (const std::uint8_t byte : datagram) {
            std::printf("%02x", byte);
        }
        std::printf("\n");
    }
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
