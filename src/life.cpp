// The life-table curve and the error measure the search minimises.
//
// f is the search's inner loop.  The parts of the curve that depend only on
// the age (u^3, (e^u - 1)^0.5 and 1 - e^(-2x)) are computed once per record
// by prepare_data, so that f costs a few multiplications, additions and one
// division per record.  They are the very values the curve would compute
// each time, so the results are bit-for-bit the same.
//
// Nothing is guarded: an empty data set, an age outside [0, 105] or a zero
// a or b at age 105 give NaN or infinities that flow through IEEE
// arithmetic, and the search treats a NaN error as losing every comparison.
#include <cmath>

#include "qev.h"

// glibc's CPU feature header is C that g++ accepts and clang++ does not.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#if __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#define QEV_VECTOR_VERSIONS 1
#endif
#endif

int age[max_data];
double life[max_data];
int n_data;

namespace {

constexpr double terminal_age = 105.0;  // u grows without bound towards it
constexpr double a_exponent = 3.0;
constexpr double b_exponent = 0.5;
constexpr double c_factor = -2.0;

// Per-record factors of a, b and c in the curve.
double a_factor[max_data];
double b_factor[max_data];
double c_term[max_data];

// The running sum is one chain of dependent additions, in record order; the
// residuals feeding it have no dependence between records, so the compiler
// computes them several at a time (at -O3) while the chain advances.
inline __attribute__((always_inline)) double curve(vertex v, int i) {
  const double t1 = v.a * a_factor[i];
  const double t2 = v.b * b_factor[i];
  const double t3 = v.c * c_term[i];
  return 1.0 / (((t1 + t2) + t3) + 1.0);
}

inline __attribute__((always_inline)) double rmse(vertex v) {
  double sum = 0.0;
  for (int i = 0; i < n_data; ++i) {
    const double r = life[i] - curve(v, i);
    sum = sum + r * r;
  }
  return std::sqrt(sum / static_cast<double>(n_data));
}

// Versions of rmse for wider vectors, picked from what the C library already
// knows of the processor (asking again with cpuid costs microseconds in a
// virtual machine, as much as a whole fit).  Each lane does the same IEEE
// operations in the same order and fused multiply-add stays off, so all
// versions agree.
double rmse_baseline(vertex v) { return rmse(v); }
#ifdef QEV_VECTOR_VERSIONS
__attribute__((target("avx"))) double rmse_avx(vertex v) { return rmse(v); }
__attribute__((target("avx512f"))) double rmse_avx512(vertex v) {
  return rmse(v);
}
#endif

using measure_fn = double (*)(vertex);

struct version {
  const char *name;
  measure_fn measure;
  bool usable;
};

version versions[] = {
    {"baseline", rmse_baseline, true},
#ifdef QEV_VECTOR_VERSIONS
    {"avx", rmse_avx, CPU_FEATURE_ACTIVE(AVX)},
    {"avx512f", rmse_avx512, CPU_FEATURE_ACTIVE(AVX512F)},
#endif
};
constexpr int n_versions = sizeof versions / sizeof versions[0];

measure_fn widest() {
  measure_fn m = rmse_baseline;
  for (const version &k : versions)
    if (k.usable) m = k.measure;
  return m;
}

measure_fn error_measure = widest();

}  // namespace

// Both powers go through pow, not multiplications or sqrt, so a negative base
// gives the library's NaN (b term) or a negative cube (a term); the c term
// uses the raw age, not u.
void prepare_data() {
  for (int i = 0; i < n_data; ++i) {
    const double x = static_cast<double>(age[i]);
    const double u = x / (terminal_age - x);
    a_factor[i] = std::pow(u, a_exponent);
    b_factor[i] = std::pow(std::exp(u) - 1.0, b_exponent);
    c_term[i] = 1.0 - std::exp(x * c_factor);
  }
}

const char *use_error_measure(int k) {
  if (k < 0 || k >= n_versions || !versions[k].usable) return nullptr;
  error_measure = versions[k].measure;
  return versions[k].name;
}

double f(vertex v) { return error_measure(v); }

double curve_at(vertex v, int i) { return curve(v, i); }
