// Benchmarks of the error measure and of a whole search, on bench/worst.dat
// (200 records), for every version of the error measure this processor runs.
//
// The search calls the error measure with points that depend on the values
// it returned before, so consecutive calls cannot overlap.  The benchmarks
// keep that dependence: each call's vertex is moved by a negligible multiple
// of the previous call's result, and the floor, one dependent addition per
// record, is chained across calls the same way.  Per-record times are the
// counter per_record (per vertex and record for multi-vertex passes).
#include <cstdio>
#include <cstring>
#include <string>

#include "benchmark/benchmark.h"
#include "cli.h"

using namespace qev;

namespace {

constexpr vertex worst_start = {7.4, -21.5, -43.7, 0.0};
constexpr vertex fitted = {0.0168872, 0.0874794, -0.0284394, 0.0};
constexpr double tiny = 0x1p-1000;  // a result times this moves nothing

context ctx;  // holds bench/worst.dat

void per_record(benchmark::State &state, int vertices) {
  state.counters["per_record"] = benchmark::Counter(
      double(state.iterations()) * ctx.n_data * vertices,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Version k of the error measure on `vertices` vertices per pass.
void BM_ErrorMeasure(benchmark::State &state, int k, int vertices) {
  const char *name = use_error_measure(&ctx, k);
  if (name == nullptr) {
    state.SkipWithError("not available on this processor");
    return;
  }
  vertex v[3] = {fitted, fitted, fitted};
  v[1].b += 1e-3;
  v[2].c += 1e-3;
  double carry = 0.0;
  for (auto _ : state) {
    for (int j = 0; j < vertices; ++j) v[j].a = fitted.a + carry * tiny;
    f_many(&ctx, v, vertices);
    carry = v[0].value;
  }
  benchmark::DoNotOptimize(carry);
  per_record(state, vertices);
  use_error_measure(&ctx, -1);
}

// The floor: the in-order sum of 200 squares, one dependent addition per
// record, each call starting from the last one's sum.
void BM_Sum(benchmark::State &state) {
  double square[max_data];
  for (int i = 0; i < ctx.n_data; ++i) square[i] = ctx.life[i] * ctx.life[i];
  benchmark::DoNotOptimize(square);
  double carry = 0.0;
  for (auto _ : state) {
    double sum = carry * tiny;
    for (int i = 0; i < ctx.n_data; ++i) sum = sum + square[i];
    carry = sum;
  }
  benchmark::DoNotOptimize(carry);
  per_record(state, 1);
}
BENCHMARK(BM_Sum)->Name("ErrorMeasure/sum_floor");

// A whole search from the worst-case start (all 10000 iterations) with
// version k; the same downhills runs on every version.
void BM_WholeSearch(benchmark::State &state, int k) {
  if (use_error_measure(&ctx, k) == nullptr) {
    state.SkipWithError("not available on this processor");
    return;
  }
  int n = 0;
  for (auto _ : state) {
    ctx._f_parms = worst_start;
    benchmark::DoNotOptimize(n = downhills(&ctx));
  }
  state.counters["iterations"] = n;
  use_error_measure(&ctx, -1);
}

std::string processor() {
  std::FILE *fp = std::fopen("/proc/cpuinfo", "r");
  char line[256];
  std::string name = "unknown";
  while (fp != nullptr && std::fgets(line, sizeof line, fp) != nullptr) {
    if (std::strncmp(line, "model name", 10) == 0) {
      name = std::strchr(line, ':') + 2;
      name.pop_back();
    } else if (std::strncmp(line, "cpu family", 10) == 0 ||
               std::strncmp(line, "model\t", 6) == 0) {
      name += std::string(", ") + line;
      name.pop_back();
    }
    if (line[0] == '\n') break;  // the first processor is enough
  }
  if (fp != nullptr) std::fclose(fp);
  return name;
}

}  // namespace

int main(int argc, char **argv) {
  const char *path = QEV_WORST;
  init_context(&ctx);
  read_report rep;
  if (load_data(path, &ctx, &rep, nullptr) <= 0) {
    std::fprintf(stderr, "qev_bench: %s: cannot load the data set\n", path);
    return 2;
  }
  benchmark::AddCustomContext("processor", processor());
  benchmark::AddCustomContext("version qev picks", use_error_measure(&ctx, -1));
  for (int k = 0; const char *name = use_error_measure(&ctx, k); ++k) {
    for (int vertices = 1; vertices <= (k < 2 ? 1 : 3); ++vertices)
      benchmark::RegisterBenchmark(
          ("ErrorMeasure/" + std::string(name) + "/" + std::to_string(vertices))
              .c_str(),
          BM_ErrorMeasure, k, vertices);
    benchmark::RegisterBenchmark(("WholeSearch/" + std::string(name)).c_str(),
                                 BM_WholeSearch, k)
        ->Unit(benchmark::kMillisecond);
  }
  use_error_measure(&ctx, -1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
