/* qev: fit the three-parameter life-table curve
 *
 *   life(x) = 1 / (a u^3 + b (e^u - 1)^0.5 + c (1 - e^(-2x)) + 1),
 *   u = x / (105 - x)
 *
 * to (age, share alive) records by minimising the RMS error with a downhill
 * simplex search.  This is the library's whole public interface, in C: plain
 * types and functions that fill a result.  The library keeps no state
 * between calls, never prints, never exits and never aborts, so any number
 * of threads may call it at once.  Every function gives the same bits as the
 * qev command line on the same records.  See qev(3).
 */
#ifndef QEV_PUBLIC_H
#define QEV_PUBLIC_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What the shared library exports: the functions below and nothing else. */
#if defined(__GNUC__) && !defined(_WIN32)
#define QEV_API __attribute__((visibility("default")))
#else
#define QEV_API
#endif

/* The library's version, as qev_version gives it. */
#define QEV_VERSION_STRING "1.5.0"

/* A table holds at most this many records. */
#define QEV_MAX_RECORDS 200
/* The search gives up after this many iterations. */
#define QEV_MAX_ITERATIONS 10000
/* The curve ends at this age: u is infinite there. */
#define QEV_TERMINAL_AGE 105
/* Fewer records than this leave the three parameters free to fit anything. */
#define QEV_MIN_RECORDS 4
/* The most threads (jobs) and restarts a call may ask for. */
#define QEV_MAX_JOBS 1024
#define QEV_MAX_RESTARTS 1000

/* What a search came to; qev_status_name gives the word of the tables. */
typedef enum qev_status {
  QEV_CONVERGED = 0,
  QEV_NOT_CONVERGENT = 1, /* QEV_MAX_ITERATIONS iterations ran */
  QEV_NO_FIT = 2,         /* the search stopped on an error that is NaN */
  QEV_TOO_FEW_RECORDS = 3,
  QEV_REFUSED = 4 /* not searched; see the functions for why */
} qev_status;

/* The data checks, numbered: bit (1u << k) of qev_result.checks says that
 * check k holds, and check_record[k] is the index of the first record that
 * shows it. */
enum qev_check {
  QEV_CHECK_AGE_RANGE = 0,   /* an age outside 0..105: every error is NaN */
  QEV_CHECK_NOT_SHARE = 1,   /* a value that is not a share in [0, 1] */
  QEV_CHECK_AGE_105 = 2,     /* age 105, where the search may not move */
  QEV_CHECK_RISES = 3,       /* a value above the one before, at a higher age */
  QEV_CHECK_AGE_AGAIN = 4,   /* an age seen before */
  QEV_CHECK_FEW_RECORDS = 5, /* 1 to 3 records (a check of the whole table) */
  QEV_CHECK_NO_RECORDS = 6,  /* no records (a check of the whole table) */
  QEV_CHECK_L0 = 7,          /* the first record is age 0 and not 1 +- 1e-6 */
  QEV_N_CHECKS = 8
};
#define QEV_CHECK_BIT(k) (1u << (k))

/* A fitted table.  a, b, c and rmse are the best vertex of the final
 * simplex.  e0_fit is the area under the fitted curve from 0 to 105, within
 * 1e-6 years (NaN for no fit); e0_table the trapezoid area of the records
 * from (0, 1), closed beyond the last age by the fitted curve scaled to meet
 * the last value.  The standard errors and covariances are the Gauss-Newton
 * ones that R's nls() reports, s^2 (J'J)^-1 at the reported vertex, and
 * se_e0_fit their delta-method image; see qev(3) for what they assume.
 * Each is NaN when it does not exist.  A refused table has NaN numbers and
 * 0 iterations. */
typedef struct qev_result {
  double a;
  double b;
  double c;
  double rmse;
  int iterations;
  qev_status status;
  int records;
  double e0_fit;
  double e0_table;
  double se_a;
  double se_b;
  double se_c;
  double se_e0_fit;
  double cov_ab;
  double cov_ac;
  double cov_bc;
  unsigned checks;                /* QEV_CHECK_BIT(k) for each check k */
  int check_record[QEV_N_CHECKS]; /* first record of check k, or -1 */
  int age_again_first;            /* the earlier record of that age, or -1 */
} qev_result;

/* The arguments every client of the library takes, by one set of rules:
 * qev_argument_ok judges a value of one of them. */
enum qev_argument {
  QEV_ARG_START = 0,   /* each of a, b and c: a finite number */
  QEV_ARG_RADIX = 1,   /* a finite number above 0 */
  QEV_ARG_JOBS = 2,    /* a whole number 0 .. QEV_MAX_JOBS (0: every core) */
  QEV_ARG_RESTARTS = 3 /* a whole number 0 .. QEV_MAX_RESTARTS */
};

/* 1 when x is a value that argument `which` (enum qev_argument) may take,
 * else 0; 0 for an unknown argument too.  The calls below refuse, as
 * QEV_BAD_ARGUMENT, a start, jobs or restarts that this refuses. */
QEV_API int qev_argument_ok(int which, double x);

/* Codes of the calls that return int. */
enum qev_error {
  QEV_OK = 0,
  QEV_BAD_ARGUMENT = 1, /* a count out of range or a NULL array */
  QEV_NO_MEMORY = 2     /* memory ran out; nothing was fitted */
};

/* The word of a code of enum qev_error ("ok", "bad-argument",
 * "no-memory"), or NULL for no code. */
QEV_API const char *qev_code_name(int code);

/* The word of the tables for s ("converged", "not-convergent", "no-fit",
 * "too-few-records", "refused"), or NULL for no status. */
QEV_API const char *qev_status_name(qev_status s);

/* The word of check k ("age-range", "not-share", "age-105", "rises",
 * "age-again", "few-records", "no-records", "l0"), or NULL for no check. */
QEV_API const char *qev_check_name(int k);

/* Fits the n records age[i], value[i] as qev fits a data file of them, bit
 * for bit, from start[0..2] (a, b, c), or from 0.03, 0.05, 0.01 when start
 * is NULL, into *out.  Returns QEV_OK, or QEV_BAD_ARGUMENT when n is below 0
 * or above QEV_MAX_RECORDS, a start value is not finite, an array is NULL
 * with n above 0, or out is NULL; *out is then untouched. */
QEV_API int qev_fit(const int *age, const double *value, int n,
                    const double *start, qev_result *out);

/* Fits the tables stored back to back in age and value, each as qev_fit
 * does: table k is the records offsets[k] to offsets[k + 1] - 1, so offsets
 * has n_tables + 1 entries, rising.  A table of more than QEV_MAX_RECORDS
 * records gets QEV_REFUSED and the others are still fitted.  Uses `jobs`
 * threads, the calling one among them (0: every core this process may run
 * on); out[k] is table k's result, the same bits for any number of jobs.
 * Returns QEV_OK, QEV_NO_MEMORY, or QEV_BAD_ARGUMENT (out untouched) for
 * n_tables below 0, jobs outside 0 .. QEV_MAX_JOBS, a start value that is
 * not finite, offsets that fall, or a NULL array that is needed. */
QEV_API int qev_fit_many(const int *age, const double *value,
                         const long *offsets, long n_tables,
                         const double *start, int jobs, qev_result *out);

/* How to search.  restarts: a search that ends QEV_NOT_CONVERGENT starts
 * again from its best vertex, with a fresh simplex, up to this many times;
 * the result has the last search's status and every search's iterations. */
typedef struct qev_options {
  double start[3]; /* a, b, c */
  int restarts;
} qev_options;

/* The defaults: the start 0.03, 0.05, 0.01 and no restarts. */
QEV_API void qev_options_init(qev_options *opt);

/* qev_fit, qev_fit_many and qev_fit_groups with options (NULL: the
 * defaults) in place of a start.  Restarts outside 0 .. QEV_MAX_RESTARTS,
 * or a start value that is not finite, is a bad argument. */
QEV_API int qev_fit_opt(const int *age, const double *value, int n,
                        const qev_options *opt, qev_result *out);
QEV_API int qev_fit_many_opt(const int *age, const double *value,
                             const long *offsets, long n_tables,
                             const qev_options *opt, int jobs, qev_result *out);

/* Kinds of age label. */
enum qev_age_kind {
  QEV_AGE_RANGE = -2, /* an age label whose numbers pass 2147483647 */
  QEV_AGE_BAD = -1,   /* not an age label */
  QEV_AGE_SINGLE = 0, /* "N" */
  QEV_AGE_GROUP = 1,  /* "N-M" with M >= N: the group is taken at age N */
  QEV_AGE_OPEN = 2,   /* "N+", the open age group, taken at age N */
  QEV_AGE_NONE = 3    /* Eurostat's "Y_OPEN" and "TOTAL": a row of no age */
};

/* Reads text[0..len) as a long table's age label: N, N-M or N+, with N and
 * M whole numbers of digits up to 2147483647, or one of Eurostat's age
 * codes: "Y_LT1" (age 0), "YN", "YN-M", "Y_GEN" (N+), "Y_LTN" (the group
 * from 0), and "Y_OPEN" and "TOTAL", which name no age (QEV_AGE_NONE, *age
 * set to 0).  Sets *age to N and returns the kind, or returns QEV_AGE_RANGE
 * (digits, but a number too large) or QEV_AGE_BAD (anything else) and
 * leaves *age alone: a kind below 0 is no age label. */
QEV_API int qev_age_label(const char *text, size_t len, int *age);

/* Why a long table leaves a row out, by the command line's rules. */
enum qev_drop {
  QEV_KEEP = 0,
  QEV_DROP_OPEN = 1,    /* no longer given: since 1.3 an N+ row is kept */
  QEV_DROP_OLD = 2,     /* an age above 104 */
  QEV_DROP_MISSING = 3, /* no value */
  QEV_DROP_NO_AGE = 4   /* a label of no age (QEV_AGE_NONE) */
};

/* The rule for one row of a long table: its age label's kind and age, and
 * whether its value is missing.  Labels of no age go first, then ages above
 * 104, then missing values.  An open age group N+ is age N like any other: its
 * value, l(N), is a share still alive as valid as the rows before it. */
QEV_API int qev_drop_reason(int kind, int age, int missing);

/* Rows of a long table: row i belongs to group group[i] (0 .. n_groups -
 * 1), has the age age[i] of the kind kind[i] (NULL: every row is
 * QEV_AGE_SINGLE) and the value value[i], which is missing where
 * missing[i] is nonzero (NULL: none is). */
typedef struct qev_rows {
  long n;
  const long *group;
  const int *age;
  const int *kind;
  const double *value;
  const unsigned char *missing;
} qev_rows;

/* Rows a group left out, by reason, and the first age whose value was
 * missing (0 when none was).  open_rows stays 0 since 1.3. */
typedef struct qev_drops {
  long open_rows;
  long old_rows;
  long missing_rows;
  int first_missing_age;
  long no_age_rows; /* since 1.5 */
} qev_drops;

/* Fits every group of a long table by the command line's rules: the rows a
 * group keeps (qev_drop_reason), in row order, are its records, with each
 * value divided by radix when radix is above 0.  A group of more than
 * QEV_MAX_RECORDS records, or with an age twice (QEV_CHECK_AGE_AGAIN set),
 * is QEV_REFUSED; the others are fitted as qev_fit fits them.  out[g] and,
 * unless drops is NULL, drops[g] are group g's, for n_groups groups; jobs
 * is as for qev_fit_many.  Returns QEV_OK, QEV_NO_MEMORY, or
 * QEV_BAD_ARGUMENT (nothing written) for a group number outside 0 .. n_groups -
 * 1, a negative count or jobs, or a NULL array that is needed. */
QEV_API int qev_fit_groups(const qev_rows *rows, long n_groups, double radix,
                           const double *start, int jobs, qev_result *out,
                           qev_drops *drops);

QEV_API int qev_fit_groups_opt(const struct qev_rows *rows, long n_groups,
                               double radix, const qev_options *opt, int jobs,
                               qev_result *out, struct qev_drops *drops);

/* qev_fit_groups_opt, and for each row i whether it is one of its group's
 * records (kept[i] 1, else 0) and the value fitted for it
 * (value_fitted[i]: the row's value divided by radix when radix is above
 * 0; NaN for a row left out), so that a caller can word and show each
 * group's records without deriving them again.  kept and value_fitted
 * have rows->n entries; either may be NULL. */
QEV_API int qev_fit_groups_rows(const struct qev_rows *rows, long n_groups,
                                double radix, const qev_options *opt, int jobs,
                                qev_result *out, struct qev_drops *drops,
                                unsigned char *kept, double *value_fitted);

/* Numbers the values key[0 .. n) by the order of their first appearance,
 * 0, 1, ..., into group[i] (group may be key), as a long table numbers its
 * groups by their first rows: with key[i] a number of row i's key (such as
 * a combination of its columns' codes), group[i] is its group.  Returns the
 * number of groups, or -1 (nothing written) when memory runs out or an
 * argument is NULL or n negative.  Since 1.5. */
QEV_API long qev_number_groups(const long long *key, long n, long long *group);

/* The groups of a table's rows from n_cols key columns, cols[k][i] the
 * value of row i in column k (equal values, equal numbers): rows with
 * equal values in every column are one group, group[i] (not one of cols)
 * numbered by their first rows as qev_number_groups numbers them; with no
 * columns every row is group 0.  Returns the number of groups, or -1
 * (group unusable) when memory runs out or an argument is NULL or
 * negative.  Since 1.5. */
QEV_API long qev_number_rows(const long long *const *cols, int n_cols, long n,
                             long long *group);

/* The curve at a, b and c at an age, bit for bit what the fit compares with
 * the value of a record of that age. */
QEV_API double qev_curve(double a, double b, double c, int age);

/* The curve at any age: qev_curve's value at the whole ages 0 to 105, and
 * between them the curve e0_fit integrates (its factors by the C library's
 * pow and exp, as age 20.5's are 20.5's own), NaN outside 0 to 105.  For
 * drawing and predicting.  Since 1.4 the factor of b between whole ages is
 * pow(e^u - 1, 0.5), not sqrt, which may move a value by its last bit. */
QEV_API double qev_curve_at(double a, double b, double c, double age);

/* Life expectancy at birth of the curve at a, b and c: e0_fit. */
QEV_API double qev_e0(double a, double b, double c);

/* The library's version, "MAJOR.MINOR.PATCH". */
QEV_API const char *qev_version(void);

#ifdef __cplusplus
}
#endif

#endif /* QEV_PUBLIC_H */
