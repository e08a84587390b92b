// The rows and fields of a long table: a file read in blocks, never whole,
// split into rows at line ends outside quotes and into fields at a
// separator (quoted as CSV quotes them) or at runs of spaces, and the
// numbers of its value fields.
#ifndef QEV_ROWS_H
#define QEV_ROWS_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace qev {

// A file being read: the unread text of its last blocks, and the line the
// text starts on.
struct source {
  std::FILE *fp;
  std::vector<char> buf;
  std::size_t pos = 0;  // start of the unread text
  std::size_t end = 0;  // end of the text read
  bool eof = false;
  int line = 1;  // the line buf[pos] is on
};

enum row_result { row_ok, row_end_of_file, row_too_long, row_read_error };

// The next row, without its line end (LF or CRLF): up to the next line end
// outside quotes.  *line is the line it starts on.
row_result next_row(source &s, char sep, std::string_view *row, int *line);

// How rows split into fields: at sep, with fields quoted as CSV quotes them
// (a quote inside a field that is not quoted is refused, except in TSV,
// where it is text), or at runs of spaces and tabs (sep 0, the HMD's).
struct layout {
  char sep = '\t';
};

// Splits a row into fields.  Quoted fields are unquoted into *scratch,
// which must not grow while the fields are in use (it is reserved here).
// Returns false, with *why set, for quotes that are not well formed.
bool split(std::string_view row, layout lay,
           std::vector<std::string_view> *fields, std::string *scratch,
           const char **why);

// f without the spaces around it.
std::string_view trimmed(std::string_view f);

// A number read whole, with the bits strtod gives it.  Plain decimal
// notation goes through fast_float where it is installed (the same correctly
// rounded doubles, several times faster); everything else through strtod.
bool parse_value_field(std::string_view f, double *y);

// The same in a file whose decimal mark is `decimal` ('.' or ','): a
// decimal comma reads as the point it stands for, to strtod's bits of the
// number written with a point, and a point there is no number's.
bool parse_decimal(std::string_view f, char decimal, double *y);

}  // namespace qev

#endif  // QEV_ROWS_H
