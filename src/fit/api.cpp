// The public interface of include/qev.h over the fit sequence: names of
// statuses, checks and codes, the argument rules, one table and tables back
// to back.  The groups of a long table are groups.cpp's.
#include <cmath>

#include "fit.h"

using namespace qev;

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

const char *qev_code_name(int code) {
  switch (code) {
    case QEV_OK:
      return "ok";
    case QEV_BAD_ARGUMENT:
      return "bad-argument";
    case QEV_NO_MEMORY:
      return "no-memory";
  }
  return nullptr;
}

void qev_options_init(qev_options *opt) { *opt = default_fit_options(); }

int qev_argument_ok(int which, double x) { return argument_ok(which, x); }

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
  const qev_options o = qev::options_with_start(start);
  return qev_fit_opt(age, value, n, &o, out);
}

int qev_fit_many(const int *age, const double *value, const long *offsets,
                 long n_tables, const double *start, int jobs,
                 qev_result *out) {
  const qev_options o = qev::options_with_start(start);
  return qev_fit_many_opt(age, value, offsets, n_tables, &o, jobs, out);
}

int qev_fit_many_opt(const int *age, const double *value, const long *offsets,
                     long n_tables, const qev_options *opt, int jobs,
                     qev_result *out) {
  fit_rules rules;
  if (n_tables < 0 || !argument_ok(QEV_ARG_JOBS, jobs) ||
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

double qev_e0(double a, double b, double c) { return e0_fit({a, b, c, 0.0}); }

const char *qev_version(void) { return QEV_VERSION_STRING; }
