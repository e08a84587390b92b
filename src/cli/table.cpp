// Output: the plain report line, and the tab-separated tables of the modes
// that fit many tables, with the status of each search.
//
// Table rows are collected in a block and written whole, a block of at most
// pipe_atomic bytes at a time: a pipe takes such a write in one piece, so
// several qev processes writing to one pipe never splice each other's rows.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "cli.h"

namespace qev {

void report(const qev_result &r) {
  if (r.iterations == max_iterations) {
    std::printf("not convergent within %ld iterations\n",
                static_cast<long>(r.iterations));
  } else {
    std::printf("a= %lf, b= %lf, c= %lf, RMSE=%e\n", r.a, r.b, r.c, r.rmse);
  }
}

namespace {

constexpr int pipe_atomic = 4096;  // PIPE_BUF on Linux
char block[1 << 16];
int used;       // bytes in block
int row_start;  // where the row being built starts

void write_out(int n) {
  std::fwrite(block, 1, static_cast<std::size_t>(n), stdout);
  std::fflush(stdout);
  std::memmove(block, block + n, static_cast<std::size_t>(used - n));
  used -= n;
  row_start = row_start > n ? row_start - n : 0;  // a long row went out whole
}

void put_bytes(const char *s, int n) {
  if (used + n > static_cast<int>(sizeof block)) {
    // A row longer than the block: it can only go out in pieces.
    if (row_start > 0) write_out(row_start);
    if (used + n > static_cast<int>(sizeof block)) write_out(used);
    if (n > static_cast<int>(sizeof block)) {
      std::fwrite(s, 1, static_cast<std::size_t>(n), stdout);
      return;
    }
  }
  std::memcpy(block + used, s, static_cast<std::size_t>(n));
  used += n;
}

}  // namespace

void put_text(const char *s) { put_bytes(s, static_cast<int>(std::strlen(s))); }

void put_raw(const std::string &s) {
  put_bytes(s.data(), static_cast<int>(s.size()));
}

void end_row() {
  put_bytes("\n", 1);
  if (used > pipe_atomic) write_out(row_start > 0 ? row_start : used);
  row_start = used;
}

void put_rows(const std::string &rows) {
  std::size_t start = 0;
  for (std::size_t nl; (nl = rows.find('\n', start)) != std::string::npos;
       start = nl + 1) {
    put_bytes(rows.data() + start, static_cast<int>(nl - start));
    end_row();
  }
}

bool flush_rows() {
  if (used > 0) write_out(used);
  return !std::ferror(stdout);
}

void add_number(std::string *row, double x) {
  if (std::isnan(x)) {
    *row += "NaN";
  } else if (std::isinf(x)) {
    *row += x > 0 ? "Inf" : "-Inf";
  } else {
    // to_chars is printf's %.17g in the C locale, byte for byte, without
    // printf's big-number arithmetic.
    char s[32];
    const std::to_chars_result r =
        std::to_chars(s, s + sizeof s, x, std::chars_format::general, 17);
    row->append(s, static_cast<std::size_t>(r.ptr - s));
  }
}

// A field that holds a tab, a line end or a double quote is quoted as CSV
// quotes it, inner quotes doubled, and nothing is escaped: R's read.delim
// and pandas' read_csv give back the very bytes.
void append_field(std::string *out, const char *s, std::size_t n) {
  const std::string_view f(s, n);
  if (f.find_first_of("\t\n\r\"") == std::string_view::npos) {
    out->append(f);
    return;
  }
  *out += '"';
  for (const char ch : f) {
    if (ch == '"') *out += '"';
    *out += ch;
  }
  *out += '"';
}

std::string result_header(bool fitted) {
  std::string h;
  const int n = fitted ? words::n_fitted_columns : words::n_result_columns;
  for (int k = 0; k < n; ++k) {
    if (k > 0) h += '\t';
    h += fitted ? words::fitted_columns[k] : words::result_columns[k];
  }
  return h;
}

namespace {

void add_checks(std::string *row, const qev_result &r) {
  *row += '\t';
  *row += words::check_list(r);
}

}  // namespace

void add_result(std::string *row, const qev_result &r) {
  if (r.status == QEV_REFUSED) {
    *row += "\t\t\t\t\t\trefused\t\t\t\t\t\t\t";
    add_checks(row, r);
    return;
  }
  for (double x : {r.a, r.b, r.c, r.rmse}) {
    *row += '\t';
    add_number(row, x);
  }
  *row += '\t';
  *row += std::to_string(r.iterations);
  *row += '\t';
  *row += qev_status_name(r.status);
  *row += '\t';
  *row += std::to_string(r.records);
  *row += '\t';
  add_number(row, r.e0_fit);
  *row += '\t';
  add_number(row, r.e0_table);
  for (double x : {r.se_a, r.se_b, r.se_c, r.se_e0_fit}) {
    *row += '\t';
    add_number(row, x);
  }
  add_checks(row, r);
}

void add_fitted(std::string *rows, const std::string &key, const qev_result &r,
                const int *age, const double *life, int n) {
  for (int i = 0; i < n; ++i) {
    const double fitted = qev_curve(r.a, r.b, r.c, age[i]);
    *rows += key;
    *rows += '\t';
    *rows += std::to_string(age[i]);
    *rows += '\t';
    add_number(rows, life[i]);
    *rows += '\t';
    add_number(rows, fitted);
    *rows += '\t';
    add_number(rows, life[i] - fitted);
    *rows += '\n';
  }
}

namespace {

// One data file of a table mode: fitted on any thread, written in order.
struct file_job {
  const char *name;
  const options *opt;
  std::string notes;  // its messages
  std::string rows;   // its rows, each ending in a line end
  bool loaded;
};

void fit_file(void *arg) {
  file_job &j = *static_cast<file_job *>(arg);
  context ctx;
  init_context(&ctx);
  read_report rep;
  j.notes.clear();
  j.rows.clear();
  append_field(&j.rows, j.name, std::strlen(j.name));
  const std::string key = j.rows;
  j.loaded = load_data(j.name, &ctx, &rep, &j.notes) >= 0;
  if (!j.loaded) {
    if (j.opt->mode == mode_tsv) {
      qev_result refused{};
      refused.status = QEV_REFUSED;  // and no checks
      add_result(&j.rows, refused);
      j.rows += '\n';
    } else {
      j.rows.clear();
    }
    return;
  }
  qev_result r;
  fit_data(&ctx,
           {j.opt->start, false, j.opt->mode == mode_tsv, j.opt->restarts}, &r);
  const char *shown = std::strcmp(j.name, "-") == 0 ? "standard input" : j.name;
  say_checks(shown, r, ctx, rep, &j.notes);
  if (j.opt->mode == mode_tsv) {
    add_result(&j.rows, r);
    j.rows += '\n';
  } else {
    j.rows.clear();
    add_fitted(&j.rows, key, r, ctx.age, ctx.life, ctx.n_data);
  }
}

}  // namespace

bool fit_files(const options &opt, int n, char **files) {
  put_text("file\t");
  put_raw(result_header(opt.mode == mode_fitted));
  end_row();
  const int jobs = opt.jobs > 0 ? opt.jobs : pool_cores();
  // Files are fitted a window at a time and written in order: one at a
  // time on one thread, so that messages and rows keep step.
  const int window = jobs == 1 ? 1 : 64 * jobs;
  pool *p = pool_start(jobs);
  if (p == nullptr) return false;
  std::vector<file_job> batch(
      static_cast<std::size_t>(window < n ? window : n));
  bool all = true;
  bool out_ok = true;
  for (int first = 0; first < n && out_ok; first += window) {
    const int last = first + window < n ? first + window : n;
    for (int k = first; k < last; ++k) {
      file_job &j = batch[static_cast<std::size_t>(k - first)];
      j.name = files[k];
      j.opt = &opt;
      pool_submit(p, fit_file, &j);
    }
    pool_drain(p);
    for (int k = first; k < last && out_ok; ++k) {
      const file_job &j = batch[static_cast<std::size_t>(k - first)];
      std::fputs(j.notes.c_str(), stderr);
      put_rows(j.rows);
      all &= j.loaded;
      out_ok = !std::ferror(stdout);
    }
  }
  pool_stop(p);
  return flush_rows() && all && out_ok;
}

}  // namespace qev
