// The main of a fuzz target without libFuzzer.
//
//   TARGET --write-seeds DIR   writes the target's seeds into DIR
//   TARGET PATH...             runs the target on each file given and each file
//                              of each directory given
//
// Each input lies in a heap block of exactly its size, as under libFuzzer,
// so that a sanitizer sees a read one byte past its end.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_target.h"

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--write-seeds") {
        fs::create_directories(argv[2]);
        const std::vector<FuzzInput> seeds = marlFuzzSeeds();
        for (std::size_t i = 0; i < seeds.size(); ++i) {
            std::ofstream(fs::path(argv[2]) / ("seed-" + std::to_string(i)), std::ios::binary)
                .write(reinterpret_cast<const char*>(seeds[i].data()), std::ssize(seeds[i]));
        }
        return 0;
    }
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_directory(argv[i])) {
            files.insert(files.end(), fs::directory_iterator(argv[i]), fs::directory_iterator());
        } else {
            files.emplace_back(argv[i]);
        }
    }
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        // Copied into a block of exactly its size.
        LLVMFuzzerTestOneInput(FuzzInput(text.begin(), text.end()).data(), text.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return files.empty() ? 2 : 0; // no input at all is a mistake in the command, not a pass
}
