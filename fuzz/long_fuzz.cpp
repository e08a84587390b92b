// Fuzz target: arbitrary bytes as a long table with the columns k (key),
// age and v (value), read through a memory stream without fitting.
//
// Checked against an independent reading of the same bytes, written here
// from the rules alone: the header is the first line holding all three
// names (spaces around them aside), its tab, comma, semicolon or spaces
// choose the layout, fields may be quoted as RFC 4180 quotes them, a first
// row one field wider than the header has R's row names, an open age group
// N+ is age N, Eurostat's age codes are ages too (Y_LT1, YN, YN-M,
// Y_GEN, and Y_OPEN and TOTAL, whose rows are dropped), ages above 104 and
// missing values (NA, NaN, "." and empty) are dropped, and a first line
// of Eurostat's wide layout, which holds no column v, is refused.  The
// reader must accept exactly what this reading accepts, store the very
// records it finds (group, age, line and the bits of strtod's value), and
// name a line of the input in every refusal after the header.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cli.h"
#include "memfile.h"

using namespace qev;

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// The separator of a layout, or 0 for runs of spaces and tabs.
char separator_of(const std::string &row) {
  for (char sep : {'\t', ',', ';'})
    if (row.find(sep) != std::string::npos) return sep;
  return 0;
}

// Splits a row; false for quotes that are not well formed.  A field that
// starts with a quote is quoted; a quote inside another field is text in
// TSV and an error elsewhere.
bool fields_of(const std::string &row, char sep, std::vector<std::string> *f) {
  f->clear();
  if (sep == 0) {
    std::string cur;
    for (char ch : row + " ") {
      if (ch == ' ' || ch == '\t') {
        if (!cur.empty()) f->push_back(cur);
        cur.clear();
      } else {
        cur += ch;
      }
    }
    return true;
  }
  enum { start, plain, quoted, closed } st = start;
  std::string cur;
  for (std::size_t i = 0; i < row.size(); ++i) {
    const char ch = row[i];
    switch (st) {
      case start:
      case plain:
        if (ch == sep) {
          f->push_back(cur);
          cur.clear();
          st = start;
        } else if (ch == '"' && st == start) {
          st = quoted;
        } else if (ch == '"' && sep != '\t') {
          return false;
        } else {
          cur += ch;
          st = plain;
        }
        break;
      case quoted:
        if (ch == '"' && i + 1 < row.size() && row[i + 1] == '"') {
          cur += '"';
          ++i;
        } else if (ch == '"') {
          st = closed;
        } else {
          cur += ch;
        }
        break;
      case closed:
        if (ch != sep) return false;
        f->push_back(cur);
        cur.clear();
        st = start;
        break;
    }
  }
  if (st == quoted) return false;
  f->push_back(cur);
  return true;
}

std::string trim(const std::string &s) {
  std::size_t a = 0, b = s.size();
  while (a < b && s[a] == ' ') ++a;
  while (b > a && s[b - 1] == ' ') --b;
  return s.substr(a, b - a);
}

bool digits(const std::string &s, long *v) {
  if (s.empty() || s.size() > 10 ||
      s.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *v = std::strtol(s.c_str(), nullptr, 10);
  return *v <= INT_MAX;
}

struct expected {
  bool accepted = false;
  bool header = false;
  std::vector<long_entry> entries;
};

expected read_independently(const std::string &in) {
  expected e;
  const char *names[3] = {"age", "v", "k"};
  int col[3] = {-1, -1, -1};
  std::size_t width = 0;
  char sep = '\t';
  std::size_t p = 0;
  int line = 1;
  std::vector<std::string> f;
  while (!e.header && p < in.size()) {
    std::size_t nl = in.find('\n', p);
    if (nl == std::string::npos) nl = in.size();
    std::string row = in.substr(p, nl - p);
    if (p == 0 && row.compare(0, 3, "\xef\xbb\xbf") == 0) row.erase(0, 3);
    if (!row.empty() && row.back() == '\r') row.pop_back();
    p = nl + 1;
    ++line;
    sep = separator_of(row);
    if (!fields_of(row, sep, &f)) continue;
    if (line == 2 && sep == '\t') {
      const std::string first = trim(f[0]);
      for (const char *time : {"TIME_PERIOD", "time"}) {
        const std::size_t n = std::strlen(time);
        if (first.size() > n && first.compare(first.size() - n, n, time) == 0 &&
            (first[first.size() - n - 1] == '\\' ||
             first[first.size() - n - 1] == '/'))
          return e;
      }
    }
    bool all = true;
    for (int k = 0; k < 3; ++k) {
      col[k] = -1;
      for (std::size_t i = 0; i < f.size() && col[k] < 0; ++i)
        if (trim(f[i]) == names[k]) col[k] = static_cast<int>(i);
      all &= col[k] >= 0;
    }
    if (all) {
      e.header = true;
      width = f.size();
    }
  }
  if (!e.header) return e;

  std::map<std::string, int> group;
  std::vector<int> stored;
  bool first_row = true;
  while (p < in.size()) {
    const int at = line;
    std::string row;
    // A row ends at a line end outside a quoted field.
    enum { field_start, inside, quoted } st = field_start;
    for (; p < in.size(); ++p) {
      const char ch = in[p];
      if (ch == '\n') ++line;
      if (ch == '\n' && st != quoted) break;
      if (sep != 0 && st == quoted && ch == '"') {
        if (p + 1 < in.size() && in[p + 1] == '"') {
          row += ch;
          ++p;
        } else {
          st = inside;
        }
      } else if (sep != 0 && st == field_start && ch == '"') {
        st = quoted;
      } else if (st != quoted) {
        st = ch == sep ? field_start : inside;
      }
      row += ch;
    }
    ++p;
    if (!row.empty() && row.back() == '\r') row.pop_back();
    if (row.empty() ||
        (sep == 0 && row.find_first_not_of(" \t") == std::string::npos))
      continue;
    if (!fields_of(row, sep, &f)) return e;
    if (first_row && f.size() == width + 1) {
      ++width;
      for (int &c : col) ++c;
    }
    first_row = false;
    if (f.size() != width) return e;
    const std::string &key = f[static_cast<std::size_t>(col[2])];
    const auto it = group.emplace(key, static_cast<int>(group.size())).first;
    std::string a = trim(f[static_cast<std::size_t>(col[0])]);
    const std::string v = trim(f[static_cast<std::size_t>(col[1])]);
    long x = 0;
    long to = 0;
    if (a == "TOTAL" || a == "Y_OPEN") continue;  // no age
    if (a.size() > 1 && a[0] == 'Y') {
      const std::string c = a.substr(1);
      if (c.compare(0, 3, "_LT") == 0) {
        if (!digits(c.substr(3), &x) || x < 1) return e;
        a = "0";
      } else if (c.compare(0, 3, "_GE") == 0) {
        a = c.substr(3) + "+";
        if (c.size() == 3) return e;
      } else if (c[0] < '0' || c[0] > '9' || c.back() == '+') {
        return e;
      } else {
        a = c;
      }
    }
    const std::size_t dash = a.find('-');
    if (!a.empty() && a.back() == '+') {
      if (!digits(a.substr(0, a.size() - 1), &x)) return e;
    } else if (dash != std::string::npos) {
      if (!digits(a.substr(0, dash), &x) || !digits(a.substr(dash + 1), &to) ||
          to < x)
        return e;
    } else if (!digits(a, &x)) {
      return e;
    }
    if (x > 104 || v.empty() || v == "." || v == "NA" || v == "NaN") continue;
    char *end = nullptr;
    const double y = std::strtod(v.c_str(), &end);
    if (std::strchr(" \t\n\v\f\r", v[0]) || end != v.c_str() + v.size() ||
        v.find('\0') != std::string::npos)
      return e;
    if (stored.size() <= static_cast<std::size_t>(it->second))
      stored.resize(static_cast<std::size_t>(it->second) + 1, 0);
    if (++stored[static_cast<std::size_t>(it->second)] > max_data + 1) continue;
    e.entries.push_back({it->second, static_cast<int>(x), at, y});
  }
  e.accepted = !first_row;  // a header with no rows is refused
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  char *buf = nullptr;
  std::FILE *fp = open_bytes(data, size, &buf);
  if (fp == nullptr) return 0;
  options opt = default_options();
  opt.mode = mode_tsv;
  opt.age_col = "age";
  opt.value_col = "v";
  opt.by = "k";
  std::vector<long_entry> got;
  int line = 0;
  const bool ok = read_long_table(fp, opt, &got, &line);
  std::fclose(fp);

  const std::string in(buf, size);
  int lines = 1;
  for (char ch : in) lines += ch == '\n';
  const expected want = read_independently(in);
  check(ok == want.accepted);
  if (!ok) {
    check(want.header ? line >= 1 && line <= lines : line == 0);
    return 0;
  }
  // Both number groups by their first row; the reader lists records group
  // by group, in file order within each.
  std::vector<long_entry> want_sorted = want.entries;
  std::stable_sort(want_sorted.begin(), want_sorted.end(),
                   [](const long_entry &x, const long_entry &y) {
                     return x.group < y.group;
                   });
  check(got.size() == want_sorted.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    const long_entry &x = got[i];
    const long_entry &y = want_sorted[i];
    check(x.group == y.group && x.age == y.age && x.line == y.line);
    check(std::memcmp(&x.value, &y.value, sizeof x.value) == 0);
  }
  return 0;
}
