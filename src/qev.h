// qev: fit the three-parameter life-table curve
//
//   life(x) = 1 / (a u^3 + b (e^u - 1)^0.5 + c (1 - e^(-2x)) + 1),
//   u = x / (105 - x)
//
// to observed (age, life) records by minimising the RMS error with a
// downhill simplex search.  Everything that crosses modules is declared
// here: the vertex record, the program-wide data set and simplex, and the
// functions of the reader, the error measure and the minimiser.
#ifndef QEV_H
#define QEV_H

#include <cstdio>
#include <string>
#include <vector>

// Parameters a, b, c and the error measure at them, in that order.  Always
// copied whole.
struct vertex {
  double a;
  double b;
  double c;
  double value;
};

// The data set: records 0 .. n_data - 1 in file order.  It, the simplex and
// the error measure's caches are per thread, so that a thread fitting tables
// of a long file is a run of its own: same bits, nothing shared.
constexpr int max_data = 200;
extern thread_local int age[max_data];
extern thread_local double life[max_data];
extern thread_local int n_data;

// Starting point of the search and the simplex it leaves behind, best first.
extern thread_local vertex _f_parms;
extern thread_local vertex ivec[4];

// The search gives up after this many iterations; a count equal to it means
// "did not converge".
constexpr int max_iterations = 10000;

// The whitespace of scanf patterns in the C locale: space, \t \n \v \f \r.
inline bool is_space(int ch) { return ch == ' ' || (ch >= '\t' && ch <= '\r'); }

// Why read_data refused a file.
enum read_fault {
  read_ok,
  read_failed,     // the stream reported an error; errno says which
  read_bad_age,    // an age that is not a whole decimal number
  read_big_age,    // a whole-number age outside the range of int
  read_no_value,   // the input ends after an age
  read_bad_value,  // a value that is not a number as a whole
  read_too_long,   // a field longer than max_field characters
  read_too_many,   // more than max_data records
};

// Longest field the reader takes; no number in a life table comes near it.
constexpr int max_field = 1024;

// What read_data found: why and where it refused the file, and the first
// record of each kind that the fit cannot make sense of.  Lines count from 1;
// 0 means none.  Fields are quoted as shown in messages: shortened, with
// unprintable bytes escaped.
struct read_report {
  read_fault fault;
  int line;                   // line of the refused field
  char field[160];            // the refused field
  int age_line;               // an age outside 0..105: every error is NaN
  int first_age;              //   the first such age
  int value_line;             // a value that is not a share in [0, 1]
  char first_value[160];      //   the first such value, as written
  int record_line[max_data];  // the line of each record stored
};

// Reads records "age value" from fp's current position to its end into the
// data set, never past max_data.  Fields are separated by whitespace (any
// mix of spaces, tabs and line ends) and each must be whole: an age is a
// decimal integer with an optional sign, a value a number as strtod reads it
// (fixed, exponent or hex notation, inf or nan).  Returns the number of
// records stored, or -1 when it refuses the file (rep->fault says why).  Does
// not close fp and does not touch n_data.
int read_data(std::FILE *fp, read_report *rep);

// Fewer records than this leave the three parameters free to fit anything.
constexpr int min_records = 4;

// What the data set shows that a life table should not, first instance of
// each (lines count from 1; 0 means none).
struct data_checks {
  int end_line;   // age 105, where u is infinite: the search may not move
  int rise_line;  // a value above that of the record before, at a higher
  int rise_from;  //   age: not survivorship (q(x) or m(x)?)
  int rise_to;
  int again_line;  // an age seen before: two tables in one file?
  int again_age;
  int again_first;  //   the line where it was first seen
};

// Checks the data set; line[i] is the line record i came from.
void check_data(const int *line, data_checks *w);

// Writes the warnings for w and for a data set of fewer than min_records
// (but not none) as "qev: NAME: line N: warning: ...", to standard error,
// or appended to *out when out is given.
void warn_data(const char *name, const data_checks &w,
               std::string *out = nullptr);

// Writes "qev: NAME: line N: WHAT" (without "line N: " when line is 0) to
// standard error, or appends it, with its line end, to *out.
void say(const char *name, int line, const char *what,
         std::string *out = nullptr);

// Quotes text[0..len) for a message: at most 32 bytes, then "..." (also
// when cut), with quotes, backslashes and bytes outside printable ASCII
// escaped.  out needs room for 4 * 32 + 4 bytes.
void show_text(const char *text, int len, bool cut, char *out);

// Opens the data file `name` ("-" is standard input), reads it into the data
// set, sets n_data and prepares the error measure.  Messages go to standard
// error as "qev: NAME: ...": the reason for a refusal, or warnings about data
// that can only give NaN or a meaningless fit.  Returns n_data, or -1 when the
// file could not be read or was refused.
int load_data(const char *name);

// Sets the a, b and c of _f_parms from the optional start values argv[2..4],
// converted as atof does; missing ones keep their defaults.
void set_start(int argc, char **argv);

// Writes the one-line report for a search that ran `iterations` iterations.
void report(int iterations);

// What a search of the data set came to, as the tables name it
// (status_names).  Too few records outranks the rest; a search that stopped
// because an error was NaN, or whose best error is not finite, is no fit.
enum fit_status {
  fit_converged,
  fit_not_convergent,
  fit_no_fit,
  fit_too_few,
  fit_refused
};
extern const char *const status_names[];
fit_status search_status(int iterations);

// What a command line whose first argument starts with "--" asks for.
enum run_mode { mode_plain, mode_tsv, mode_fitted, mode_help, mode_version };

struct options {
  run_mode mode;
  int first_file;  // argv index of the first file name
  // Long tables (--age and --value given): the columns by their header
  // names, the key columns (comma-separated), l(x)'s radix (0: none),
  // threads (0: every core this process may run on), and whether each
  // group must end with its open age group.
  const char *age_col;
  const char *value_col;
  const char *by;
  double radix;
  int jobs;
  bool require_open;
};

// Parses the long options before the file names, stopping at the first
// argument that is not one or after "--"; --start sets the a, b and c of
// _f_parms.  Returns false after writing a usage error to standard error.
bool parse_options(int argc, char **argv, options *opt);

// Fits every table of each of the n long-table files (opt's columns), on
// opt.jobs threads, and writes the table of opt.mode to standard output in
// input order, the same bytes for any number of threads.  Refusals and
// dropped rows are explained on standard error.  Returns true when every
// table was searched.
bool fit_long_files(const options &opt, int n, char **files);

// For fuzzing and tests: reads a long table from fp with opt's columns,
// without fitting, into *out: every record stored, with its group (numbered
// from 0 in the order of their first rows), in file order within a group.
// Returns false when the input was refused; *line is then the line named
// in the message (0 for none).
struct long_entry {
  int group;
  int age;
  int line;
  double value;
};
bool read_long_table(std::FILE *fp, const options &opt,
                     std::vector<long_entry> *out, int *line);

// Fits each of the n files from _f_parms in turn and writes the table of
// the mode (mode_tsv or mode_fitted), with its header, to standard output.
// A refused file gets its message on standard error and the others are
// still fitted.  Returns true when every file was searched.
bool fit_files(run_mode mode, int n, char **files);

// Table output to standard output, written in whole rows: put_* add to the
// row being built, end_row ends it, flush_rows writes what is pending and
// returns false when standard output failed.
void put_text(const char *s);
void put_raw(const std::string &s);
void put_number(double x);  // %.17g, or NaN, Inf, -Inf
void put_int(long x);
void end_row();
bool flush_rows();

// Appends s[0..n) to out as a table field: tab, CR, LF and backslash
// escaped, and the whole quoted as CSV quotes, when it holds a double quote.
void append_field(std::string *out, const char *s, std::size_t n);

// The columns after the key columns, tab-separated: of --tsv, and of
// --fitted.
extern const char tsv_columns[];
extern const char fitted_columns[];

// The --tsv fields after the key: of a search's result, of the search just
// run on the data set, and of a refused table.
void put_result(vertex best, int iterations, fit_status st, int records,
                double e0f, double e0t);
void put_fit(int iterations);
void put_refused();

// The --fitted rows of the data set after the search: the key (already a
// field, or several), age, observed, fitted and residual.
void put_fitted(const std::string &key);

// Computes the per-record terms of the curve that do not depend on a, b and
// c.  Call it once the data set is filled and before f.
void prepare_data();

// The error measure comes in versions for several instruction sets, with the
// same results; the one fastest on this processor is used.  This switches to
// version k (0 is the literal formula, 1 the plain cached loop; the others
// are the vector versions; -1 the one fastest here), for tests and
// benchmarks, and returns its name, or returns nullptr if this build or
// processor lacks it.
const char *use_error_measure(int k);

// The factors of a, b and c in the curve at age x: u^3, (e^u - 1)^0.5 and
// 1 - e^(-2x), u = x / (105 - x), computed as the error measure computes
// them.
struct terms {
  double a;
  double b;
  double c;
};
terms age_terms(double x);

// The curve at v's a, b and c for record i, bit for bit what f compares
// with life[i].
double curve_at(vertex v, int i);

// RMS error of the curve at v's a, b and c over the data set (v.value is not
// read).  NaN for an empty data set or an age outside [0, 105].
double f(vertex v);

// Sets the value of each of v[0] .. v[k-1], k from 1 to 3, to f of it, in
// one pass over the data set: bit for bit what k calls of f give.
void f_many(vertex *v, int k);

// Life expectancy at birth of the curve at v's a, b and c: its area from age
// 0 to 105, within 1e-6 years.  NaN when the curve has a pole or turns
// negative there (the sum of its terms is not positive somewhere).
double e0_fit(vertex v);

// Life expectancy at birth of the data set, by the trapezoid rule over the
// records in file order, from (0, 1) when the first age is above 0, and
// closed by a straight line down to 0 at age 105.  NaN for an empty data
// set, or ages that are outside 0..105 or do not rise from record to record.
double e0_table();

// Orders the four vertices of s by value, ascending, with an exchange sort.
// A vertex whose value is NaN keeps its slot.
void sort(vertex *s);

// Runs the downhill simplex search from _f_parms and leaves the final
// simplex in ivec, best first.  Returns the number of iterations done, from
// 0 to max_iterations.
int downhills();

#endif  // QEV_H
