// The main of a fuzz target without libFuzzer.
//
//   TARGET --write-seeds DIR   writes the target's seed corpus into DIR
//   TARGET PATH...             runs the target once on each file, and on each
//                              file of each directory, in name order
//
// Each input is copied into a heap block of exactly its size, as libFuzzer
// does, so that a sanitizer sees a read one byte past its end.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_target.h"

namespace {

namespace fs = std::filesystem;

int writeSeeds(const fs::path& directory)
{
    fs::create_directories(directory);
    const std::vector<FuzzInput> seeds = marlFuzzSeeds();
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        std::ofstream out(directory / ("seed-" + std::to_string(i)), std::ios::binary);
        out.write(reinterpret_cast<const char*>(seeds[i].data()), static_cast<std::streamsize>(seeds[i].size()));
        if (!out) {
            std::fprintf(stderr, "cannot write the seeds into %s\n", directory.c_str());
            return 1;
        }
    }
    std::printf("wrote %zu seeds into %s\n", seeds.size(), directory.c_str());
    return 0;
}

void runOne(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        std::exit(1);
    }
    const FuzzInput bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const auto exact = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), exact.get());
    LLVMFuzzerTestOneInput(exact.get(), bytes.size());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string_view(argv[1]) == "--write-seeds") {
        return writeSeeds(argv[2]);
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s --write-seeds DIR | %s PATH...\n", argv[0], argv[0]);
        return 2;
    }
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_directory(argv[i])) {
            std::vector<fs::path> inside;
            for (const auto& entry : fs::directory_iterator(argv[i])) {
                if (entry.is_regular_file()) {
                    inside.push_back(entry.path());
                }
            }
            std::sort(inside.begin(), inside.end());
            files.insert(files.end(), inside.begin(), inside.end());
        } else {
            files.emplace_back(argv[i]);
        }
    }
    for (const fs::path& file : files) {
        runOne(file);
    }
    std::printf("replayed %zu inputs\n", files.size());
    // No input at all is a mistake in the command, not a pass.
    return files.empty() ? 1 : 0;
}
