// What the library's modules share, and the command line with them: the
// vertex record, the context a fit runs in, and the functions of the error
// measure, the minimiser, the checks, life expectancy and the thread pool.
// Nothing here is program-wide: every function takes the context it works
// on, so fits on any number of threads, or interleaved on one, never meet.
#ifndef QEV_FIT_H
#define QEV_FIT_H

#include "qev.h"

// Everything the library keeps to itself lives in namespace qev, so that no
// name of it can meet a name of the program it is linked into.
namespace qev {

// Parameters a, b, c and the error measure at them, in that order.  Always
// copied whole.
struct vertex {
  double a;
  double b;
  double c;
  double value;
};

constexpr int max_data = QEV_MAX_RECORDS;
// A count equal to it means "did not converge".
constexpr int max_iterations = QEV_MAX_ITERATIONS;
constexpr int min_records = QEV_MIN_RECORDS;
// The curve's parameters a, b and c.
constexpr int n_parms = 3;
// The curve's terminal age: u = x / (105 - x) is infinite there.
constexpr int terminal_age = QEV_TERMINAL_AGE;
// The oldest age a long table keeps: older ones can only end the curve or
// make every error NaN.
constexpr int last_kept_age = terminal_age - 1;

// The default start of the search.
constexpr vertex default_start = {0.03, 0.05, 0.01, 0.0};

// The factors of a, b and c in the curve at an age: u^3, (e^u - 1)^0.5 and
// 1 - e^(-2x), u = x / (105 - x).
struct terms {
  double cube;  // of a
  double root;  // of b
  double ramp;  // of c
};

// A fit's whole state: the data set (records 0 .. n_data - 1 in file
// order), the factors of each record, the start of the search, the simplex
// it leaves behind (best first) and the version of the error measure.
struct context {
  int age[max_data];
  double life[max_data];
  int n_data;
  double cube[max_data];  // each record's factors, apart so that a pass
  double root[max_data];  // reads them several records at a time
  double ramp[max_data];
  int order[max_data];  // the records in age order (age_order)
  vertex _f_parms;
  vertex ivec[4];
  int measure;
};

// An empty data set, the default start and the version of the error
// measure fastest on this processor.
void init_context(context *ctx);

// The sum of the curve's terms at a, b and c for an age's factors, in the
// order of the formula: ((a u^3 + b (e^u - 1)^0.5) + c (1 - e^(-2x))) + 1.
// Every evaluation of the curve goes through it, so all of them agree to the
// bit; the curve is its reciprocal.
inline __attribute__((always_inline)) double curve_sum(double a, double b,
                                                       double c, double cube,
                                                       double root,
                                                       double ramp) {
  const double t1 = a * cube;
  const double t2 = b * root;
  const double t3 = c * ramp;
  return ((t1 + t2) + t3) + 1.0;
}

// The factors at age x, computed as the error measure computes them: both
// powers through pow, so a negative base gives the library's NaN (b) or a
// negative cube (a); the c term uses the raw age, not u.
terms age_terms(double x);

// The same for a whole age, from the table of ages 0..105 where it can.
terms factors(int x);

// Precomputed factors (generated/tables.cpp): of ages 0 .. terminal_age, and of
// the nodes of e0_fit's fixed panels.  The table test holds them to age_terms.
extern const terms age_factors[terminal_age + 1];
constexpr int e0_panels = 67;
constexpr int e0_panel_nodes = 15;
constexpr int e0_nodes = e0_panels * e0_panel_nodes;
extern const terms node_factors[e0_nodes];
// The age of node j (0 .. e0_nodes - 1) of the fixed panels.
double e0_node_age(int j);

// Computes each record's factors and the records' age order.  Call it once
// the data set is filled and before f or the checks.
void prepare_data(context *ctx);

// The processor's family as cpuid leaf 1 gives it (base, plus the extended
// family where the base is 0xf), from the C library's copy; 0 where it is
// not known.  The version rule below goes by it.
unsigned processor_family();

// Switches ctx to version k of the error measure (0 the literal formula, 1
// the plain cached loop, then the vector versions; -1 the one fastest
// here), for tests and benchmarks.  Returns its name, or nullptr if this
// build or processor lacks it.
const char *use_error_measure(context *ctx, int k);

// The curve at v's a, b and c for record i, bit for bit what f compares
// with life[i].
double curve_at(const context *ctx, vertex v, int i);

// The curve at v's a, b and c at a whole age: what the fit compares with
// the value of a record of that age (qev_curve).
double curve_of(vertex v, int age);

// RMS error of the curve at v's a, b and c over the data set (v.value is not
// read).  NaN for an empty data set or an age outside [0, 105].
double f(const context *ctx, vertex v);

// Sets the value of each of v[0] .. v[k-1], k from 1 to 3, to f of it, in
// one pass over the data set: bit for bit what k calls of f give.
void f_many(const context *ctx, vertex *v, int k);

// Orders the four vertices of s by value, ascending, with an exchange sort.
// A vertex whose value is NaN keeps its slot.
void sort(vertex *s);

// Runs the downhill simplex search from ctx->_f_parms and leaves the final
// simplex in ctx->ivec, best first.  Returns the number of iterations done,
// from 0 to max_iterations.
int downhills(context *ctx);

// What the search just run on ctx came to.  Too few records outranks the
// rest; a search that stopped because an error was NaN, or whose best error
// is not finite, is no fit.
qev_status search_status(const context *ctx, int iterations);

// Life expectancy at birth of the curve at v's a, b and c: its area from age
// 0 to 105, within 1e-6 years.  NaN when the curve has a pole or turns
// negative there (the sum of its terms is not positive somewhere).
double e0_fit(vertex v);

// The same, with its derivatives by a, b and c in grad[0..2], from the same
// quadrature (the same panels, and the same bisections where the adaptive
// rule takes over).  The area is bit for bit e0_fit's.
double e0_fit_grad(vertex v, double *grad);

// Life expectancy at birth of the data set, by the trapezoid rule over the
// records in age order (age_order), from (0, 1) when the first age is above 0,
// and closed beyond the last age by the curve at best scaled to meet the last
// value, as demographers close a table with a law:
//   l_last * integral from last to 105 of curve(x) / curve(last).
// NaN for an empty data set, ages that are outside 0..105 or seen twice,
// or when the search did not fit (fitted false).
double e0_table(const context *ctx, vertex best, bool fitted);

// The Gauss-Newton standard errors and covariances of the fit at
// ctx->ivec[0], and the delta-method standard error of e0_fit from its
// gradient grad (nullptr: none), into out; NaN where they do not exist
// (fewer than 4 records, or J'J singular or not finite).
void standard_errors(const context *ctx, const double *grad, qev_result *out);

// The records of the data set in age order, ties in file order, into
// order[0 .. n_data - 1].  prepare_data keeps it in the context: the
// checks of a table as a table and e0_table go by it, so that neither
// depends on the order of the file.
void age_order(const context *ctx, int *order);

// Sets out->checks, check_record and age_again_first from the data set:
// the checks of single records (age-range, not-share) in file order, those
// of the table (age-105, rises, age-again, l0) in age order.
void check_data(const context *ctx, qev_result *out);

// How a table is fitted.  A long table's rules refuse a table with an age
// twice, which a data file is only warned about.
struct fit_rules {
  vertex start;
  bool refuse_age_again;
  bool e0;       // compute e0_fit, e0_table and the standard errors (else NaN)
  int restarts;  // of a search that ends not convergent, from its best
};

// The one fit sequence: checks the data set, searches from rules.start,
// and gives the status and both life expectancies, into *out.  ctx keeps the
// final simplex.
void fit_data(context *ctx, const fit_rules &rules, qev_result *out);

// The same for records age[i], value[i], i < n, loaded into ctx: a table of
// more than max_data records is refused unsearched (records says how many).
void fit_records(context *ctx, const int *age, const double *value, long n,
                 const fit_rules &rules, qev_result *out);

// The start of a search from a, b and c given as three doubles, or the
// default start for nullptr.
vertex start_of(const double *start);

// The default options: the default start and no restarts.
qev_options default_fit_options();

// Whether x is a value argument `which` (enum qev_argument) may take: the
// rules of every client, behind qev_argument_ok.
bool argument_ok(int which, double x);

// The rules of a long table's groups, which the command line's reader and
// qev_fit_groups share: refuse an age twice, give life expectancy and the
// standard errors.
fit_rules long_table_rules(vertex start, int restarts);

// The rules of qev_options (nullptr: the defaults), for a long table's
// groups or not; false for options outside the argument rules.
bool rules_of(const qev_options *opt, bool long_table, fit_rules *rules);

// The default options with start (nullptr: the default start).
qev_options options_with_start(const double *start);

// Fits n_tables tables, table k the records offset[k] .. offset[k + 1] - 1
// of age and value, in batches on `jobs` threads.  False when memory ran
// out before anything was fitted.
bool fit_batches(const int *age, const double *value, const long *offset,
                 long n_tables, const fit_rules &rules, int jobs,
                 qev_result *out);

// A long table's rows: counts a row left out (why, of qev_drop_reason) in
// *d, with the first age whose value was missing.
void tally_drop(qev_drops *d, int why, int age);

// A value as a long table fits it: divided by radix when radix is above 0.
double scaled(double value, double radix);

// Records a table too long to fit keeps: one past the most, to refuse it.
constexpr int max_stored = max_data + 1;

}  // namespace qev

#endif  // QEV_FIT_H
