// Long tables: one file of many life tables, a row per key, age and value,
// as the Human Mortality Database, statistics offices, R and pandas write
// them.  Columns are chosen by their header names; the rows that share the
// values of the --by columns form one table, which is fitted as a data file
// of the same records would be, by the library's long-table rules (the age
// labels, the rows left out, the refusals).
//
// The header is the first line that holds every named column, and it tells
// the layout: a tab makes it TSV, else a comma CSV (RFC 4180: quoted fields,
// doubled quotes, line ends inside quotes), else runs of spaces (the HMD's
// layout).  The file is read in blocks, never whole.
//
// Tables are fitted by a pool of threads while the file is still being read:
// a table is queued when a row of another table follows it.  Rows of a
// table that come after that (a file whose tables are not contiguous) are
// kept apart, and the table is fitted again, whole, at the end of the file.
// Each fit runs in a context of its own, so a table's result does not depend
// on the thread, and the rows are written in input order once the file is
// done.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// -DQEV_NO_FAST_FLOAT builds the strtod path alone, to compare the two.
#if __has_include(<fast_float/fast_float.h>) && !defined(QEV_NO_FAST_FLOAT)
#include <fast_float/fast_float.h>
#define QEV_FAST_FLOAT 1
#endif

#include "cli.h"

namespace {

constexpr std::size_t block_size = 1 << 16;
constexpr std::size_t max_row = 1 << 20;  // bytes; a longer row is refused

enum layout { layout_tsv, layout_csv, layout_spaces };

struct record {
  int age;
  int line;
  double value;
};

// What every fit of one file shares.
struct file_setup {
  std::string name;  // as messages give it
  vertex start;
  int restarts;
  const char *radix;  // as given, or nullptr
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
  qev_drops drops{};
  const file_setup *setup = nullptr;
  qev_result res{};   // the fit, written by the thread that ran it
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

// A number read whole, with the bits strtod gives it.  Plain decimal
// notation goes through fast_float where it is installed (the same correctly
// rounded doubles, several times faster); everything else through strtod.
bool parse_value_field(std::string_view f, double *y) {
#ifdef QEV_FAST_FLOAT
  // Digits, points, minus signs and exponents only: inf, nan(payload), hex
  // and a leading + are strtod's alone.  What fast_float leaves unread goes
  // to strtod too, which then refuses it.
  if (!f.empty() && f.find_first_not_of("0123456789.-eE") == f.npos) {
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
// Fitting, on the reading thread or on the pool's.

std::string where_of(const std::string &file, const group &g) {
  return g.label.empty() ? file : file + ": " + g.label;
}

// Fits g from its setup's start by the long-table rules, into g->res, with
// its messages in g->notes: a group of more than max_data records, or with
// an age twice, is refused, and the others get the data checks' warnings.
// Only g is written, so groups can be fitted on any threads at once.
void fit_group(void *arg) {
  group *g = static_cast<group *>(arg);
  const std::size_t n = g->recs.size() > static_cast<std::size_t>(max_data)
                            ? max_data + 1
                            : g->recs.size();
  std::vector<int> age(n);
  std::vector<double> life(n);
  std::vector<int> line(n);
  for (std::size_t i = 0; i < n; ++i) {
    age[i] = g->recs[i].age;
    life[i] = g->recs[i].value;
    line[i] = g->recs[i].line;
  }
  context ctx;
  init_context(&ctx);
  fit_records(&ctx, age.data(), life.data(), static_cast<int>(n),
              {g->setup->start, true, true, g->setup->restarts}, &g->res);
  g->notes.clear();
  warn_checks(where_of(g->setup->name, *g).c_str(), g->res,
              {age.data(), life.data(), line.data(), words_long_table, nullptr,
               0, g->setup->radix},
              &g->notes);
}

// Hands g to the pool, which fits it now or later; nothing without one.
void send(pool *p, group *g) {
  g->sent = true;
  if (p != nullptr) pool_submit(p, fit_group, g);
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

// The reading of one file's rows into groups.
struct group_reader {
  const char *name;
  const options *opt;
  const columns *cols;
  const file_setup *setup;
  pool *p;
  file_result *fr;
  std::unordered_map<std::string, group *> index;
  group *current = nullptr;
  std::string last_raw;  // the key fields of the last row, as read
  std::string raw;
  std::string key;
};

// Refuses the file at `line` with a message; returns false, to stop.
bool refuse_row(group_reader &gr, int line, const std::string &what) {
  say(gr.name, line, what.c_str());
  gr.fr->refused = true;
  gr.fr->refused_line = line;
  return false;
}

// The group of a row: most rows belong to the one before, and a new key
// sends the one before to be fitted.
group &group_of(group_reader &gr, const std::vector<std::string_view> &fields) {
  const columns &cols = *gr.cols;
  const std::size_t nby = cols.names.size() - 2;
  auto by_field = [&](std::size_t k) {
    return fields[static_cast<std::size_t>(cols.index[k + 2])];
  };
  gr.raw.clear();
  for (std::size_t k = 0; k < nby; ++k) {
    gr.raw += by_field(k);
    gr.raw += '\0';
  }
  if (gr.current != nullptr && gr.raw == gr.last_raw) return *gr.current;
  gr.key.clear();
  for (std::size_t k = 0; k < nby; ++k) {
    const std::string_view f = by_field(k);
    gr.key += '\t';
    append_field(&gr.key, f.data(), f.size());
  }
  group *&slot = gr.index[gr.key];
  if (slot == nullptr) {
    gr.fr->groups.emplace_back();
    slot = &gr.fr->groups.back();
    slot->recs.reserve(128);  // a single-year table, in one allocation
    slot->key = gr.key;
    slot->setup = gr.setup;
    for (std::size_t k = 0; k < nby; ++k) {
      slot->label += k > 0 ? ", " : "";
      slot->label += shown(cols.names[k + 2]) + "=" + shown(by_field(k));
    }
  }
  if (gr.current != nullptr && !gr.current->sent) send(gr.p, gr.current);
  gr.current = slot;
  gr.last_raw = gr.raw;
  return *slot;
}

// Adds a row's age and value to g, or counts it as left out.  False after
// refusing the file for a field that is not an age or a number.
bool add_row(group_reader &gr, group &g, std::string_view af,
             std::string_view vf, int line) {
  int x = 0;
  const int kind = qev_age_label(af.data(), af.size(), &x);
  if (kind == QEV_AGE_BAD)
    return refuse_row(
        gr, line,
        "\"" + shown(af) + "\" is not an age (a whole number, N-M or N+)");
  g.last_open = kind == QEV_AGE_OPEN;
  const bool missing = vf.empty() || vf == ".";
  switch (qev_drop_reason(kind, x, missing)) {
    case QEV_DROP_OPEN:
      ++g.drops.open_rows;
      return true;
    case QEV_DROP_OLD:
      ++g.drops.old_rows;
      return true;
    case QEV_DROP_MISSING:
      if (g.drops.missing_rows++ == 0) g.drops.first_missing_age = x;
      return true;
  }
  double y = 0.0;
  if (!parse_value_field(vf, &y))
    return refuse_row(gr, line, "value \"" + shown(vf) + "\" is not a number");
  if (gr.opt->radix > 0) y = y / gr.opt->radix;
  if (++g.count > max_data + 1) return true;  // refused when fitted anyway
  (g.sent ? g.late : g.recs).push_back({x, line, y});
  return true;
}

// Reads the rows after the header into groups, sending each to be fitted
// once a row of another group follows it, and the last at the end.
void read_groups(source &s, group_reader &gr) {
  const columns &cols = *gr.cols;
  std::vector<std::string_view> fields;
  std::string scratch;
  std::string_view row;
  for (;;) {
    int line = 0;
    const row_result got = next_row(s, cols.lay == layout_csv, &row, &line);
    if (got == row_end) break;
    if (got == row_read_error) {
      say(gr.name, 0, std::strerror(errno));
      gr.fr->refused = true;
      return;
    }
    if (got == row_too_long) {
      refuse_row(gr, s.line, "a row longer than 1 MiB");
      return;
    }
    if (row.empty() || (cols.lay == layout_spaces &&
                        row.find_first_not_of(" \t") == std::string_view::npos))
      continue;
    const char *why = nullptr;
    if (!split(row, cols.lay, &fields, &scratch, &why)) {
      refuse_row(gr, line, why);
      return;
    }
    if (static_cast<int>(fields.size()) != cols.width) {
      refuse_row(gr, line,
                 std::to_string(fields.size()) +
                     " fields, where the header has " +
                     std::to_string(cols.width));
      return;
    }
    group &g = group_of(gr, fields);
    if (!add_row(gr, g, fields[static_cast<std::size_t>(cols.index[0])],
                 fields[static_cast<std::size_t>(cols.index[1])], line))
      return;
  }
  if (gr.current != nullptr && !gr.current->sent) send(gr.p, gr.current);
}

// Rows dropped on purpose, counted for one line per file, and the groups
// with values missing, one line each.
void report_drops(const char *name, const file_result &fr) {
  long rows[3] = {};
  long groups[3] = {};
  for (const group &g : fr.groups) {
    const long n[3] = {g.drops.open_rows, g.drops.old_rows,
                       g.drops.missing_rows};
    for (int k = 0; k < 3; ++k) {
      rows[k] += n[k];
      groups[k] += n[k] > 0;
    }
    if (g.drops.missing_rows > 0) {
      char what[128];
      std::snprintf(what, sizeof what,
                    "left out %ld row%s with no value, from age %d",
                    g.drops.missing_rows, g.drops.missing_rows > 1 ? "s" : "",
                    g.drops.first_missing_age);
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

// Reads the table in s into fr, sending groups to p (if any) as they close,
// and waits until they are fitted.
void read_file(source &s, const char *name, const options &opt,
               const file_setup *setup, pool *p, file_result *fr) {
  columns cols;
  cols.names = {opt.age_col, opt.value_col};
  for (std::string &b : by_names(opt.by)) cols.names.push_back(std::move(b));
  cols.index.assign(cols.names.size(), -1);
  if (find_header(s, name, &cols) == 0) {
    fr->refused = true;
  } else {
    group_reader gr{name, &opt, &cols, setup, p, fr, {}, nullptr, {}, {}, {}};
    read_groups(s, gr);
  }
  if (p != nullptr) pool_drain(p);
}

// Writes g's rows of opt.mode after prefix (the file and key fields).
void put_group(const options &opt, const std::string &prefix, const group &g) {
  std::string rows = prefix;
  if (opt.mode == mode_tsv) {
    add_result(&rows, g.res);
    rows += '\n';
  } else {
    if (g.res.status == QEV_REFUSED) return;
    rows.clear();
    std::vector<int> age;
    std::vector<double> life;
    for (const record &r : g.recs) {
      age.push_back(r.age);
      life.push_back(r.value);
    }
    add_fitted(&rows, prefix, g.res, age.data(), life.data(),
               static_cast<int>(age.size()));
  }
  put_rows(rows);
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
  const file_setup setup{name, opt.start, opt.restarts, opt.radix_text};
  file_result fr;
  read_file(s, name, opt, &setup, p, &fr);
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
  pool_drain(p);
  report_drops(name, fr);

  bool all = true;
  std::string file_field;
  append_field(&file_field, file, std::strlen(file));
  for (group &g : fr.groups) {
    if (opt.require_open && !g.last_open) {
      g.res.status = QEV_REFUSED;
      g.notes.clear();
      say(where_of(name, g).c_str(), 0,
          "its last row is not an open age group (N+): is the file cut short?",
          &g.notes);
    }
    std::fputs(g.notes.c_str(), stderr);
    if (g.res.status == QEV_REFUSED) all = false;
    put_group(opt, file_field + g.key, g);
    if (std::ferror(stdout)) return false;
  }
  return all;
}

}  // namespace

bool read_long_table(std::FILE *fp, const options &opt,
                     std::vector<long_entry> *out, int *line) {
  source s{fp, {}};
  file_result fr;
  const file_setup setup{"input", opt.start, 0, nullptr};
  read_file(s, "input", opt, &setup, nullptr, &fr);
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

  // The reading thread fits too once the file is read.
  pool *p = pool_start(opt.jobs);
  if (p == nullptr) return false;
  bool all = true;
  for (int k = 0; k < n; ++k) {
    if (!fit_long_file(files[k], opt, p)) all = false;
    if (std::ferror(stdout)) break;
  }
  pool_stop(p);
  return flush_rows() && all;
}
