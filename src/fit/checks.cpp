// The data checks: what a data set shows that a life table should not.  They
// are facts about records (which check, which record first); the command
// line, R and Python word them.
#include <cmath>

#include "fit.h"

namespace qev {

namespace {

// How far from 1 a share at age 0 may be written: six decimals, as tables
// print them.
constexpr double l0_tolerance = 1e-6;

void mark(qev_result *out, int k, int record) {
  if ((out->checks & QEV_CHECK_BIT(k)) != 0) return;  // the first one counts
  out->checks |= QEV_CHECK_BIT(k);
  out->check_record[k] = record;
}

}  // namespace

void age_order(const context *ctx, int *order) {
  const int *age = ctx->age;
  const int n = ctx->n_data;
  for (int i = 0; i < n; ++i) order[i] = i;
  // An insertion sort: stable, and one pass for a table already in order.
  for (int i = 1; i < n; ++i) {
    const int r = order[i];
    int j = i;
    for (; j > 0 && age[order[j - 1]] > age[r]; --j) order[j] = order[j - 1];
    order[j] = r;
  }
}

void check_data(const context *ctx, qev_result *out) {
  out->checks = 0;
  for (int &r : out->check_record) r = -1;
  out->age_again_first = -1;
  const int *age = ctx->age;
  const double *life = ctx->life;
  const int n = ctx->n_data;
  for (int i = 0; i < n; ++i) {
    if (!(age[i] >= 0 && age[i] <= terminal_age))
      mark(out, QEV_CHECK_AGE_RANGE, i);
    if (!(life[i] >= 0.0 && life[i] <= 1.0)) mark(out, QEV_CHECK_NOT_SHARE, i);
  }
  const int *order = ctx->order;
  for (int j = 0; j < n; ++j) {
    const int i = order[j];
    const int x = age[i];
    if (x == terminal_age) mark(out, QEV_CHECK_AGE_105, i);
    if (j == 0) continue;
    const int before = order[j - 1];
    if (x > age[before] && life[i] > life[before])
      mark(out, QEV_CHECK_RISES, i);
    // Records of one age are together, the first of them first.
    if (x == age[before] && out->age_again_first < 0) {
      int first = j - 1;
      while (first > 0 && age[order[first - 1]] == x) --first;
      mark(out, QEV_CHECK_AGE_AGAIN, i);
      out->age_again_first = order[first];
    }
  }
  if (n > 0 && age[order[0]] == 0 &&
      !(std::fabs(life[order[0]] - 1.0) <= l0_tolerance))
    mark(out, QEV_CHECK_L0, order[0]);
  if (n == 0) mark(out, QEV_CHECK_NO_RECORDS, -1);
  if (n > 0 && n < min_records) mark(out, QEV_CHECK_FEW_RECORDS, -1);
}

}  // namespace qev
