// Front end: the data file reader, the start values from the command line,
// and the one-line report.  The reader explains every refusal and warning on
// standard error; exit statuses are chosen in main.cpp.
#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qev.h"

namespace {

// A field as read, with the line it starts on.  NUL bytes are kept, so the
// length, not the terminator, says where it ends.
struct field {
  char text[max_field + 1];
  int len;
  int line;
  bool too_long;
};

// The whitespace of scanf patterns in the C locale: space, \t \n \v \f \r.
bool is_space(int ch) { return ch == ' ' || (ch >= '\t' && ch <= '\r'); }

// Reads the next whitespace-separated field.  Returns false at the end of
// the input or on a read error (the caller checks ferror).  The stream
// belongs to this thread alone, so it is read without locking.
bool next_field(std::FILE *fp, int *line, field *fl) {
  int ch;
  while ((ch = getc_unlocked(fp)) != EOF && is_space(ch))
    if (ch == '\n') ++*line;
  if (ch == EOF) return false;
  fl->line = *line;
  fl->len = 0;
  fl->too_long = false;
  do {
    if (fl->len == max_field) {
      fl->too_long = true;
      break;
    }
    fl->text[fl->len++] = static_cast<char>(ch);
  } while ((ch = getc_unlocked(fp)) != EOF && !is_space(ch));
  if (ch == '\n') ++*line;
  fl->text[fl->len] = '\0';
  return true;
}

// The field as messages quote it: at most 32 bytes, then "...", with
// quotes, backslashes and bytes outside printable ASCII escaped, so that
// binary input cannot reach the terminal.
void show(const field &fl, char *out) {
  constexpr int shown = 32;
  const int n = fl.len < shown ? fl.len : shown;
  for (int i = 0; i < n; ++i) {
    const unsigned char ch = static_cast<unsigned char>(fl.text[i]);
    if (ch == '"' || ch == '\\') {
      *out++ = '\\';
      *out++ = static_cast<char>(ch);
    } else if (ch < 0x20 || ch > 0x7e) {
      out += std::sprintf(out, "\\x%02x", ch);
    } else {
      *out++ = static_cast<char>(ch);
    }
  }
  if (fl.len > shown || fl.too_long) out = std::strcpy(out, "...") + 3;
  *out = '\0';
}

bool whole(const field &fl, const char *end) { return end == fl.text + fl.len; }

// A decimal integer with an optional sign and nothing else: no fraction,
// no range ("1-4"), no hex.  0 when it is, else the fault.
read_fault parse_age(const field &fl, int *x) {
  const char *digits = fl.text + (fl.text[0] == '+' || fl.text[0] == '-');
  if (*digits < '0' || *digits > '9') return read_bad_age;
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(fl.text, &end, 10);
  if (!whole(fl, end)) return read_bad_age;
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return read_big_age;
  *x = static_cast<int>(v);
  return read_ok;
}

// strtod converts as the reader always has (the C library's own conversion,
// so the bits are those of "%lf"); the whole field must be the number, which
// refuses "0.99x", "0.98e", "99%" and "1,5".
bool parse_value(const field &fl, double *y) {
  char *end = nullptr;
  *y = std::strtod(fl.text, &end);
  return whole(fl, end);
}

int refuse(read_report *rep, read_fault fault, const field &fl) {
  rep->fault = fault;
  rep->line = fl.line;
  show(fl, rep->field);
  return -1;
}

int read_error(read_report *rep) {
  rep->fault = read_failed;
  return -1;
}

const char *const warn_age =
    "warning: age %d is outside 0..105, so every error is NaN: the curve is "
    "defined up to age 105; drop older ages and the open age group";
const char *const warn_value =
    "warning: value %s is not a share still alive between 0 and 1: divide "
    "l(x) by its radix (usually 100000)";

void say(const char *name, int line, const char *what) {
  if (line > 0)
    std::fprintf(stderr, "qev: %s: line %d: %s\n", name, line, what);
  else
    std::fprintf(stderr, "qev: %s: %s\n", name, what);
}

}  // namespace

int read_data(std::FILE *fp, read_report *rep) {
  *rep = read_report{};
  int line = 1;
  int count = 0;
  field a;
  field v;
  while (next_field(fp, &line, &a)) {
    if (std::ferror(fp)) return read_error(rep);
    if (a.too_long) return refuse(rep, read_too_long, a);
    int x = 0;
    const read_fault bad_age = parse_age(a, &x);
    if (bad_age != read_ok) return refuse(rep, bad_age, a);
    const bool got_value = next_field(fp, &line, &v);
    if (std::ferror(fp)) return read_error(rep);
    if (!got_value) return refuse(rep, read_no_value, a);
    if (v.too_long) return refuse(rep, read_too_long, v);
    double y = 0.0;
    if (!parse_value(v, &y)) return refuse(rep, read_bad_value, v);
    // A well-formed record past the room there is.
    if (count == max_data) return refuse(rep, read_too_many, a);
    age[count] = x;
    life[count] = y;
    ++count;
    if ((x < 0 || x > 105) && rep->age_line == 0) {
      rep->age_line = a.line;
      rep->first_age = x;
    }
    if (!(y >= 0.0 && y <= 1.0) && rep->value_line == 0) {
      rep->value_line = v.line;
      show(v, rep->first_value);
    }
  }
  if (std::ferror(fp)) return read_error(rep);
  return count;
}

int load_data(const char *name) {
  const bool from_stdin = std::strcmp(name, "-") == 0;
  if (from_stdin) name = "standard input";
  std::FILE *fp = from_stdin ? stdin : std::fopen(name, "rt");
  if (fp == nullptr) {
    say(name, 0, std::strerror(errno));
    return -1;
  }
  read_report rep;
  const int got = read_data(fp, &rep);
  const int read_errno = errno;
  if (!from_stdin) std::fclose(fp);

  char what[400];
  switch (rep.fault) {
    case read_ok:
      break;
    case read_failed:
      say(name, 0, std::strerror(read_errno));
      return -1;
    case read_bad_age:
      std::snprintf(what, sizeof what, "\"%s\" is not a whole-number age",
                    rep.field);
      break;
    case read_big_age:
      std::snprintf(what, sizeof what, "age %s is out of range", rep.field);
      break;
    case read_no_value:
      std::snprintf(what, sizeof what, "age %s has no value", rep.field);
      break;
    case read_bad_value:
      std::snprintf(what, sizeof what, "value \"%s\" is not a number",
                    rep.field);
      break;
    case read_too_long:
      std::snprintf(what, sizeof what, "\"%s\" is longer than %d characters",
                    rep.field, max_field);
      break;
    case read_too_many:
      std::snprintf(what, sizeof what, "more than %d records", max_data);
      break;
  }
  if (got < 0) {
    say(name, rep.line, what);
    return -1;
  }

  if (rep.age_line > 0) {
    std::snprintf(what, sizeof what, warn_age, rep.first_age);
    say(name, rep.age_line, what);
  }
  if (rep.value_line > 0) {
    std::snprintf(what, sizeof what, warn_value, rep.first_value);
    say(name, rep.value_line, what);
  }
  if (got == 0) say(name, 0, "warning: no records, so the RMSE is NaN");

  n_data = got;
  prepare_data();
  return n_data;
}

void set_start(int argc, char **argv) {
  if (argc > 2) _f_parms.a = std::atof(argv[2]);
  if (argc > 3) _f_parms.b = std::atof(argv[3]);
  if (argc > 4) _f_parms.c = std::atof(argv[4]);
}

void report(int iterations) {
  if (iterations == max_iterations) {
    std::printf("not convergent within %ld iterations\n",
                static_cast<long>(iterations));
  } else {
    std::printf("a= %lf, b= %lf, c= %lf, RMSE=%e\n", ivec[0].a, ivec[0].b,
                ivec[0].c, ivec[0].value);
  }
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

// Numbers in the tables: %.17g reads back to the same double; NaN and the
// infinities are spelled as R writes them, which pandas and strtod read too.
void put_number(double x) {
  if (std::isnan(x))
    std::fputs("NaN", stdout);
  else if (std::isinf(x))
    std::fputs(x > 0 ? "Inf" : "-Inf", stdout);
  else
    std::printf("%.17g", x);
}

// A file name as a table field: tab, line ends and backslash escaped, so that
// every row stays one line of the same number of fields.
void put_name(const char *name) {
  for (const char *p = name; *p != '\0'; ++p) {
    switch (*p) {
      case '\t':
        std::fputs("\\t", stdout);
        break;
      case '\n':
        std::fputs("\\n", stdout);
        break;
      case '\r':
        std::fputs("\\r", stdout);
        break;
      case '\\':
        std::fputs("\\\\", stdout);
        break;
      default:
        std::putchar(*p);
    }
  }
}

void tsv_row(const char *name, int iterations) {
  put_name(name);
  const double fields[] = {ivec[0].a, ivec[0].b, ivec[0].c, ivec[0].value};
  for (double x : fields) {
    std::putchar('\t');
    put_number(x);
  }
  std::printf("\t%d\t%s\n", iterations,
              iterations == max_iterations ? "not-convergent" : "converged");
}

void fitted_rows(const char *name) {
  for (int i = 0; i < n_data; ++i) {
    const double fitted = curve_at(ivec[0], i);
    put_name(name);
    std::printf("\t%d\t", age[i]);
    put_number(life[i]);
    std::putchar('\t');
    put_number(fitted);
    std::putchar('\t');
    put_number(life[i] - fitted);
    std::putchar('\n');
  }
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

bool fit_files(run_mode mode, int n, char **files) {
  std::fputs(mode == mode_tsv ? "file\ta\tb\tc\trmse\titerations\tstatus\n"
                              : "file\tage\tobserved\tfitted\tresidual\n",
             stdout);
  bool all = true;
  for (int k = 0; k < n; ++k) {
    if (load_data(files[k]) < 0) {
      all = false;
      if (mode == mode_tsv) {
        put_name(files[k]);
        std::fputs("\t\t\t\t\t\trefused\n", stdout);
      }
      continue;
    }
    const int iterations = downhills();
    if (mode == mode_tsv)
      tsv_row(files[k], iterations);
    else
      fitted_rows(files[k]);
    if (std::ferror(stdout)) return false;
  }
  return all;
}
