// The words of qev's messages, once, for every client: the command line
// and the Python and R packages compile this module in.  It depends only
// on the library's public header, writes to no stream and adds no prefix:
// each client puts its own before a message ("qev: FILE: ", a group's
// keys) and names its own options (voice).
#ifndef QEV_WORDS_H
#define QEV_WORDS_H

#include <string>
#include <string_view>
#include <vector>

#include "qev.h"

namespace qev::words {

// How a client speaks: the word for a record's place ("line", "row",
// "record"), its names of the radix and key-column arguments ("--radix"
// and "--by", or "radix" and "by"; by nullptr where there are none), and
// whether a data check starts with "warning: ".
struct voice {
  const char *unit;
  const char *radix;
  const char *by;
  bool warning;
};

// The records of one table as the client has them: record i is age[i],
// life[i] (the value fitted) and came from place[i], in the client's unit.
// A data file's words take its first value that is not a share as it was
// written (value_text, at value_place); a long table's give it in full
// precision and point to the radix, given as radix_text (nullptr: none).
struct records {
  const int *age;
  const double *life;
  const int *place;
  bool data_file;
  const char *value_text;
  int value_place;
  const char *radix_text;
};

// The messages of r, a line each without its line end: the data checks it
// shows, or, for a refused table, why it was refused.  A message about a
// record starts "UNIT N: ".
std::vector<std::string> check_messages(const qev_result &r,
                                        const records &recs, const voice &v);

// The same for one group of a grouped fit (qev_fit_groups_rows): its rows
// are those of `rows` (group ignored) that kept[] marks, with the values
// value_fitted[] gives, each from place[i].
std::vector<std::string> group_messages(const qev_result &r,
                                        const qev_rows &rows,
                                        const unsigned char *kept,
                                        const double *value_fitted,
                                        const int *place,
                                        const char *radix_text, const voice &v);

// The words of r's checks joined by commas, as the checks column has them.
std::string check_list(const qev_result &r);

// "more than 200 records: the table has N", asking whether a key column
// (the argument by, unless nullptr) is missing.
std::string too_many(long records, const char *by);
// After the first groups' messages: "and N more groups with data checks:
// the checks column names them".
std::string more_groups(long groups);
// Groups whose data checks are worded; the rest are counted.
constexpr int max_worded_groups = 20;
// "age N is out of range", for an age whose number passes an int.
std::string big_age(const char *shown);
// What an argument of enum qev_argument takes, to follow "NAME takes ".
const char *argument(int which);
// A value column of text, where numbers belong.
std::string text_value(const char *column);
// A group's rows with no value: "left out N rows with no value, from age A".
std::string left_out(long rows, int first_age);
// An age label that is none (qev_age_label's QEV_AGE_BAD), shown, with
// the labels a long table takes: Eurostat's codes for a label that looks
// like one.
std::string not_an_age(const char *shown);
// Eurostat's layout: a row of `fields` fields or `codes` dimension codes
// where the header has `header`; a dimension with the name of a column the
// reader makes.
std::string eurostat_width(long fields, long header, bool codes);
std::string eurostat_clash(const char *dimension);
// One line for a table's drops: rows[0] of ages above 104 in groups[0]
// groups, rows[1] with no value in groups[1], rows[2] of labels of no age
// (Eurostat's Y_OPEN, TOTAL) in groups[2]; missing names what counts as no
// value ("NA", "NaN or None").  Empty when nothing was dropped.
std::string dropped(const long rows[3], const long groups[3],
                    const std::string &missing);

// The columns of a fitted table's row after its keys, and of a fitted
// record's.
constexpr const char *result_columns[] = {
    "a",      "b",        "c",    "rmse", "iterations", "status",    "records",
    "e0_fit", "e0_table", "se_a", "se_b", "se_c",       "se_e0_fit", "checks"};
constexpr int n_result_columns =
    sizeof result_columns / sizeof result_columns[0];
constexpr const char *fitted_columns[] = {"age", "observed", "fitted",
                                          "residual"};
constexpr int n_fitted_columns =
    sizeof fitted_columns / sizeof fitted_columns[0];

// The first of `keys` that is also a column a result has (of the fitted
// records' table when fitted, and "file" too when file is true), or "":
// a table would have two columns of one name.
std::string clashing_key(const std::vector<std::string> &keys, bool fitted,
                         bool file);

// The rows a row filter (the option `option`) left out: "skipped N rows
// whose COLUMN is none of OPTION's values".
std::string skipped(long rows, const char *column, const char *option);

// "by names the column "K" twice" for the first key named twice, or "".
std::string key_twice(const std::vector<std::string> &keys);

// Room for a text as show_text quotes it.
constexpr int shown_size = 4 * 32 + 4;

// Quotes text[0..len) for a message: at most 32 bytes, then "..." (also
// when cut), with quotes, backslashes and bytes that are not printable
// ASCII or UTF-8 escaped.  out needs room for shown_size bytes.
void show_text(const char *text, int len, bool cut, char *out);
// The same into a string.
std::string shown(std::string_view text);

}  // namespace qev::words

#endif  // QEV_WORDS_H
