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
#include <cstring>

#include "qev.h"

// glibc's CPU feature header is C that g++ accepts and clang++ does not.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#if __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#define QEV_VECTOR_VERSIONS 1
#endif
#endif

thread_local int age[max_data];
thread_local double life[max_data];
thread_local int n_data;

namespace {

constexpr double terminal_age = 105.0;  // u grows without bound towards it
constexpr double a_exponent = 3.0;
constexpr double b_exponent = 0.5;
constexpr double c_factor = -2.0;

// Per-record factors of a, b and c in the curve.
thread_local double a_factor[max_data];
thread_local double b_factor[max_data];
thread_local double c_term[max_data];

// The curve at record i from the cached factors: the operations of the
// formula, in its order.
inline __attribute__((always_inline)) double curve(vertex v, int i) {
  const double t1 = v.a * a_factor[i];
  const double t2 = v.b * b_factor[i];
  const double t3 = v.c * c_term[i];
  return 1.0 / (((t1 + t2) + t3) + 1.0);
}

// The error of K independent vertices in one pass over the records, into
// their value fields.  Each vertex keeps its own sum, added in record order,
// so each value is bit for bit what a pass of its own gives.  A sum is a
// chain of dependent additions whose latency bounds a pass; K chains
// advance side by side, and the residuals feeding them are computed several
// records at a time (at -O3) while the chains advance.
template <int K>
inline __attribute__((always_inline)) void rmse(vertex *v) {
  vertex p[K];
  double sum[K];
  for (int k = 0; k < K; ++k) {
    p[k] = v[k];
    sum[k] = 0.0;
  }
  for (int i = 0; i < n_data; ++i) {
    for (int k = 0; k < K; ++k) {
      const double r = life[i] - curve(p[k], i);
      sum[k] = sum[k] + r * r;
    }
  }
  for (int k = 0; k < K; ++k)
    v[k].value = std::sqrt(sum[k] / static_cast<double>(n_data));
}

terms factors(int x_int) { return age_terms(static_cast<double>(x_int)); }

// The formula evaluated as it stands, powers and exponentials in the loop:
// the reference that the cached versions match, for tests and benchmarks.
void rmse_literal(vertex *v) {
  double sum = 0.0;
  for (int i = 0; i < n_data; ++i) {
    const terms t = factors(age[i]);
    const double curve = 1.0 / (((v->a * t.a + v->b * t.b) + v->c * t.c) + 1.0);
    const double r = life[i] - curve;
    sum = sum + r * r;
  }
  v->value = std::sqrt(sum / static_cast<double>(n_data));
}

// Versions of the error measure: the kernels for one, two and three
// vertices, compiled for one instruction set each.  Every lane does the same
// IEEE operations in the same order and fused multiply-add stays off, so all
// versions agree.  "literal" and "plain" (the cached loop, one vertex per
// pass, no target attributes) are baselines for tests and benchmarks.
using kernel = void (*)(vertex *);

// K vertices scored by K passes of a one-vertex kernel.
template <kernel one, int K>
void one_at_a_time(vertex *v) {
  for (int k = 0; k < K; ++k) one(v + k);
}

void plain_1(vertex *v) { rmse<1>(v); }

#define QEV_KERNELS(name, attr)                 \
  attr void name##_1(vertex *v) { rmse<1>(v); } \
  attr void name##_2(vertex *v) { rmse<2>(v); } \
  attr void name##_3(vertex *v) { rmse<3>(v); }
QEV_KERNELS(sse2, )
#ifdef QEV_VECTOR_VERSIONS
QEV_KERNELS(avx2, __attribute__((target("avx2"))))
QEV_KERNELS(avx512, __attribute__((target("avx512f"))))
#endif

struct version {
  const char *name;
  kernel measure[3];  // for 1, 2 and 3 vertices
  bool usable;
};

version versions[] = {
    {"literal",
     {rmse_literal, one_at_a_time<rmse_literal, 2>,
      one_at_a_time<rmse_literal, 3>},
     true},
    {"plain",
     {plain_1, one_at_a_time<plain_1, 2>, one_at_a_time<plain_1, 3>},
     true},
    {"sse2", {sse2_1, sse2_2, sse2_3}, true},
#ifdef QEV_VECTOR_VERSIONS
    {"avx2", {avx2_1, avx2_2, avx2_3}, CPU_FEATURE_ACTIVE(AVX2)},
    {"avx512", {avx512_1, avx512_2, avx512_3}, CPU_FEATURE_ACTIVE(AVX512F)},
#endif
};
constexpr int n_versions = sizeof versions / sizeof versions[0];

// The version to use, from what the C library already knows of the
// processor (asking again with cpuid costs microseconds in a virtual
// machine, as much as a whole fit).  The 256-bit version wins the whole
// search wherever it was measured: on AMD Zen 4 it takes 0.89x to 0.95x the
// AVX-512 version's time, and on Intel Sapphire Rapids, where any 512-bit
// operation in flight slows the scalar additions of the sums, about 0.7x.
// So AVX-512 is never picked, and a processor without AVX2 gets SSE2.
int fastest() {
#ifdef QEV_PLAIN
  return 1;  // the benchmarks' straightforward program
#endif
  for (int k = 0; k < n_versions; ++k)
    if (versions[k].usable && std::strcmp(versions[k].name, "avx2") == 0)
      return k;
  return 2;  // sse2
}

const kernel *error_measure = versions[fastest()].measure;

// The factors of the ages a life table has, 0 to 105, kept for the whole
// run: a collection of tables repeats them, and they cost two powers and
// two exponentials each.
constexpr int cached_ages = 106;
thread_local terms by_age[cached_ages];
thread_local bool by_age_known[cached_ages];

}  // namespace

// Both powers go through pow, not multiplications or sqrt, so a negative
// base gives the library's NaN (b term) or a negative cube (a term); the c
// term uses the raw age, not u.
terms age_terms(double x) {
  const double u = x / (terminal_age - x);
  return {std::pow(u, a_exponent), std::pow(std::exp(u) - 1.0, b_exponent),
          1.0 - std::exp(x * c_factor)};
}

void prepare_data() {
  for (int i = 0; i < n_data; ++i) {
    const int x = age[i];
    terms t;
    if (x >= 0 && x < cached_ages) {
      if (!by_age_known[x]) {
        by_age[x] = factors(x);
        by_age_known[x] = true;
      }
      t = by_age[x];
    } else {
      t = factors(x);
    }
    a_factor[i] = t.a;
    b_factor[i] = t.b;
    c_term[i] = t.c;
  }
}

const char *use_error_measure(int k) {
  if (k == -1) k = fastest();
  if (k < 0 || k >= n_versions || !versions[k].usable) return nullptr;
  error_measure = versions[k].measure;
  return versions[k].name;
}

double f(vertex v) {
  error_measure[0](&v);
  return v.value;
}

void f_many(vertex *v, int k) { error_measure[k - 1](v); }

double curve_at(vertex v, int i) { return curve(v, i); }
