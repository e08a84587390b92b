// Unit tests of the error measure, the exchange sort and the search.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "gtest/gtest.h"

using namespace qev;

namespace {

// The context every test here fits in.
context ctx;
const vertex *const ivec = ctx.ivec;

struct record {
  int x;
  double y;
};

void set_data(const std::vector<record> &recs) {
  init_context(&ctx);
  ctx.n_data = static_cast<int>(recs.size());
  for (int i = 0; i < ctx.n_data; ++i) {
    ctx.age[i] = recs[i].x;
    ctx.life[i] = recs[i].y;
  }
  prepare_data(&ctx);
}

void load_example(const char *name) {
  const std::string path = std::string(QEV_EXAMPLES) + "/" + name;
  init_context(&ctx);
  read_report rep;
  ASSERT_GT(load_data(path.c_str(), &ctx, &rep, nullptr), 0) << path;
}

void set_start(double a, double b, double c) { ctx._f_parms = {a, b, c, 0.0}; }

class Fit : public ::testing::Test {
 protected:
  void SetUp() override { set_start(0.03, 0.05, 0.01); }
};

struct f_case {
  const char *name;
  std::vector<record> data;
  vertex v;
  double expected;  // NaN: expect NaN
  bool exact;       // exact in binary, so compared to the bit
};

// Each expected value is worked by hand.
const f_case f_cases[] = {
    // u = 0 and 1 - e^0 = 0 silence all three terms: (0.25 - 1)^2.
    {"age zero ignores the parameters",
     {{0, 0.25}},
     {1e3, -7, 42, 0},
     0.75,
     true},
    {"zero parameters give a flat curve",
     {{10, 0.5}, {50, 0.5}},
     {0, 0, 0, 0},
     0.5,
     true},
    // u = 70 / 35 = 2, so t1 = 0.125 * 8 = 1 and the curve is 1/2.
    {"cube of u in the a term", {{70, 1.0}}, {0.125, 0, 0, 0}, 0.5, true},
    // u = 52 / 53, so t2 = b * sqrt(e^u - 1).
    {"square root in the b term",
     {{52, 0.0}},
     {0, 1, 0, 0},
     1.0 / (std::sqrt(std::exp(52.0 / 53.0) - 1.0) + 1.0),
     false},
    // The c term uses the raw age: at age 1 it is 1 - e^-2, not 1 - e^-(2/104).
    {"c term uses the age, not u",
     {{1, 0.0}},
     {0, 0, 1, 0},
     1.0 / (2.0 - std::exp(-2.0)),
     false},
    {"age 105 sends the curve to zero", {{105, 0.2}}, {1, 1, 0, 0}, 0.2, true},
    {"the value field is not read", {{0, 0.25}}, {0, 0, 0, NAN}, 0.75, true},
    {"empty data set", {}, {1, 1, 1, 0}, NAN, false},
    {"age above 105", {{110, 0.5}}, {1, 1, 1, 0}, NAN, false},
    {"negative age", {{-1, 0.5}}, {1, 1, 1, 0}, NAN, false},
    {"0 * inf at age 105", {{105, 0.2}}, {0, 1, 0, 0}, NAN, false},
};

TEST(ErrorMeasure, MatchesHandWorkedValues) {
  for (const f_case &t : f_cases) {
    SCOPED_TRACE(t.name);
    set_data(t.data);
    const double got = f(&ctx, t.v);
    if (std::isnan(t.expected))
      EXPECT_TRUE(std::isnan(got)) << got;
    else if (t.exact)
      EXPECT_EQ(got, t.expected);
    else
      EXPECT_DOUBLE_EQ(got, t.expected);
  }
}

// Sorting vertices whose a field tags where they started.
struct sort_case {
  const char *name;
  double values[4];
  double order[4];  // tags (start slots) in the expected final order
};

const sort_case sort_cases[] = {
    {"sorted stays", {0, 1, 2, 3}, {0, 1, 2, 3}},
    {"reversed", {3, 2, 1, 0}, {3, 2, 1, 0}},
    {"NaN keeps its slot", {2, NAN, 1, 0}, {3, 1, 2, 0}},
    {"not stable", {3, 5, 3, 1}, {3, 2, 0, 1}},
    {"equal values never exchange", {1, 1, 1, 1}, {0, 1, 2, 3}},
};

TEST(Sort, OrdersLikeTheExchangeSort) {
  for (const sort_case &t : sort_cases) {
    SCOPED_TRACE(t.name);
    vertex s[4];
    for (int k = 0; k < 4; ++k)
      s[k] = {double(k), -double(k), 2.0 * k, t.values[k]};
    sort(s);
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(s[k].a, t.order[k]) << "slot " << k;
      // The whole vertex moves, not only its value.
      EXPECT_EQ(s[k].b, -s[k].a);
      EXPECT_EQ(s[k].c, 2.0 * s[k].a);
    }
  }
}

TEST_F(Fit, StartWithZeroErrorStopsAtOnce) {
  set_data({{0, 1.0}});
  EXPECT_EQ(downhills(&ctx), 0);
  EXPECT_EQ(ivec[0].a, 0.03);
  EXPECT_EQ(ivec[0].b, 0.05);
  EXPECT_EQ(ivec[0].c, 0.01);
  EXPECT_EQ(ivec[0].value, 0.0);
}

// With data only at age 0 every vertex scores the same, so the search stops
// before its first iteration and leaves the initial simplex unsorted.
TEST_F(Fit, InitialSimplexStepsEachParameterByTen) {
  set_data({{0, 0.5}});
  set_start(1e-300, -7.0, -0.0);
  EXPECT_EQ(downhills(&ctx), 0);
  const vertex want[4] = {{1e-300, -7.0, -0.0, 0.5},
                          {10.0, -7.0, -0.0, 0.5},
                          {1e-300, 3.0, -0.0, 0.5},
                          {1e-300, -7.0, 10.0, 0.5}};
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(ivec[k].a, want[k].a);
    EXPECT_EQ(ivec[k].b, want[k].b);
    EXPECT_EQ(ivec[k].c, want[k].c);
    EXPECT_EQ(ivec[k].value, want[k].value);
  }
}

TEST_F(Fit, EmptyDataSetRunsOneIterationAndKeepsTheStart) {
  set_data({});
  EXPECT_EQ(downhills(&ctx), 1);
  EXPECT_EQ(ivec[0].a, 0.03);
  EXPECT_EQ(ivec[0].b, 0.05);
  EXPECT_EQ(ivec[0].c, 0.01);
  EXPECT_TRUE(std::isnan(ivec[0].value));
}

// Reference values from an independent implementation of the same
// arithmetic (same operations, same order), compared bit for bit.
TEST_F(Fit, RealTableGivesTheReferenceResultExactly) {
  load_example("us-2011-male.dat");
  const int n = downhills(&ctx);
  EXPECT_EQ(n, 229);
  EXPECT_EQ(ivec[0].a, 0x1.14ae0930d5574p-6);
  EXPECT_EQ(ivec[0].b, 0x1.6650df4422136p-4);
  EXPECT_EQ(ivec[0].c, -0x1.d1f377d38903bp-6);
  EXPECT_EQ(ivec[0].value, 0x1.9348a4712767ep-7);
}

// Like GSL's minimiser tests: from several fixed starts the search must find
// the same minimum.  The spread between starts is set by the 1e-15 relative
// stopping rule, so the RMSE agrees to 1e-14 and the parameters to 1e-6.
TEST_F(Fit, DifferentStartsReachTheSameMinimum) {
  constexpr double rmse_tol = 1e-14;
  constexpr double parm_tol = 1e-6;
  load_example("us-2011-male.dat");
  const vertex starts[] = {
      {0.03, 0.05, 0.01, 0}, {0, 0, 0, 0}, {-1, -1, -1, 0}, {100, 100, 100, 0}};
  for (const vertex &s : starts) {
    set_start(s.a, s.b, s.c);
    const int n = downhills(&ctx);
    SCOPED_TRACE(testing::Message()
                 << "start " << s.a << "," << s.b << "," << s.c << ": " << n
                 << " iterations, f " << ivec[0].value);
    ASSERT_LT(n, max_iterations);
    EXPECT_NEAR(ivec[0].value, 0.0123072436274912, rmse_tol);
    EXPECT_NEAR(ivec[0].a, 0.0168872, parm_tol);
    EXPECT_NEAR(ivec[0].b, 0.0874794, parm_tol);
    EXPECT_NEAR(ivec[0].c, -0.0284394, parm_tol);
  }
}

// e0_fit against an independent reference: the literal curve in long
// double, integrated over t = sqrt(x) (which removes the square-root
// behaviour of the b term at age 0) by Simpson's rule on 200000 panels,
// whose own error is far below the 1e-6 years e0_fit promises.  The vertices
// are fits of the examples, the default start, a curve that drops to 0
// within 0.04 years of birth, a tall one, and a near-pole peak that only the
// adaptive rule resolves (the fixed panels' bound is 7e-7 there).
long double reference_e0(vertex v) {
  constexpr int panels = 200000;
  const long double top = std::sqrt(105.0L);
  const long double h = top / panels;
  auto g = [&](long double t) -> long double {
    const long double x = t * t;
    if (x >= 105) return 0;
    const long double u = x / (105 - x);
    return 2 * t /
           (v.a * u * u * u + v.b * std::sqrt(std::expm1(u)) +
            v.c * -std::expm1(-2 * x) + 1);
  };
  long double sum = g(0) + g(top);
  for (int i = 1; i < panels; ++i) sum += (i % 2 ? 4 : 2) * g(i * h);
  return sum * h / 3;
}

TEST(LifeExpectancy, FittedCurveAreaWithinAMillionthOfAYear) {
  constexpr double promised = 1e-6;
  const vertex vs[] = {
      {0.016887196517321582, 0.087479469426516271, -0.028439394967918679, 0},
      {0.11321551182751935, 0.13004428175069016, 0.030172216723913285, 0},
      {0.03, 0.05, 0.01, 0},
      {1e10, 1, 0, 0},
      {5, 5, -0.9, 0},
      {1e-4, 1e-3, -0.999, 0}};
  for (const vertex &v : vs) {
    SCOPED_TRACE(testing::Message() << v.a << ", " << v.b << ", " << v.c);
    EXPECT_NEAR(e0_fit(v), static_cast<double>(reference_e0(v)), promised);
  }
  // The sums themselves, to the bit, on the fixed panels and on the adaptive
  // rule's bisections: a change of panel, node, weight or tolerance that
  // stays within the promise still shows here.
  EXPECT_EQ(e0_fit({0.03, 0.05, 0.01, 0}), 0x1.27c0795a02bd1p+6);
  EXPECT_EQ(e0_fit({5, 5, -0.9, 0}), 0x1.51433ff2883b7p+4);
  EXPECT_EQ(e0_fit({1e-4, 1e-3, -0.999, 0}), 0x1.2884cb254b008p+15);
  // A pole (the sum of terms crosses 0) leaves no area, and so does a peak
  // too sharp to pin down within the adaptive rule's panels, at once.
  EXPECT_TRUE(std::isnan(e0_fit({22070246325.96, -68791899712.29, -2.6e9, 0})));
  EXPECT_TRUE(std::isnan(e0_fit({1e-5, 1e-4, -0.9999, 0})));
}

// e0_fit's gradient against central differences of e0_fit itself, on the
// fixed panels and on the adaptive rule's bisections; its area is e0_fit's
// to the bit, and a curve with a pole has no gradient.
TEST(LifeExpectancy, GradientIsTheSlopeOfTheArea) {
  constexpr double differences = 1e-5;  // relative; steps of 1e-7 of each
  const vertex vs[] = {
      {0.016887196517321582, 0.087479469426516271, -0.028439394967918679, 0},
      {0.03, 0.05, 0.01, 0},
      {1e-4, 1e-3, -0.999, 0}};
  for (const vertex &v : vs) {
    SCOPED_TRACE(testing::Message() << v.a << ", " << v.b << ", " << v.c);
    double g[3];
    EXPECT_EQ(e0_fit_grad(v, g), e0_fit(v));
    for (int k = 0; k < 3; ++k) {
      vertex lo = v, hi = v;
      double *const pl[] = {&lo.a, &lo.b, &lo.c};
      double *const ph[] = {&hi.a, &hi.b, &hi.c};
      const double h = 1e-7 * std::fabs(*pl[k]);
      *pl[k] -= h;
      *ph[k] += h;
      const double want = (e0_fit(hi) - e0_fit(lo)) / (*ph[k] - *pl[k]);
      EXPECT_NEAR(g[k], want, differences * std::fabs(want)) << "by " << k;
    }
  }
  double g[3];
  EXPECT_TRUE(
      std::isnan(e0_fit_grad({22070246325.96, -68791899712.29, -2.6e9, 0}, g)));
  for (double x : g) EXPECT_TRUE(std::isnan(x));
}

struct e0_case {
  const char *name;
  std::vector<record> data;
  double trapezoids;  // NaN: expect NaN
  double last_age;    // where the fitted closure starts (105: none)
};

// The US 2011 male fit, whose curve closes the tables below.
constexpr vertex closing = {0.016887196517321582, 0.087479469426516271,
                            -0.028439394967918679, 0};

// The closure by an independent reference: the literal curve in long double
// from `from` to 105, over t = sqrt(x) by Simpson's rule, scaled to meet the
// curve at `from`.
long double reference_tail(vertex v, double from) {
  constexpr int panels = 200000;
  auto curve = [&](long double x) -> long double {
    if (x >= 105) return 0;
    const long double u = x / (105 - x);
    return 1 / (v.a * u * u * u + v.b * std::sqrt(std::expm1(u)) +
                v.c * -std::expm1(-2 * x) + 1);
  };
  const long double lo = std::sqrt(static_cast<long double>(from));
  const long double top = std::sqrt(105.0L);
  const long double h = (top - lo) / panels;
  auto g = [&](long double t) { return 2 * t * curve(t * t); };
  long double sum = g(lo) + g(top);
  for (int i = 1; i < panels; ++i) sum += (i % 2 ? 4 : 2) * g(lo + i * h);
  return sum * h / 3 / curve(from);
}

// Trapezoids over the records, from (0, 1), then the fitted curve beyond
// the last age, scaled to meet the last value.
const e0_case e0_cases[] = {
    {"single ages", {{0, 1}, {1, 0.9}, {2, 0.8}}, 0.95 + 0.85, 2},
    {"a gap is bridged", {{0, 1}, {10, 0.5}}, 7.5, 10},
    {"a start above 0 starts from (0, 1)", {{5, 0.5}}, 3.75, 5},
    {"a last age between the fixed panels' edges", {{0, 1}, {85, 0.2}}, 51, 85},
    {"age 105 closes the table itself", {{0, 1}, {105, 0.5}}, 0.75 * 105, 105},
    {"ages out of order are summed in age order",
     {{2, 0.8}, {0, 1}, {1, 0.9}},
     0.95 + 0.85,
     2},
    {"an age again", {{0, 1}, {0, 1}}, NAN, 0},
    {"an age above 105", {{0, 1}, {106, 0}}, NAN, 0},
    {"no records", {}, NAN, 0},
};

TEST(LifeExpectancy, TableAreaByTrapezoidsClosedByTheFit) {
  constexpr double promised = 1e-6;  // e0_fit's own promise, for the tail
  for (const e0_case &t : e0_cases) {
    SCOPED_TRACE(t.name);
    set_data(t.data);
    const double got = e0_table(&ctx, closing, true);
    if (std::isnan(t.trapezoids)) {
      EXPECT_TRUE(std::isnan(got)) << got;
      continue;
    }
    double last = 0.0;  // the value at the oldest age
    for (const auto &r : t.data)
      if (r.x == t.last_age) last = r.y;
    const double tail =
        t.last_age == 105
            ? 0.0
            : last * static_cast<double>(reference_tail(closing, t.last_age));
    EXPECT_NEAR(got, t.trapezoids + tail, promised);
    // A search that found no vertex closes nothing.
    EXPECT_TRUE(std::isnan(e0_table(&ctx, closing, false)));
  }
}

}  // namespace
