// Fuzz target: arbitrary bytes through the row tokenizer of long tables,
// with each layout (tab, comma, semicolon, runs of spaces).
//
// Checked from the rules alone: rows come out in order and never hold a
// line end outside quotes (a row without quotes holds none at all), their
// lines rise with the line ends before them, the rows and their line ends
// are no more than the input, and a row without quotes splits into fields
// that join back into it (at runs of spaces: fields without spaces or
// tabs).
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "memfile.h"
#include "rows.h"

using namespace qev;

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void read_all(const std::uint8_t *data, std::size_t size, char sep) {
  char *buf = nullptr;
  std::FILE *fp = open_bytes(data, size, &buf);
  if (fp == nullptr) return;
  source s{fp, {}};
  std::string_view row;
  std::vector<std::string_view> fields;
  std::string scratch;
  std::size_t seen = 0;
  int last_line = 0;
  for (int line = 0;;) {
    const row_result got = next_row(s, sep, &row, &line);
    if (got != row_ok) {
      check(got == row_end_of_file);
      break;
    }
    check(line > last_line);
    last_line = line;
    seen += row.size() + 1;
    check(seen <= size + 1);
    const bool quotes = sep != 0 && row.find('"') != std::string_view::npos;
    if (!quotes) check(row.find('\n') == std::string_view::npos);
    const char *why = nullptr;
    const layout lay{sep};
    const bool ok = split(row, lay, &fields, &scratch, &why);
    check(ok || why != nullptr);
    if (!ok || quotes) continue;
    if (sep == 0) {
      for (std::string_view f : fields)
        check(!f.empty() && f.find_first_of(" \t") == std::string_view::npos);
      continue;
    }
    std::string joined;
    for (std::size_t k = 0; k < fields.size(); ++k)
      joined += std::string(k > 0 ? 1 : 0, sep) + std::string(fields[k]);
    check(joined == row);
  }
  std::fclose(fp);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  for (char sep : {'\t', ',', ';', '\0'}) read_all(data, size, sep);
  return 0;
}
