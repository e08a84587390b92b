// The command line's modules: options, the data file reader, the messages,
// the table writer and long tables.  The command line is one client of the
// library (fit.h): it holds one context for a run on one thread, and one per
// worker, and words what the library reports.
#ifndef QEV_CLI_H
#define QEV_CLI_H

#include <cstdio>
#include <string>
#include <vector>

#include "fit.h"
#include "pool.h"
#include "words.h"

namespace qev {

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

using words::shown_size;

// What read_data found: why and where it refused the file, the line of each
// record stored (lines count from 1; 0 means none), and the first value
// that is not a share, as written.  Fields are quoted as shown in messages:
// shortened, with unprintable bytes escaped.
struct read_report {
  read_fault fault;
  int line;               // line of the refused field
  char field[160];        // the refused field
  char first_value[160];  // the first value outside [0, 1], as written
  int first_value_line;   //   and its line
  long records;           // of a file refused for too many
  int record_line[max_data];
};

// Reads records "age value" from fp's current position to its end into the
// data set of ctx, never past max_data.  Fields are separated by whitespace
// (any mix of spaces, tabs and line ends) and each must be whole: an age is
// a decimal integer with an optional sign, a value a number as strtod reads
// it (fixed, exponent or hex notation, inf or nan).  Returns the number of
// records stored, or -1 when it refuses the file (rep->fault says why).
// Does not close fp and does not touch n_data.
int read_data(context *ctx, std::FILE *fp, read_report *rep);

// Opens the data file `name` ("-" is standard input), reads it into ctx's
// data set, sets n_data and prepares the error measure.  A refusal is worded
// into *notes.  Returns n_data, or -1 when the file could not be read or was
// refused.
int load_data(const char *name, context *ctx, read_report *rep,
              std::string *notes);

// Appends the data checks of a data file's fit r, as warnings naming its
// lines, to *notes.
void say_checks(const char *name, const qev_result &r, const context &ctx,
                const read_report &rep, std::string *notes);

// Appends "qev: NAME: line N: WHAT" (without "line N: " when line is 0),
// with its line end, to *out, or writes it to standard error when out is
// nullptr.
void say(const char *name, int line, const char *what,
         std::string *out = nullptr);
// Appends "qev: NAME: MESSAGE" and a line end to *out for each of the
// words' messages.
void say_all(const char *name, const std::vector<std::string> &messages,
             std::string *out);
// The command line's voice: places are lines, options are --radix and
// --by, data checks are warnings.
constexpr words::voice cli_voice = {"line", "--radix", "--by", true};
// Opens an input file ("-": standard input) for reading, through zlib when
// it is gzip-compressed (named .gz, or starting with gzip's magic bytes):
// the stream gives the bytes of the file uncompressed.  nullptr, with *why
// set, when it cannot be opened or is not what its name says.  Close what
// it returns with fclose unless it is stdin.
std::FILE *open_input(const char *path, std::string *why);
// The words of a read error errno err, a corrupt or cut gzip stream's
// included.
std::string input_error(int err);

// Why a file could not be opened (errno err), with a hint where its name
// is an option written after the file names.
std::string open_words(const char *name, int err);
// What a command line whose first argument starts with "--" asks for.
enum run_mode { mode_plain, mode_tsv, mode_fitted, mode_help, mode_version };

struct options {
  run_mode mode;
  int first_file;  // argv index of the first file name
  vertex start;    // of every search
  // Long tables (--age and --value given): the columns by their header
  // names, the key columns (comma-separated), l(x)'s radix (0: none), and
  // whether each group must end with its open age group.
  const char *age_col;
  const char *value_col;
  const char *by;
  double radix;
  const char *radix_text;  // as given, for messages
  int restarts;            // of a search that does not converge
  int jobs;                // threads (0: every core this process may run on)
  bool require_open;
  const char *na;     // --na: more texts of a missing value, comma-separated
  char sep;           // --sep: the field separator, or 0 to find it
  bool sorted;        // --sorted: each group's rows are together
  const char *where;  // --where: COL=VALUE[,VALUE...], or nullptr
  char decimal;       // --decimal: the decimal mark, '.' or ','
};

// The texts of a comma-separated option, in order: --by's columns, --na's
// texts (nullptr: none).
std::vector<std::string> list_of(const char *text);

// Options with nothing given: the plain command line from the default start.
options default_options();

// Parses the long options before the file names, stopping at the first
// argument that is not one or after "--".  Returns false after writing a
// usage error to standard error.
bool parse_options(int argc, char **argv, options *opt);

// Sets the a, b and c of *start from the optional start values argv[2..4],
// converted as atof does; missing ones keep what they were.  A value that
// is not a number as a whole gets a warning on standard error.
void set_start(int argc, char **argv, vertex *start);

// Writes the one-line report of a search.
void report(const qev_result &r);

// Fits each of the n files in turn from opt.start, on opt.jobs threads, and
// writes the table of opt.mode (mode_tsv or mode_fitted), with its header,
// to standard output, the same bytes for any number of threads.  A refused
// file gets its message on standard error and the others are still fitted.
// Returns true when every file was searched.
bool fit_files(const options &opt, int n, char **files);

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

// Table output to standard output, written in whole rows: put_* add to the
// row being built, end_row ends it, put_rows adds whole rows, flush_rows
// writes what is pending and returns false when standard output failed.
// One thread writes.
void put_text(const char *s);
void put_raw(const std::string &s);
void end_row();
void put_rows(const std::string &rows);  // each ends with a line end
bool flush_rows();

// Appends x to *row: %.17g, or NaN, Inf, -Inf.
void add_number(std::string *row, double x);

// Appends s[0..n) to out as a table field, quoted as CSV quotes when it
// holds a tab, a line end or a double quote.
void append_field(std::string *out, const char *s, std::size_t n);

// The columns after the key columns, tab-separated: of --tsv, or of
// --fitted.
std::string result_header(bool fitted);

// Appends the --tsv fields after the key, each after a tab, of a result
// (empty numbers for a refused table), the checks last as their words
// joined by commas.
void add_result(std::string *row, const qev_result &r);

// Appends the --fitted rows of records age[i], life[i], i < n, fitted as r
// says: the key (already a field, or several), age, observed, fitted and
// residual.
void add_fitted(std::string *rows, const std::string &key, const qev_result &r,
                const int *age, const double *life, int n);

}  // namespace qev

#endif  // QEV_CLI_H
