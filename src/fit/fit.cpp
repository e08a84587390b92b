// The fit sequence (checks, search, status, life expectancy) and the public
// interface of include/qev.h on top of it: one table, tables back to back,
// and the groups of a long table, on threads of a pool.
#include "fit.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

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

const char *qev_status_name(qev_status s) {
  switch (s) {
    case QEV_CONVERGED:
      return "converged";
    case QEV_NOT_CONVERGENT:
      return "not-convergent";
    case QEV_NO_FIT:
      return "no-fit";
    case QEV_TOO_FEW_RECORDS:
      return "too-few-records";
    case QEV_REFUSED:
      return "refused";
  }
  return nullptr;
}

const char *qev_check_name(int k) {
  switch (k) {
    case QEV_CHECK_AGE_RANGE:
      return "age-range";
    case QEV_CHECK_NOT_SHARE:
      return "not-share";
    case QEV_CHECK_AGE_105:
      return "age-105";
    case QEV_CHECK_RISES:
      return "rises";
    case QEV_CHECK_AGE_AGAIN:
      return "age-again";
    case QEV_CHECK_FEW_RECORDS:
      return "few-records";
    case QEV_CHECK_NO_RECORDS:
      return "no-records";
    case QEV_CHECK_L0:
      return "l0";
  }
  return nullptr;
}

void qev_options_init(qev_options *opt) {
  opt->start[0] = default_start.a;
  opt->start[1] = default_start.b;
  opt->start[2] = default_start.c;
  opt->restarts = 0;
}

int qev_argument_ok(int which, double x) {
  const bool whole = x == std::floor(x);
  switch (which) {
    case QEV_ARG_START:
      return std::isfinite(x);
    case QEV_ARG_RADIX:
      return std::isfinite(x) && x > 0;
    case QEV_ARG_JOBS:
      return whole && x >= 0 && x <= QEV_MAX_JOBS;
    case QEV_ARG_RESTARTS:
      return whole && x >= 0 && x <= QEV_MAX_RESTARTS;
  }
  return 0;
}

namespace {

// The rules of qev_options (nullptr: the defaults); false for a bad one.
bool rules_of(const qev_options *opt, bool long_table, fit_rules *rules) {
  qev_options o;
  qev_options_init(&o);
  if (opt != nullptr) o = *opt;
  if (!qev_argument_ok(QEV_ARG_RESTARTS, o.restarts)) return false;
  for (double x : o.start)
    if (!qev_argument_ok(QEV_ARG_START, x)) return false;
  *rules = {start_of(o.start), long_table, true, o.restarts};
  return true;
}

qev_options with_start(const double *start) {
  qev_options o;
  qev_options_init(&o);
  if (start != nullptr)
    for (int k = 0; k < n_parms; ++k) o.start[k] = start[k];
  return o;
}

}  // namespace

int qev_fit_opt(const int *age, const double *value, int n,
                const qev_options *opt, qev_result *out) {
  fit_rules rules;
  if (n < 0 || n > max_data || out == nullptr ||
      (n > 0 && (age == nullptr || value == nullptr)) ||
      !rules_of(opt, false, &rules))
    return QEV_BAD_ARGUMENT;
  context ctx;
  init_context(&ctx);
  fit_records(&ctx, age, value, n, rules, out);
  return QEV_OK;
}

int qev_fit(const int *age, const double *value, int n, const double *start,
            qev_result *out) {
  const qev_options o = with_start(start);
  return qev_fit_opt(age, value, n, &o, out);
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

// Fits n_tables tables laid out as `offset` says, in batches on `jobs`
// threads.  False when memory ran out before anything was fitted.
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

}  // namespace

int qev_fit_many(const int *age, const double *value, const long *offsets,
                 long n_tables, const double *start, int jobs,
                 qev_result *out) {
  const qev_options o = with_start(start);
  return qev_fit_many_opt(age, value, offsets, n_tables, &o, jobs, out);
}

int qev_fit_many_opt(const int *age, const double *value, const long *offsets,
                     long n_tables, const qev_options *opt, int jobs,
                     qev_result *out) {
  fit_rules rules;
  if (n_tables < 0 || !qev_argument_ok(QEV_ARG_JOBS, jobs) ||
      !rules_of(opt, false, &rules))
    return QEV_BAD_ARGUMENT;
  if (n_tables == 0) return QEV_OK;
  if (offsets == nullptr || out == nullptr) return QEV_BAD_ARGUMENT;
  for (long k = 0; k < n_tables; ++k)
    if (offsets[k + 1] < offsets[k] || offsets[k] < 0) return QEV_BAD_ARGUMENT;
  if (offsets[n_tables] > offsets[0] && (age == nullptr || value == nullptr))
    return QEV_BAD_ARGUMENT;
  return fit_batches(age, value, offsets, n_tables, rules, jobs, out)
             ? QEV_OK
             : QEV_NO_MEMORY;
}

namespace {

// A whole number of digits, at most 2147483647: QEV_AGE_SINGLE, or
// QEV_AGE_RANGE for more, QEV_AGE_BAD for anything else.
int parse_int(const char *s, std::size_t n, int *x) {
  if (n == 0) return QEV_AGE_BAD;
  long v = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (s[i] < '0' || s[i] > '9') return QEV_AGE_BAD;
    if (v <= INT_MAX) v = v * 10 + (s[i] - '0');
  }
  if (v > INT_MAX) return QEV_AGE_RANGE;
  *x = static_cast<int>(v);
  return QEV_AGE_SINGLE;
}

}  // namespace

int qev_age_label(const char *text, size_t len, int *age) {
  int x = 0;
  if (text == nullptr || age == nullptr) return QEV_AGE_BAD;
  if (len > 0 && text[len - 1] == '+') {
    const int k = parse_int(text, len - 1, &x);
    if (k < 0) return k;
    *age = x;
    return QEV_AGE_OPEN;
  }
  const void *dash = std::memchr(text, '-', len);
  if (dash != nullptr) {
    const std::size_t at =
        static_cast<std::size_t>(static_cast<const char *>(dash) - text);
    int to = 0;
    const int k = parse_int(text, at, &x);
    const int m = parse_int(text + at + 1, len - at - 1, &to);
    if (k == QEV_AGE_BAD || m == QEV_AGE_BAD) return QEV_AGE_BAD;
    if (k < 0 || m < 0) return QEV_AGE_RANGE;
    if (to < x) return QEV_AGE_BAD;
    *age = x;
    return QEV_AGE_GROUP;
  }
  const int k = parse_int(text, len, &x);
  if (k < 0) return k;
  *age = x;
  return QEV_AGE_SINGLE;
}

int qev_drop_reason(int kind, int age, int missing) {
  (void)kind;  // every kind is taken at its age N
  if (age > last_kept_age) return QEV_DROP_OLD;
  if (missing) return QEV_DROP_MISSING;
  return QEV_KEEP;
}

int qev_fit_groups(const qev_rows *rows, long n_groups, double radix,
                   const double *start, int jobs, qev_result *out,
                   qev_drops *drops) {
  const qev_options o = with_start(start);
  return qev_fit_groups_opt(rows, n_groups, radix, &o, jobs, out, drops);
}

int qev_fit_groups_opt(const qev_rows *rows, long n_groups, double radix,
                       const qev_options *opt, int jobs, qev_result *out,
                       qev_drops *drops) {
  fit_rules rules;
  if (rows == nullptr || rows->n < 0 || n_groups < 0 ||
      !qev_argument_ok(QEV_ARG_JOBS, jobs) || !rules_of(opt, true, &rules))
    return QEV_BAD_ARGUMENT;
  const long n = rows->n;
  if (n > 0 && (rows->group == nullptr || rows->age == nullptr ||
                rows->value == nullptr))
    return QEV_BAD_ARGUMENT;
  if (n_groups > 0 && out == nullptr) return QEV_BAD_ARGUMENT;
  for (long i = 0; i < n; ++i)
    if (rows->group[i] < 0 || rows->group[i] >= n_groups)
      return QEV_BAD_ARGUMENT;

  // Each group's kept rows, in row order, one group after another.
  auto *offset = static_cast<long *>(
      std::calloc(static_cast<std::size_t>(n_groups) + 1, sizeof(long)));
  auto *keep = static_cast<unsigned char *>(
      std::malloc(static_cast<std::size_t>(n) + 1));
  if (offset == nullptr || keep == nullptr) {
    std::free(offset);
    std::free(keep);
    return QEV_NO_MEMORY;
  }
  if (drops != nullptr)
    for (long g = 0; g < n_groups; ++g) drops[g] = qev_drops{};
  for (long i = 0; i < n; ++i) {
    const int kind = rows->kind != nullptr ? rows->kind[i] : QEV_AGE_SINGLE;
    const bool missing = rows->missing != nullptr && rows->missing[i] != 0;
    const long g = rows->group[i];
    const int why = qev_drop_reason(kind, rows->age[i], missing);
    keep[i] = why == QEV_KEEP;
    if (keep[i]) ++offset[g + 1];
    if (drops == nullptr) continue;
    qev_drops &d = drops[g];
    if (why == QEV_DROP_OLD) ++d.old_rows;
    if (why == QEV_DROP_MISSING && d.missing_rows++ == 0)
      d.first_missing_age = rows->age[i];
  }
  for (long g = 0; g < n_groups; ++g) offset[g + 1] += offset[g];
  const long kept = offset[n_groups];
  auto *age = static_cast<int *>(
      std::malloc(sizeof(int) * static_cast<std::size_t>(kept + 1)));
  auto *value = static_cast<double *>(
      std::malloc(sizeof(double) * static_cast<std::size_t>(kept + 1)));
  auto *fill = static_cast<long *>(
      std::malloc(sizeof(long) * (static_cast<std::size_t>(n_groups) + 1)));
  bool ok = age != nullptr && value != nullptr && fill != nullptr;
  if (ok) {
    for (long g = 0; g < n_groups; ++g) fill[g] = offset[g];
    for (long i = 0; i < n; ++i) {
      if (!keep[i]) continue;
      const long at = fill[rows->group[i]]++;
      age[at] = rows->age[i];
      value[at] = radix > 0 ? rows->value[i] / radix : rows->value[i];
    }
    ok = fit_batches(age, value, offset, n_groups, rules, jobs, out);
  }
  std::free(fill);
  std::free(value);
  std::free(age);
  std::free(keep);
  std::free(offset);
  return ok ? QEV_OK : QEV_NO_MEMORY;
}

double qev_curve(double a, double b, double c, int age) {
  const terms t = factors(age);
  const double t1 = a * t.cube;
  const double t2 = b * t.root;
  const double t3 = c * t.ramp;
  return 1.0 / (((t1 + t2) + t3) + 1.0);
}

double qev_curve_at(double a, double b, double c, double age) {
  if (age >= 0 && age <= terminal_age && age == std::floor(age))
    return qev_curve(a, b, c, static_cast<int>(age));
  if (!(age > 0 && age < terminal_age)) return no_value;
  const double u = age / (terminal_age - age);
  const double t1 = a * std::pow(u, 3.0);
  const double t2 = b * std::sqrt(std::exp(u) - 1.0);
  const double t3 = c * (1.0 - std::exp(-2.0 * age));
  return 1.0 / (((t1 + t2) + t3) + 1.0);
}

double qev_e0(double a, double b, double c) { return e0_fit({a, b, c, 0.0}); }

const char *qev_version(void) { return QEV_VERSION_STRING; }
