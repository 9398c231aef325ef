// The bounded block reader, marl::decodeDynamicInfo, on arbitrary bytes that
// end where the input ends, as the point service reads a received datagram.
//
// Whatever the bytes, the reader stays inside them and ends every text it
// produces with a NUL inside the text's allocation (AddressSanitizer sees a
// read past either), and LeakSanitizer sees anything not released. When the
// block is complete, the exported reader, which knows no size, must stop at
// the same byte and give back the same; and the block written again from
// what was read must read back the same once more.

#include "fuzz_target.h"
#include "test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    marl::ByteReader reader(data, size);
    marl::DynamicInfo info;
    const marl::DecodeStatus status = marl::decodeDynamicInfo(reader, info);
    const std::string read = marltest::describe(marltest::viewOf(info));
    const std::string written = marltest::describe(marltest::viewOf(info), true);
    const std::size_t consumed = size - reader.left();
    marl::releaseDynamicInfo(info);
    FUZZ_CHECK(status != marl::DecodeStatus::outOfMemory);
    if (status == marl::DecodeStatus::pastEnd) {
        return 0; // the exported reader would trust the lengths and read past the end
    }
    FuzzInput input(data, data + size);
    FUZZ_CHECK(oamMarlDecodeDynamicInfo(input.data(), &info.thresholdInfo, &info.texts[0], &info.texts[1], &info.texts[2],
                                        &info.texts[3], &info.texts[4], &info.texts[5]) == input.data() + consumed);
    FUZZ_CHECK(marltest::describe(marltest::viewOf(info)) == read);
    FuzzInput again(MARL_DYNAMIC_INFO_MAX_SIZE);
    marl::ByteWriter writer(again.data(), again.size());
    FUZZ_CHECK(marl::encodeDynamicInfo(writer, marltest::viewOf(info)));
    marl::releaseDynamicInfo(info);
    marl::ByteReader second(again.data(), again.size() - writer.room());
    FUZZ_CHECK(marl::decodeDynamicInfo(second, info) == marl::DecodeStatus::ok && second.left() == 0);
    FUZZ_CHECK(marltest::describe(marltest::viewOf(info)) == written);
    marl::releaseDynamicInfo(info);
    return 0;
}

std::vector<FuzzInput> marlFuzzSeeds()
{
    const std::string longText(200, 'L');
    const t_threshold_info threshold{const_cast<char*>("a"), {const_cast<char*>("b"), 1.0F, 2.0F}, 0.5F, 16};
    const auto encode = [](const marl::DynamicInfoView& view) {
        FuzzInput block(MARL_DYNAMIC_INFO_MAX_SIZE);
        marl::ByteWriter writer(block.data(), block.size());
        FUZZ_CHECK(marl::encodeDynamicInfo(writer, view));
        block.resize(block.size() - writer.room());
        return block;
    };
    const FuzzInput full = encode({&threshold, {"m", "u", "p", "d", "1", "2"}});
    FuzzInput lengthFive = full;
    lengthFive[1] = 5;
    FuzzInput withoutNul = full;
    withoutNul[5] = 'z'; // the byte after attributeId
    const char* l = longText.c_str();
    return {encode({}), encode({nullptr, {"x"}}), full, FuzzInput(full.begin(), full.end() - 1), lengthFive, withoutNul,
            encode({&threshold, {l, l, l, l, l, l}})};
}
