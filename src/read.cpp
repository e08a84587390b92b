// The data file reader: records "age value" split at whitespace, each field
// converted whole, every refusal and warning explained on standard error
// with the line it comes from.  Exit statuses are chosen in main.cpp.
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
  show_text(fl.text, fl.len, fl.too_long, out);
}

}  // namespace

void show_text(const char *text, int len, bool cut, char *out) {
  constexpr int shown = 32;
  const int n = len < shown ? len : shown;
  for (int i = 0; i < n; ++i) {
    const unsigned char ch = static_cast<unsigned char>(text[i]);
    if (ch == '"' || ch == '\\') {
      *out++ = '\\';
      *out++ = static_cast<char>(ch);
    } else if (ch < 0x20 || ch > 0x7e) {
      out += std::sprintf(out, "\\x%02x", ch);
    } else {
      *out++ = static_cast<char>(ch);
    }
  }
  if (len > shown || cut) out = std::strcpy(out, "...") + 3;
  *out = '\0';
}

namespace {

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

const char *const warn_end =
    "warning: age 105 is where the curve ends (u is infinite there), and the "
    "search can stop at its start: drop it";
const char *const warn_rise =
    "warning: the value rises from age %d to age %d: shares still alive "
    "never rise with age (is this q(x) or m(x)?)";
const char *const warn_again =
    "warning: age %d again, first on line %d: two tables in one file?";
const char *const warn_few =
    "warning: %d record%s, fewer than %d: the curve's three parameters fit so "
    "few records without meaning anything";

const char *const warn_age =
    "warning: age %d is outside 0..105, so every error is NaN: the curve is "
    "defined up to age 105; drop older ages and the open age group";
const char *const warn_value =
    "warning: value %s is not a share still alive between 0 and 1: divide "
    "l(x) by its radix (usually 100000)";

}  // namespace

void say(const char *name, int line, const char *what, std::string *out) {
  char where[32] = "";
  if (line > 0) std::snprintf(where, sizeof where, "line %d: ", line);
  if (out == nullptr) {
    std::fprintf(stderr, "qev: %s: %s%s\n", name, where, what);
    return;
  }
  *out += "qev: ";
  *out += name;
  *out += ": ";
  *out += where;
  *out += what;
  *out += '\n';
}

void check_data(const int *line, data_checks *w) {
  *w = data_checks{};
  constexpr int last_age = 105;
  int first_line[last_age + 1] = {};  // where each age 0..105 was first seen
  for (int i = 0; i < n_data; ++i) {
    const int x = age[i];
    if (x == last_age && w->end_line == 0) w->end_line = line[i];
    if (i > 0 && w->rise_line == 0 && x > age[i - 1] && life[i] > life[i - 1]) {
      w->rise_line = line[i];
      w->rise_from = age[i - 1];
      w->rise_to = x;
    }
    if (w->again_line != 0) continue;
    int first = 0;
    if (x >= 0 && x <= last_age) {
      first = first_line[x];
      if (first == 0) first_line[x] = line[i];
    } else {
      for (int j = 0; j < i && first == 0; ++j)
        if (age[j] == x) first = line[j];
    }
    if (first != 0) {
      w->again_line = line[i];
      w->again_age = x;
      w->again_first = first;
    }
  }
}

void warn_data(const char *name, const data_checks &w, std::string *out) {
  char what[400];
  if (w.end_line > 0) say(name, w.end_line, warn_end, out);
  if (w.rise_line > 0) {
    std::snprintf(what, sizeof what, warn_rise, w.rise_from, w.rise_to);
    say(name, w.rise_line, what, out);
  }
  if (w.again_line > 0) {
    std::snprintf(what, sizeof what, warn_again, w.again_age, w.again_first);
    say(name, w.again_line, what, out);
  }
  if (n_data > 0 && n_data < min_records) {
    std::snprintf(what, sizeof what, warn_few, n_data, n_data > 1 ? "s" : "",
                  min_records);
    say(name, 0, what, out);
  }
}

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
    rep->record_line[count] = a.line;
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
      // A CSV row read as one field: point to the mode that reads it.
      std::snprintf(what, sizeof what, "\"%s\" is not a whole-number age%s",
                    rep.field,
                    std::strchr(rep.field, ',') != nullptr
                        ? " (a CSV file? qev --tsv --age=COL --value=COL "
                          "reads one)"
                        : "");
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
  data_checks w;
  check_data(rep.record_line, &w);
  warn_data(name, w);
  prepare_data();
  return n_data;
}
