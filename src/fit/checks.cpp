// The data checks: what a data set shows that a life table should not.  They
// are facts about records (which check, which record first); the command
// line, R and Python word them.
#include <cmath>

#include "fit.h"

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

void check_data(const context *ctx, qev_result *out) {
  out->checks = 0;
  for (int &r : out->check_record) r = -1;
  out->age_again_first = -1;
  const int *age = ctx->age;
  const double *life = ctx->life;
  const int n = ctx->n_data;
  int first[terminal_age + 1];  // where each age 0..105 was first seen
  for (int &r : first) r = -1;
  for (int i = 0; i < n; ++i) {
    const int x = age[i];
    const bool in_range = x >= 0 && x <= terminal_age;
    if (!in_range) mark(out, QEV_CHECK_AGE_RANGE, i);
    if (!(life[i] >= 0.0 && life[i] <= 1.0)) mark(out, QEV_CHECK_NOT_SHARE, i);
    if (x == terminal_age) mark(out, QEV_CHECK_AGE_105, i);
    if (i > 0 && x > age[i - 1] && life[i] > life[i - 1])
      mark(out, QEV_CHECK_RISES, i);
    if (out->age_again_first >= 0) continue;
    int seen = -1;
    if (in_range) {
      seen = first[x];
      if (seen < 0) first[x] = i;
    } else {
      for (int j = 0; j < i && seen < 0; ++j)
        if (age[j] == x) seen = j;
    }
    if (seen >= 0) {
      mark(out, QEV_CHECK_AGE_AGAIN, i);
      out->age_again_first = seen;
    }
  }
  if (n > 0 && age[0] == 0 && !(std::fabs(life[0] - 1.0) <= l0_tolerance))
    mark(out, QEV_CHECK_L0, 0);
  if (n == 0) mark(out, QEV_CHECK_NO_RECORDS, -1);
  if (n > 0 && n < min_records) mark(out, QEV_CHECK_FEW_RECORDS, -1);
}
