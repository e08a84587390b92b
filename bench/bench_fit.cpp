// Benchmarks of the error measure and of a whole search.
//
// Each measure runs on bench/worst.dat (200 records).  The literal error
// measure from tests/literal.h is the baseline; ErrorMeasure/sum_floor is the
// floor that the in-order sum of squares sets, one dependent addition per
// record.
// Per-record times are reported as the counter per_record.
#include <cstdio>
#include <string>

#include "benchmark/benchmark.h"
#include "literal.h"
#include "qev.h"

// The same search compiled a second time against the literal error measure,
// with its own names so that both can run side by side in one binary.
#define f literal::f
#define sort literal_sort
#define downhills literal_downhills
#define ivec literal_ivec
#define _f_parms literal_f_parms
#include "simplex.cpp"
#undef f
#undef sort
#undef downhills
#undef ivec
#undef _f_parms

namespace {

constexpr vertex worst_start = {7.4, -21.5, -43.7, 0.0};

void per_record(benchmark::State &state) {
  state.counters["per_record"] = benchmark::Counter(
      double(state.iterations()) * n_data,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// version < 0: the literal evaluation; otherwise that version of f.
void BM_ErrorMeasure(benchmark::State &state, int version) {
  if (version >= 0 && use_error_measure(version) == nullptr) {
    state.SkipWithError("not available on this processor");
    return;
  }
  double (*measure)(vertex) = version < 0 ? literal::f : f;
  vertex v = {0.0168872, 0.0874794, -0.0284394, 0.0};
  for (auto _ : state) {
    benchmark::DoNotOptimize(v);
    benchmark::DoNotOptimize(measure(v));
  }
  per_record(state);
}
BENCHMARK_CAPTURE(BM_ErrorMeasure, literal, -1);
BENCHMARK_CAPTURE(BM_ErrorMeasure, baseline, 0);
BENCHMARK_CAPTURE(BM_ErrorMeasure, avx, 1);
BENCHMARK_CAPTURE(BM_ErrorMeasure, avx512f, 2);

// The floor: the sum of 200 squares in order, nothing else.
void BM_Sum(benchmark::State &state) {
  double square[max_data];
  for (int i = 0; i < n_data; ++i) square[i] = life[i] * life[i];
  for (auto _ : state) {
    benchmark::DoNotOptimize(square);
    double sum = 0.0;
    for (int i = 0; i < n_data; ++i) sum = sum + square[i];
    benchmark::DoNotOptimize(sum);
  }
  per_record(state);
}
BENCHMARK(BM_Sum)->Name("ErrorMeasure/sum_floor");

// A whole search from the worst-case start, with the widest version of f
// (the last one use_error_measure accepts stays selected).
void BM_WholeSearch(benchmark::State &state, int (*search)(), vertex *start) {
  for (int k = 0; use_error_measure(k) != nullptr; ++k) {
  }
  int n = 0;
  for (auto _ : state) {
    *start = worst_start;
    benchmark::DoNotOptimize(n = search());
  }
  state.counters["iterations"] = n;
}
BENCHMARK_CAPTURE(BM_WholeSearch, literal, literal_downhills, &literal_f_parms)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WholeSearch, fast, downhills, &_f_parms)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  const char *path = QEV_WORST;
  if (load_data(path) <= 0) {
    std::fprintf(stderr, "qev_bench: %s: cannot load the data set\n", path);
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
