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
// Eurostat's TSV is wide: its first field joins the dimension codes with
// commas, and each period is a column of cells "VALUE FLAG".  A first header
// field that ends in \TIME_PERIOD or \time (or /) tells it; each cell is
// then read as a long row of the dimensions, the period, value and flag.
//
// Tables are fitted by a pool of threads while the file is still being read:
// a table is queued when a row of another table follows it.  Rows of a
// table that come after that (a file whose tables are not contiguous) are
// kept apart, and the table is fitted again, whole, at the end of the file.
// Each fit runs in a context of its own, so a table's result does not depend
// on the thread, and the rows are written in input order once the file is
// done.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "cli.h"
#include "rows.h"

namespace qev {

namespace {

// With --sorted, groups fitted before their rows are written: enough to
// keep every thread busy, few enough to bound the memory.
constexpr int groups_per_job = 64;
constexpr int max_window = 1024;

// A record as a long table keeps it, packed: millions of them may be held
// until the end of the file.
struct __attribute__((packed)) record {
  double value;
  std::uint32_t line;
  std::uint8_t age;  // 0 .. 104: older ones are dropped
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
  int count = 0;             // records; no more than max_stored are stored
  int sent_count = 0;        // count when the group was sent to be fitted
  bool sent = false;
  bool last_open = false;  // its last row so far is an open age group
  int top_age = -1;        //   (in age order when rows come out of it)
  qev_drops drops{};
  const file_setup *setup = nullptr;
  qev_result res{};   // the fit, written by the thread that ran it
  std::string notes;  // its messages, written before its rows
};

using words::shown;

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
                            ? max_stored
                            : g->recs.size();
  int age[max_stored];
  double life[max_stored];
  int line[max_stored];
  for (std::size_t i = 0; i < n; ++i) {
    age[i] = g->recs[i].age;
    life[i] = g->recs[i].value;
    line[i] = static_cast<int>(g->recs[i].line);
  }
  context ctx;
  init_context(&ctx);
  // A group too long to fit is refused with its whole count, for the
  // message; only the count is read then.
  const long records = n > static_cast<std::size_t>(max_data)
                           ? g->sent_count
                           : static_cast<long>(n);
  fit_records(&ctx, age, life, records,
              long_table_rules(g->setup->start, g->setup->restarts), &g->res);
  g->notes.clear();
  say_all(where_of(g->setup->name, *g).c_str(),
          words::check_messages(
              g->res, {age, life, line, false, nullptr, 0, g->setup->radix},
              cli_voice),
          &g->notes);
}

// Hands g to the pool, which fits it now or later; nothing without one.
void send(pool *p, group *g) {
  g->sent = true;
  g->sent_count = g->count;
  // A table kept to the end of the file keeps only its records: a million
  // tables of four records would otherwise hold 1.6 KiB each.
  if (g->recs.capacity() > 2 * g->recs.size() + 8)
    std::vector<record>(g->recs.begin(), g->recs.end()).swap(g->recs);
  if (p != nullptr) pool_submit(p, fit_group, g);
}

// ---------------------------------------------------------------------------
// One file.

// Eurostat's wide layout, when the file is in it: the dimensions in the
// first field, and the period of each column after it.
struct wide_layout {
  bool on = false;
  std::size_t dims = 0;
  std::vector<std::string> periods;
  std::vector<std::string> names;  // the long columns: dims, time, value, flag
  bool by_row = false;             // no --by column is value or flag
};

struct columns {
  wide_layout wide;
  std::vector<std::string> names;  // age, value, the --by columns, then
                                   // --where's, if it names one
  std::vector<int> index;          // their places in a row
  std::size_t n_by = 0;            // --by columns
  std::vector<std::string> where;  // the values --where keeps
  int width = 0;                   // fields in the header
  int header_line = 0;
  layout lay;
  bool row_names = false;  // rows have a first field more: R's row names
};

// The columns opt names, not yet found: age, value, the --by ones, then
// the column of --where.
columns columns_of(const options &opt) {
  columns cols;
  cols.names = {opt.age_col, opt.value_col};
  for (std::string &b : list_of(opt.by)) cols.names.push_back(std::move(b));
  cols.n_by = cols.names.size() - 2;
  if (opt.where != nullptr) {
    const char *eq = std::strchr(opt.where, '=');
    cols.names.emplace_back(opt.where,
                            static_cast<std::size_t>(eq - opt.where));
    cols.where = list_of(eq + 1);
  }
  cols.index.assign(cols.names.size(), -1);
  return cols;
}

// Whether --where keeps a row: its column holds one of the values, spaces
// around it aside, or there is no --where.
bool kept_by_where(const columns &cols,
                   const std::vector<std::string_view> &fields) {
  if (cols.where.empty()) return true;
  const std::string_view f =
      trimmed(fields[static_cast<std::size_t>(cols.index.back())]);
  for (const std::string &v : cols.where)
    if (f == v) return true;
  return false;
}

// The separator a header line shows: a tab, else a comma, else a
// semicolon, else runs of spaces (0).
char separator_of(std::string_view row) {
  for (const char sep : {'\t', ',', ';'})
    if (row.find(sep) != std::string_view::npos) return sep;
  return 0;
}

// Finds the columns named among a long row's column names; false, with the
// names not found in *missing, when any is not there.
bool place_columns(const std::vector<std::string> &names, columns *cols,
                   std::vector<bool> *seen) {
  bool all = true;
  for (std::size_t k = 0; k < cols->names.size(); ++k) {
    int at = -1;
    for (std::size_t f = 0; f < names.size() && at < 0; ++f)
      if (names[f] == cols->names[k]) at = static_cast<int>(f);
    cols->index[k] = at;
    if (at >= 0) (*seen)[k] = true;
    all &= at >= 0;
  }
  return all;
}

// Whether a header's first field names Eurostat's wide layout: the
// dimensions, then \ or / and the time dimension.
bool is_wide_header(std::string_view first) {
  for (const char *time : {"TIME_PERIOD", "time"}) {
    const std::size_t n = std::strlen(time);
    if (first.size() > n && first.substr(first.size() - n) == time &&
        (first[first.size() - n - 1] == '\\' ||
         first[first.size() - n - 1] == '/'))
      return true;
  }
  return false;
}

// Reads the header of Eurostat's wide layout into cols; false after a
// message naming what is wrong.
bool wide_header(const char *name, const options &opt,
                 const std::vector<std::string_view> &fields, int line,
                 columns *cols) {
  wide_layout &w = cols->wide;
  const std::string_view first = trimmed(fields[0]);
  const std::size_t cut = first.find_last_of("\\/");
  std::size_t from = 0;
  for (;;) {
    const std::size_t comma = first.find(',', from);
    const std::size_t to = comma < cut ? comma : cut;
    w.names.emplace_back(trimmed(first.substr(from, to - from)));
    if (to == cut) break;
    from = to + 1;
  }
  for (const std::string &d : w.names)
    if (d == "value" || d == "flag") {
      say(name, line, words::eurostat_clash(d.c_str()).c_str());
      return false;
    }
  if (opt.sorted) {
    say(name, line,
        "--sorted cannot read Eurostat's layout, where a group's rows are "
        "never together");
    return false;
  }
  w.on = true;
  w.dims = w.names.size();
  w.names.emplace_back(first.substr(cut + 1));
  w.names.emplace_back("value");
  w.names.emplace_back("flag");
  for (std::size_t f = 1; f < fields.size(); ++f)
    w.periods.emplace_back(trimmed(fields[f]));
  std::vector<bool> seen(cols->names.size(), false);
  if (!place_columns(w.names, cols, &seen)) {
    std::string what = "no column";
    for (std::size_t k = 0, n = 0; k < seen.size(); ++k)
      if (!seen[k])
        what += (n++ > 0 ? ", \"" : " \"") + shown(cols->names[k]) + "\"";
    what += " in Eurostat's layout, whose columns are";
    for (std::size_t k = 0; k < w.names.size(); ++k)
      what += (k > 0 ? ", " : " ") + shown(w.names[k]);
    say(name, line, what.c_str());
    return false;
  }
  w.by_row = true;
  for (std::size_t k = 0; k < cols->n_by; ++k)
    w.by_row &= static_cast<std::size_t>(cols->index[k + 2]) <= w.dims;
  cols->width = static_cast<int>(fields.size());
  cols->lay.sep = '\t';
  cols->header_line = line;
  return true;
}

// The header: the first line that holds every named column, its fields
// matched without the spaces around them, or a first line of Eurostat's
// wide layout.  Returns false after a message (no such line, or a read
// error).
bool find_header(source &s, const char *name, const options &opt,
                 columns *cols) {
  std::vector<bool> seen(cols->names.size(), false);
  std::vector<std::string_view> fields;
  std::string scratch;
  std::string first_line;
  std::string_view row;
  int line = 0;
  for (bool first = true;; first = false) {
    const row_result got = next_row(s, 0, &row, &line);
    if (got == row_read_error) {
      say(name, 0, input_error(errno).c_str());
      return false;
    }
    if (got == row_too_long) {
      say(name, s.line, "a line longer than 1 MiB before the header");
      return false;
    }
    if (got == row_end_of_file) break;
    if (first && row.substr(0, 3) == "\xef\xbb\xbf") row.remove_prefix(3);
    if (first) first_line = shown(row);
    layout lay;
    lay.sep = opt.sep != 0 ? opt.sep : separator_of(row);
    const char *why = nullptr;
    if (!split(row, lay, &fields, &scratch, &why)) continue;
    if (first && lay.sep == '\t' && is_wide_header(trimmed(fields[0])))
      return wide_header(name, opt, fields, line, cols);
    std::vector<std::string> names;
    for (const std::string_view f : fields) names.emplace_back(trimmed(f));
    const bool all = place_columns(names, cols, &seen);
    if (all && opt.decimal == ',' && lay.sep == ',') {
      say(name, line,
          "fields separated by commas cannot hold decimal commas: give a "
          "file separated by semicolons or tabs with --decimal=,");
      return false;
    }
    if (all) {
      cols->width = static_cast<int>(fields.size());
      cols->lay = lay;
      cols->header_line = line;
      return true;
    }
  }
  std::string what = "no header line holds all the columns named (";
  std::string missing;
  for (std::size_t k = 0; k < cols->names.size(); ++k) {
    const std::string quoted = "\"" + shown(cols->names[k]) + "\"";
    what += (k > 0 ? ", " : "") + quoted;
    if (!seen[k]) missing += (missing.empty() ? "" : ", ") + quoted;
  }
  what += ")";
  if (!missing.empty()) what += ": no line holds " + missing;
  what += line == 0 ? "; the file is empty"
                    : "; the first line is \"" + first_line + "\"";
  say(name, 0, what.c_str());
  return false;
}

// The missing-value texts of a row: NA, NaN, "." and empty, and --na's.
std::vector<std::string> missing_texts(const options &opt) {
  std::vector<std::string> na = {"NA", "NaN", ".", ""};
  for (std::string &t : list_of(opt.na)) na.push_back(std::move(t));
  return na;
}

struct file_result {
  std::deque<group> groups;
  bool refused = false;
  int refused_line = 0;
};

// The reading of one file's rows into groups.
struct group_reader {
  group_reader(const char *name_, const options *opt_, const columns *cols_,
               const file_setup *setup_, pool *p_, file_result *fr_)
      : name(name_),
        opt(opt_),
        cols(cols_),
        setup(setup_),
        p(p_),
        fr(fr_),
        na(missing_texts(*opt_)) {}
  const char *name;
  const options *opt;
  const columns *cols;
  const file_setup *setup;
  pool *p;
  file_result *fr;
  std::vector<std::string> na;  // the texts of a missing value
  bool hold = false;  // fit only once the file is read: Eurostat's layout
  // A wide file's groups by the --by fields of a row but the period, one
  // per period column, so that most cells need no key of their own.
  std::unordered_map<std::string, std::vector<group *>> row_groups;
  std::string row_key;
  std::unordered_map<std::string, group *> index;  // without --sorted
  std::unordered_set<std::string> done;            // with it: keys passed
  std::size_t window = 0;  // with --sorted: groups sent before they are written
  bool paused = false;     // handed back at a new group to write the window
  std::vector<std::string_view> cell;    // a wide row's cell as a long row
  std::vector<std::string_view> fields;  // the row being read, kept over a
  std::string scratch;                   // pause, and its unquoted fields
  int line = 0;
  group *current = nullptr;
  std::string last_raw;  // the key fields of the last row, as read
  std::string raw;
  std::string key;
  long rows = 0;     // after the header
  long skipped = 0;  // rows --where left out
};

// Refuses the file at `line` with a message; returns false, to stop.
bool refuse_row(group_reader &gr, int line, const std::string &what) {
  say(gr.name, line, what.c_str());
  gr.fr->refused = true;
  gr.fr->refused_line = line;
  return false;
}

// The group of a row, or nullptr after a refusal: most rows belong to the
// one before, and a new key sends the one before to be fitted.
group *group_of(group_reader &gr, const std::vector<std::string_view> &fields,
                int line) {
  const columns &cols = *gr.cols;
  const std::size_t nby = cols.n_by;
  auto by_field = [&](std::size_t k) {
    return fields[static_cast<std::size_t>(cols.index[k + 2])];
  };
  gr.raw.clear();
  for (std::size_t k = 0; k < nby; ++k) {
    gr.raw += by_field(k);
    gr.raw += '\0';
  }
  if (gr.current != nullptr && gr.raw == gr.last_raw) return gr.current;
  gr.key.clear();
  for (std::size_t k = 0; k < nby; ++k) {
    const std::string_view f = by_field(k);
    gr.key += '\t';
    append_field(&gr.key, f.data(), f.size());
  }
  // The keys for messages: "Year=1990, Sex=F".
  auto label = [&] {
    std::string l;
    for (std::size_t k = 0; k < nby; ++k)
      l += (k > 0 ? ", " : "") + shown(cols.names[k + 2]) + "=" +
           shown(by_field(k));
    return l;
  };
  if (gr.current != nullptr && !gr.current->sent && !gr.hold)
    send(gr.p, gr.current);
  group *slot = nullptr;
  if (gr.opt->sorted) {
    if (gr.current != nullptr) gr.done.insert(gr.current->key);
    if (gr.done.count(gr.key) > 0)
      return refuse_row(gr, line,
                        label() +
                            " again, after other groups: with --sorted, "
                            "each group's rows must be together"),
             nullptr;
    // A full window goes back to be written before the new group starts;
    // the row waits, and its group is made when reading resumes.
    if (gr.fr->groups.size() >= gr.window) {
      gr.current = nullptr;
      gr.paused = true;
      return nullptr;
    }
  } else {
    slot = gr.index[gr.key];
  }
  if (slot == nullptr) {
    gr.fr->groups.emplace_back();
    slot = &gr.fr->groups.back();
    if (!gr.opt->sorted) gr.index[gr.key] = slot;
    slot->recs.reserve(128);  // a single-year table, in one allocation
    slot->key = gr.key;
    slot->setup = gr.setup;
    slot->label = label();
  }
  gr.current = slot;
  gr.last_raw = gr.raw;
  return slot;
}

// Adds a row's age and value to g, or counts it as left out.  False after
// refusing the file for a field that is not an age or a number.
bool add_row(group_reader &gr, group &g, std::string_view af,
             std::string_view vf, int line) {
  af = trimmed(af);
  vf = trimmed(vf);
  int x = 0;
  const int kind = qev_age_label(af.data(), af.size(), &x);
  if (kind == QEV_AGE_RANGE)
    return refuse_row(gr, line, words::big_age(shown(af).c_str()));
  if (kind < 0)
    return refuse_row(gr, line, words::not_an_age(shown(af).c_str()));
  if (kind != QEV_AGE_NONE && (!gr.hold || x >= g.top_age)) {
    g.last_open = kind == QEV_AGE_OPEN;
    g.top_age = x;
  }
  bool missing = false;
  for (const std::string &na : gr.na) missing |= vf == na;
  const int why = qev_drop_reason(kind, x, missing);
  if (why != QEV_KEEP) {
    tally_drop(&g.drops, why, x);
    // A wide file's rows come out of age order: the youngest is first.
    if (gr.hold && why == QEV_DROP_MISSING && x < g.drops.first_missing_age)
      g.drops.first_missing_age = x;
    return true;
  }
  double y = 0.0;
  if (!parse_decimal(vf, gr.opt->decimal, &y)) {
    std::string what = "value \"" + shown(vf) + "\" is not a number";
    if (gr.opt->decimal != ',' && parse_decimal(vf, ',', &y))
      what += ": a decimal comma? qev reads a decimal point only";
    return refuse_row(gr, line, what);
  }
  y = scaled(y, gr.opt->radix);
  if (++g.count > max_stored) return true;  // refused when fitted anyway
  (g.sent ? g.late : g.recs)
      .push_back(
          {y, static_cast<std::uint32_t>(line), static_cast<std::uint8_t>(x)});
  return true;
}

// Adds the row in gr.fields to its group; false after a refusal or a
// pause (gr.paused).
bool add_group_row(group_reader &gr, const columns &cols) {
  group *g = group_of(gr, gr.fields, gr.line);
  return g != nullptr &&
         add_row(gr, *g, gr.fields[static_cast<std::size_t>(cols.index[0])],
                 gr.fields[static_cast<std::size_t>(cols.index[1])], gr.line);
}

// Adds each cell of a row of Eurostat's wide layout, in gr.fields, to its
// group as the long row of its dimension codes, period, value and flag;
// false after a refusal.
bool add_wide_row(group_reader &gr, const columns &cols) {
  const wide_layout &w = cols.wide;
  std::vector<std::string_view> &cell = gr.cell;
  cell.clear();
  const std::string_view codes = gr.fields[0];
  for (std::size_t from = 0;;) {
    const std::size_t comma = codes.find(',', from);
    cell.push_back(trimmed(codes.substr(from, comma - from)));
    if (comma == std::string_view::npos) break;
    from = comma + 1;
  }
  if (cell.size() != w.dims)
    return refuse_row(gr, gr.line,
                      words::eurostat_width(static_cast<long>(cell.size()),
                                            static_cast<long>(w.dims), true));
  cell.resize(w.dims + 3);
  // The row's groups, where its cells' groups differ by the period alone.
  std::vector<group *> *slots = nullptr;
  if (w.by_row) {
    gr.row_key.clear();
    for (std::size_t k = 0; k < cols.n_by; ++k) {
      const std::size_t at = static_cast<std::size_t>(cols.index[k + 2]);
      if (at < w.dims) gr.row_key.append(cell[at]).push_back('\0');
    }
    slots = &gr.row_groups[gr.row_key];
    if (slots->empty()) slots->assign(w.periods.size(), nullptr);
  }
  for (std::size_t j = 0; j < w.periods.size(); ++j) {
    const std::string_view c = trimmed(gr.fields[j + 1]);
    const std::size_t space = c.find(' ');
    cell[w.dims] = w.periods[j];
    cell[w.dims + 1] = c.substr(0, space);
    cell[w.dims + 2] = space == std::string_view::npos
                           ? std::string_view()
                           : trimmed(c.substr(space + 1));
    if (!kept_by_where(cols, cell)) {
      ++gr.skipped;
      continue;
    }
    group *g = slots != nullptr ? (*slots)[j] : nullptr;
    if (g == nullptr) {
      g = group_of(gr, cell, gr.line);
      if (slots != nullptr) (*slots)[j] = g;
    }
    if (g == nullptr ||
        !add_row(gr, *g, cell[static_cast<std::size_t>(cols.index[0])],
                 cell[static_cast<std::size_t>(cols.index[1])], gr.line))
      return false;
  }
  return true;
}

// The records of each group of a wide file, in age order (equal ages in
// file order), each group then sent to be fitted.
void send_in_age_order(group_reader &gr) {
  for (group &g : gr.fr->groups) {
    std::stable_sort(
        g.recs.begin(), g.recs.end(),
        [](const record &x, const record &y) { return x.age < y.age; });
    send(gr.p, &g);
  }
}

// Reads the rows after the header into groups, sending each to be fitted
// once a row of another group follows it, and the last at the end.  With
// --sorted it hands back (true) when a window of groups has been sent, for
// the caller to write them, and goes on where it stopped when called again;
// false when the file is read or refused.
bool read_groups(source &s, group_reader &gr, columns &cols) {
  std::vector<std::string_view> &fields = gr.fields;
  std::string_view row;
  int &line = gr.line;
  if (gr.paused) {
    gr.paused = false;
    if (!add_group_row(gr, cols)) return gr.paused;
  }
  for (;;) {
    const row_result got = next_row(s, cols.lay.sep, &row, &line);
    if (got == row_end_of_file) break;
    if (got == row_read_error) {
      say(gr.name, 0, input_error(errno).c_str());
      gr.fr->refused = true;
      return false;
    }
    if (got == row_too_long) {
      refuse_row(gr, s.line, "a row longer than 1 MiB");
      return false;
    }
    if (row.empty() || (cols.lay.sep == 0 &&
                        row.find_first_not_of(" \t") == std::string_view::npos))
      continue;
    const char *why = nullptr;
    if (!split(row, cols.lay, &fields, &gr.scratch, &why)) {
      refuse_row(gr, line, why);
      return false;
    }
    // R's write.table names no column for its row names: a first row one
    // field wider than the header has them, and so must every row.
    if (gr.rows++ == 0 && !cols.wide.on &&
        static_cast<int>(fields.size()) == cols.width + 1) {
      cols.row_names = true;
      ++cols.width;
      for (int &at : cols.index) ++at;
    }
    if (static_cast<int>(fields.size()) != cols.width) {
      const int header = cols.width - cols.row_names;
      refuse_row(gr, line,
                 std::to_string(fields.size()) +
                     " fields, where the header has " + std::to_string(header) +
                     (cols.row_names ? " and the first row a row name" : ""));
      return false;
    }
    if (cols.wide.on) {
      if (!add_wide_row(gr, cols)) return false;
      continue;
    }
    if (!kept_by_where(cols, fields)) {
      ++gr.skipped;
      continue;
    }
    if (!add_group_row(gr, cols)) return gr.paused;
  }
  if (gr.hold)
    send_in_age_order(gr);
  else if (gr.current != nullptr && !gr.current->sent)
    send(gr.p, gr.current);
  if (gr.rows == 0) {
    say(gr.name, 0,
        ("no rows after the header on line " + std::to_string(cols.header_line))
            .c_str());
    gr.fr->refused = true;
    gr.fr->refused_line = cols.header_line;
  }
  return false;
}

// A wide file's groups are fitted once it is read, and ":" is its cells'
// text of no value.
void hold_wide(group_reader &gr, const columns &cols) {
  if (!cols.wide.on) return;
  gr.hold = true;
  gr.na.emplace_back(":");
}

// The line that says how many rows of a group had no value.
void say_missing(const char *name, const group &g, std::string *out) {
  if (g.drops.missing_rows == 0) return;
  say(where_of(name, g).c_str(), 0,
      words::left_out(g.drops.missing_rows, g.drops.first_missing_age).c_str(),
      out);
}

// Rows dropped on purpose, summed over a file's groups.
struct drop_totals {
  long rows[3] = {};    // ages above 104, no value, no age
  long groups[3] = {};  //   in how many groups
  void add(const qev_drops &d) {
    const long n[3] = {d.old_rows, d.missing_rows, d.no_age_rows};
    for (int k = 0; k < 3; ++k) {
      rows[k] += n[k];
      groups[k] += n[k] > 0;
    }
  }
};

// One line for the file: the rows dropped, by reason, and one for the rows
// --where left out.
void report_drops(const char *name, const options &opt, const drop_totals &t,
                  long skipped, bool wide) {
  // What this command line takes for no value: its own texts, --na's and
  // the ":" of Eurostat's layout.
  std::string missing = "NA, NaN, \".\"";
  std::vector<std::string> more = list_of(opt.na);
  if (wide) more.emplace_back(":");
  for (const std::string &na : more) missing += ", \"" + shown(na) + "\"";
  missing += " or empty";
  const std::string what = words::dropped(t.rows, t.groups, missing);
  if (!what.empty()) say(name, 0, what.c_str());
  if (skipped > 0) {
    const std::string column(opt.where, std::strcspn(opt.where, "="));
    say(name, 0, words::skipped(skipped, column.c_str(), "--where").c_str());
  }
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

// The messages and rows of a fitted group, in that order; false when it
// was refused.  The messages of the first words::max_worded_groups that
// have any are written; the others' are counted in *more.
bool write_group(const char *name, const options &opt,
                 const std::string &file_field, group &g, long *worded,
                 long *more) {
  std::string notes;
  say_missing(name, g, &notes);
  if (opt.require_open && !g.last_open) {
    g.res.status = QEV_REFUSED;
    say(where_of(name, g).c_str(), 0,
        "its last row is not an open age group (N+): is the file cut short?",
        &notes);
  } else {
    notes += g.notes;
  }
  if (!notes.empty() && *worded < words::max_worded_groups) {
    ++*worded;
    std::fputs(notes.c_str(), stderr);
  } else if (!notes.empty()) {
    ++*more;
  }
  put_group(opt, file_field + g.key, g);
  return g.res.status != QEV_REFUSED;
}

// Reads and fits one file; false when it was refused or a group in it was.
// Without --sorted nothing is written until the file is read, and nothing
// of a refused file; with it, each group's rows go out once it and the
// groups before it are fitted, a window of groups at a time, and a refusal
// stops the file after the groups before the refused row.
bool fit_long_file(const char *file, const options &opt, pool *p) {
  const bool from_stdin = std::strcmp(file, "-") == 0;
  const char *name = from_stdin ? "standard input" : file;
  std::string why;
  source s{open_input(file, &why), {}};
  if (s.fp == nullptr) {
    say(name, 0, why.c_str());
    return false;
  }
  const file_setup setup{name, opt.start, opt.restarts, opt.radix_text};
  file_result fr;
  std::string file_field;
  append_field(&file_field, file, std::strlen(file));
  bool all = true;
  drop_totals totals;
  long skipped = 0;  // rows --where left out
  long worded = 0;   // groups whose messages were written
  long more = 0;     //   and those past them, only counted

  // With --sorted, the groups sent are written a window at a time as the
  // reader hands them back, and the rest at the end.
  const int jobs = opt.jobs > 0 ? opt.jobs : pool_cores();
  const std::size_t window = static_cast<std::size_t>(
      jobs < max_window / groups_per_job ? groups_per_job * jobs : max_window);
  auto flush = [&] {
    pool_drain(p);
    for (; !fr.groups.empty(); fr.groups.pop_front()) {
      group &g = fr.groups.front();
      totals.add(g.drops);
      all &= write_group(name, opt, file_field, g, &worded, &more);
    }
    return !std::ferror(stdout);
  };

  columns cols = columns_of(opt);
  if (!find_header(s, name, opt, &cols)) {
    fr.refused = true;
  } else {
    group_reader gr(name, &opt, &cols, &setup, p, &fr);
    gr.window = window;
    hold_wide(gr, cols);
    while (read_groups(s, gr, cols))
      if (!flush()) break;
    skipped = gr.skipped;
  }
  if (s.fp != stdin) std::fclose(s.fp);
  if (opt.sorted) {
    // A refused row leaves the group it was in unwritten.
    if (fr.refused && !fr.groups.empty() && !fr.groups.back().sent)
      fr.groups.pop_back();
    const bool out = flush();
    if (more > 0) say(name, 0, words::more_groups(more).c_str());
    report_drops(name, opt, totals, skipped, cols.wide.on);
    return out && all && !fr.refused;
  }
  pool_drain(p);
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
  for (group &g : fr.groups) {
    totals.add(g.drops);
    all &= write_group(name, opt, file_field, g, &worded, &more);
    if (std::ferror(stdout)) return false;
  }
  if (more > 0) say(name, 0, words::more_groups(more).c_str());
  report_drops(name, opt, totals, skipped, cols.wide.on);
  return all;
}

}  // namespace

bool read_long_table(std::FILE *fp, const options &opt,
                     std::vector<long_entry> *out, int *line) {
  source s{fp, {}};
  file_result fr;
  const file_setup setup{"input", opt.start, 0, nullptr};
  columns cols = columns_of(opt);
  options unsorted = opt;
  unsorted.sorted = false;
  if (find_header(s, "input", opt, &cols)) {
    group_reader gr("input", &unsorted, &cols, &setup, nullptr, &fr);
    hold_wide(gr, cols);
    read_groups(s, gr, cols);
  } else {
    fr.refused = true;
  }
  *line = fr.refused_line;
  out->clear();
  int k = 0;
  for (const group &g : fr.groups) {
    for (const auto *v : {&g.recs, &g.late})
      for (const record &r : *v)
        out->push_back({k, r.age, static_cast<int>(r.line), r.value});
    ++k;
  }
  return !fr.refused;
}

bool fit_long_files(const options &opt, int n, char **files) {
  put_text("file");
  for (const std::string &b : list_of(opt.by)) {
    std::string f = "\t";
    append_field(&f, b.data(), b.size());
    put_raw(f);
  }
  put_text("\t");
  put_raw(result_header(opt.mode == mode_fitted));
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

}  // namespace qev
