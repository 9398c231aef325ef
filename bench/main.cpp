// marl-bench: the library, its codec and marld against baselines measured in
// the same run; prints Google Benchmark's report, then the table of ratios.
//
// Run it where the services database names the "marl" port and nothing else
// listens there (bench/run-benchmarks.sh runs it so, in private namespaces):
// the benchmarks bind that port themselves, or start marld on it.
//
// Options besides Google Benchmark's: --table_out=FILE writes the table to
// FILE instead of stdout. MARL_BENCH_SCALE scales every benchmark's rounds.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "benchSupport.h"

int main(int argc, char** argv)
{
    std::string tablePath;
    std::vector<char*> arguments;
    for (int i = 0; i < argc; ++i) {
        constexpr std::string_view tableOption = "--table_out=";
        if (std::string_view(argv[i]).starts_with(tableOption)) {
            tablePath = argv[i] + tableOption.size();
        } else {
            arguments.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) {
        return 2;
    }
    if (marlbench::librarySocket().port() == 0) {
        std::fprintf(stderr, "marl-bench: the services database names no \"marl\" port (or the library has no "
                             "socket); run it with scripts/with-services.sh PORT\n");
        return 2;
    }
    marlbench::registerClientBenchmarks();
    marlbench::registerCodecBenchmarks();
    marlbench::registerMarldBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::FILE* out = tablePath.empty() ? stdout : std::fopen(tablePath.c_str(), "w");
    if (out == nullptr) {
        std::fprintf(stderr, "marl-bench: cannot write %s: %s\n", tablePath.c_str(), std::strerror(errno));
        return 1;
    }
    marlbench::printTable(out);
    if (out != stdout) {
        std::fclose(out);
    }
    return 0;
}
