// The benchmark program's own main: the window's benchmarks leave a QApplication, which must
// end before the program's exit handlers run.
#include <benchmark/benchmark.h>

#ifdef TARNWELL_BENCH_WINDOW
namespace tarnwell::bench {
void ReleaseApplication();
}
#endif

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
#ifdef TARNWELL_BENCH_WINDOW
  tarnwell::bench::ReleaseApplication();
#endif
  return 0;
}
