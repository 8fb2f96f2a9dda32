// plo-bench: the Google Benchmark runner, or with --divergence-model the divergence model of
// the GPU search (a printed table, no benchmark run).
#include <benchmark/benchmark.h>

#include <cstring>

#include "tools/bench/divergence_model.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--divergence-model") == 0) {
      return Kest::bench::RunDivergenceModel(argc, argv);
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
