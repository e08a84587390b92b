// qev for R: the library's fits through .Call.  The arguments are checked
// and converted in R; here they are the C types.  R's API may end a call
// with a long jump, so no object with a destructor is alive when one can
// happen: scratch memory is R_alloc's, which R frees itself.
#include <R.h>
#include <R_ext/Rdynload.h>
#include <Rinternals.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qev.h"
#include "words.h"

namespace {

namespace words = qev::words;

// R's voice: records and rows numbered from 1, the arguments by their
// names, and data checks that are warnings by their class.
constexpr words::voice record_voice = {"record", "radix", nullptr, false};
constexpr words::voice row_voice = {"row", "radix", "by", false};

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
  if (status == QEV_OK) return;
  if (status == QEV_NO_MEMORY) Rf_error("cannot allocate memory for the fit");
  const char *name = qev_code_name(status);
  Rf_error("the library refused the call: %s",
           name != nullptr ? name : "unknown code");
}

// The numbers of a result, in the order of the result columns without
// status and checks, then the covariances (R's .numbers).
constexpr int n_numbers = words::n_result_columns - 2 + 3;

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
    const std::string list = words::check_list(r);
    out = Rf_mkCharCE(list.c_str(), CE_UTF8);
  }
  return out;
}

// R's copy of text.  Only R running out of memory for it can jump past
// the caller's string, which then leaks.
SEXP text_of(const std::string &text) {
  return Rf_mkCharLenCE(text.data(), static_cast<int>(text.size()), CE_UTF8);
}

// A character vector of the lines.
SEXP lines_of(const std::vector<std::string> &lines) {
  SEXP out = PROTECT(Rf_allocVector(STRSXP, R_xlen_t(lines.size())));
  for (std::size_t k = 0; k < lines.size(); ++k)
    SET_STRING_ELT(out, R_xlen_t(k), text_of(lines[k]));
  UNPROTECT(1);
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
  int *place = reinterpret_cast<int *>(R_alloc(n + 1, sizeof(int)));
  int value_place = 0;
  for (int i = 0; i < n; ++i) {
    place[i] = i + 1;
    const double y = REAL(value)[i];
    if (value_place == 0 && !(y >= 0.0 && y <= 1.0)) value_place = i + 1;
  }
  SEXP out = PROTECT(Rf_allocVector(VECSXP, 4));
  SEXP nums = PROTECT(Rf_allocVector(REALSXP, n_numbers));
  numbers_of(r, REAL(nums));
  SET_VECTOR_ELT(out, 0, nums);
  SET_VECTOR_ELT(out, 1, Rf_mkString(qev_status_name(r.status)));
  SET_VECTOR_ELT(out, 2, Rf_ScalarString(checks_of(r)));
  SEXP text;
  {
    const std::vector<std::string> said = words::check_messages(
        r,
        {INTEGER(age), REAL(value), place, true,
         CHAR(STRING_ELT(value_text, 0)), value_place, nullptr},
        record_voice);
    text = PROTECT(lines_of(said));
  }
  SET_VECTOR_ELT(out, 3, text);
  UNPROTECT(3);
  return out;
}

// Every group of a long table whose rows come group by group: group g is
// rows offsets[g] to offsets[g + 1] - 1 (doubles, for long tables), with
// the ages and kinds of qev_age_label, values and missing flags; row[i] is
// row i's place in the data frame.  Returns list(numbers, a matrix of a
// row per group; status; checks; messages; drops, a matrix of the rows
// above 104, the missing ones, the first age missing and the rows of no
// age).
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
  auto *kept = reinterpret_cast<unsigned char *>(
      R_alloc(static_cast<std::size_t>(n) + 1, 1));
  SEXP fitted = PROTECT(Rf_allocVector(REALSXP, n));
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
    fail_for(qev_fit_groups_rows(&rows, last - first, rad, &o, threads,
                                 res + first, drops + first, kept + r0,
                                 REAL(fitted) + r0));
    R_CheckUserInterrupt();
  }

  SEXP out = PROTECT(Rf_allocVector(VECSXP, 7));
  SEXP nums =
      PROTECT(Rf_allocMatrix(REALSXP, static_cast<int>(n_groups), n_numbers));
  SEXP status = PROTECT(Rf_allocVector(STRSXP, n_groups));
  SEXP checks = PROTECT(Rf_allocVector(STRSXP, n_groups));
  SEXP notes = PROTECT(Rf_allocVector(VECSXP, n_groups));
  SEXP drop = PROTECT(Rf_allocMatrix(REALSXP, static_cast<int>(n_groups), 4));
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
    SET_VECTOR_ELT(
        notes, g,
        lines_of(words::group_messages(res[g], rows, kept + i, REAL(fitted) + i,
                                       INTEGER(row) + i, rt, row_voice)));
    REAL(drop)[g] = static_cast<double>(drops[g].old_rows);
    REAL(drop)[g + n_groups] = static_cast<double>(drops[g].missing_rows);
    REAL(drop)[g + 2 * n_groups] = drops[g].first_missing_age;
    REAL(drop)[g + 3 * n_groups] = static_cast<double>(drops[g].no_age_rows);
  }
  SET_VECTOR_ELT(out, 0, nums);
  SET_VECTOR_ELT(out, 1, status);
  SET_VECTOR_ELT(out, 2, checks);
  SET_VECTOR_ELT(out, 3, notes);
  SET_VECTOR_ELT(out, 4, drop);
  SEXP kept_out = PROTECT(Rf_allocVector(LGLSXP, n));
  for (long i = 0; i < n; ++i) LOGICAL(kept_out)[i] = kept[i];
  SET_VECTOR_ELT(out, 5, kept_out);
  SET_VECTOR_ELT(out, 6, fitted);
  UNPROTECT(8);
  return out;
}

// A key column's values as numbers that are equal where match() finds the
// values equal: integers (factors' codes too) and logicals as they are,
// doubles by their bits (one NA, one NaN, one zero), strings by their
// cached CHARSXP, which is one per text and encoding.  False for a column
// this cannot number so: another type, or a text that is not ASCII and not
// marked UTF-8, whose twin in another encoding match() would equal.
bool key_values(SEXP col, R_xlen_t n, long long *out) {
  switch (TYPEOF(col)) {
    case INTSXP:
    case LGLSXP:
      for (R_xlen_t i = 0; i < n; ++i) out[i] = INTEGER(col)[i];
      return true;
    case REALSXP:
      for (R_xlen_t i = 0; i < n; ++i) {
        const double x = REAL(col)[i];
        long long bits = 0;
        if (ISNA(x))
          bits = 1;
        else if (ISNAN(x))
          bits = 2;
        else if (x != 0.0)
          std::memcpy(&bits, &x, sizeof bits);
        out[i] = bits;
      }
      return true;
    case STRSXP:
      for (R_xlen_t i = 0; i < n; ++i) {
        SEXP s = STRING_ELT(col, i);
        if (s != NA_STRING && Rf_getCharCE(s) != CE_UTF8)
          for (const char *c = CHAR(s); *c != '\0'; ++c)
            if (static_cast<unsigned char>(*c) > 127) return false;
        out[i] = static_cast<long long>(reinterpret_cast<std::uintptr_t>(s));
      }
      return true;
    default:
      return false;
  }
}

// The group of each row from the key columns (a list of columns of n
// rows): rows whose values match() finds equal in every column are one
// group, NA a value like any other, numbered 1, 2, ... by their first rows.
// NULL when a column is one key_values cannot number.
SEXP qev_r_group_codes(SEXP cols, SEXP nrow) {
  const R_xlen_t n = static_cast<R_xlen_t>(Rf_asReal(nrow));
  const R_xlen_t n_cols = Rf_xlength(cols);
  auto *values = reinterpret_cast<const long long **>(
      R_alloc(static_cast<std::size_t>(n_cols) + 1, sizeof(long long *)));
  for (R_xlen_t k = 0; k < n_cols; ++k) {
    auto *v = reinterpret_cast<long long *>(
        R_alloc(static_cast<std::size_t>(n) + 1, sizeof(long long)));
    if (!key_values(VECTOR_ELT(cols, k), n, v)) return R_NilValue;
    values[k] = v;
  }
  auto *group = reinterpret_cast<long long *>(
      R_alloc(static_cast<std::size_t>(n) + 1, sizeof(long long)));
  if (qev_number_rows(values, static_cast<int>(n_cols), static_cast<long>(n),
                      group) < 0)
    Rf_error("out of memory");
  SEXP out = PROTECT(Rf_allocVector(INTSXP, n));
  for (R_xlen_t i = 0; i < n; ++i)
    INTEGER(out)[i] = static_cast<int>(group[i] + 1);
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
                         ? int(QEV_AGE_BAD)
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
// a column), "left_out" (n rows, from the age in text), "not_age" (text is
// no age label), "eurostat_width" (n fields, where the header has the
// number in text), "eurostat_codes" (the same of dimension codes),
// "eurostat_clash" (text is a dimension), "clash" (the first
// of the keys in text that is a result column, or ""), "twice" (the first
// key named twice, or "").
SEXP qev_r_words(SEXP kind, SEXP n, SEXP text) {
  SEXP out;
  {
    const std::string k = CHAR(STRING_ELT(kind, 0));
    const long count = static_cast<long>(Rf_asReal(n));
    const char *t = Rf_length(text) > 0 ? CHAR(STRING_ELT(text, 0)) : "";
    std::vector<std::string> keys;
    for (R_xlen_t i = 0; i < Rf_xlength(text); ++i)
      keys.push_back(CHAR(STRING_ELT(text, i)));
    const std::string said =
        k == "argument"      ? words::argument(int(count))
        : k == "big_age"     ? words::big_age(t)
        : k == "too_many"    ? words::too_many(count, nullptr)
        : k == "more_groups" ? words::more_groups(count)
        : k == "left_out"    ? words::left_out(count, std::atoi(t))
        : k == "not_age"     ? words::not_an_age(t)
        : k == "eurostat_width"
            ? words::eurostat_width(count, std::atol(t), false)
        : k == "eurostat_codes"
            ? words::eurostat_width(count, std::atol(t), true)
        : k == "eurostat_clash" ? words::eurostat_clash(t)
        : k == "clash"          ? words::clashing_key(keys, false, false)
        : k == "twice"          ? words::key_twice(keys)
                                : words::text_value(t);
    out = text_of(said);
  }
  return Rf_ScalarString(out);
}

// The line for the rows a table left out: rows (above 104, in groups; no
// value, in groups; no age, in groups), with missing the words for no
// value.
SEXP qev_r_dropped(SEXP rows, SEXP missing) {
  SEXP out;
  {
    const double *r = REAL(rows);
    const long n[3] = {long(r[0]), long(r[2]), long(r[4])};
    const long groups[3] = {long(r[1]), long(r[3]), long(r[5])};
    out = text_of(words::dropped(n, groups, CHAR(STRING_ELT(missing, 0))));
  }
  return Rf_ScalarString(out);
}

// The columns of qev --tsv after the keys.
SEXP qev_r_columns(void) {
  SEXP out = PROTECT(Rf_allocVector(STRSXP, words::n_result_columns));
  for (int k = 0; k < words::n_result_columns; ++k)
    SET_STRING_ELT(out, k, Rf_mkChar(words::result_columns[k]));
  UNPROTECT(1);
  return out;
}

// The library's limits and codes that the R code needs.
SEXP qev_r_constants(void) {
  SEXP out = PROTECT(Rf_allocVector(INTSXP, 8));
  const int v[] = {
      QEV_MAX_RECORDS, words::max_worded_groups, QEV_ARG_START, QEV_ARG_RADIX,
      QEV_ARG_JOBS,    QEV_ARG_RESTARTS,         QEV_AGE_RANGE, QEV_AGE_NONE};
  for (int k = 0; k < 8; ++k) INTEGER(out)[k] = v[k];
  UNPROTECT(1);
  return out;
}

static const R_CallMethodDef calls[] = {
    {"qev_r_fit", (DL_FUNC)&qev_r_fit, 5},
    {"qev_r_fit_groups", (DL_FUNC)&qev_r_fit_groups, 11},
    {"qev_r_argument_ok", (DL_FUNC)&qev_r_argument_ok, 2},
    {"qev_r_words", (DL_FUNC)&qev_r_words, 3},
    {"qev_r_dropped", (DL_FUNC)&qev_r_dropped, 2},
    {"qev_r_columns", (DL_FUNC)&qev_r_columns, 0},
    {"qev_r_constants", (DL_FUNC)&qev_r_constants, 0},
    {"qev_r_age_labels", (DL_FUNC)&qev_r_age_labels, 1},
    {"qev_r_group_codes", (DL_FUNC)&qev_r_group_codes, 2},
    {"qev_r_curve", (DL_FUNC)&qev_r_curve, 2},
    {"qev_r_strtod", (DL_FUNC)&qev_r_strtod, 1},
    {"qev_r_version", (DL_FUNC)&qev_r_version, 0},
    {nullptr, nullptr, 0}};

void R_init_qev(DllInfo *dll) {
  R_registerRoutines(dll, nullptr, calls, nullptr, nullptr);
  R_useDynamicSymbols(dll, FALSE);
}

}  // extern "C"
