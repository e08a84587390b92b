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
#include <limits>

#include "fit.h"

// glibc's CPU feature header is C that g++ accepts and clang++ does not.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#if __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#define QEV_VECTOR_VERSIONS 1
#endif
#endif

namespace qev {

namespace {

constexpr double end_age = terminal_age;  // u grows without bound towards it
constexpr double a_exponent = 3.0;
constexpr double b_exponent = 0.5;
constexpr double c_factor = -2.0;

// The curve at record i from the cached factors: the operations of the
// formula, in its order.
inline __attribute__((always_inline)) double curve(const context *ctx, vertex v,
                                                   int i) {
  return 1.0 /
         curve_sum(v.a, v.b, v.c, ctx->cube[i], ctx->root[i], ctx->ramp[i]);
}

// The error of K independent vertices in one pass over the records, into
// their value fields.  Each vertex keeps its own sum, added in record order,
// so each value is bit for bit what a pass of its own gives.  A sum is a
// chain of dependent additions whose latency bounds a pass; K chains
// advance side by side, and the residuals feeding them are computed several
// records at a time (at -O3) while the chains advance.
template <int K>
inline __attribute__((always_inline)) void rmse(const context *ctx, vertex *v) {
  vertex p[K];
  double sum[K];
  for (int k = 0; k < K; ++k) {
    p[k] = v[k];
    sum[k] = 0.0;
  }
  const int n = ctx->n_data;
  for (int i = 0; i < n; ++i) {
    for (int k = 0; k < K; ++k) {
      const double r = ctx->life[i] - curve(ctx, p[k], i);
      sum[k] = sum[k] + r * r;
    }
  }
  for (int k = 0; k < K; ++k)
    v[k].value = std::sqrt(sum[k] / static_cast<double>(n));
}

// The formula evaluated as it stands, powers and exponentials in the loop:
// the reference that the cached versions match, for tests and benchmarks.
void rmse_literal(const context *ctx, vertex *v) {
  double sum = 0.0;
  for (int i = 0; i < ctx->n_data; ++i) {
    const terms t = age_terms(static_cast<double>(ctx->age[i]));
    const double curve =
        1.0 / (((v->a * t.cube + v->b * t.root) + v->c * t.ramp) + 1.0);
    const double r = ctx->life[i] - curve;
    sum = sum + r * r;
  }
  v->value = std::sqrt(sum / static_cast<double>(ctx->n_data));
}

// Versions of the error measure: the kernels for one, two and three
// vertices, compiled for one instruction set each.  Every lane does the same
// IEEE operations in the same order and fused multiply-add stays off, so all
// versions agree.  "literal" and "plain" (the cached loop, one vertex per
// pass, no target attributes) are baselines for tests and benchmarks.
void plain_1(const context *ctx, vertex *v) { rmse<1>(ctx, v); }

#define QEV_KERNELS(name, attr)                                          \
  attr void name##_1(const context *ctx, vertex *v) { rmse<1>(ctx, v); } \
  attr void name##_2(const context *ctx, vertex *v) { rmse<2>(ctx, v); } \
  attr void name##_3(const context *ctx, vertex *v) { rmse<3>(ctx, v); }
QEV_KERNELS(sse2, )
#ifdef QEV_VECTOR_VERSIONS
QEV_KERNELS(avx2, __attribute__((target("avx2"))))
QEV_KERNELS(avx512, __attribute__((target("avx512f"))))
#endif

enum version { v_literal, v_plain, v_sse2, v_avx2, v_avx512, n_versions };

// Names by version; a switch, not a table of pointers, so that the choice
// lives in the context and the library holds no data that needs relocating.
const char *version_name(int k) {
  switch (k) {
    case v_literal:
      return "literal";
    case v_plain:
      return "plain";
    case v_sse2:
      return "sse2";
    case v_avx2:
      return "avx2";
    case v_avx512:
      return "avx512";
  }
  return nullptr;
}

bool usable(int k) {
  switch (k) {
    case v_literal:
    case v_plain:
    case v_sse2:
      return true;
#ifdef QEV_VECTOR_VERSIONS
    case v_avx2:
      return CPU_FEATURE_ACTIVE(AVX2);
    case v_avx512:
      return CPU_FEATURE_ACTIVE(AVX512F);
#endif
  }
  return false;
}

// The version fastest on this processor, by what was measured of the whole
// search (Google Benchmark, WholeSearch).  The 256-bit version wins on AMD
// Zen 4 (family 19h), where it takes 0.89x to 0.95x the AVX-512 version's
// time, and on Intel Sapphire Rapids, where any 512-bit operation in flight
// slows the scalar additions of the sums, about 0.7x.  AMD Zen 5 (family
// 1Ah) runs 512-bit operations at full width, and there AVX-512 takes 0.84x
// the time of AVX2.  So AVX-512 goes to AMD from family 1Ah on, AVX2 to
// every other processor that has it, and SSE2 to the rest.
int fastest() {
#ifdef QEV_PLAIN
  return v_plain;  // the benchmarks' straightforward program
#endif
#ifdef QEV_VECTOR_VERSIONS
  constexpr unsigned zen5_family = 0x1a;
  if (usable(v_avx512) && __builtin_cpu_is("amd") &&
      processor_family() >= zen5_family)
    return v_avx512;
  if (usable(v_avx2)) return v_avx2;
#endif
  return v_sse2;
}

}  // namespace

// From the cpuid leaf 1 that the C library read at start-up: asking again
// costs 4 us in a virtual machine, more than a fit of a small table.
unsigned processor_family() {
#ifdef QEV_VECTOR_VERSIONS
  const unsigned eax =
      __x86_get_cpuid_feature_leaf(CPUID_INDEX_1)->cpuid_array[0];
  const unsigned base = (eax >> 8) & 0xf;
  return base == 0xf ? base + ((eax >> 20) & 0xff) : base;
#else
  return 0;
#endif
}

terms age_terms(double x) {
  const double u = x / (end_age - x);
  return {std::pow(u, a_exponent), std::pow(std::exp(u) - 1.0, b_exponent),
          1.0 - std::exp(x * c_factor)};
}

terms factors(int x) {
  if (x >= 0 && x <= terminal_age) return age_factors[x];
  return age_terms(static_cast<double>(x));
}

void init_context(context *ctx) {
  ctx->n_data = 0;
  ctx->_f_parms = default_start;
  for (vertex &v : ctx->ivec) v = default_start;
  ctx->measure = fastest();
}

void prepare_data(context *ctx) {
  for (int i = 0; i < ctx->n_data; ++i) {
    const terms t = factors(ctx->age[i]);
    ctx->cube[i] = t.cube;
    ctx->root[i] = t.root;
    ctx->ramp[i] = t.ramp;
  }
  age_order(ctx, ctx->order);
}

const char *use_error_measure(context *ctx, int k) {
  if (k == -1) k = fastest();
  if (k < 0 || k >= n_versions || !usable(k)) return nullptr;
  ctx->measure = k;
  return version_name(k);
}

void f_many(const context *ctx, vertex *v, int k) {
  switch (ctx->measure) {
    case v_literal:
      for (int j = 0; j < k; ++j) rmse_literal(ctx, v + j);
      return;
    case v_plain:
      for (int j = 0; j < k; ++j) plain_1(ctx, v + j);
      return;
#ifdef QEV_VECTOR_VERSIONS
    case v_avx2:
      return k == 1 ? avx2_1(ctx, v) : k == 2 ? avx2_2(ctx, v) : avx2_3(ctx, v);
    case v_avx512:
      return k == 1   ? avx512_1(ctx, v)
             : k == 2 ? avx512_2(ctx, v)
                      : avx512_3(ctx, v);
#endif
  }
  return k == 1 ? sse2_1(ctx, v) : k == 2 ? sse2_2(ctx, v) : sse2_3(ctx, v);
}

double f(const context *ctx, vertex v) {
  f_many(ctx, &v, 1);
  return v.value;
}

double curve_at(const context *ctx, vertex v, int i) {
  return curve(ctx, v, i);
}

double curve_of(vertex v, int age) {
  const terms t = factors(age);
  return 1.0 / curve_sum(v.a, v.b, v.c, t.cube, t.root, t.ramp);
}

}  // namespace qev

double qev_curve(double a, double b, double c, int age) {
  return qev::curve_of({a, b, c, 0.0}, age);
}

double qev_curve_at(double a, double b, double c, double age) {
  if (age >= 0 && age <= qev::terminal_age && age == std::floor(age))
    return qev_curve(a, b, c, static_cast<int>(age));
  if (!(age > 0 && age < qev::terminal_age))
    return std::numeric_limits<double>::quiet_NaN();
  // Between whole ages, the factors e0_fit integrates.
  const qev::terms t = qev::age_terms(age);
  return 1.0 / qev::curve_sum(a, b, c, t.cube, t.root, t.ramp);
}
