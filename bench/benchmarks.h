// The benchmark groups; main registers them in this order, which is the
// order they run and the order of the table.
#pragma once

namespace marlbench {

void registerClientBenchmarks();
void registerCodecBenchmarks();
void registerMarldBenchmarks();

} // namespace marlbench
