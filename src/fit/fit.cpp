// The fit sequence: the checks, the search and its restarts, the status,
// life expectancy and standard errors of one table, and the batches that
// fit many tables on the threads of a pool.
#include "fit.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "pool.h"

namespace qev {

namespace {

constexpr double no_value = std::numeric_limits<double>::quiet_NaN();
// Tables per job of a pool: enough that queueing costs nothing next to the
// fits, few enough that the last jobs keep every thread busy.
constexpr long tables_per_job = 16;

void no_errors(qev_result *out) {
  out->se_a = out->se_b = out->se_c = out->se_e0_fit = no_value;
  out->cov_ab = out->cov_ac = out->cov_bc = no_value;
}

void unsearched(qev_result *out, qev_status st) {
  out->a = out->b = out->c = out->rmse = no_value;
  out->iterations = 0;
  out->status = st;
  out->e0_fit = out->e0_table = no_value;
  no_errors(out);
}

}  // namespace

vertex start_of(const double *start) {
  if (start == nullptr) return default_start;
  return {start[0], start[1], start[2], 0.0};
}

qev_status search_status(const context *ctx, int iterations) {
  if (ctx->n_data < min_records) return QEV_TOO_FEW_RECORDS;
  if (iterations == max_iterations) return QEV_NOT_CONVERGENT;
  // The spread 1 - best / worst is NaN when either is NaN (or both are
  // infinite), and the loop then ends without its test having passed.
  if (!std::isfinite(ctx->ivec[0].value) || std::isnan(ctx->ivec[3].value))
    return QEV_NO_FIT;
  return QEV_CONVERGED;
}

void fit_data(context *ctx, const fit_rules &rules, qev_result *out) {
  check_data(ctx, out);
  out->records = ctx->n_data;
  if (rules.refuse_age_again &&
      (out->checks & QEV_CHECK_BIT(QEV_CHECK_AGE_AGAIN)))
    return unsearched(out, QEV_REFUSED);
  ctx->_f_parms = rules.start;
  int last = downhills(ctx);
  long total = last;
  // A restart searches again from the best vertex, with a fresh simplex.
  for (int k = 0; k < rules.restarts && last == max_iterations; ++k) {
    ctx->_f_parms = ctx->ivec[0];
    last = downhills(ctx);
    total += last;
  }
  const vertex best = ctx->ivec[0];
  out->a = best.a;
  out->b = best.b;
  out->c = best.c;
  out->rmse = best.value;
  out->iterations = total > INT_MAX ? INT_MAX : static_cast<int>(total);
  out->status = search_status(ctx, last);
  // Only a search that found a vertex has areas and standard errors.
  const bool found =
      out->status == QEV_CONVERGED || out->status == QEV_NOT_CONVERGENT;
  // e0_fit of a vertex the search was never steered to (too few records,
  // or no fit) would pass a start value off as a result.
  double grad[n_parms];
  out->e0_fit = rules.e0 && found ? e0_fit_grad(best, grad) : no_value;
  out->e0_table = rules.e0 ? e0_table(ctx, best, found) : no_value;
  if (rules.e0 && found)
    standard_errors(ctx, grad, out);
  else
    no_errors(out);
}

void fit_records(context *ctx, const int *age, const double *value, long n,
                 const fit_rules &rules, qev_result *out) {
  if (n > max_data) {
    out->checks = 0;
    for (int &r : out->check_record) r = -1;
    out->age_again_first = -1;
    out->records = n > INT_MAX ? INT_MAX : static_cast<int>(n);
    return unsearched(out, QEV_REFUSED);
  }
  ctx->n_data = static_cast<int>(n);
  for (int i = 0; i < n; ++i) {
    ctx->age[i] = age[i];
    ctx->life[i] = value[i];
  }
  prepare_data(ctx);
  fit_data(ctx, rules, out);
}

qev_options default_fit_options() {
  qev_options o;
  o.start[0] = default_start.a;
  o.start[1] = default_start.b;
  o.start[2] = default_start.c;
  o.restarts = 0;
  return o;
}

bool argument_ok(int which, double x) {
  const bool whole = x == std::floor(x);
  switch (which) {
    case QEV_ARG_START:
      return std::isfinite(x) != 0;
    case QEV_ARG_RADIX:
      return std::isfinite(x) && x > 0;
    case QEV_ARG_JOBS:
      return whole && x >= 0 && x <= QEV_MAX_JOBS;
    case QEV_ARG_RESTARTS:
      return whole && x >= 0 && x <= QEV_MAX_RESTARTS;
  }
  return 0;
}

fit_rules long_table_rules(vertex start, int restarts) {
  return {start, true, true, restarts};
}

// The rules of qev_options (nullptr: the defaults); false for a bad one.
bool rules_of(const qev_options *opt, bool long_table, fit_rules *rules) {
  qev_options o = default_fit_options();
  if (opt != nullptr) o = *opt;
  if (!argument_ok(QEV_ARG_RESTARTS, o.restarts)) return false;
  for (double x : o.start)
    if (!argument_ok(QEV_ARG_START, x)) return false;
  *rules = long_table ? long_table_rules(start_of(o.start), o.restarts)
                      : fit_rules{start_of(o.start), false, true, o.restarts};
  return true;
}

qev_options options_with_start(const double *start) {
  qev_options o = default_fit_options();
  if (start != nullptr)
    for (int k = 0; k < n_parms; ++k) o.start[k] = start[k];
  return o;
}

namespace {

// A run of tables for one job of the pool: tables first .. last - 1, whose
// records start at age + offset[k] and value + offset[k].
struct batch {
  const int *age;
  const double *value;
  const long *offset;
  long first;
  long last;
  fit_rules rules;
  qev_result *out;
};

void fit_batch(void *arg) {
  const batch &b = *static_cast<const batch *>(arg);
  context ctx;
  init_context(&ctx);
  for (long k = b.first; k < b.last; ++k) {
    const long n = b.offset[k + 1] - b.offset[k];
    fit_records(&ctx, b.age + b.offset[k], b.value + b.offset[k], n, b.rules,
                &b.out[k]);
  }
}

}  // namespace

bool fit_batches(const int *age, const double *value, const long *offset,
                 long n_tables, const fit_rules &rules, int jobs,
                 qev_result *out) {
  if (n_tables == 0) return true;
  if (jobs == 1 || n_tables <= tables_per_job) {
    batch whole = {age, value, offset, 0, n_tables, rules, out};
    fit_batch(&whole);
    return true;
  }
  const long n_batches = (n_tables + tables_per_job - 1) / tables_per_job;
  auto *b = static_cast<batch *>(
      std::malloc(sizeof(batch) * static_cast<std::size_t>(n_batches)));
  pool *p = b != nullptr ? pool_start(jobs) : nullptr;
  if (p == nullptr) {
    std::free(b);
    return false;
  }
  for (long k = 0; k < n_batches; ++k) {
    const long last = (k + 1) * tables_per_job;
    b[k] = {age,
            value,
            offset,
            k * tables_per_job,
            last < n_tables ? last : n_tables,
            rules,
            out};
    pool_submit(p, fit_batch, &b[k]);
  }
  pool_stop(p);
  std::free(b);
  return true;
}

}  // namespace qev
