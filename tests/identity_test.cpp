// Every version of the error measure, one vertex at a time and two or three
// in one pass, against the literal formula, bit for bit, over generated data
// sets and parameter vectors, special values included.
//
// One thing is not compared bit for bit: when a NaN read from the input meets
// a NaN made by the arithmetic (0 * inf, inf - inf, pow of a negative base),
// IEEE 754 leaves open which of the two the result carries, and compilers
// swap the operands of + and * freely, so only "NaN" is required there.  A
// NaN made by the arithmetic alone is always the processor's default NaN,
// and those results must match to the bit.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fit.h"
#include "gtest/gtest.h"

using namespace qev;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double d) {
  std::uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

// Each field is drawn from its pool half the time and from a smooth range
// otherwise.
struct family {
  const char *name;
  int min_records;
  std::vector<int> ages;
  std::vector<double> lives;
  std::vector<double> parms;
  double parm_range;
};

const family families[] = {
    {"life tables", 1, {0, 1, 50, 104}, {0.0, 1.0}, {0.03, 0.05, 0.01}, 1.0},
    {"terminal age and beyond",
     0,
     {105, 106, 110, 1000, -1, -104, INT_MAX, INT_MIN},
     {0.2, 0.5},
     {0.0, -0.0, 1.0},
     10.0},
    {"special values",
     0,
     {0, 52, 104, 105},
     {nan, inf, -inf, 1e308, -0.0},
     {nan, inf, -inf, 0.0, -0.0, 1e308, -1e-308},
     1e6},
    // Denominators of the curve that are hard to get right without the
    // divider: all-ones mantissas, zero, subnormal, huge and infinite.
    {"hard denominators",
     1,
     {0, 1, 52, 104, 105},
     {0.5, 1.0},
     {-1.0, -0.5, 0x1.fffffffffffffp+0, 0x1.fffffffffffffp-1, -0x1p-1074,
      0x1p-1022, 1.7976931348623157e308, -1.7976931348623157e308},
     1.0},
};

TEST(Identity, PrecomputedErrorMeasureMatchesTheLiteralOneBitForBit) {
  constexpr int data_sets = 300;
  constexpr int vectors_per_set = 20;
  std::mt19937_64 gen(20261209);
  auto unit = [&gen] { return double(gen() >> 11) * 0x1p-53; };
  auto pick = [&gen](const auto &pool) { return pool[gen() % pool.size()]; };
  std::set<std::string> compared;
  context ctx;
  init_context(&ctx);
  int &n_data = ctx.n_data;
  int *const age = ctx.age;
  double *const life = ctx.life;
  for (const family &fam : families) {
    SCOPED_TRACE(fam.name);
    for (int set = 0; set < data_sets; ++set) {
      n_data = fam.min_records + int(gen() % (max_data + 1 - fam.min_records));
      for (int i = 0; i < n_data; ++i) {
        age[i] = gen() % 2 ? pick(fam.ages) : int(gen() % 105);
        life[i] = gen() % 2 ? pick(fam.lives) : unit();
      }
      prepare_data(&ctx);
      bool nan_in_data = false;
      for (int i = 0; i < n_data; ++i) nan_in_data |= std::isnan(life[i]);
      for (int k = 0; k < vectors_per_set; ++k) {
        // Three vertices, so that the two- and three-vertex passes get
        // different neighbours; every vertex of a pass is checked.
        vertex v[3];
        double want[3];
        bool nan_input[3];
        use_error_measure(&ctx, 0);
        for (int j = 0; j < 3; ++j) {
          double p[3];
          for (double &x : p)
            x = gen() % 2 ? pick(fam.parms) : (2 * unit() - 1) * fam.parm_range;
          v[j] = {p[0], p[1], p[2], 0.0};
          want[j] = f(&ctx, v[j]);
          nan_input[j] = nan_in_data || std::isnan(p[0]) || std::isnan(p[1]) ||
                         std::isnan(p[2]);
        }
        // The literal and plain versions' own multi-vertex passes too.
        for (int version = 0;
             const char *name = use_error_measure(&ctx, version); ++version) {
          compared.insert(name);
          for (int width = version == 0 ? 2 : 1; width <= 3; ++width) {
            vertex w[3] = {v[0], v[1], v[2]};
            f_many(&ctx, w, width);
            for (int j = 0; j < width; ++j) {
              const double got = w[j].value;
              if (nan_input[j] && std::isnan(want[j])) {
                ASSERT_TRUE(std::isnan(got)) << name << ": " << got;
                continue;
              }
              ASSERT_EQ(bits(got), bits(want[j]))
                  << name << ", vertex " << j << " of " << width << ", set "
                  << set << " of " << n_data << " records, a=" << v[j].a
                  << " b=" << v[j].b << " c=" << v[j].c << ": " << got << " vs "
                  << want[j];
            }
          }
        }
      }
    }
  }
  use_error_measure(&ctx, -1);
  // Every version this build has for this processor must have been checked,
  // found independently of the code that picks them.
  std::set<std::string> expected = {"literal", "plain", "sse2"};
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    __has_include(<sys/platform/x86.h>)
  if (__builtin_cpu_supports("avx2")) expected.insert("avx2");
  if (__builtin_cpu_supports("avx512f")) expected.insert("avx512");
#endif
  EXPECT_EQ(compared, expected);
}

}  // namespace
