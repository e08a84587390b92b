// Output: the plain report line, and the tab-separated tables of the modes
// that fit many tables, with the status of each search.
//
// Table rows are collected in a block and written whole, a block of at most
// pipe_atomic bytes at a time: a pipe takes such a write in one piece, so
// several qev processes writing to one pipe never splice each other's rows.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "qev.h"

void report(int iterations) {
  if (iterations == max_iterations) {
    std::printf("not convergent within %ld iterations\n",
                static_cast<long>(iterations));
  } else {
    std::printf("a= %lf, b= %lf, c= %lf, RMSE=%e\n", ivec[0].a, ivec[0].b,
                ivec[0].c, ivec[0].value);
  }
}

const char *const status_names[] = {"converged", "not-convergent", "no-fit",
                                    "too-few-records", "refused"};

fit_status search_status(int iterations) {
  if (n_data < min_records) return fit_too_few;
  if (iterations == max_iterations) return fit_not_convergent;
  // The spread 1 - best / worst is NaN when either is NaN (or both are
  // infinite), and the loop then ends without its test having passed.
  if (!std::isfinite(ivec[0].value) || std::isnan(ivec[3].value))
    return fit_no_fit;
  return fit_converged;
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

void put_number(double x) {
  if (std::isnan(x)) {
    put_text("NaN");
  } else if (std::isinf(x)) {
    put_text(x > 0 ? "Inf" : "-Inf");
  } else {
    char s[32];
    put_bytes(s, std::snprintf(s, sizeof s, "%.17g", x));
  }
}

void put_int(long x) {
  char s[24];
  put_bytes(s, std::snprintf(s, sizeof s, "%ld", x));
}

// Tab, line ends and backslash are escaped so that every row stays one line
// of the same number of fields; a field with a double quote is quoted as CSV
// quotes it, inner quotes doubled, since R and pandas take a field that
// starts with one as quoted.
void append_field(std::string *out, const char *s, std::size_t n) {
  const bool quoted = std::memchr(s, '"', n) != nullptr;
  if (quoted) *out += '"';
  for (std::size_t i = 0; i < n; ++i) {
    switch (s[i]) {
      case '\t':
        *out += "\\t";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\\':
        *out += "\\\\";
        break;
      case '"':
        *out += "\"\"";
        break;
      default:
        *out += s[i];
    }
  }
  if (quoted) *out += '"';
}

void put_raw(const std::string &s) {
  put_bytes(s.data(), static_cast<int>(s.size()));
}

void end_row() {
  put_bytes("\n", 1);
  if (used > pipe_atomic) write_out(row_start > 0 ? row_start : used);
  row_start = used;
}

bool flush_rows() {
  if (used > 0) write_out(used);
  return !std::ferror(stdout);
}

const char tsv_columns[] =
    "a\tb\tc\trmse\titerations\tstatus\trecords\te0_fit\te0_table";
const char fitted_columns[] = "age\tobserved\tfitted\tresidual";

void put_result(vertex best, int iterations, fit_status st, int records,
                double e0f, double e0t) {
  const double fields[] = {best.a, best.b, best.c, best.value};
  for (double x : fields) {
    put_text("\t");
    put_number(x);
  }
  put_text("\t");
  put_int(iterations);
  put_text("\t");
  put_text(status_names[st]);
  put_text("\t");
  put_int(records);
  put_text("\t");
  put_number(e0f);
  put_text("\t");
  put_number(e0t);
}

void put_fit(int iterations) {
  put_result(ivec[0], iterations, search_status(iterations), n_data,
             e0_fit(ivec[0]), e0_table());
}

void put_refused() { put_text("\t\t\t\t\t\trefused\t\t\t"); }

void put_fitted(const std::string &key) {
  for (int i = 0; i < n_data; ++i) {
    const double fitted = curve_at(ivec[0], i);
    put_raw(key);
    put_text("\t");
    put_int(age[i]);
    put_text("\t");
    put_number(life[i]);
    put_text("\t");
    put_number(fitted);
    put_text("\t");
    put_number(life[i] - fitted);
    end_row();
  }
}

bool fit_files(run_mode mode, int n, char **files) {
  put_text("file\t");
  put_text(mode == mode_tsv ? tsv_columns : fitted_columns);
  end_row();
  bool all = true;
  for (int k = 0; k < n; ++k) {
    std::string key;
    append_field(&key, files[k], std::strlen(files[k]));
    const bool loaded = load_data(files[k]) >= 0;
    if (!loaded) all = false;
    if (mode == mode_tsv) {
      put_raw(key);
      if (loaded)
        put_fit(downhills());
      else
        put_refused();
      end_row();
    } else if (loaded) {
      downhills();
      put_fitted(key);
    }
    if (std::ferror(stdout)) return false;
  }
  return flush_rows() && all;
}
