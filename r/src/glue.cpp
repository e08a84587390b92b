// qev for R: the library's fits through .Call.  The arguments are checked
// and converted in R; here they are the C types.  R's API may end a call
// with a long jump, so no object with a destructor is alive when one can
// happen: scratch memory is R_alloc's, which R frees itself.
#include <R.h>
#include <R_ext/Rdynload.h>
#include <Rinternals.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "cli.h"
#include "qev.h"

namespace {

// Groups fitted between two looks for an interrupt: tens of milliseconds.
constexpr long batch_groups = 1024;

qev_options options_of(SEXP start, SEXP restarts) {
  qev_options o;
  qev_options_init(&o);
  if (!Rf_isNull(start))
    for (int k = 0; k < 3; ++k) o.start[k] = REAL(start)[k];
  o.restarts = Rf_asInteger(restarts);
  return o;
}

// A code of the library as the error it means.  R checks the arguments
// first, so a bad one here is the package's own fault.
void fail_for(int status) {
  if (status == QEV_NO_MEMORY) Rf_error("cannot allocate memory for the fit");
  if (status != QEV_OK) Rf_error("an argument is outside what qev takes");
}

const char *const number_names[] = {
    "a",       "b",         "c",        "rmse",   "iterations",
    "records", "e0_fit",    "e0_table", "se_a",   "se_b",
    "se_c",    "se_e0_fit", "cov_ab",   "cov_ac", "cov_bc"};
constexpr int n_numbers = sizeof number_names / sizeof number_names[0];

void numbers_of(const qev_result &r, double *x) {
  const bool refused = r.status == QEV_REFUSED;
  const double v[n_numbers] = {r.a,
                               r.b,
                               r.c,
                               r.rmse,
                               double(r.iterations),
                               double(r.records),
                               r.e0_fit,
                               r.e0_table,
                               r.se_a,
                               r.se_b,
                               r.se_c,
                               r.se_e0_fit,
                               r.cov_ab,
                               r.cov_ac,
                               r.cov_bc};
  for (int k = 0; k < n_numbers; ++k) x[k] = refused && k != 5 ? NA_REAL : v[k];
  if (refused) x[5] = NA_REAL;
}

// The checks' words joined by commas, as --tsv has them.
SEXP checks_of(const qev_result &r) {
  SEXP out;
  {
    const std::string words = check_words(r);
    out = Rf_mkCharCE(words.c_str(), CE_UTF8);
  }
  return out;
}

// R's copy of text.  Only R running out of memory for it can jump past
// the caller's string, which then leaks.
SEXP text_of(const std::string &text) {
  return Rf_mkCharLenCE(text.data(), static_cast<int>(text.size()), CE_UTF8);
}

// The data checks' messages, as the command line words them; `row` is
// where each record came from (1-based).
SEXP messages_of(const qev_result &r, const int *age, const double *life,
                 const int *row, bool data_file, const char *value_text,
                 int value_row, const char *radix) {
  SEXP out;
  {
    std::string text;
    warn_checks("", r,
                {age, life, row, data_file ? words_data_file : words_long_table,
                 value_text, value_row, radix, nullptr},
                &text);
    out = Rf_mkCharLenCE(text.data(), static_cast<int>(text.size()), CE_UTF8);
  }
  return out;
}

}  // namespace

extern "C" {

// One table, as a data file of its records is fitted: list(numbers,
// status, checks, messages).
SEXP qev_r_fit(SEXP age, SEXP value, SEXP start, SEXP restarts,
               SEXP value_text) {
  const int n = Rf_length(age);
  const qev_options o = options_of(start, restarts);
  qev_result r;
  fail_for(qev_fit_opt(INTEGER(age), REAL(value), n, &o, &r));
  int *row = reinterpret_cast<int *>(R_alloc(n + 1, sizeof(int)));
  int value_row = 0;
  for (int i = 0; i < n; ++i) {
    row[i] = i + 1;
    const double y = REAL(value)[i];
    if (value_row == 0 && !(y >= 0.0 && y <= 1.0)) value_row = i + 1;
  }
  SEXP out = PROTECT(Rf_allocVector(VECSXP, 4));
  SEXP nums = PROTECT(Rf_allocVector(REALSXP, n_numbers));
  numbers_of(r, REAL(nums));
  SET_VECTOR_ELT(out, 0, nums);
  SET_VECTOR_ELT(out, 1, Rf_mkString(qev_status_name(r.status)));
  SET_VECTOR_ELT(out, 2, Rf_ScalarString(checks_of(r)));
  SEXP text =
      PROTECT(messages_of(r, INTEGER(age), REAL(value), row, true,
                          CHAR(STRING_ELT(value_text, 0)), value_row, nullptr));
  SET_VECTOR_ELT(out, 3, Rf_ScalarString(text));
  UNPROTECT(3);
  return out;
}

// Every group of a long table whose rows come group by group: group g is
// rows offsets[g] to offsets[g + 1] - 1 (doubles, for long tables), with
// the ages and kinds of qev_age_label, values and missing flags; row[i] is
// row i's place in the data frame.  Returns list(numbers, a matrix of a
// row per group; status; checks; messages; drops, a matrix of the rows
// above 104, the missing ones and the first age missing).
SEXP qev_r_fit_groups(SEXP age, SEXP kind, SEXP value, SEXP missing,
                      SEXP offsets, SEXP row, SEXP radix, SEXP radix_text,
                      SEXP start, SEXP restarts, SEXP jobs) {
  const long n_groups = Rf_length(offsets) - 1;
  const long n = Rf_length(age);
  const double *off = REAL(offsets);
  const qev_options o = options_of(start, restarts);
  const double rad = Rf_asReal(radix);
  const int threads = Rf_asInteger(jobs);
  auto *res = reinterpret_cast<qev_result *>(
      R_alloc(static_cast<std::size_t>(n_groups) + 1, sizeof(qev_result)));
  auto *drops = reinterpret_cast<qev_drops *>(
      R_alloc(static_cast<std::size_t>(n_groups) + 1, sizeof(qev_drops)));
  auto *group = reinterpret_cast<long *>(
      R_alloc(static_cast<std::size_t>(n) + 1, sizeof(long)));
  auto *miss = reinterpret_cast<unsigned char *>(
      R_alloc(static_cast<std::size_t>(n) + 1, 1));
  for (long i = 0; i < n; ++i) miss[i] = LOGICAL(missing)[i] != 0;
  for (long first = 0; first < n_groups; first += batch_groups) {
    const long last =
        first + batch_groups < n_groups ? first + batch_groups : n_groups;
    const long r0 = static_cast<long>(off[first]);
    for (long g = first; g < last; ++g)
      for (long i = static_cast<long>(off[g]);
           i < static_cast<long>(off[g + 1]); ++i)
        group[i] = g - first;
    const qev_rows rows = {static_cast<long>(off[last]) - r0,
                           group + r0,
                           INTEGER(age) + r0,
                           INTEGER(kind) + r0,
                           REAL(value) + r0,
                           miss + r0};
    fail_for(qev_fit_groups_opt(&rows, last - first, rad, &o, threads,
                                res + first, drops + first));
    R_CheckUserInterrupt();
  }

  SEXP out = PROTECT(Rf_allocVector(VECSXP, 5));
  SEXP nums =
      PROTECT(Rf_allocMatrix(REALSXP, static_cast<int>(n_groups), n_numbers));
  SEXP status = PROTECT(Rf_allocVector(STRSXP, n_groups));
  SEXP checks = PROTECT(Rf_allocVector(STRSXP, n_groups));
  SEXP notes = PROTECT(Rf_allocVector(STRSXP, n_groups));
  SEXP drop = PROTECT(Rf_allocMatrix(REALSXP, static_cast<int>(n_groups), 3));
  const char *rt =
      Rf_isNull(radix_text) ? nullptr : CHAR(STRING_ELT(radix_text, 0));
  double x[n_numbers];
  for (long g = 0; g < n_groups; ++g) {
    numbers_of(res[g], x);
    for (int k = 0; k < n_numbers; ++k) REAL(nums)[g + k * n_groups] = x[k];
    SET_STRING_ELT(status, g, Rf_mkChar(qev_status_name(res[g].status)));
    SET_STRING_ELT(checks, g, checks_of(res[g]));
    const long i = static_cast<long>(off[g]);
    const qev_rows rows = {static_cast<long>(off[g + 1]) - i,
                           nullptr,
                           INTEGER(age) + i,
                           INTEGER(kind) + i,
                           REAL(value) + i,
                           miss + i};
    SET_STRING_ELT(
        notes, g,
        text_of(group_messages(res[g], rows, INTEGER(row) + i, rad, rt, "by")));
    REAL(drop)[g] = static_cast<double>(drops[g].old_rows);
    REAL(drop)[g + n_groups] = static_cast<double>(drops[g].missing_rows);
    REAL(drop)[g + 2 * n_groups] = drops[g].first_missing_age;
  }
  SET_VECTOR_ELT(out, 0, nums);
  SET_VECTOR_ELT(out, 1, status);
  SET_VECTOR_ELT(out, 2, checks);
  SET_VECTOR_ELT(out, 3, notes);
  SET_VECTOR_ELT(out, 4, drop);
  UNPROTECT(6);
  return out;
}

// Which rows a long table keeps (qev_drop_reason).
SEXP qev_r_kept(SEXP age, SEXP kind, SEXP missing) {
  const R_xlen_t n = Rf_xlength(age);
  SEXP out = PROTECT(Rf_allocVector(LGLSXP, n));
  for (R_xlen_t i = 0; i < n; ++i)
    LOGICAL(out)
    [i] = qev_drop_reason(INTEGER(kind)[i], INTEGER(age)[i],
                          LOGICAL(missing)[i] != 0) == QEV_KEEP;
  UNPROTECT(1);
  return out;
}

// The kind and age of each age label (NA_character_ is not one).
SEXP qev_r_age_labels(SEXP labels) {
  const R_xlen_t n = Rf_xlength(labels);
  SEXP out = PROTECT(Rf_allocMatrix(INTSXP, static_cast<int>(n), 2));
  for (R_xlen_t i = 0; i < n; ++i) {
    SEXP s = STRING_ELT(labels, i);
    int x = 0;
    const int kind = s == NA_STRING
                         ? QEV_AGE_BAD
                         : qev_age_label(CHAR(s), std::strlen(CHAR(s)), &x);
    INTEGER(out)[i] = kind;
    INTEGER(out)[i + n] = x;
  }
  UNPROTECT(1);
  return out;
}

// The curve at any ages (qev_curve_at): NaN outside 0..105.
SEXP qev_r_curve(SEXP abc, SEXP ages) {
  const double a = REAL(abc)[0], b = REAL(abc)[1], c = REAL(abc)[2];
  const R_xlen_t n = Rf_xlength(ages);
  SEXP out = PROTECT(Rf_allocVector(REALSXP, n));
  for (R_xlen_t i = 0; i < n; ++i)
    REAL(out)[i] = qev_curve_at(a, b, c, REAL(ages)[i]);
  UNPROTECT(1);
  return out;
}

// Numbers as the C library reads them (strtod, the whole text): NA for a
// text that is not one.
SEXP qev_r_strtod(SEXP text) {
  const R_xlen_t n = Rf_xlength(text);
  SEXP out = PROTECT(Rf_allocVector(REALSXP, n));
  for (R_xlen_t i = 0; i < n; ++i) {
    SEXP s = STRING_ELT(text, i);
    double y = NA_REAL;
    if (s != NA_STRING && CHAR(s)[0] != '\0') {
      char *end = nullptr;
      const double v = std::strtod(CHAR(s), &end);
      if (*end == '\0') y = v;
    }
    REAL(out)[i] = y;
  }
  UNPROTECT(1);
  return out;
}

SEXP qev_r_version(void) { return Rf_mkString(qev_version()); }

// Whether x is a value the argument `which` (enum qev_argument) takes.
SEXP qev_r_argument_ok(SEXP which, SEXP x) {
  return Rf_ScalarLogical(qev_argument_ok(Rf_asInteger(which), Rf_asReal(x)));
}

// The words of the messages the package shares with the command line, by
// kind: "argument" (what argument n takes), "big_age" (text is an age),
// "too_many" (n records), "more_groups" (n groups), "text_value" (text is
// a column).
SEXP qev_r_words(SEXP kind, SEXP n, SEXP text) {
  SEXP out;
  {
    const std::string k = CHAR(STRING_ELT(kind, 0));
    const long count = static_cast<long>(Rf_asReal(n));
    const char *t = CHAR(STRING_ELT(text, 0));
    const std::string words = k == "argument"      ? argument_words(int(count))
                              : k == "big_age"     ? big_age_words(t)
                              : k == "too_many"    ? too_many_words(count, nullptr)
                              : k == "more_groups" ? more_groups_words(count)
                                                   : text_value_words(t);
    out = text_of(words);
  }
  return Rf_ScalarString(out);
}

// The library's limits and codes that the R code needs.
SEXP qev_r_constants(void) {
  SEXP out = PROTECT(Rf_allocVector(INTSXP, 7));
  const int v[] = {QEV_MAX_RECORDS, max_worded_groups, QEV_ARG_START,
                   QEV_ARG_RADIX,   QEV_ARG_JOBS,      QEV_ARG_RESTARTS,
                   QEV_AGE_RANGE};
  for (int k = 0; k < 7; ++k) INTEGER(out)[k] = v[k];
  UNPROTECT(1);
  return out;
}

static const R_CallMethodDef calls[] = {
    {"qev_r_fit", (DL_FUNC)&qev_r_fit, 5},
    {"qev_r_fit_groups", (DL_FUNC)&qev_r_fit_groups, 11},
    {"qev_r_argument_ok", (DL_FUNC)&qev_r_argument_ok, 2},
    {"qev_r_words", (DL_FUNC)&qev_r_words, 3},
    {"qev_r_constants", (DL_FUNC)&qev_r_constants, 0},
    {"qev_r_age_labels", (DL_FUNC)&qev_r_age_labels, 1},
    {"qev_r_kept", (DL_FUNC)&qev_r_kept, 3},
    {"qev_r_curve", (DL_FUNC)&qev_r_curve, 2},
    {"qev_r_strtod", (DL_FUNC)&qev_r_strtod, 1},
    {"qev_r_version", (DL_FUNC)&qev_r_version, 0},
    {nullptr, nullptr, 0}};

void R_init_qev(DllInfo *dll) {
  R_registerRoutines(dll, nullptr, calls, nullptr, nullptr);
  R_useDynamicSymbols(dll, FALSE);
}

}  // extern "C"
