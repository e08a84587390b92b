// The words of the data checks and the quoting of fields in messages, every
// kind in one place.  Text only, into strings: the language packages build
// their warnings with it too, and it writes to no stream.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli.h"

namespace qev {

void add_message(const char *name, int line, const char *what,
                 std::string *out) {
  char where[32] = "";
  if (line > 0) std::snprintf(where, sizeof where, "line %d: ", line);
  *out += "qev: ";
  *out += name;
  *out += ": ";
  *out += where;
  *out += what;
  *out += '\n';
}

namespace {

// The length of the valid UTF-8 sequence of two bytes or more that starts
// text[i], or 0: no overlong forms, surrogates or code points past U+10FFFF,
// and none of the C1 controls, which a terminal may act on.
int utf8_length(const unsigned char *t, int i, int len) {
  const unsigned char c = t[i];
  int n = 0;
  unsigned char lo = 0x80, hi = 0xbf;  // the range of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2;
    if (c == 0xc2) lo = 0xa0;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3;
    if (c == 0xe0) lo = 0xa0;
    if (c == 0xed) hi = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4;
    if (c == 0xf0) lo = 0x90;
    if (c == 0xf4) hi = 0x8f;
  } else {
    return 0;
  }
  if (i + n > len || t[i + 1] < lo || t[i + 1] > hi) return 0;
  for (int k = 2; k < n; ++k)
    if (t[i + k] < 0x80 || t[i + k] > 0xbf) return 0;
  return n;
}

}  // namespace

// Quotes and backslashes are escaped, and so is every byte that is not
// printable ASCII or part of printable UTF-8, so that binary input cannot
// reach the terminal.  A longer text is cut at a character's start.
void show_text(const char *text, int len, bool cut, char *out) {
  constexpr int shown = 32;
  const auto *t = reinterpret_cast<const unsigned char *>(text);
  int i = 0;
  while (i < len) {
    const unsigned char ch = t[i];
    const int n = ch < 0x80 ? 1 : utf8_length(t, i, len);
    if (i + (n > 0 ? n : 1) > shown) break;
    if (ch == '"' || ch == '\\') {
      *out++ = '\\';
      *out++ = static_cast<char>(ch);
    } else if (n == 0 || ch < 0x20 || ch == 0x7f) {
      out += std::snprintf(out, 5, "\\x%02x", ch);
    } else {
      std::memcpy(out, text + i, static_cast<std::size_t>(n));
      out += n;
      i += n;
      continue;
    }
    ++i;
  }
  if (i < len || cut) out = std::strcpy(out, "...") + 3;
  *out = '\0';
}

namespace {

const char *const warn_age =
    "warning: age %d is outside 0..105, so every error is NaN: the curve is "
    "defined up to age 105; drop older ages and the open age group";
const char *const warn_value =
    "warning: value %s is not a share still alive between 0 and 1: divide "
    "l(x) by its radix (usually 100000)";
const char *const warn_share =
    "warning: value %.17g is not a share still alive between 0 and 1: give "
    "--radix=100000 (or l(x)'s radix)";
const char *const warn_share_radix =
    "warning: value %.17g is not a share still alive between 0 and 1 with "
    "--radix=%s: is that the table's radix?";
const char *const warn_l0 =
    "warning: the value at age 0 is %g, not 1: is the radix right?";
const char *const warn_l0_radix =
    "warning: the value at age 0 is %g, not 1, with --radix=%s: is that the "
    "table's radix?";
const char *const warn_none = "warning: no records, so the RMSE is NaN";
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
const char *const refuse_again = "age %d again, first on line %d";

// The age of the record before record i in age order, where i is one that
// rises: the oldest age below its own.
int age_before(const check_source &src, int n, int i) {
  int before = src.age[i];
  bool found = false;
  for (int j = 0; j < n; ++j)
    if (src.age[j] < src.age[i] && (!found || src.age[j] > before)) {
      before = src.age[j];
      found = true;
    }
  return before;
}

}  // namespace

std::string too_many_words(long records, const char *by) {
  std::string what = "more than " + std::to_string(max_data) +
                     " records: the table has " + std::to_string(records);
  if (by != nullptr) what += std::string("; is a ") + by + " column missing?";
  return what;
}

std::string more_groups_words(long groups) {
  return "and " + std::to_string(groups) +
         " more groups with data checks: the checks column names them";
}

std::string big_age_words(const char *shown) {
  return std::string("age ") + shown + " is out of range";
}

std::string text_value_words(const char *column) {
  char shown[shown_size];
  show_text(column, static_cast<int>(std::strlen(column)), false, shown);
  return std::string("the value column \"") + shown +
         "\" holds text, not numbers";
}

std::string open_words(const char *name, int err) {
  std::string what = std::strerror(err);
  // An option after the first file name is taken for a file.
  if (err == ENOENT && std::strncmp(name, "--", 2) == 0)
    what += " (options go before the file names)";
  return what;
}

const char *argument_words(int which) {
  switch (which) {
    case QEV_ARG_START:
      return "three finite numbers a, b and c";
    case QEV_ARG_RADIX:
      return "a positive number";
    case QEV_ARG_JOBS:
      return "a number of threads, 0 to 1024 (0: every core)";
    case QEV_ARG_RESTARTS:
      return "a number, 0 to 1000";
  }
  return "";
}

void warn_checks(const char *name, const qev_result &r, const check_source &src,
                 std::string *out) {
  char what[400];
  auto holds = [&r](int k) { return (r.checks & QEV_CHECK_BIT(k)) != 0; };
  auto at = [&r](int k) { return r.check_record[k]; };
  const bool data_file = src.how == words_data_file;
  if (r.status == QEV_REFUSED) {
    if (r.records > max_data) {
      add_message(name, 0, too_many_words(r.records, src.by).c_str(), out);
    } else if (holds(QEV_CHECK_AGE_AGAIN)) {
      const int i = at(QEV_CHECK_AGE_AGAIN);
      std::snprintf(what, sizeof what, refuse_again, src.age[i],
                    src.line[r.age_again_first]);
      add_message(name, src.line[i], what, out);
    }
    return;
  }
  if (data_file && holds(QEV_CHECK_AGE_RANGE)) {
    const int i = at(QEV_CHECK_AGE_RANGE);
    std::snprintf(what, sizeof what, warn_age, src.age[i]);
    add_message(name, src.line[i], what, out);
  }
  if (holds(QEV_CHECK_NOT_SHARE)) {
    const int i = at(QEV_CHECK_NOT_SHARE);
    if (data_file) {
      std::snprintf(what, sizeof what, warn_value, src.value_text);
      add_message(name, src.value_line, what, out);
    } else if (src.radix != nullptr) {
      std::snprintf(what, sizeof what, warn_share_radix, src.life[i],
                    src.radix);
      add_message(name, src.line[i], what, out);
    } else {
      std::snprintf(what, sizeof what, warn_share, src.life[i]);
      add_message(name, src.line[i], what, out);
    }
  }
  if (holds(QEV_CHECK_L0)) {
    const int i = at(QEV_CHECK_L0);
    if (src.radix != nullptr)
      std::snprintf(what, sizeof what, warn_l0_radix, src.life[i], src.radix);
    else
      std::snprintf(what, sizeof what, warn_l0, src.life[i]);
    add_message(name, src.line[i], what, out);
  }
  if (data_file && holds(QEV_CHECK_NO_RECORDS))
    add_message(name, 0, warn_none, out);
  if (holds(QEV_CHECK_AGE_105))
    add_message(name, src.line[at(QEV_CHECK_AGE_105)], warn_end, out);
  if (holds(QEV_CHECK_RISES)) {
    const int i = at(QEV_CHECK_RISES);
    std::snprintf(what, sizeof what, warn_rise, age_before(src, r.records, i),
                  src.age[i]);
    add_message(name, src.line[i], what, out);
  }
  if (holds(QEV_CHECK_AGE_AGAIN)) {
    const int i = at(QEV_CHECK_AGE_AGAIN);
    std::snprintf(what, sizeof what, warn_again, src.age[i],
                  src.line[r.age_again_first]);
    add_message(name, src.line[i], what, out);
  }
  if (holds(QEV_CHECK_FEW_RECORDS)) {
    std::snprintf(what, sizeof what, warn_few, r.records,
                  r.records > 1 ? "s" : "", min_records);
    add_message(name, 0, what, out);
  }
}

std::string check_words(const qev_result &r) {
  std::string words;
  for (int k = 0; k < QEV_N_CHECKS; ++k) {
    if ((r.checks & QEV_CHECK_BIT(k)) == 0) continue;
    if (!words.empty()) words += ',';
    words += qev_check_name(k);
  }
  return words;
}

std::string group_messages(const qev_result &r, const qev_rows &rows,
                           const int *row, double radix, const char *radix_text,
                           const char *by) {
  // Records past max_data + 1 are never named: such a group is refused.
  std::vector<int> age, line;
  std::vector<double> life;
  for (long i = 0; i < rows.n && static_cast<int>(age.size()) <= max_data;
       ++i) {
    const int kind = rows.kind != nullptr ? rows.kind[i] : QEV_AGE_SINGLE;
    const bool missing = rows.missing != nullptr && rows.missing[i] != 0;
    if (qev_drop_reason(kind, rows.age[i], missing) != QEV_KEEP) continue;
    age.push_back(rows.age[i]);
    life.push_back(radix > 0 ? rows.value[i] / radix : rows.value[i]);
    line.push_back(row[i]);
  }
  std::string out;
  warn_checks("", r,
              {age.data(), life.data(), line.data(), words_long_table, nullptr,
               0, radix_text, by},
              &out);
  return out;
}

}  // namespace qev
