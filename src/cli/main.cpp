// qev: fit a three-parameter life-table curve to a data file.
//
//   qev DATAFILE [a [b [c]]]
//   qev --tsv | --fitted [--start=A,B,C] [--jobs=N] [--] FILE...
//   qev -h | --help | --version
//
// Reads "age value" records (DATAFILE "-" is standard input), runs the
// downhill simplex search from the given or default start values and writes
// one line to standard output, or, for many files, one table.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli.h"

using namespace qev;

namespace {

// Exit statuses.  A search ends with status 1 whether or not it converged;
// scripts tell the two apart by the report line.
enum status {
  status_usage = 0,   // usage on standard error, or help or version
  status_fitted = 1,  // a search ran and its report is on standard output
  status_error = 2,   // unreadable or refused data file, usage error, or
                      // failed output
};

#ifndef QEV_VERSION
#define QEV_VERSION "unknown"
#endif

const char help_text[] =
    "Usage: qev DATAFILE [a [b [c]]]\n"
    "       qev --tsv|--fitted [--start=A,B,C] [--restarts=N] [--jobs=N]\n"
    "           [--] FILE...\n"
    "       qev --tsv|--fitted --age=COL --value=COL [--by=COL[,COL...]]\n"
    "           [--radix=R] [--jobs=N] [--require-open] [--start=A,B,C]\n"
    "           [--restarts=N] [--na=TEXT,...] [--sep=C] [--sorted]\n"
    "           [--where=COL=VALUE,...] [--decimal=,] [--] FILE...\n"
    "       qev -h | --help | --version\n"
    "\n"
    "Fit the life-table curve\n"
    "  life(x) = 1 / (a u^3 + b (e^u - 1)^0.5 + c (1 - e^(-2x)) + 1),"
    "  u = x / (105 - x)\n"
    "to the records of DATAFILE, minimising the RMS error with a downhill\n"
    "simplex search.\n"
    "\n"
    "  DATAFILE   records of an integer age and a value (the share still\n"
    "             alive), separated by whitespace; at most 200 records;\n"
    "             - reads standard input\n"
    "  a b c      start values of the search (default 0.03 0.05 0.01)\n"
    "  --tsv      fit every FILE and write a tab-separated table with a\n"
    "             header: file a b c rmse iterations status records e0_fit\n"
    "             e0_table se_a se_b se_c se_e0_fit checks, full precision;\n"
    "             status is converged, not-convergent, no-fit,\n"
    "             too-few-records or refused; checks lists what the data\n"
    "             shows that a life table should not\n"
    "  --fitted   write the table file age observed fitted residual, one row\n"
    "             per record of every FILE\n"
    "  --start=A,B,C  start values for --tsv and --fitted (one to three)\n"
    "  --restarts=N   start a search that ran 10000 iterations again from\n"
    "             its best vertex, up to N times (default 0)\n"
    "  --age=COL --value=COL  every FILE is a long table (TSV, CSV or\n"
    "             space-separated, with a header naming the columns): rows\n"
    "             with the same --by values are one table; key columns come\n"
    "             after file in the output\n"
    "  --by=COL,...   the key columns (default: the whole file is one table)\n"
    "  --radix=R  divide every value by R (l(x) to shares: 100000)\n"
    "  --jobs=N   fit on N threads (default 0: every core); same output\n"
    "  --require-open  refuse a table whose last row is not an open age\n"
    "             group (N+), as in a file cut short\n"
    "  --na=TEXT,...  more texts of a missing value, beside NA, NaN, . and\n"
    "             an empty field; rows with one are left out\n"
    "  --sep=C    the field separator (default: tab, comma or semicolon,\n"
    "             as the header has it, else runs of spaces)\n"
    "  --sorted   each table's rows are together: write each row as soon\n"
    "             as it is fitted, in bounded memory\n"
    "  --where=COL=VALUE,...  keep only the rows whose COL holds one of the\n"
    "             values (spaces around it aside); the others are counted\n"
    "  --decimal=,  values have a decimal comma (0,98765), with semicolons\n"
    "             or tabs between the fields\n"
    "  --         end of the options: a file name may then start with -\n"
    "  -h, --help show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Options come before the file names, and only when the first argument\n"
    "starts with --; -h counts only as the sole argument.  DATAFILE writes\n"
    "one line to standard output, either\n"
    "  a= A, b= B, c= C, RMSE=E\n"
    "or\n"
    "  not convergent within 10000 iterations\n"
    "\n"
    "Exit status: 0 help, version or usage; 1 every search ran (converged\n"
    "or not); 2 a data file could not be read or was refused, a usage\n"
    "error, or output failed.\n";

int fail(const char *name, const char *reason) {
  std::fprintf(stderr, "qev: %s: %s\n", name, reason);
  return status_error;
}

// Output that could not be written must not pass for output that was.
int finish(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    return fail("standard output", std::strerror(errno));
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc <= 1) {
    std::fputs("A data file name must be given.\n", stderr);
    std::fputs("Usage: qev datafile.dat\n\n The result is obtained in stdout\n",
               stderr);
    return status_usage;
  }

  // A first argument starting with "--" begins the long options; any other
  // command line means what it always meant, "-h" alone included.
  options opt = default_options();
  if (std::strncmp(argv[1], "--", 2) == 0 && !parse_options(argc, argv, &opt))
    return status_error;
  if (opt.mode == mode_help || (argc == 2 && std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(help_text, stdout);
    return finish(status_usage);
  }
  if (opt.mode == mode_version) {
    std::puts("qev " QEV_VERSION);
    return finish(status_usage);
  }
  if (opt.mode == mode_tsv || opt.mode == mode_fitted) {
    const int n = argc - opt.first_file;
    char **files = argv + opt.first_file;
    const bool all = opt.age_col != nullptr ? fit_long_files(opt, n, files)
                                            : fit_files(opt, n, files);
    return finish(all ? status_fitted : status_error);
  }

  // The plain command line, DATAFILE [a [b [c]]], after any "--".
  argc -= opt.first_file - 1;
  argv += opt.first_file - 1;
  const char *name =
      std::strcmp(argv[1], "-") == 0 ? "standard input" : argv[1];
  context ctx;
  init_context(&ctx);
  read_report rep;
  if (load_data(argv[1], &ctx, &rep, nullptr) < 0) return status_error;
  set_start(argc, argv, &opt.start);
  qev_result r;
  fit_data(&ctx, {opt.start, false, false, 0}, &r);
  std::string notes;
  say_checks(name, r, ctx, rep, &notes);
  std::fputs(notes.c_str(), stderr);
  report(r);
  return finish(status_fitted);
}
