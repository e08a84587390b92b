// The command line's long options, which choose a mode that fits many
// files, and the start values of the plain command line.  Everything they
// say goes into the options; nothing else is set.
#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.h"

namespace qev {

void set_start(int argc, char **argv, vertex *start) {
  double *const parm[] = {&start->a, &start->b, &start->c};
  for (int k = 2; k < argc && k < 5; ++k) {
    const char *text = argv[k];
    *parm[k - 2] = std::atof(text);
    char *end = nullptr;
    std::strtod(text, &end);
    if (end != text && *end == '\0') continue;
    // atof's reading is kept, so that the report stays what it was; a
    // mistyped option or file name among the values is the usual cause.
    char shown[shown_size];
    words::show_text(text, static_cast<int>(std::strlen(text)), false, shown);
    std::fprintf(stderr,
                 "qev: start value \"%s\" is not a number: the search starts "
                 "from %g there\n",
                 shown, *parm[k - 2]);
  }
}

std::vector<std::string> list_of(const char *text) {
  std::vector<std::string> items;
  for (const char *b = text; b != nullptr && *b != '\0';) {
    const char *comma = std::strchr(b, ',');
    const std::size_t len =
        comma ? static_cast<std::size_t>(comma - b) : std::strlen(b);
    items.emplace_back(b, len);
    b += len + (comma != nullptr);
  }
  return items;
}

options default_options() {
  options opt{};
  opt.mode = mode_plain;
  opt.first_file = 1;
  opt.start = default_start;
  opt.decimal = '.';
  return opt;
}

namespace {

bool usage_error(const char *what, const char *arg) {
  std::fprintf(stderr, "qev: %s%s\nTry 'qev --help' for more information.\n",
               what, arg);
  return false;
}

// "--NAME takes RULE: ARG", the rule as every client words it.
bool argument_error(const char *name, int which, const char *arg) {
  const std::string what =
      std::string(name) + " takes " + words::argument(which) + ": ";
  return usage_error(what.c_str(), arg);
}

// "A[,B[,C]]": one to three finite numbers, each whole, as strtod reads them.
bool parse_start(const char *text, vertex *start) {
  double *const parm[] = {&start->a, &start->b, &start->c};
  const char *p = text;
  for (double *x : parm) {
    char *end = nullptr;
    const double v = std::strtod(p, &end);
    if (end == p || is_space(*p) || !qev_argument_ok(QEV_ARG_START, v) ||
        (*end != ',' && *end != '\0'))
      return false;
    *x = v;
    if (*end == '\0') return true;
    p = end + 1;
  }
  return false;  // more than three values
}

// A whole, finite, positive number.
bool parse_radix(const char *text, double *r) {
  char *end = nullptr;
  *r = std::strtod(text, &end);
  return end != text && !is_space(*text) && *end == '\0' &&
         qev_argument_ok(QEV_ARG_RADIX, *r);
}

// A whole number of digits that argument `which` takes: --jobs and
// --restarts.
bool parse_count(const char *text, int which, int *n) {
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || errno == ERANGE ||
      !qev_argument_ok(which, static_cast<double>(v)))
    return false;
  *n = static_cast<int>(v);
  return true;
}

// Texts separated by single commas, none empty: column names and --na.
bool parse_names(const char *text) {
  if (*text == '\0' || *text == ',') return false;
  for (const char *p = text; *p != '\0'; ++p)
    if (*p == ',' && (p[1] == ',' || p[1] == '\0')) return false;
  return true;
}

// The first --by name that is also a column of the output table, or "":
// the table would have two columns of one name.
std::string result_column(const options &opt) {
  return words::clashing_key(list_of(opt.by), opt.mode == mode_fitted, true);
}

}  // namespace

bool parse_options(int argc, char **argv, options *opt) {
  static const option longopts[] = {
      {"tsv", no_argument, nullptr, mode_tsv},
      {"fitted", no_argument, nullptr, mode_fitted},
      {"help", no_argument, nullptr, mode_help},
      {"version", no_argument, nullptr, mode_version},
      {"start", required_argument, nullptr, 's'},
      {"age", required_argument, nullptr, 'a'},
      {"value", required_argument, nullptr, 'v'},
      {"by", required_argument, nullptr, 'b'},
      {"radix", required_argument, nullptr, 'r'},
      {"jobs", required_argument, nullptr, 'j'},
      {"require-open", no_argument, nullptr, 'o'},
      {"restarts", required_argument, nullptr, 'R'},
      {"na", required_argument, nullptr, 'N'},
      {"sep", required_argument, nullptr, 'S'},
      {"sorted", no_argument, nullptr, 'O'},
      {"where", required_argument, nullptr, 'W'},
      {"decimal", required_argument, nullptr, 'D'},
      {},
  };
  *opt = default_options();
  bool long_only = false;  // an option that needs --age and --value
  bool start = false;
  bool jobs = false;
  bool restarts = false;
  optind = 1;
  // "+": stop at the first file name, so that what follows keeps its meaning;
  // ":": getopt stays quiet, and the messages below name the option as given.
  for (int c; (c = getopt_long(argc, argv, "+:", longopts, nullptr)) != -1;) {
    if (c == 's') {
      if (!parse_start(optarg, &opt->start))
        return usage_error("--start takes one to three numbers A,B,C: ",
                           argv[optind - 1]);
      start = true;
    } else if (c == 'a' || c == 'v') {
      if (*optarg == '\0')
        return usage_error("a column needs a name: ", argv[optind - 1]);
      (c == 'a' ? opt->age_col : opt->value_col) = optarg;
    } else if (c == 'b') {
      if (!parse_names(optarg))
        return usage_error("--by takes column names NAME[,NAME...]: ",
                           argv[optind - 1]);
      opt->by = optarg;
      long_only = true;
    } else if (c == 'r') {
      if (!parse_radix(optarg, &opt->radix))
        return argument_error("--radix", QEV_ARG_RADIX, argv[optind - 1]);
      opt->radix_text = optarg;
      long_only = true;
    } else if (c == 'j') {
      if (!parse_count(optarg, QEV_ARG_JOBS, &opt->jobs))
        return argument_error("--jobs", QEV_ARG_JOBS, argv[optind - 1]);
      jobs = true;
    } else if (c == 'R') {
      if (!parse_count(optarg, QEV_ARG_RESTARTS, &opt->restarts))
        return argument_error("--restarts", QEV_ARG_RESTARTS, argv[optind - 1]);
      restarts = true;
    } else if (c == 'o') {
      opt->require_open = true;
      long_only = true;
    } else if (c == 'N') {
      if (!parse_names(optarg))
        return usage_error("--na takes texts TEXT[,TEXT...]: ",
                           argv[optind - 1]);
      opt->na = optarg;
      long_only = true;
    } else if (c == 'S') {
      const char ch = optarg[0];
      if (ch == '\0' || optarg[1] != '\0' || ch == '"' || ch == '\n' ||
          ch == '\r')
        return usage_error("--sep takes one character: ", argv[optind - 1]);
      opt->sep = ch;
      long_only = true;
    } else if (c == 'O') {
      opt->sorted = true;
      long_only = true;
    } else if (c == 'W') {
      const char *eq = std::strchr(optarg, '=');
      if (eq == nullptr || eq == optarg || !parse_names(eq + 1))
        return usage_error("--where takes COL=VALUE[,VALUE...]: ",
                           argv[optind - 1]);
      opt->where = optarg;
      long_only = true;
    } else if (c == 'D') {
      if ((optarg[0] != '.' && optarg[0] != ',') || optarg[1] != '\0')
        return usage_error("--decimal takes the decimal mark, . or ,: ",
                           argv[optind - 1]);
      opt->decimal = optarg[0];
      long_only = true;
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
  if (jobs && !table)
    return usage_error("--jobs goes with --tsv or --fitted", "");
  if (restarts && !table)
    return usage_error("--restarts goes with --tsv or --fitted", "");
  const bool long_table = opt->age_col != nullptr || opt->value_col != nullptr;
  if (long_table && !table)
    return usage_error("--age and --value go with --tsv or --fitted", "");
  if (long_table && (opt->age_col == nullptr || opt->value_col == nullptr))
    return usage_error("a long table needs both --age and --value", "");
  if (long_only && !long_table)
    return usage_error(
        "--by, --radix, --require-open, --na, --sep, --sorted, --where and "
        "--decimal go with --age and --value",
        "");
  const std::string clash = result_column(*opt);
  if (!clash.empty())
    return usage_error(
        "a --by column may not have the name of a column qev "
        "writes: ",
        clash.c_str());
  if (table && optind == argc) return usage_error("no data file named", "");
  if (opt->mode == mode_plain && optind == argc)
    return usage_error("no data file named after --", "");
  return true;
}

}  // namespace qev
