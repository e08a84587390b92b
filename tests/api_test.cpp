// Tests of the C interface (include/qev.h): the same bits as the command
// line, the long-table rules, the refusals of bad calls, and the tables of
// precomputed factors against the C library.
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fit.h"
#include "gtest/gtest.h"
#include "pool.h"
#include "qev.h"

using namespace qev;

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double d) {
  std::uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

// Every field of two results, NaN equal to NaN of any sign.
void expect_same(const qev_result &got, const qev_result &want) {
  for (auto [g, w] : {std::pair{got.a, want.a},
                      {got.b, want.b},
                      {got.c, want.c},
                      {got.rmse, want.rmse},
                      {got.e0_fit, want.e0_fit},
                      {got.e0_table, want.e0_table}}) {
    if (std::isnan(w))
      EXPECT_TRUE(std::isnan(g)) << g;
    else
      EXPECT_EQ(bits(g), bits(w)) << g << " vs " << w;
  }
  EXPECT_EQ(got.iterations, want.iterations);
  EXPECT_EQ(got.status, want.status);
  EXPECT_EQ(got.records, want.records);
  EXPECT_EQ(got.checks, want.checks);
  for (int k = 0; k < QEV_N_CHECKS; ++k)
    EXPECT_EQ(got.check_record[k], want.check_record[k]) << "check " << k;
  EXPECT_EQ(got.age_again_first, want.age_again_first);
}

struct table {
  std::vector<int> age;
  std::vector<double> value;
};

table read_table(const std::string &name) {
  table t;
  std::ifstream in(std::string(QEV_EXAMPLES) + "/" + name);
  int x;
  double y;
  while (in >> x >> y) {
    t.age.push_back(x);
    t.value.push_back(y);
  }
  return t;
}

qev_result fit_one(const table &t, const double *start = nullptr) {
  qev_result r;
  EXPECT_EQ(qev_fit(t.age.data(), t.value.data(), int(t.age.size()), start, &r),
            QEV_OK);
  return r;
}

const char *const examples[] = {"us-2011-male.dat", "us-2011-female.dat",
                                "us-1940-male.dat", "finland-2013-female.dat"};

// The search's result on a shipped table, to the bit (as the fit test pins
// it), with the life expectancies qev --tsv prints.
TEST(Api, FitsAnExampleToThePinnedBits) {
  const qev_result r = fit_one(read_table("us-2011-male.dat"));
  EXPECT_EQ(r.a, 0x1.14ae0930d5574p-6);
  EXPECT_EQ(r.b, 0x1.6650df4422136p-4);
  EXPECT_EQ(r.c, -0x1.d1f377d38903bp-6);
  EXPECT_EQ(r.rmse, 0x1.9348a4712767ep-7);
  EXPECT_EQ(r.iterations, 229);
  EXPECT_EQ(r.status, QEV_CONVERGED);
  EXPECT_EQ(r.records, 101);
  EXPECT_EQ(r.e0_fit, 76.080860727895796);
  EXPECT_EQ(r.e0_table, 76.28007212327411);
  EXPECT_EQ(r.checks, 0u);
  EXPECT_EQ(qev_e0(r.a, r.b, r.c), r.e0_fit);
}

// Calls the library refuses leave the result as it was.
TEST(Api, RefusesBadCallsAndWritesNothing) {
  const int age[1] = {0};
  const double value[1] = {1};
  struct bad_call {
    const char *name;
    const int *age;
    const double *value;
    int n;
    bool out;
  };
  const bad_call calls[] = {
      {"a negative count", age, value, -1, true},
      {"more than 200 records", age, value, QEV_MAX_RECORDS + 1, true},
      {"no ages", nullptr, value, 1, true},
      {"no values", age, nullptr, 1, true},
      {"no result", age, value, 1, false},
  };
  for (const bad_call &c : calls) {
    SCOPED_TRACE(c.name);
    qev_result r;
    r.iterations = -7;
    EXPECT_EQ(qev_fit(c.age, c.value, c.n, nullptr, c.out ? &r : nullptr),
              QEV_BAD_ARGUMENT);
    EXPECT_EQ(r.iterations, -7);
  }
  // The start is a, b, c in that order: with one record of age 0 every
  // vertex scores the same and the search stops where it started.
  const double start[3] = {1, 2, 3};
  qev_result s;
  ASSERT_EQ(qev_fit(age, value, 1, start, &s), QEV_OK);
  EXPECT_EQ(s.iterations, 0);
  EXPECT_EQ(s.a, 1);
  EXPECT_EQ(s.b, 2);
  EXPECT_EQ(s.c, 3);
  // No records and no arrays is a call, and a fit of nothing.
  qev_result r;
  ASSERT_EQ(qev_fit(nullptr, nullptr, 0, nullptr, &r), QEV_OK);
  EXPECT_EQ(r.status, QEV_TOO_FEW_RECORDS);
  EXPECT_EQ(r.checks, QEV_CHECK_BIT(QEV_CHECK_NO_RECORDS));
  EXPECT_TRUE(std::isnan(r.rmse));
  EXPECT_EQ(r.iterations, 1);

  // Tables back to back: {offsets, n_tables, jobs, arrays given, result}.
  const long rising[] = {0, 1, 1};
  const long falls[] = {0, 1, 0};
  const long falls_first[] = {1, 0};
  const long negative[] = {-1, 0};
  struct many_call {
    const char *name;
    const long *offsets;
    long n;
    int jobs;
    bool arrays;
    bool out;
    int want;
  };
  const many_call many[] = {
      {"offsets that fall", falls, 2, 1, true, true, QEV_BAD_ARGUMENT},
      {"offsets that fall at once", falls_first, 1, 1, true, true,
       QEV_BAD_ARGUMENT},
      {"a negative offset", negative, 1, 1, true, true, QEV_BAD_ARGUMENT},
      {"no offsets", nullptr, 1, 1, true, true, QEV_BAD_ARGUMENT},
      {"a negative count", rising, -1, 1, true, true, QEV_BAD_ARGUMENT},
      {"negative jobs", rising, 1, -1, true, true, QEV_BAD_ARGUMENT},
      {"records and no arrays", rising, 1, 1, false, true, QEV_BAD_ARGUMENT},
      {"no result", rising, 1, 1, true, false, QEV_BAD_ARGUMENT},
      {"no tables, nothing needed", nullptr, 0, 1, false, false, QEV_OK},
      {"an empty table needs no arrays", rising + 1, 1, 1, false, true, QEV_OK},
  };
  for (const many_call &c : many) {
    SCOPED_TRACE(c.name);
    qev_result out[2];
    out[0].iterations = -7;
    EXPECT_EQ(
        qev_fit_many(c.arrays ? age : nullptr, c.arrays ? value : nullptr,
                     c.offsets, c.n, nullptr, c.jobs, c.out ? out : nullptr),
        c.want);
    if (c.want != QEV_OK) {
      EXPECT_EQ(out[0].iterations, -7);
    }
  }
  // Groups of a long table: {rows, n_groups, jobs, result}.
  const long group[] = {0, 1};
  const long outside[] = {2, 0};
  const long below[] = {-1, 0};
  struct groups_call {
    const char *name;
    qev_rows rows;
    long n_groups;
    int jobs;
    bool out;
    int want;
  };
  const groups_call groups[] = {
      {"a group number past the last",
       {2, group, age, nullptr, value, nullptr},
       1,
       1,
       true,
       QEV_BAD_ARGUMENT},
      {"the first row's group past the last",
       {2, outside, age, nullptr, value, nullptr},
       2,
       1,
       true,
       QEV_BAD_ARGUMENT},
      {"a negative group number",
       {2, below, age, nullptr, value, nullptr},
       2,
       1,
       true,
       QEV_BAD_ARGUMENT},
      {"a negative row count",
       {-1, group, age, nullptr, value, nullptr},
       2,
       1,
       true,
       QEV_BAD_ARGUMENT},
      {"a negative group count",
       {0, group, age, nullptr, value, nullptr},
       -1,
       1,
       true,
       QEV_BAD_ARGUMENT},
      {"negative jobs",
       {2, group, age, nullptr, value, nullptr},
       2,
       -1,
       true,
       QEV_BAD_ARGUMENT},
      {"rows and no groups",
       {2, nullptr, age, nullptr, value, nullptr},
       2,
       1,
       true,
       QEV_BAD_ARGUMENT},
      {"a row and no ages",
       {1, group, nullptr, nullptr, value, nullptr},
       2,
       1,
       true,
       QEV_BAD_ARGUMENT},
      {"rows and no values",
       {2, group, age, nullptr, nullptr, nullptr},
       2,
       1,
       true,
       QEV_BAD_ARGUMENT},
      {"groups and no result",
       {2, group, age, nullptr, value, nullptr},
       2,
       1,
       false,
       QEV_BAD_ARGUMENT},
      {"a group and no result",
       {0, nullptr, nullptr, nullptr, nullptr, nullptr},
       1,
       1,
       false,
       QEV_BAD_ARGUMENT},
      {"no rows: groups of nothing",
       {0, nullptr, nullptr, nullptr, nullptr, nullptr},
       2,
       1,
       true,
       QEV_OK},
      {"no rows and no groups",
       {0, nullptr, nullptr, nullptr, nullptr, nullptr},
       0,
       1,
       false,
       QEV_OK},
  };
  for (const groups_call &c : groups) {
    SCOPED_TRACE(c.name);
    qev_result out[2];
    out[0].iterations = -7;
    EXPECT_EQ(qev_fit_groups(&c.rows, c.n_groups, 0, nullptr, c.jobs,
                             c.out ? out : nullptr, nullptr),
              c.want);
    if (c.want != QEV_OK) {
      EXPECT_EQ(out[0].iterations, -7);
    }
    if (c.want == QEV_OK && c.n_groups > 0) {
      EXPECT_EQ(out[1].status, QEV_TOO_FEW_RECORDS);
    }
  }
  EXPECT_EQ(qev_fit_groups(nullptr, 1, 0, nullptr, 1, nullptr, nullptr),
            QEV_BAD_ARGUMENT);
  int x = -99;
  EXPECT_EQ(qev_age_label("5", 1, nullptr), QEV_AGE_BAD);
  EXPECT_EQ(qev_age_label(nullptr, 1, &x), QEV_AGE_BAD);
  EXPECT_EQ(x, -99);
  // Options with a negative number of restarts.
  qev_options bad;
  qev_options_init(&bad);
  bad.restarts = -1;
  qev_result out[2];
  const qev_rows rows = {2, group, age, nullptr, value, nullptr};
  EXPECT_EQ(qev_fit_opt(age, value, 1, &bad, out), QEV_BAD_ARGUMENT);
  EXPECT_EQ(qev_fit_many_opt(age, value, rising, 1, &bad, 1, out),
            QEV_BAD_ARGUMENT);
  EXPECT_EQ(qev_fit_groups_opt(&rows, 2, 0, &bad, 1, out, nullptr),
            QEV_BAD_ARGUMENT);
}

// Tables back to back give each table's own bits, on any number of
// threads; a table of 201 records is refused and the others still fitted.
// 49 tables make several batches, the last of one table, so the pool's
// threads share them.
TEST(Api, FitsManyTablesAsOneAtATimeOnAnyNumberOfThreads) {
  std::vector<table> tables;
  for (int k = 0; k < 12; ++k)
    for (const char *e : examples) tables.push_back(read_table(e));
  tables.pop_back();
  table big;
  for (int i = 0; i <= QEV_MAX_RECORDS; ++i) {
    big.age.push_back(i % 100);
    big.value.push_back(0.5);
  }
  tables.insert(tables.begin() + 5, big);
  tables.insert(tables.begin() + 9, table{});
  std::vector<int> age;
  std::vector<double> value;
  std::vector<long> offsets = {0};
  for (const table &t : tables) {
    age.insert(age.end(), t.age.begin(), t.age.end());
    value.insert(value.end(), t.value.begin(), t.value.end());
    offsets.push_back(long(age.size()));
  }
  const double start[3] = {0.02, 0.1, -0.02};
  for (const double *s : {static_cast<const double *>(nullptr), start}) {
    for (int jobs : {1, 2, 0}) {
      SCOPED_TRACE(testing::Message() << "jobs " << jobs << ", start "
                                      << (s ? "given" : "default"));
      std::vector<qev_result> out(tables.size());
      ASSERT_EQ(qev_fit_many(age.data(), value.data(), offsets.data(),
                             long(tables.size()), s, jobs, out.data()),
                QEV_OK);
      for (std::size_t k = 0; k < tables.size(); ++k) {
        SCOPED_TRACE(k);
        if (k == 5) {
          EXPECT_EQ(out[k].status, QEV_REFUSED);
          EXPECT_EQ(out[k].records, QEV_MAX_RECORDS + 1);
          EXPECT_EQ(out[k].iterations, 0);
          EXPECT_TRUE(std::isnan(out[k].a));
          EXPECT_EQ(out[k].checks, 0u);  // not read, so not checked
          for (int c : out[k].check_record) EXPECT_EQ(c, -1);
          EXPECT_EQ(out[k].age_again_first, -1);
          continue;
        }
        expect_same(out[k], fit_one(tables[k], s));
      }
    }
  }
}

// A restart goes on from where a search ran out: the total of the
// iterations, the last search's status; options of NULL, or of no
// restarts, are qev_fit's.
TEST(Api, RestartsGoOnFromTheBestVertex) {
  const table t = read_table("us-2011-male.dat");
  qev_options o;
  qev_options_init(&o);
  const double far[3] = {6.1, -26.4, -47.6};
  for (int k = 0; k < 3; ++k) o.start[k] = far[k];
  qev_result once, again, plain;
  ASSERT_EQ(
      qev_fit_opt(t.age.data(), t.value.data(), int(t.age.size()), &o, &once),
      QEV_OK);
  EXPECT_EQ(once.status, QEV_NOT_CONVERGENT);
  expect_same(once, fit_one(t, far));
  o.restarts = 3;
  ASSERT_EQ(
      qev_fit_opt(t.age.data(), t.value.data(), int(t.age.size()), &o, &again),
      QEV_OK);
  EXPECT_EQ(again.status, QEV_CONVERGED);
  EXPECT_EQ(again.iterations, 10061);
  ASSERT_EQ(qev_fit_opt(t.age.data(), t.value.data(), int(t.age.size()),
                        nullptr, &plain),
            QEV_OK);
  expect_same(plain, fit_one(t));
  // A search that converges is not restarted.
  o.start[0] = 0.03, o.start[1] = 0.05, o.start[2] = 0.01;
  ASSERT_EQ(
      qev_fit_opt(t.age.data(), t.value.data(), int(t.age.size()), &o, &again),
      QEV_OK);
  expect_same(again, plain);
}

struct label_case {
  const char *text;
  int kind;
  int age;  // when read
};

const label_case labels[] = {
    {"0", QEV_AGE_SINGLE, 0},
    {"104", QEV_AGE_SINGLE, 104},
    {"2147483647", QEV_AGE_SINGLE, INT_MAX},
    {"1-4", QEV_AGE_GROUP, 1},
    {"5-5", QEV_AGE_GROUP, 5},
    {"85+", QEV_AGE_OPEN, 85},
    {"0+", QEV_AGE_OPEN, 0},
    {"2147483648", QEV_AGE_RANGE, 0},
    {"12345678901", QEV_AGE_RANGE, 0},
    {"3000000000+", QEV_AGE_RANGE, 0},
    {"0-3000000000", QEV_AGE_RANGE, 0},
    {"3000000000-x", QEV_AGE_BAD, 0},
    {"00000000001", QEV_AGE_SINGLE, 1},
    {"", QEV_AGE_BAD, 0},
    {"+", QEV_AGE_BAD, 0},
    {"-", QEV_AGE_BAD, 0},
    {"-1", QEV_AGE_BAD, 0},
    {"5-4", QEV_AGE_BAD, 0},
    {"1-", QEV_AGE_BAD, 0},
    {"1-4+", QEV_AGE_BAD, 0},
    {"1-2-3", QEV_AGE_BAD, 0},
    {"1.5", QEV_AGE_BAD, 0},
    {" 1", QEV_AGE_BAD, 0},
    {"1 ", QEV_AGE_BAD, 0},
    {"x1", QEV_AGE_BAD, 0},
    {"1x", QEV_AGE_BAD, 0},
    {"/", QEV_AGE_BAD, 0},
    {":", QEV_AGE_BAD, 0},
};

// Groups are numbered by their first rows, runs or not, in place too.
TEST(Api, NumbersGroupsByTheirFirstRows) {
  struct groups_case {
    std::vector<long long> key, want;
  };
  const groups_case cases[] = {
      {{5, 5, 3, 5, 7, 3, -1}, {0, 0, 1, 0, 2, 1, 3}},
      {{0, 0, 0}, {0, 0, 0}},
      {{9, 8, 7, 8, 9}, {0, 1, 2, 1, 0}},
      {{}, {}},
  };
  for (const groups_case &t : cases) {
    std::vector<long long> got(t.key.size() + 1, -5);
    const long n = static_cast<long>(t.key.size());
    const long want_groups =
        t.want.empty() ? 0
                       : *std::max_element(t.want.begin(), t.want.end()) + 1;
    EXPECT_EQ(qev_number_groups(t.key.data(), n, got.data()), want_groups);
    got.resize(t.key.size());
    EXPECT_EQ(got, t.want);
    std::vector<long long> same = t.key;
    qev_number_groups(same.data(), n, same.data());
    EXPECT_EQ(same, t.want);
  }
  EXPECT_EQ(qev_number_groups(nullptr, 2, nullptr), -1);
  EXPECT_EQ(qev_number_groups(nullptr, -1, nullptr), -1);
}

// Rows are one group when every key column agrees; no columns, one group.
TEST(Api, NumbersRowsByEveryKeyColumn) {
  const long long k[] = {1, 1, 2, 1, 2};
  const long long j[] = {7, 8, 7, 7, 7};
  const long long *both[] = {k, j};
  long long group[5] = {-5, -5, -5, -5, -5};
  EXPECT_EQ(qev_number_rows(both, 2, 5, group), 3);
  EXPECT_EQ(std::vector<long long>(group, group + 5),
            (std::vector<long long>{0, 1, 2, 0, 2}));
  EXPECT_EQ(qev_number_rows(nullptr, 0, 5, group), 1);
  EXPECT_EQ(std::vector<long long>(group, group + 5),
            (std::vector<long long>{0, 0, 0, 0, 0}));
  EXPECT_EQ(qev_number_rows(both, 2, 0, nullptr), 0);
  EXPECT_EQ(qev_number_rows(both, 2, -1, group), -1);
  EXPECT_EQ(qev_number_rows(nullptr, 2, 5, group), -1);
}

TEST(Api, ReadsAgeLabelsAsLongTablesDo) {
  for (const label_case &t : labels) {
    SCOPED_TRACE(t.text);
    int age = -99;
    EXPECT_EQ(qev_age_label(t.text, std::strlen(t.text), &age), t.kind);
    EXPECT_EQ(age, t.kind < 0 ? -99 : t.age);
  }
  int age = -99;
  // The length, not a terminator, ends the label.
  EXPECT_EQ(qev_age_label("12+", 2, &age), QEV_AGE_SINGLE);
  EXPECT_EQ(age, 12);
  EXPECT_EQ(qev_age_label(nullptr, 0, &age), QEV_AGE_BAD);

  struct drop_case {
    int kind, age, missing, why;
  };
  const drop_case drops[] = {
      {QEV_AGE_SINGLE, 104, 0, QEV_KEEP},
      {QEV_AGE_GROUP, 0, 0, QEV_KEEP},
      {QEV_AGE_SINGLE, 105, 0, QEV_DROP_OLD},
      {QEV_AGE_OPEN, 85, 0, QEV_KEEP},  // l(85) of an abridged table
      {QEV_AGE_OPEN, 104, 1, QEV_DROP_MISSING},
      {QEV_AGE_OPEN, 110, 1, QEV_DROP_OLD},
      {QEV_AGE_SINGLE, 110, 1, QEV_DROP_OLD},
      {QEV_AGE_SINGLE, 50, 1, QEV_DROP_MISSING},
  };
  for (const drop_case &d : drops)
    EXPECT_EQ(qev_drop_reason(d.kind, d.age, d.missing), d.why)
        << d.kind << " " << d.age << " " << d.missing;
}

// The groups of a long table: rows left out by the rules, values divided by
// the radix, groups apart in the file put together, and the refusals; each
// group's result is qev_fit's of the records it kept.
TEST(Api, FitsTheGroupsOfALongTableByItsRules) {
  struct row {
    long group;
    const char *age;
    double value;  // NaN: missing
  };
  const row rows[] = {
      {0, "0", 100000}, {1, "0", 100000},  {0, "1-4", 99000}, {0, "20", 98739},
      {2, "0", 1},      {0, "40", 95866},  {1, "10", 90000},  {0, "60", nan},
      {0, "60", 85999}, {2, "0", 1},       {0, "80", 50846},  {0, "105", 900},
      {0, "100", 987},  {0, "110+", 10},   {1, "20", 80000},  {1, "30", 70000},
      {3, "5", 50000},  {1, "40+", 60000},
  };
  std::vector<long> group;
  std::vector<int> age, kind;
  std::vector<double> value;
  std::vector<unsigned char> missing;
  for (const row &r : rows) {
    int x = 0;
    kind.push_back(qev_age_label(r.age, std::strlen(r.age), &x));
    group.push_back(r.group);
    age.push_back(x);
    value.push_back(std::isnan(r.value) ? 0.0 : r.value);
    missing.push_back(std::isnan(r.value));
  }
  const qev_rows in = {long(group.size()), group.data(), age.data(),
                       kind.data(),        value.data(), missing.data()};
  for (int jobs : {1, 2}) {
    SCOPED_TRACE(jobs);
    qev_result out[4];
    qev_drops drops[4];
    ASSERT_EQ(qev_fit_groups(&in, 4, 100000, nullptr, jobs, out, drops),
              QEV_OK);
    expect_same(
        out[0],
        fit_one({{0, 1, 20, 40, 60, 80, 100},
                 {1, 0.99, 0.98739, 0.95866, 0.85999, 0.50846, 0.00987}}));
    // The open age group 40+ is age 40.
    expect_same(out[1],
                fit_one({{0, 10, 20, 30, 40}, {1, 0.9, 0.8, 0.7, 0.6}}));
    // An age twice refuses the group, unsearched.
    EXPECT_EQ(out[2].status, QEV_REFUSED);
    EXPECT_EQ(out[2].checks & QEV_CHECK_BIT(QEV_CHECK_AGE_AGAIN),
              QEV_CHECK_BIT(QEV_CHECK_AGE_AGAIN));
    EXPECT_EQ(out[2].check_record[QEV_CHECK_AGE_AGAIN], 1);
    EXPECT_EQ(out[2].age_again_first, 0);
    EXPECT_EQ(out[2].iterations, 0);
    EXPECT_EQ(out[3].records, 1);
    EXPECT_EQ(out[3].status, QEV_TOO_FEW_RECORDS);
    EXPECT_EQ(drops[0].open_rows, 0);
    EXPECT_EQ(drops[0].old_rows, 2);  // 105 and 110+
    EXPECT_EQ(drops[0].missing_rows, 1);
    EXPECT_EQ(drops[0].first_missing_age, 60);
    EXPECT_EQ(drops[1].open_rows + drops[1].old_rows + drops[1].missing_rows,
              0);
    EXPECT_EQ(drops[3].open_rows + drops[3].old_rows + drops[3].missing_rows,
              0);
  }
  // A radix below 1 divides too.
  {
    const long g2[] = {0, 0, 0, 0};
    const int a2[] = {0, 20, 40, 60};
    const double v2[] = {0.5, 0.45, 0.4, 0.35};
    const qev_rows half = {4, g2, a2, nullptr, v2, nullptr};
    qev_result r;
    ASSERT_EQ(qev_fit_groups(&half, 1, 0.5, nullptr, 1, &r, nullptr), QEV_OK);
    expect_same(r, fit_one({{0, 20, 40, 60}, {1, 0.9, 0.8, 0.7}}));
  }
  // Without a radix the values are taken as they are; a group of 201 kept
  // records is refused.
  std::vector<long> g(QEV_MAX_RECORDS + 1, 0);
  std::vector<int> a(g.size());
  std::vector<double> v(g.size(), 0.5);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = int(i % 100);
  const qev_rows many = {long(g.size()), g.data(), a.data(),
                         nullptr,        v.data(), nullptr};
  qev_result out;
  ASSERT_EQ(qev_fit_groups(&many, 1, 0, nullptr, 1, &out, nullptr), QEV_OK);
  EXPECT_EQ(out.status, QEV_REFUSED);
  EXPECT_EQ(out.records, QEV_MAX_RECORDS + 1);
}

struct check_case {
  const char *name;
  table data;
  // Expected first record of each check, -1 for none; and the earlier
  // record of the age seen again.
  int first[QEV_N_CHECKS];
  int again_first;
};

const check_case check_cases[] = {
    {"a life table",
     {{0, 1, 2}, {1, 0.9, 0.8}},
     {-1, -1, -1, -1, -1, -1, -1, -1},
     -1},
    {"ages outside 0..105, each seen again; -1 comes before 0 in age order",
     {{0, 110, -1, 110, 50}, {1, 0.5, 0.5, 0.5, 0.4}},
     {1, -1, -1, 0, 3, -1, -1, -1},
     1},
    {"not shares: above 1, below 0 and NaN",
     {{0, 1, 2, 3}, {1, 1.5, -0.1, nan}},
     {-1, 1, -1, 1, -1, -1, -1, -1},
     -1},
    {"0 and 1 are shares; age 105 ends the curve",
     {{0, 50, 104, 105}, {1, 0.9, 0, 0}},
     {-1, -1, 3, -1, -1, -1, -1, -1},
     -1},
    {"a rise counts only at a higher age",
     {{10, 5, 6, 7}, {0.5, 0.9, 0.8, 0.85}},
     {-1, -1, -1, 3, -1, -1, -1, -1},
     -1},
    {"an age again, after another: the first in age order is named",
     {{0, 1, 2, 1, 0}, {1, 0.9, 0.8, 0.7, 0.6}},
     {-1, -1, -1, 1, 4, -1, -1, -1},
     0},
    {"in reverse, the checks of the table in age order",
     {{3, 2, 1, 0}, {0.8, 0.9, 0.95, 0.5}},
     {-1, -1, -1, 2, -1, -1, -1, 3},
     -1},
    {"an age again at once: the first pair is the one named",
     {{0, 0, 1, 1}, {1, 1, 0.9, 0.9}},
     {-1, -1, -1, -1, 1, -1, -1, -1},
     0},
    {"an age outside 0..105 again, first in the first record",
     {{110, 5, 110, 6}, {0.5, 0.9, 0.5, 0.8}},
     {0, -1, -1, -1, 2, -1, -1, -1},
     0},
    {"a share just above 1",
     {{0, 1, 2, 3}, {1, 1.005, 0.9, 0.8}},
     {-1, 1, -1, 1, -1, -1, -1, -1},
     -1},
    {"no records", {}, {-1, -1, -1, -1, -1, -1, -1, -1}, -1},
    {"three records are few",
     {{0, 1, 2}, {1, 1, 1}},
     {-1, -1, -1, -1, -1, -1, -1, -1},
     -1},
    {"l0: a first value of age 0 that is not 1 (a radix 10x off)",
     {{0, 1, 2, 3}, {0.1, 0.099, 0.098, 0.097}},
     {-1, -1, -1, -1, -1, -1, -1, 0},
     -1},
    {"l0 within six decimals of 1 is 1",
     {{0, 1, 2, 3}, {0.9999995, 0.9, 0.8, 0.7}},
     {-1, -1, -1, -1, -1, -1, -1, -1},
     -1},
};

TEST(Api, ChecksNameTheFirstRecordOfEachKind) {
  for (const check_case &t : check_cases) {
    SCOPED_TRACE(t.name);
    const qev_result r = fit_one(t.data);
    unsigned want = 0;
    for (int k = 0; k < QEV_N_CHECKS; ++k) {
      if (t.first[k] >= 0) want |= QEV_CHECK_BIT(k);
      EXPECT_EQ(r.check_record[k], t.first[k]) << qev_check_name(k);
    }
    const int n = int(t.data.age.size());
    if (n == 0) want |= QEV_CHECK_BIT(QEV_CHECK_NO_RECORDS);
    if (n > 0 && n < QEV_MIN_RECORDS)
      want |= QEV_CHECK_BIT(QEV_CHECK_FEW_RECORDS);
    EXPECT_EQ(r.checks, want);
    EXPECT_EQ(r.age_again_first, t.again_first);
  }
}

TEST(Api, NamesEveryStatusAndCheck) {
  const char *const statuses[] = {"converged", "not-convergent", "no-fit",
                                  "too-few-records", "refused"};
  for (int s = 0; s < 5; ++s)
    EXPECT_STREQ(qev_status_name(static_cast<qev_status>(s)), statuses[s]);
  EXPECT_EQ(qev_status_name(static_cast<qev_status>(5)), nullptr);
  const char *const checks[] = {"age-range",  "not-share", "age-105",
                                "rises",      "age-again", "few-records",
                                "no-records", "l0"};
  for (int k = 0; k < QEV_N_CHECKS; ++k)
    EXPECT_STREQ(qev_check_name(k), checks[k]);
  EXPECT_EQ(qev_check_name(-1), nullptr);
  EXPECT_EQ(qev_check_name(QEV_N_CHECKS), nullptr);
  EXPECT_STREQ(qev_version(), QEV_VERSION);
}

// qev_curve is what the fit compares with each record, at every age a table
// can hold and beyond.
TEST(Api, CurveIsWhatTheFitCompares) {
  context ctx;
  init_context(&ctx);
  for (int x = -2; x <= 110; ++x) ctx.age[ctx.n_data++] = x;
  ctx.age[ctx.n_data++] = INT_MAX;
  prepare_data(&ctx);
  const vertex vs[] = {{0.016887, 0.087479, -0.028439, 0},
                       {1, 1, 0, 0},
                       {0, 0, 0, 0},
                       {-3, 2, 1e6, 0}};
  int compared = 0;
  for (const vertex &v : vs) {
    for (int i = 0; i < ctx.n_data; ++i) {
      const double want = curve_at(&ctx, v, i);
      const double got = qev_curve(v.a, v.b, v.c, ctx.age[i]);
      if (std::isnan(want))
        EXPECT_TRUE(std::isnan(got)) << ctx.age[i];
      else
        EXPECT_EQ(bits(got), bits(want)) << ctx.age[i];
      ++compared;
    }
  }
  EXPECT_EQ(compared, 4 * 114);
  // At any age: qev_curve's bits at whole ages, between its neighbours
  // halfway, NaN outside 0..105.
  const vertex &v = vs[0];
  for (int x = 0; x <= QEV_TERMINAL_AGE; ++x)
    EXPECT_EQ(bits(qev_curve_at(v.a, v.b, v.c, x)),
              bits(qev_curve(v.a, v.b, v.c, x)));
  // Between whole ages, the curve e0_fit integrates, to the bit.
  for (double x : {0.25, 50.5, 104.9}) {
    const terms t = age_terms(x);
    EXPECT_EQ(bits(qev_curve_at(v.a, v.b, v.c, x)),
              bits(1.0 / curve_sum(v.a, v.b, v.c, t.cube, t.root, t.ramp)))
        << x;
  }
  const double mid = qev_curve_at(v.a, v.b, v.c, 50.5);
  EXPECT_LT(mid, qev_curve(v.a, v.b, v.c, 50));
  EXPECT_GT(mid, qev_curve(v.a, v.b, v.c, 51));
  for (double x : {-1.0, -0.5, 105.5, 106.0, std::nan("")})
    EXPECT_TRUE(std::isnan(qev_curve_at(v.a, v.b, v.c, x))) << x;
}

// The version of the error measure a context gets is the one the rule names
// for this processor, found here independently with cpuid.
TEST(Version, IsTheOneTheRuleNamesForThisProcessor) {
  std::string want = "sse2";
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    __has_include(<sys/platform/x86.h>)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  __asm__("cpuid"
          : "=a"(eax), "=b"(ebx), "=c"(ecx), "=d"(edx)
          : "a"(0), "c"(0));
  const bool amd = ebx == 0x68747541 && edx == 0x69746e65 && ecx == 0x444d4163;
  __asm__("cpuid"
          : "=a"(eax), "=b"(ebx), "=c"(ecx), "=d"(edx)
          : "a"(1), "c"(0));
  unsigned family = (eax >> 8) & 0xf;
  if (family == 0xf) family += (eax >> 20) & 0xff;
  EXPECT_EQ(processor_family(), family);
  if (__builtin_cpu_supports("avx2")) want = "avx2";
  if (__builtin_cpu_supports("avx512f") && amd && family >= 0x1a)
    want = "avx512";
#endif
  context ctx;
  init_context(&ctx);
  const int chosen = ctx.measure;
  ASSERT_NE(use_error_measure(&ctx, 0), nullptr);
  const char *name = use_error_measure(&ctx, -1);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name, want);
  EXPECT_EQ(ctx.measure, chosen);
  EXPECT_EQ(use_error_measure(&ctx, -2), nullptr);
  EXPECT_EQ(use_error_measure(&ctx, 5), nullptr);
}

// Jobs that wait for each other: each arrives, then waits until `want` have
// arrived, or gives up after a while (a pool with fewer threads than asked).
struct gate {
  std::atomic<int> arrived{0};
  int want = 0;
  std::atomic<bool> gave_up{false};
};

void meet(void *arg) {
  gate &g = *static_cast<gate *>(arg);
  ++g.arrived;
  const auto start = std::chrono::steady_clock::now();
  while (g.arrived < g.want) {
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(5)) {
      g.gave_up = true;
      return;
    }
    std::this_thread::yield();
  }
}

void count(void *arg) { ++*static_cast<std::atomic<int> *>(arg); }

TEST(Pool, RunsAsManyJobsAtOnceAsItHasThreads) {
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  const int cores = CPU_COUNT(&set);
  EXPECT_EQ(pool_cores(), cores);
  for (int jobs : {1, 2, 3, 0}) {
    SCOPED_TRACE(jobs);
    gate g;
    g.want = jobs > 0 ? jobs : cores;
    pool *p = pool_start(jobs);
    ASSERT_NE(p, nullptr);
    for (int k = 0; k < g.want; ++k) pool_submit(p, meet, &g);
    pool_stop(p);
    EXPECT_FALSE(g.gave_up);
    EXPECT_EQ(g.arrived, g.want);
  }
  // One job runs where it is submitted, before the call returns.
  std::atomic<int> n{0};
  pool *one = pool_start(1);
  pool_submit(one, count, &n);
  EXPECT_EQ(n, 1);
  pool_stop(one);
  // A queue longer than its first allocation, behind a job that holds the
  // only worker, runs whole.
  gate hold;
  hold.want = 2;
  pool *p = pool_start(2);
  pool_submit(p, meet, &hold);
  for (int k = 0; k < 300; ++k) pool_submit(p, count, &n);
  ++hold.arrived;
  pool_drain(p);
  EXPECT_EQ(n, 301);
  pool_stop(p);
  EXPECT_FALSE(hold.gave_up);
}

// The single-year tables of the shipped HMD file, ages 0 to 104, l(x) as
// shares: the 89 years qev --tsv --age=Age --value=lx --radix=100000 fits.
std::vector<table> hmd_years() {
  std::ifstream in(std::string(QEV_EXAMPLES) + "/hmd/USA.fltper_1x1.txt");
  std::vector<table> years;
  std::string year;
  bool header = false;
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    std::vector<std::string> w;
    for (std::string x; f >> x;) w.push_back(x);
    if (!header) {
      header = w.size() == 10 && w[0] == "Year";
      continue;
    }
    if (w.size() != 10 || w[1].back() == '+' || std::stoi(w[1]) > 104) continue;
    if (w[0] != year) years.emplace_back();
    year = w[0];
    years.back().age.push_back(std::stoi(w[1]));
    years.back().value.push_back(std::strtod(w[5].c_str(), nullptr) / 100000);
  }
  return years;
}

// The shipped examples and the HMD years: the tables the standard errors
// are held to.
std::vector<table> real_tables() {
  std::vector<table> all;
  for (const char *e : examples) all.push_back(read_table(e));
  for (table &t : hmd_years()) all.push_back(std::move(t));
  return all;
}

// The same formula computed independently, in long double: the literal
// curve, J'J summed in long double and inverted by cofactors.
struct reference_errors {
  long double cov[3][3];
};

reference_errors reference(const table &t, const qev_result &r) {
  using ld = long double;
  ld sum = 0, jtj[3][3] = {};
  const int n = int(t.age.size());
  for (int i = 0; i < n; ++i) {
    const ld x = t.age[i];
    const ld u = x / (105 - x);
    const ld f[3] = {u * u * u, std::sqrt(std::expm1(u)), -std::expm1(-2 * x)};
    const ld d = r.a * f[0] + r.b * f[1] + r.c * f[2] + 1;
    const ld res = t.value[i] - 1 / d;
    sum += res * res;
    for (int p = 0; p < 3; ++p)
      for (int q = 0; q < 3; ++q) jtj[p][q] += f[p] * f[q] / (d * d * d * d);
  }
  const ld(&m)[3][3] = jtj;
  const ld c00 = m[1][1] * m[2][2] - m[1][2] * m[2][1];
  const ld c01 = m[1][2] * m[2][0] - m[1][0] * m[2][2];
  const ld c02 = m[1][0] * m[2][1] - m[1][1] * m[2][0];
  const ld det = m[0][0] * c00 + m[0][1] * c01 + m[0][2] * c02;
  const ld adj[3][3] = {{c00, m[0][2] * m[2][1] - m[0][1] * m[2][2],
                         m[0][1] * m[1][2] - m[0][2] * m[1][1]},
                        {c01, m[0][0] * m[2][2] - m[0][2] * m[2][0],
                         m[0][2] * m[1][0] - m[0][0] * m[1][2]},
                        {c02, m[0][1] * m[2][0] - m[0][0] * m[2][1],
                         m[0][0] * m[1][1] - m[0][1] * m[1][0]}};
  reference_errors e;
  const ld s2 = sum / (n - 3);
  for (int p = 0; p < 3; ++p)
    for (int q = 0; q < 3; ++q) e.cov[p][q] = s2 * adj[p][q] / det;
  return e;
}

// Standard errors of a, b and c, and the covariances, against the
// independent computation; e0_fit's against the delta method with central
// differences of qev_e0.
TEST(Quality, StandardErrorsAreTheFormulasOnEveryRealTable) {
  constexpr double same_formula = 1e-9;        // relative: two roundings of it
  constexpr double finite_differences = 1e-4;  // relative: steps of 1e-6
  int compared = 0;
  for (const table &t : real_tables()) {
    SCOPED_TRACE(testing::Message() << "table " << compared);
    const qev_result r = fit_one(t);
    ASSERT_EQ(r.status, QEV_CONVERGED);
    const reference_errors e = reference(t, r);
    const double got[] = {r.se_a, r.se_b, r.se_c, r.cov_ab, r.cov_ac, r.cov_bc};
    const long double want[] = {std::sqrt(e.cov[0][0]),
                                std::sqrt(e.cov[1][1]),
                                std::sqrt(e.cov[2][2]),
                                e.cov[0][1],
                                e.cov[0][2],
                                e.cov[1][2]};
    for (int k = 0; k < 6; ++k)
      EXPECT_NEAR(got[k], double(want[k]),
                  same_formula * std::fabs(double(want[k])))
          << "term " << k;
    const double p[3] = {r.a, r.b, r.c};
    double g[3];
    for (int k = 0; k < 3; ++k) {
      double lo[3] = {p[0], p[1], p[2]}, hi[3] = {p[0], p[1], p[2]};
      const double h = 1e-6 * std::fabs(p[k]);
      lo[k] -= h;
      hi[k] += h;
      g[k] = (qev_e0(hi[0], hi[1], hi[2]) - qev_e0(lo[0], lo[1], lo[2])) /
             (hi[k] - lo[k]);
    }
    const double cov[3][3] = {{r.se_a * r.se_a, r.cov_ab, r.cov_ac},
                              {r.cov_ab, r.se_b * r.se_b, r.cov_bc},
                              {r.cov_ac, r.cov_bc, r.se_c * r.se_c}};
    double var = 0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) var += g[i] * cov[i][j] * g[j];
    EXPECT_NEAR(r.se_e0_fit, std::sqrt(var),
                finite_differences * std::sqrt(var));
    ++compared;
  }
  EXPECT_EQ(compared, 4 + 89);
}

struct no_error_case {
  const char *name;
  table data;
};

// Tables whose standard errors do not exist: NaN, whatever the search did.
const no_error_case no_errors[] = {
    {"3 records", {{0, 50, 100}, {1, 0.9, 0.01}}},
    {"ages all 0: J is 0, J'J singular", {{0, 0, 0, 0, 0}, {1, 1, 0.9, 1, 1}}},
    {"a and b share a column: ages 0 and 105 only",
     {{0, 105, 0, 105}, {1, 0, 1, 0}}},
    {"no fit: every error NaN", {{0, 20, 110, 40}, {1, 0.9, 0.5, 0.8}}},
};

TEST(Quality, StandardErrorsAreNaNWhereTheyDoNotExist) {
  for (const no_error_case &t : no_errors) {
    SCOPED_TRACE(t.name);
    const qev_result r = fit_one(t.data);
    for (double x :
         {r.se_a, r.se_b, r.se_c, r.se_e0_fit, r.cov_ab, r.cov_ac, r.cov_bc})
      EXPECT_TRUE(std::isnan(x)) << x;
  }
  // The pinned example's, to 1e-12: what the README shows beside nls().
  const qev_result r = fit_one(read_table("us-2011-male.dat"));
  constexpr double pinned = 1e-12;
  EXPECT_NEAR(r.se_a, 0.00068165354518061935, pinned * 6.8e-4);
  EXPECT_NEAR(r.se_b, 0.0040945793116497755, pinned * 4.1e-3);
  EXPECT_NEAR(r.se_c, 0.0034550660482277193, pinned * 3.5e-3);
  EXPECT_NEAR(r.se_e0_fit, 0.12006380488579706, pinned * 0.12);
}

// The shipped factors are the C library's, bit for bit.  A C library whose
// pow or exp rounds otherwise fails here: regenerate
// src/fit/generated/tables.cpp with qev_make_tables.
TEST(Tables, HoldTheCLibrarysFactors) {
  auto same = [](const terms &got, const terms &want) {
    return bits(got.cube) == bits(want.cube) &&
           bits(got.root) == bits(want.root) &&
           bits(got.ramp) == bits(want.ramp);
  };
  for (int x = 0; x <= terminal_age; ++x)
    EXPECT_TRUE(same(age_factors[x], age_terms(x))) << "age " << x;
  for (int j = 0; j < e0_nodes; ++j)
    EXPECT_TRUE(same(node_factors[j], age_terms(e0_node_age(j))))
        << "node " << j << " at age " << e0_node_age(j);
  // The nodes rise through the panels from just above 0 to just below 105.
  EXPECT_GT(e0_node_age(0), 0.0);
  EXPECT_LT(e0_node_age(e0_nodes - 1), 105.0);
  for (int j = 1; j < e0_nodes; ++j)
    EXPECT_LT(e0_node_age(j - 1), e0_node_age(j)) << j;
}

}  // namespace
