// The row tokenizer of long tables: rows up to the next line end outside
// quotes, read a block at a time, and their fields.
#include "rows.h"

#include <cstdio>
#include <cstring>

// -DQEV_NO_FAST_FLOAT builds the strtod path alone, to compare the two.
#if __has_include(<fast_float/fast_float.h>) && !defined(QEV_NO_FAST_FLOAT)
#include <fast_float/fast_float.h>
#define QEV_FAST_FLOAT 1
#endif

#include "cli.h"

namespace qev {

namespace {

constexpr std::size_t block_size = 1 << 16;
constexpr std::size_t max_row = 1 << 20;  // bytes; a longer row is refused

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

// Where the row that starts at b[from] ends, within b[from..end): the first
// line end outside quotes.  A quote opens a quoted field only at the start
// of the row or after sep (sep 0: quotes mean nothing); inside one, "" is a
// quote and a lone quote closes it.  Returns false when the row may go on
// past `end`; the caller reads more and asks again.
bool row_end(const char *b, std::size_t from, std::size_t end, char sep,
             std::size_t *eol) {
  std::size_t i = from;
  for (;;) {
    if (i == end) return false;
    const void *nl = std::memchr(b + i, '\n', end - i);
    const std::size_t stop =
        nl ? static_cast<std::size_t>(static_cast<const char *>(nl) - b) : end;
    const void *q = sep != 0 ? std::memchr(b + i, '"', stop - i) : nullptr;
    if (q == nullptr) {
      *eol = stop;
      return nl != nullptr;
    }
    const std::size_t at =
        static_cast<std::size_t>(static_cast<const char *>(q) - b);
    i = at + 1;
    if (at > from && b[at - 1] != sep) continue;  // a quote inside a field
    // A quoted field: past its closing quote.
    for (;;) {
      const void *close = std::memchr(b + i, '"', end - i);
      if (close == nullptr) return false;
      i = static_cast<std::size_t>(static_cast<const char *>(close) - b) + 1;
      if (i == end) return false;  // "" or the end: the next block says
      if (b[i] != '"') break;
      ++i;
    }
  }
}

}  // namespace

// The next row, without its line end (LF or CRLF): up to the next line end
// outside quotes.  *line is the line it starts on.
row_result next_row(source &s, char sep, std::string_view *row, int *line) {
  std::size_t stop = 0;
  while (!row_end(s.buf.data(), s.pos, s.end, sep, &stop)) {
    if (s.end - s.pos > max_row) return row_too_long;
    if (!refill(s)) {
      if (std::ferror(s.fp)) return row_read_error;
      if (s.pos == s.end) return row_end_of_file;
      stop = s.end;  // the last row, without a line end
      break;
    }
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

// Splits a row into fields.  Quoted fields are unquoted into *scratch,
// which must not grow while the fields are in use (it is reserved here).
// Returns false, with *why set, for quotes that are not well formed.
bool split(std::string_view row, layout lay,
           std::vector<std::string_view> *fields, std::string *scratch,
           const char **why) {
  fields->clear();
  if (lay.sep == 0) {
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
          if (i + 1 == row.size() || row[i + 1] != '"') {
            ++i;
            break;
          }
          ++i;
        }
        *scratch += row[i];
      }
      fields->push_back(
          std::string_view(scratch->data() + start, scratch->size() - start));
      if (i < row.size() && row[i] != lay.sep) {
        *why = "text after a closing quote";
        return false;
      }
    } else {
      const std::size_t next = row.find(lay.sep, i);
      const std::string_view f = row.substr(i, next - i);
      if (lay.sep != '\t' && f.find('"') != std::string_view::npos) {
        *why = "a double quote inside a field that is not quoted";
        return false;
      }
      fields->push_back(f);
      i = next == std::string_view::npos ? row.size() : next;
    }
    if (i == row.size()) return true;
    ++i;  // the separator
  }
}

// f without the spaces around it.
std::string_view trimmed(std::string_view f) {
  const std::size_t first = f.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return f.substr(first, f.find_last_not_of(' ') - first + 1);
}

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

bool parse_decimal(std::string_view f, char decimal, double *y) {
  if (decimal != ',') return parse_value_field(f, y);
  if (f.find('.') != std::string_view::npos) return false;
  std::string point(f);
  const std::size_t comma = point.find(',');
  if (comma != std::string::npos) point[comma] = '.';
  return parse_value_field(point, y);
}

}  // namespace qev
