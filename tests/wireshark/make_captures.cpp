// Prints the datagrams that the dissector test reads, one a line in hex, for
// text2pcap to wrap into UDP frames; the line number is the frame number that
// dissector_test.sh refers to. Every datagram comes from the library's own
// builders, the damaged ones and those no client sends patched afterwards.
#include <cstdio>
#include <vector>

#include "test_support.h"

using namespace marltest;

int main()
{
    char a[] = "a", b[] = "b", cpuTemp[] = "cpu-temp", critical[] = "critical";
    const t_threshold_info small{a, {b, 1.0f, 2.0f}, 0.5f, 16};
    const t_threshold_info full{cpuTemp, {critical, -5.25f, 85.5f}, 91.0f, 1700000000};
    const marl::DynamicInfoView smallInfo{&small, {}}, xInfo{nullptr, {"x"}},
        fullInfo{&full, {"temp", "user", "provider", "detector", "text1", "text2"}};

    const Bytes set = datagramBytes(marl::UpdateDatagram{"ab", true});
    const Bytes query = datagramBytes(marl::QueryDatagram{"ab"});
    const Bytes setOk = datagramBytes(marl::ResponseDatagram{"ab", true, MARL_MSG_RC_OK});
    const Bytes smallExt = datagramBytes(marl::UpdateDatagram{"ab", true, &smallInfo});
    const Bytes xExt = datagramBytes(marl::UpdateDatagram{"ab", false, &xInfo});
    const Bytes fullExt = datagramBytes(marl::UpdateDatagram{"fan/hot", true, &fullInfo});
    // Every header field after the length distinct and nonzero, rxTime negative.
    const std::string busyHeader = "01020304 0005 0006 00000007 00000008 fffffff7 0000000a 0000000b 000f423f";

    const std::vector<Bytes> frames = {
        set,                                                                          // 1
        datagramBytes(marl::UpdateDatagram{"", false}),                               // 2 no name
        query,                                                                        // 3
        patched(setOk, 8, busyHeader),                                                // 4
        datagramBytes(marl::ResponseDatagram{"ab", false, MARL_MSG_RC_INVALID_POINT_ID}), // 5
        smallExt,                                                                     // 6
        xExt,                                                                         // 7
        // "critical" goes out cut to 4 characters while the length counts all
        // 8, so 4 zero bytes end the datagram; thresholdLength 5 instead of 22.
        patched(fullExt, 53, "0005"),                                       // 8
        patched(set, 0, "00008c03"),                                                 // 9 unknown id
        resized(set, 3),                                                              // 10 no id
        resized(set, 20),                                                             // 11 in the header
        resized(setOk, 48),                                                           // 12 in the response
        patched(set, 4, "00000032"),                                                     // 13 length
        patched(set, 42, "0000000a"),                                                    // 14 name
        resized(xExt, 53),                                                            // 15 x, then no NUL
        resized(smallExt, 61),                                                        // 16 in "low"
        patched(xExt, 53, "79"),                                            // 17 y for the NUL
        resized(query, 48),                                                           // 18 trailing
        patched(resized(xExt, 66), 65, "01"),                               // 19 00 01 after it
    };
    for (const Bytes& datagram : frames) {
        for (const std::uint8_t byte : datagram) {
            std::printf("%02x", byte);
        }
        std::printf("\n");
    }
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
