// The data file reader: records "age value" split at whitespace, each field
// converted whole, every refusal worded with the line it comes from.  Exit
// statuses are chosen in main.cpp.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.h"

namespace qev {

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
  words::show_text(fl.text, fl.len, fl.too_long, out);
}

bool whole(const field &fl, const char *end) { return end == fl.text + fl.len; }

// A decimal integer with an optional sign and nothing else: no fraction,
// no range ("1-4"), no hex.  0 when it is, else the fault.
read_fault parse_age(const field &fl, int *x) {
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

}  // namespace

int read_data(context *ctx, std::FILE *fp, read_report *rep) {
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
    // A well-formed record past the room there is: the rest of the file
    // is counted, so that the message can say how long the table is.
    if (count == max_data) {
      long fields = 0;
      while (next_field(fp, &line, &v)) ++fields;
      rep->records = max_data + 1 + (fields + 1) / 2;
      return refuse(rep, read_too_many, a);
    }
    ctx->age[count] = x;
    ctx->life[count] = y;
    rep->record_line[count] = a.line;
    ++count;
    if (!(y >= 0.0 && y <= 1.0) && rep->first_value_line == 0) {
      rep->first_value_line = v.line;
      show(v, rep->first_value);
    }
  }
  if (std::ferror(fp)) return read_error(rep);
  return count;
}

void say_checks(const char *name, const qev_result &r, const context &ctx,
                const read_report &rep, std::string *notes) {
  say_all(
      name,
      words::check_messages(r,
                            {ctx.age, ctx.life, rep.record_line, true,
                             rep.first_value, rep.first_value_line, nullptr},
                            cli_voice),
      notes);
}

int load_data(const char *name, context *ctx, read_report *rep,
              std::string *notes) {
  const char *path = name;
  if (std::strcmp(name, "-") == 0) name = "standard input";
  std::string why;
  std::FILE *fp = open_input(path, &why);
  if (fp == nullptr) {
    say(name, 0, why.c_str(), notes);
    return -1;
  }
  const int got = read_data(ctx, fp, rep);
  const int read_errno = errno;
  // A first field that is a word: the rest of its line tells a header from
  // the HMD's title line.
  char rest[256] = "";
  const bool first_field = rep->record_line[0] == 0;
  if (rep->fault == read_bad_age && first_field &&
      std::isalpha(static_cast<unsigned char>(rep->field[0])) &&
      std::fgets(rest, sizeof rest, fp) == nullptr)
    rest[0] = '\0';
  if (fp != stdin) std::fclose(fp);

  char what[400];
  switch (rep->fault) {
    case read_ok:
      break;
    case read_failed:
      say(name, 0, input_error(read_errno).c_str(), notes);
      return -1;
    case read_bad_age:
      // A CSV row read as one field: point to the mode that reads it.
      std::snprintf(
          what, sizeof what, "\"%s\" is not a whole-number age%s", rep->field,
          std::strchr(rep->field, ',') != nullptr
              ? " (a CSV file? qev --tsv --age=COL --value=COL "
                "reads one)"
          : std::strstr(rest, "Life tables") != nullptr ||
                  std::strstr(rest, "Last modified") != nullptr
              ? " (a life table of the Human Mortality Database? "
                "qev-hmd FILE fits each of its years)"
          : first_field &&
                  std::isalpha(static_cast<unsigned char>(rep->field[0]))
              ? " (a header line? qev --tsv --age=COL --value=COL "
                "reads a table with one)"
              : "");
      break;
    case read_big_age:
      std::snprintf(what, sizeof what, "age %s is out of range", rep->field);
      break;
    case read_no_value:
      std::snprintf(what, sizeof what, "age %s has no value", rep->field);
      break;
    case read_bad_value:
      std::snprintf(what, sizeof what, "value \"%s\" is not a number",
                    rep->field);
      break;
    case read_too_long:
      std::snprintf(what, sizeof what, "\"%s\" is longer than %d characters",
                    rep->field, max_field);
      break;
    case read_too_many:
      std::snprintf(what, sizeof what, "%s",
                    words::too_many(rep->records, nullptr).c_str());
      break;
  }
  if (got < 0) {
    say(name, rep->line, what, notes);
    return -1;
  }
  ctx->n_data = got;
  prepare_data(ctx);
  return got;
}

}  // namespace qev
