// Long tables: one file of many life tables, a row per key, age and value,
// as the Human Mortality Database, statistics offices, R and pandas write
// them.  Columns are chosen by their header names; the rows that share the
// values of the --by columns form one table, which is fitted as a data file
// of the same records would be.
//
// The header is the first line that holds every named column, and it tells
// the layout: a tab makes it TSV, else a comma CSV (RFC 4180: quoted fields,
// doubled quotes, line ends inside quotes), else runs of spaces (the HMD's
// layout).  The file is read in blocks, never whole.
//
// Tables are fitted on worker threads while the file is still being read: a
// table goes to a worker when a row of another table follows it.  Rows of a
// table that come after that (a file whose tables are not contiguous) are
// kept apart, and the table is fitted again, whole, at the end of the file.
// Each worker fits in its own copy of the data set and simplex (they are
// thread_local), so a table's result does not depend on the thread, and the
// rows are written in input order once the file is done.
#include <sched.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

// -DQEV_NO_FAST_FLOAT builds the strtod path alone, to compare the two.
#if __has_include(<fast_float/fast_float.h>) && !defined(QEV_NO_FAST_FLOAT)
#include <fast_float/fast_float.h>
#define QEV_FAST_FLOAT 1
#endif

#include "qev.h"

namespace {

constexpr int last_age = 104;  // older ages can only give NaN: dropped
constexpr std::size_t block_size = 1 << 16;
constexpr std::size_t max_row = 1 << 20;  // bytes; a longer row is refused

enum layout { layout_tsv, layout_csv, layout_spaces };

struct record {
  int age;
  int line;
  double value;
};

// One table of the file and, once fitted, its result.
struct group {
  std::string key;    // the --by fields as table fields, each after a tab
  std::string label;  // the same for messages: "Year=1990"
  std::vector<record> recs;
  std::vector<record> late;  // rows that came after the group was sent
  int count = 0;             // records; no more than max_data + 1 are stored
  bool sent = false;
  bool last_open = false;  // its last row so far is an open age group
  int open_rows = 0;
  int old_rows = 0;
  int missing_rows = 0;
  int first_missing_age = 0;
  // The fit, written by the worker that ran it.
  vertex best{};
  int iterations = 0;
  fit_status status = fit_refused;
  double e0f = 0.0;
  double e0t = 0.0;
  std::string notes;  // its messages, written before its rows
};

// ---------------------------------------------------------------------------
// Reading rows.

struct source {
  std::FILE *fp;
  std::vector<char> buf;
  std::size_t pos = 0;  // start of the unread text
  std::size_t end = 0;  // end of the text read
  bool eof = false;
  int line = 1;  // the line buf[pos] is on
};

// Reads another block after the unread text, moving that to the front.
bool refill(source &s) {
  if (s.eof) return false;
  if (s.pos > 0) {
    std::memmove(s.buf.data(), s.buf.data() + s.pos, s.end - s.pos);
    s.end -= s.pos;
    s.pos = 0;
  }
  if (s.buf.size() - s.end < block_size) s.buf.resize(s.end + block_size);
  const std::size_t got =
      std::fread(s.buf.data() + s.end, 1, s.buf.size() - s.end, s.fp);
  s.end += got;
  if (got == 0) s.eof = true;
  return got > 0;
}

enum row_result { row_ok, row_end, row_too_long, row_read_error };

// The next row, without its line end (LF or CRLF): up to the next line end,
// or for CSV the next one outside quotes.  *line is the line it starts on.
row_result next_row(source &s, bool csv, std::string_view *row, int *line) {
  std::size_t scan = s.pos;
  bool quoted = false;
  std::size_t stop = 0;
  for (;;) {
    // Line by line; in CSV a line end counts only after an even number of
    // quotes, each "" counting twice.
    const char *b = s.buf.data();
    bool found = false;
    while (scan < s.end) {
      const void *nl = std::memchr(b + scan, '\n', s.end - scan);
      const std::size_t eol =
          nl ? static_cast<std::size_t>(static_cast<const char *>(nl) - b)
             : s.end;
      if (csv)
        for (const char *q = b + scan;
             (q = static_cast<const char *>(
                  std::memchr(q, '"', eol - (q - b)))) != nullptr;
             ++q)
          quoted = !quoted;
      if (nl == nullptr) {
        scan = s.end;
        break;
      }
      scan = eol + 1;
      if (!quoted) {
        stop = eol;
        found = true;
        break;
      }
    }
    if (found) break;
    if (s.end - s.pos > max_row) return row_too_long;
    const std::size_t offset = scan - s.pos;
    if (!refill(s)) {
      if (std::ferror(s.fp)) return row_read_error;
      if (s.pos == s.end) return row_end;
      stop = s.end;
      break;
    }
    scan = s.pos + offset;
  }
  const char *b = s.buf.data();
  std::size_t n = stop - s.pos;
  *line = s.line;
  for (std::size_t i = s.pos; i < stop; ++i) s.line += b[i] == '\n';
  if (stop < s.end) ++s.line;
  if (n > 0 && b[s.pos + n - 1] == '\r') --n;
  *row = std::string_view(b + s.pos, n);
  s.pos = stop < s.end ? stop + 1 : stop;
  return row_ok;
}

// Splits a row into fields.  CSV fields are unquoted into *scratch, which
// must not grow while the fields are in use (it is reserved here).  Returns
// false, with *why set, for a CSV row whose quotes are not well formed.
bool split(std::string_view row, layout lay,
           std::vector<std::string_view> *fields, std::string *scratch,
           const char **why) {
  fields->clear();
  if (lay == layout_tsv) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t tab = row.find('\t', start);
      fields->push_back(row.substr(start, tab - start));
      if (tab == std::string_view::npos) return true;
      start = tab + 1;
    }
  }
  if (lay == layout_spaces) {
    std::size_t i = 0;
    while (i < row.size()) {
      while (i < row.size() && (row[i] == ' ' || row[i] == '\t')) ++i;
      const std::size_t start = i;
      while (i < row.size() && row[i] != ' ' && row[i] != '\t') ++i;
      if (i > start) fields->push_back(row.substr(start, i - start));
    }
    return true;
  }
  scratch->clear();
  scratch->reserve(row.size());
  std::size_t i = 0;
  for (;;) {
    if (i < row.size() && row[i] == '"') {
      const std::size_t start = scratch->size();
      for (++i;; ++i) {
        if (i == row.size()) {
          *why = "a quoted field has no closing quote";
          return false;
        }
        if (row[i] == '"') {
          if (i + 1 < row.size() && row[i + 1] == '"') {
            ++i;
          } else {
            ++i;
            break;
          }
        }
        *scratch += row[i];
      }
      fields->push_back(
          std::string_view(scratch->data() + start, scratch->size() - start));
      if (i < row.size() && row[i] != ',') {
        *why = "text after a closing quote";
        return false;
      }
    } else {
      const std::size_t comma = row.find(',', i);
      const std::string_view f = row.substr(i, comma - i);
      if (f.find('"') != std::string_view::npos) {
        *why = "a double quote inside a field that is not quoted";
        return false;
      }
      fields->push_back(f);
      i = comma == std::string_view::npos ? row.size() : comma;
    }
    if (i == row.size()) return true;
    ++i;  // the comma
  }
}

// ---------------------------------------------------------------------------
// Fields.

// A whole number of digits, at most INT_MAX.
bool parse_int(std::string_view f, int *x) {
  if (f.empty() || f.size() > 10) return false;
  long v = 0;
  for (char ch : f) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + (ch - '0');
  }
  if (v > INT_MAX) return false;
  *x = static_cast<int>(v);
  return true;
}

enum age_kind { age_single, age_open, age_bad };

// "N", or "N-M" (an age group, taken at N), or "N+" (the open age group).
age_kind parse_age_field(std::string_view f, int *x) {
  if (!f.empty() && f.back() == '+')
    return parse_int(f.substr(0, f.size() - 1), x) ? age_open : age_bad;
  const std::size_t dash = f.find('-');
  if (dash != std::string_view::npos) {
    int to = 0;
    return parse_int(f.substr(0, dash), x) &&
                   parse_int(f.substr(dash + 1), &to) && to >= *x
               ? age_single
               : age_bad;
  }
  return parse_int(f, x) ? age_single : age_bad;
}

// A number read whole, with the bits strtod gives it.  Plain decimal
// notation goes through fast_float where it is installed (the same correctly
// rounded doubles, several times faster); everything else through strtod.
bool parse_value_field(std::string_view f, double *y) {
#ifdef QEV_FAST_FLOAT
  bool plain = !f.empty();
  for (char ch : f)
    plain &= (ch >= '0' && ch <= '9') || ch == '.' || ch == '-' || ch == 'e' ||
             ch == 'E';
  if (plain && f[0] != 'e' && f[0] != 'E') {
    const auto r = fast_float::from_chars(f.data(), f.data() + f.size(), *y);
    if (r.ec == std::errc() && r.ptr == f.data() + f.size()) return true;
  }
#endif
  char small[64];
  std::string big;
  const char *text = small;
  if (f.size() < sizeof small) {
    std::memcpy(small, f.data(), f.size());
    small[f.size()] = '\0';
  } else {
    big.assign(f);
    text = big.c_str();
  }
  if (f.empty() || is_space(static_cast<unsigned char>(text[0]))) return false;
  char *end = nullptr;
  *y = std::strtod(text, &end);
  return end == text + f.size();
}

std::string shown(std::string_view f) {
  char out[4 * 32 + 8];
  show_text(f.data(), static_cast<int>(f.size()), false, out);
  return out;
}

// ---------------------------------------------------------------------------
// Fitting, on the calling thread or on workers.

const char *const warn_share =
    "warning: value %.17g is not a share still alive between 0 and 1: give "
    "--radix=100000 (or l(x)'s radix)";

// Fits g in this thread's data set from `start`.  A group of more than
// max_data records, or with an age twice, is refused.
// Puts g's records (at most max_data) into this thread's data set, with
// the line of each in line[], and prepares the error measure.
void load_group(const group &g, int *line) {
  n_data = static_cast<int>(g.recs.size());
  for (int i = 0; i < n_data; ++i) {
    const record &r = g.recs[static_cast<std::size_t>(i)];
    age[i] = r.age;
    life[i] = r.value;
    line[i] = r.line;
  }
  prepare_data();
}

void fit_group(group *g, vertex start, const std::string &where) {
  g->notes.clear();
  if (g->recs.size() > static_cast<std::size_t>(max_data)) {
    g->status = fit_refused;
    char what[64];
    std::snprintf(what, sizeof what, "more than %d records", max_data);
    say(where.c_str(), 0, what, &g->notes);
    return;
  }
  int line[max_data];
  load_group(*g, line);
  // An age twice, which a data file is only warned about, refuses a table
  // of a long file: its rows were meant to be one table's.
  data_checks w;
  check_data(line, &w);
  if (w.again_line != 0) {
    g->status = fit_refused;
    char what[96];
    std::snprintf(what, sizeof what, "age %d again, first on line %d",
                  w.again_age, w.again_first);
    say(where.c_str(), w.again_line, what, &g->notes);
    return;
  }
  _f_parms = start;
  g->iterations = downhills();
  g->best = ivec[0];
  g->status = search_status(g->iterations);
  g->e0f = e0_fit(ivec[0]);
  g->e0t = e0_table();
  for (int i = 0; i < n_data; ++i) {
    if (!(life[i] >= 0.0 && life[i] <= 1.0)) {
      char what[200];
      std::snprintf(what, sizeof what, warn_share, life[i]);
      say(where.c_str(), line[i], what, &g->notes);
      break;
    }
  }
  warn_data(where.c_str(), w, &g->notes);
}

// Worker threads, or none: with one job every group is fitted where it is
// sent, on the reading thread.
struct pool {
  bool fit = true;  // false: only read (fuzzing)
  vertex start;
  std::string file;
  std::mutex m;
  std::condition_variable work;
  std::condition_variable idle;
  std::deque<group *> queue;
  int busy = 0;
  int waiting = 0;  // workers asleep on `work`
  bool stop = false;
  std::vector<std::thread> threads;
};

std::string where_of(const std::string &file, const group &g) {
  return g.label.empty() ? file : file + ": " + g.label;
}

// Fits the group at the head of the queue, with the lock held on entry and
// on return but not while fitting.
void fit_next(pool *p, std::unique_lock<std::mutex> &lock) {
  group *g = p->queue.front();
  p->queue.pop_front();
  ++p->busy;
  const std::string where = where_of(p->file, *g);
  lock.unlock();
  fit_group(g, p->start, where);
  lock.lock();
  --p->busy;
  if (p->queue.empty() && p->busy == 0) p->idle.notify_all();
}

void worker(pool *p) {
  std::unique_lock<std::mutex> lock(p->m);
  for (;;) {
    ++p->waiting;
    p->work.wait(lock, [p] { return p->stop || !p->queue.empty(); });
    --p->waiting;
    if (p->queue.empty()) return;
    fit_next(p, lock);
  }
}

void send(pool *p, group *g) {
  g->sent = true;
  if (!p->fit) return;
  if (p->threads.empty()) {
    fit_group(g, p->start, where_of(p->file, *g));
    return;
  }
  // Waking a worker is a system call: only when one sleeps, which it does
  // only when the reader is ahead of no one.
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(p->m);
    p->queue.push_back(g);
    wake = p->waiting > 0;
  }
  if (wake) p->work.notify_one();
}

// Waits until every group sent has been fitted, fitting what is left in the
// queue on this thread too: the reading thread is one of the jobs.
void drain(pool *p) {
  std::unique_lock<std::mutex> lock(p->m);
  while (!p->queue.empty()) fit_next(p, lock);
  p->idle.wait(lock, [p] { return p->queue.empty() && p->busy == 0; });
}

int cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int n = CPU_COUNT(&set);
  return n > 0 ? n : 1;
}

// ---------------------------------------------------------------------------
// One file.

// The column names of --by, in order.
std::vector<std::string> by_names(const char *by) {
  std::vector<std::string> names;
  for (const char *b = by; b != nullptr && *b != '\0';) {
    const char *comma = std::strchr(b, ',');
    const std::size_t len =
        comma ? static_cast<std::size_t>(comma - b) : std::strlen(b);
    names.emplace_back(b, len);
    b += len + (comma != nullptr);
  }
  return names;
}

struct columns {
  std::vector<std::string> names;  // age, value, then the --by columns
  std::vector<int> index;          // their places in a row
  int width = 0;                   // fields in the header
  layout lay = layout_tsv;
};

// The header: the first line that holds every named column.  Returns the
// line after it, or 0 after a message (no such line, or a read error).
int find_header(source &s, const char *name, columns *cols) {
  std::vector<bool> seen(cols->names.size(), false);
  std::vector<std::string_view> fields;
  std::string scratch;
  std::string_view row;
  int line = 0;
  for (bool first = true;; first = false) {
    const row_result got = next_row(s, false, &row, &line);
    if (got == row_read_error) {
      say(name, 0, std::strerror(errno));
      return 0;
    }
    if (got == row_too_long) {
      say(name, s.line, "a line longer than 1 MiB before the header");
      return 0;
    }
    if (got == row_end) break;
    if (first && row.substr(0, 3) == "\xef\xbb\xbf") row.remove_prefix(3);
    const layout lay = row.find('\t') != std::string_view::npos ? layout_tsv
                       : row.find(',') != std::string_view::npos
                           ? layout_csv
                           : layout_spaces;
    const char *why = nullptr;
    if (!split(row, lay, &fields, &scratch, &why)) continue;
    bool all = true;
    for (std::size_t k = 0; k < cols->names.size(); ++k) {
      int at = -1;
      for (std::size_t f = 0; f < fields.size() && at < 0; ++f)
        if (fields[f] == cols->names[k]) at = static_cast<int>(f);
      cols->index[k] = at;
      if (at >= 0) seen[k] = true;
      all &= at >= 0;
    }
    if (all) {
      cols->width = static_cast<int>(fields.size());
      cols->lay = lay;
      return line + 1;
    }
  }
  std::string missing;
  for (std::size_t k = 0; k < cols->names.size(); ++k) {
    if (seen[k]) continue;
    missing += missing.empty() ? "" : ", ";
    missing += "\"" + shown(cols->names[k]) + "\"";
  }
  std::string what = "no header line holds all the columns named";
  if (!missing.empty()) what += ": no line holds " + missing;
  say(name, 0, what.c_str());
  return 0;
}

struct file_result {
  std::deque<group> groups;
  bool refused = false;
  int refused_line = 0;
};

void refuse_row(const char *name, int line, const std::string &what,
                file_result *fr) {
  say(name, line, what.c_str());
  fr->refused = true;
  fr->refused_line = line;
}

void read_groups(source &s, const char *name, const options &opt,
                 const columns &cols, pool *p, file_result *fr) {
  const int nby = static_cast<int>(cols.names.size()) - 2;
  std::unordered_map<std::string, group *> index;
  std::vector<std::string_view> fields;
  std::string scratch;
  std::string key;
  std::string_view row;
  group *current = nullptr;
  std::string last_raw;  // the key fields of the last row, as read
  std::string raw;
  for (;;) {
    int line = 0;
    const row_result got = next_row(s, cols.lay == layout_csv, &row, &line);
    if (got == row_end) break;
    if (got == row_read_error) {
      say(name, 0, std::strerror(errno));
      fr->refused = true;
      return;
    }
    if (got == row_too_long)
      return refuse_row(name, s.line, "a row longer than 1 MiB", fr);
    if (row.empty() || (cols.lay == layout_spaces &&
                        row.find_first_not_of(" \t") == std::string_view::npos))
      continue;
    const char *why = nullptr;
    if (!split(row, cols.lay, &fields, &scratch, &why))
      return refuse_row(name, line, why, fr);
    if (static_cast<int>(fields.size()) != cols.width)
      return refuse_row(name, line,
                        std::to_string(fields.size()) +
                            " fields, where the header has " +
                            std::to_string(cols.width),
                        fr);

    // The group: most rows belong to the one before.
    auto by_field = [&](int k) {
      return fields[static_cast<std::size_t>(
          cols.index[static_cast<std::size_t>(k + 2)])];
    };
    raw.clear();
    for (int k = 0; k < nby; ++k) {
      raw += by_field(k);
      raw += '\0';
    }
    if (current == nullptr || raw != last_raw) {
      key.clear();
      for (int k = 0; k < nby; ++k) {
        const std::string_view f = by_field(k);
        key += '\t';
        append_field(&key, f.data(), f.size());
      }
      group *&slot = index[key];
      if (slot == nullptr) {
        fr->groups.emplace_back();
        slot = &fr->groups.back();
        slot->recs.reserve(128);  // a single-year table, in one allocation
        slot->key = key;
        for (int k = 0; k < nby; ++k) {
          slot->label += k > 0 ? ", " : "";
          slot->label += shown(cols.names[static_cast<std::size_t>(k + 2)]) +
                         "=" + shown(by_field(k));
        }
      }
      if (current != nullptr && !current->sent) send(p, current);
      current = slot;
      last_raw = raw;
    }
    group &g = *current;

    const std::string_view af = fields[static_cast<std::size_t>(cols.index[0])];
    const std::string_view vf = fields[static_cast<std::size_t>(cols.index[1])];
    int x = 0;
    const age_kind kind = parse_age_field(af, &x);
    if (kind == age_bad)
      return refuse_row(
          name, line,
          "\"" + shown(af) + "\" is not an age (a whole number, N-M or N+)",
          fr);
    g.last_open = kind == age_open;
    if (kind == age_open) {
      ++g.open_rows;
      continue;
    }
    if (x > last_age) {
      ++g.old_rows;
      continue;
    }
    if (vf.empty() || vf == ".") {
      if (g.missing_rows++ == 0) g.first_missing_age = x;
      continue;
    }
    double y = 0.0;
    if (!parse_value_field(vf, &y))
      return refuse_row(name, line,
                        "value \"" + shown(vf) + "\" is not a number", fr);
    if (opt.radix > 0) y = y / opt.radix;
    if (++g.count > max_data + 1) continue;  // refused when fitted anyway
    (g.sent ? g.late : g.recs).push_back({x, line, y});
  }
  if (current != nullptr && !current->sent) send(p, current);
}

// Rows dropped on purpose, counted for one line per file, and the groups
// with values missing, one line each.
void report_drops(const char *name, const file_result &fr) {
  long rows[3] = {};
  long groups[3] = {};
  for (const group &g : fr.groups) {
    const int n[3] = {g.open_rows, g.old_rows, g.missing_rows};
    for (int k = 0; k < 3; ++k) {
      rows[k] += n[k];
      groups[k] += n[k] > 0;
    }
    if (g.missing_rows > 0) {
      char what[128];
      std::snprintf(
          what, sizeof what, "left out %d row%s with no value, from age %d",
          g.missing_rows, g.missing_rows > 1 ? "s" : "", g.first_missing_age);
      say(where_of(name, g).c_str(), 0, what);
    }
  }
  static const char *const reason[3] = {"of an open age group (N+)",
                                        "of ages above 104",
                                        "with no value (\".\" or empty)"};
  std::string what;
  for (int k = 0; k < 3; ++k) {
    if (rows[k] == 0) continue;
    what += what.empty() ? "dropped " : ", ";
    what += std::to_string(rows[k]) + (rows[k] > 1 ? " rows " : " row ") +
            reason[k] + " in " + std::to_string(groups[k]) +
            (groups[k] > 1 ? " groups" : " group");
  }
  if (!what.empty()) say(name, 0, what.c_str());
}

// Reads the table in s into fr, sending groups to p as they close.
void read_file(source &s, const char *name, const options &opt, pool *p,
               file_result *fr) {
  columns cols;
  cols.names = {opt.age_col, opt.value_col};
  for (std::string &b : by_names(opt.by)) cols.names.push_back(std::move(b));
  cols.index.assign(cols.names.size(), -1);
  p->file = name;
  if (find_header(s, name, &cols) == 0)
    fr->refused = true;
  else
    read_groups(s, name, opt, cols, p, fr);
  drain(p);
}

// Reads and fits one file; false when it was refused (no rows written) or a
// group in it was.
bool fit_long_file(const char *file, const options &opt, pool *p) {
  const bool from_stdin = std::strcmp(file, "-") == 0;
  const char *name = from_stdin ? "standard input" : file;
  source s{from_stdin ? stdin : std::fopen(file, "rb"), {}};
  if (s.fp == nullptr) {
    say(name, 0, std::strerror(errno));
    return false;
  }
  file_result fr;
  read_file(s, name, opt, p, &fr);
  if (!from_stdin) std::fclose(s.fp);
  if (fr.refused) return false;

  // Groups that gained rows after they were fitted are fitted again, whole.
  for (group &g : fr.groups) {
    if (g.late.empty()) continue;
    g.recs.insert(g.recs.end(), g.late.begin(), g.late.end());
    g.late.clear();
    g.late.shrink_to_fit();
    send(p, &g);
  }
  drain(p);
  report_drops(name, fr);

  bool all = true;
  std::string file_field;
  append_field(&file_field, file, std::strlen(file));
  std::string prefix;
  for (group &g : fr.groups) {
    if (opt.require_open && !g.last_open) {
      g.status = fit_refused;
      g.notes.clear();
      say(where_of(name, g).c_str(), 0,
          "its last row is not an open age group (N+): is the file cut short?",
          &g.notes);
    }
    std::fputs(g.notes.c_str(), stderr);
    prefix = file_field + g.key;
    if (g.status == fit_refused) {
      all = false;
      if (opt.mode == mode_tsv) {
        put_raw(prefix);
        put_refused();
        end_row();
      }
      continue;
    }
    if (opt.mode == mode_tsv) {
      put_raw(prefix);
      put_result(g.best, g.iterations, g.status,
                 static_cast<int>(g.recs.size()), g.e0f, g.e0t);
      end_row();
    } else {
      int line[max_data];
      load_group(g, line);
      ivec[0] = g.best;
      put_fitted(prefix);
    }
    if (std::ferror(stdout)) return false;
  }
  return all;
}

}  // namespace

bool read_long_table(std::FILE *fp, const options &opt,
                     std::vector<long_entry> *out, int *line) {
  pool p;
  p.fit = false;
  source s{fp, {}};
  file_result fr;
  read_file(s, "input", opt, &p, &fr);
  *line = fr.refused_line;
  out->clear();
  int k = 0;
  for (const group &g : fr.groups) {
    for (const auto *v : {&g.recs, &g.late})
      for (const record &r : *v) out->push_back({k, r.age, r.line, r.value});
    ++k;
  }
  return !fr.refused;
}

bool fit_long_files(const options &opt, int n, char **files) {
  put_text("file");
  for (const std::string &b : by_names(opt.by)) {
    std::string f = "\t";
    append_field(&f, b.data(), b.size());
    put_raw(f);
  }
  put_text("\t");
  put_text(opt.mode == mode_tsv ? tsv_columns : fitted_columns);
  end_row();

  pool p;
  p.start = _f_parms;
  const int jobs = opt.jobs > 0 ? opt.jobs : cores();
  // The reading thread fits too once the file is read: jobs - 1 workers.
  if (jobs > 1)
    for (int k = 1; k < jobs; ++k) p.threads.emplace_back(worker, &p);
  bool all = true;
  for (int k = 0; k < n; ++k) {
    if (!fit_long_file(files[k], opt, &p)) all = false;
    if (std::ferror(stdout)) break;
  }
  {
    std::lock_guard<std::mutex> lock(p.m);
    p.stop = true;
  }
  p.work.notify_all();
  for (std::thread &t : p.threads) t.join();
  return flush_rows() && all;
}
