// The words of qev's messages, every kind in one place: the data checks,
// refusals, drops and arguments, and the quoting of texts in messages.
// Text only, into strings.
#include "words.h"

#include <cstdio>
#include <cstring>

namespace qev::words {

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

std::string shown(std::string_view text) {
  char out[shown_size];
  show_text(text.data(), static_cast<int>(text.size()), false, out);
  return out;
}

namespace {

const char *const warn_age =
    "age %d is outside 0..105, so every error is NaN: the curve is defined "
    "up to age 105; drop older ages and the open age group";
const char *const warn_value =
    "value %s is not a share still alive between 0 and 1: divide l(x) by its "
    "radix (usually 100000)";
const char *const warn_share =
    "value %.17g is not a share still alive between 0 and 1: give "
    "%s=100000 (or l(x)'s radix)";
const char *const warn_share_radix =
    "value %.17g is not a share still alive between 0 and 1 with %s=%s: is "
    "that the table's radix?";
const char *const warn_l0 =
    "the value at age 0 is %g, not 1: is the radix right?";
const char *const warn_l0_radix =
    "the value at age 0 is %g, not 1, with %s=%s: is that the table's radix?";
const char *const warn_none = "no records, so the RMSE is NaN";
const char *const warn_end =
    "age 105 is where the curve ends (u is infinite there), and the search "
    "can stop at its start: drop it";
const char *const warn_rise =
    "the value rises from age %d to age %d: shares still alive never rise "
    "with age (is this q(x) or m(x)?)";
const char *const warn_again =
    "age %d again, first on %s %d: two tables in one file?";
const char *const warn_few =
    "%d record%s, fewer than %d: the curve's three parameters fit so few "
    "records without meaning anything";
const char *const refuse_again = "age %d again, first on %s %d";

// The age of the record before record i in age order, where i is one that
// rises: the oldest age below its own.
int age_before(const records &recs, int n, int i) {
  int before = recs.age[i];
  bool found = false;
  for (int j = 0; j < n; ++j)
    if (recs.age[j] < recs.age[i] && (!found || recs.age[j] > before)) {
      before = recs.age[j];
      found = true;
    }
  return before;
}

// The messages of one table as they are built: each names its place, if it
// has one, in the client's unit.
struct lines {
  const voice &v;
  std::vector<std::string> out;
  void add(bool has_place, int place, bool warning, const char *what) {
    std::string m;
    if (has_place) m = std::string(v.unit) + " " + std::to_string(place) + ": ";
    if (warning && v.warning) m += "warning: ";
    out.push_back(m + what);
  }
};

}  // namespace

std::vector<std::string> check_messages(const qev_result &r,
                                        const records &recs, const voice &v) {
  char what[400];
  lines said{v, {}};
  auto holds = [&r](int k) { return (r.checks & QEV_CHECK_BIT(k)) != 0; };
  auto at = [&r](int k) { return r.check_record[k]; };
  if (r.status == QEV_REFUSED) {
    if (r.records > QEV_MAX_RECORDS) {
      said.add(false, 0, false, too_many(r.records, v.by).c_str());
    } else if (holds(QEV_CHECK_AGE_AGAIN)) {
      const int i = at(QEV_CHECK_AGE_AGAIN);
      std::snprintf(what, sizeof what, refuse_again, recs.age[i], v.unit,
                    recs.place[r.age_again_first]);
      said.add(true, recs.place[i], false, what);
    }
    return said.out;
  }
  if (recs.data_file && holds(QEV_CHECK_AGE_RANGE)) {
    const int i = at(QEV_CHECK_AGE_RANGE);
    std::snprintf(what, sizeof what, warn_age, recs.age[i]);
    said.add(true, recs.place[i], true, what);
  }
  if (holds(QEV_CHECK_NOT_SHARE)) {
    const int i = at(QEV_CHECK_NOT_SHARE);
    if (recs.data_file) {
      std::snprintf(what, sizeof what, warn_value, recs.value_text);
      said.add(true, recs.value_place, true, what);
    } else if (recs.radix_text != nullptr) {
      std::snprintf(what, sizeof what, warn_share_radix, recs.life[i], v.radix,
                    recs.radix_text);
      said.add(true, recs.place[i], true, what);
    } else {
      std::snprintf(what, sizeof what, warn_share, recs.life[i], v.radix);
      said.add(true, recs.place[i], true, what);
    }
  }
  if (holds(QEV_CHECK_L0)) {
    const int i = at(QEV_CHECK_L0);
    if (recs.radix_text != nullptr)
      std::snprintf(what, sizeof what, warn_l0_radix, recs.life[i], v.radix,
                    recs.radix_text);
    else
      std::snprintf(what, sizeof what, warn_l0, recs.life[i]);
    said.add(true, recs.place[i], true, what);
  }
  if (recs.data_file && holds(QEV_CHECK_NO_RECORDS))
    said.add(false, 0, true, warn_none);
  if (holds(QEV_CHECK_AGE_105))
    said.add(true, recs.place[at(QEV_CHECK_AGE_105)], true, warn_end);
  if (holds(QEV_CHECK_RISES)) {
    const int i = at(QEV_CHECK_RISES);
    std::snprintf(what, sizeof what, warn_rise, age_before(recs, r.records, i),
                  recs.age[i]);
    said.add(true, recs.place[i], true, what);
  }
  if (holds(QEV_CHECK_AGE_AGAIN)) {
    const int i = at(QEV_CHECK_AGE_AGAIN);
    std::snprintf(what, sizeof what, warn_again, recs.age[i], v.unit,
                  recs.place[r.age_again_first]);
    said.add(true, recs.place[i], true, what);
  }
  if (holds(QEV_CHECK_FEW_RECORDS)) {
    std::snprintf(what, sizeof what, warn_few, r.records,
                  r.records > 1 ? "s" : "", QEV_MIN_RECORDS);
    said.add(false, 0, true, what);
  }
  return said.out;
}

std::vector<std::string> group_messages(
    const qev_result &r, const qev_rows &rows, const unsigned char *kept,
    const double *value_fitted, const int *place, const char *radix_text,
    const voice &v) {
  // Records past one too many are never named: such a group is refused.
  std::vector<int> age, where;
  std::vector<double> life;
  for (long i = 0; i < rows.n && age.size() <= QEV_MAX_RECORDS; ++i) {
    if (!kept[i]) continue;
    age.push_back(rows.age[i]);
    life.push_back(value_fitted[i]);
    where.push_back(place[i]);
  }
  return check_messages(
      r, {age.data(), life.data(), where.data(), false, nullptr, 0, radix_text},
      v);
}

std::string check_list(const qev_result &r) {
  std::string list;
  for (int k = 0; k < QEV_N_CHECKS; ++k) {
    if ((r.checks & QEV_CHECK_BIT(k)) == 0) continue;
    if (!list.empty()) list += ',';
    list += qev_check_name(k);
  }
  return list;
}

std::string too_many(long records, const char *by) {
  std::string what = "more than " + std::to_string(QEV_MAX_RECORDS) +
                     " records: the table has " + std::to_string(records);
  if (by != nullptr) what += std::string("; is a ") + by + " column missing?";
  return what;
}

std::string more_groups(long groups) {
  return "and " + std::to_string(groups) +
         " more groups with data checks: the checks column names them";
}

std::string big_age(const char *text) {
  return std::string("age ") + text + " is out of range";
}

const char *argument(int which) {
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

std::string text_value(const char *column) {
  return "the value column \"" + shown(column) + "\" holds text, not numbers";
}

std::string left_out(long rows, int first_age) {
  return "left out " + std::to_string(rows) + (rows > 1 ? " rows" : " row") +
         " with no value, from age " + std::to_string(first_age);
}

std::string not_an_age(const char *shown) {
  const std::string label = "\"" + std::string(shown) + "\" is not an age";
  if (shown[0] == 'Y' || std::strncmp(shown, "TOTAL", 5) == 0)
    return label +
           ": Eurostat's age codes are Y_LT1, YN, YN-M, Y_GEN, Y_OPEN and "
           "TOTAL";
  return label + " (a whole number, N-M or N+)";
}

std::string eurostat_width(long fields, long header, bool codes) {
  const char *what = codes ? " dimension codes" : " fields";
  return std::to_string(fields) + what + ", where the header has " +
         std::to_string(header);
}

std::string eurostat_clash(const char *dimension) {
  return "the dimension \"" + shown(dimension) +
         "\" has the name of a column made of Eurostat's cells (value and "
         "flag)";
}

std::string dropped(const long rows[3], const long groups[3],
                    const std::string &missing) {
  const std::string reason[3] = {"of ages above 104",
                                 "with no value (" + missing + ")",
                                 "of no age (Y_OPEN, TOTAL)"};
  std::string what;
  for (int k = 0; k < 3; ++k) {
    if (rows[k] == 0) continue;
    what += what.empty() ? "dropped " : ", ";
    what += std::to_string(rows[k]) + (rows[k] > 1 ? " rows " : " row ") +
            reason[k] + " in " + std::to_string(groups[k]) +
            (groups[k] > 1 ? " groups" : " group");
  }
  return what;
}

std::string skipped(long rows, const char *column, const char *option) {
  return "skipped " + std::to_string(rows) + (rows > 1 ? " rows" : " row") +
         " whose " + shown(column) + " is none of " + option + "'s values";
}

std::string key_twice(const std::vector<std::string> &keys) {
  for (std::size_t k = 0; k < keys.size(); ++k)
    for (std::size_t j = 0; j < k; ++j)
      if (keys[j] == keys[k])
        return "by names the column \"" + shown(keys[k]) + "\" twice";
  return "";
}

std::string clashing_key(const std::vector<std::string> &keys, bool fitted,
                         bool file) {
  for (const std::string &k : keys) {
    if (file && k == "file") return k;
    if (fitted) {
      for (const char *c : fitted_columns)
        if (k == c) return k;
    } else {
      for (const char *c : result_columns)
        if (k == c) return k;
    }
  }
  return "";
}

}  // namespace qev::words
