// The command line's long options, which choose a mode that fits many
// files, and the start values of the plain command line.
#include <getopt.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qev.h"

void set_start(int argc, char **argv) {
  if (argc > 2) _f_parms.a = std::atof(argv[2]);
  if (argc > 3) _f_parms.b = std::atof(argv[3]);
  if (argc > 4) _f_parms.c = std::atof(argv[4]);
}

namespace {

bool usage_error(const char *what, const char *arg) {
  std::fprintf(stderr, "qev: %s%s\nTry 'qev --help' for more information.\n",
               what, arg);
  return false;
}

// "A[,B[,C]]": one to three finite numbers, each whole, as strtod reads them.
bool parse_start(const char *text) {
  double *const parm[] = {&_f_parms.a, &_f_parms.b, &_f_parms.c};
  const char *p = text;
  for (double *x : parm) {
    char *end = nullptr;
    const double v = std::strtod(p, &end);
    if (end == p || is_space(*p) || !std::isfinite(v) ||
        (*end != ',' && *end != '\0'))
      return false;
    *x = v;
    if (*end == '\0') return true;
    p = end + 1;
  }
  return false;  // more than three values
}

}  // namespace

bool parse_options(int argc, char **argv, options *opt) {
  static const option longopts[] = {
      {"tsv", no_argument, nullptr, mode_tsv},
      {"fitted", no_argument, nullptr, mode_fitted},
      {"help", no_argument, nullptr, mode_help},
      {"version", no_argument, nullptr, mode_version},
      {"start", required_argument, nullptr, 's'},
      {nullptr, 0, nullptr, 0},
  };
  opt->mode = mode_plain;
  bool start = false;
  opterr = 0;  // the messages below name the option as it was given
  optind = 1;
  // "+": stop at the first file name, so that what follows keeps its meaning.
  for (int c; (c = getopt_long(argc, argv, "+:", longopts, nullptr)) != -1;) {
    if (c == 's') {
      if (!parse_start(optarg))
        return usage_error("--start takes one to three numbers A,B,C: ",
                           argv[optind - 1]);
      start = true;
    } else if (c == '?' || c == ':') {
      const char *arg = argv[optind - 1];
      return usage_error(c == ':'                ? "option needs a value: "
                         : std::strchr(arg, '=') ? "option takes no value: "
                                                 : "unknown option: ",
                         arg);
    } else if (opt->mode != mode_plain) {
      return usage_error(
          "only one of --tsv, --fitted, --help and --version, "
          "not also ",
          argv[optind - 1]);
    } else {
      opt->mode = static_cast<run_mode>(c);
    }
  }
  opt->first_file = optind;
  const bool table = opt->mode == mode_tsv || opt->mode == mode_fitted;
  if (start && !table)
    return usage_error("--start goes with --tsv or --fitted", "");
  if (table && optind == argc) return usage_error("no data file named", "");
  if (opt->mode == mode_plain && optind == argc)
    return usage_error("no data file named after --", "");
  return true;
}
