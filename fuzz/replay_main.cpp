// The main of a fuzz target without libFuzzer.
//
//   TARGET --write-seeds DIR   writes the target's seeds into DIR
//   TARGET PATH...             runs the target on each file, and on each file
//                              of each directory, in name order
//
// Each input lies in a heap block of exactly its size, as under libFuzzer,
// so that a sanitizer sees a read one byte past its end.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string_view>

#include "fuzz_target.h"

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    if (argc == 3 && std::string_view(argv[1]) == "--write-seeds") {
        fs::create_directories(argv[2]);
        const std::vector<FuzzInput> seeds = marlFuzzSeeds();
        for (std::size_t i = 0; i < seeds.size(); ++i) {
            std::ofstream(fs::path(argv[2]) / ("seed-" + std::to_string(i)), std::ios::binary)
                .write(reinterpret_cast<const char*>(seeds[i].data()), static_cast<std::streamsize>(seeds[i].size()));
        }
        return 0;
    }
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::size_t first = files.size();
        if (fs::is_directory(argv[i])) {
            std::copy(fs::directory_iterator(argv[i]), fs::directory_iterator(), std::back_inserter(files));
        } else {
            files.emplace_back(argv[i]);
        }
        std::sort(files.begin() + static_cast<long>(first), files.end());
    }
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        const FuzzInput bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        FUZZ_CHECK(in.good() || in.eof());
        const auto exact = std::make_unique<std::uint8_t[]>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), exact.get());
        LLVMFuzzerTestOneInput(exact.get(), bytes.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return files.empty() ? 2 : 0; // no input at all is a mistake in the command, not a pass
}
