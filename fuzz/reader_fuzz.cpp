// Fuzz target: arbitrary bytes as a data file, read through a memory stream,
// then, when the reader accepts them, the whole fit.
//
// Checked: the reader ends with a count of 0..200 or a refusal; it stores
// nothing past the records it counts (slots beyond keep a sentinel); a
// malformed record is numbered 1..201; the search returns 0..10000.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "qev.h"

namespace {

constexpr int sentinel_age = INT_MIN + 12345;
constexpr double sentinel_life = -12345.0;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  static char empty[1];
  char *buf =
      size ? reinterpret_cast<char *>(const_cast<std::uint8_t *>(data)) : empty;
  std::FILE *fp = fmemopen(buf, size ? size : 1, "r");
  if (fp == nullptr) return 0;
  if (size == 0) std::fgetc(fp);  // an empty file: nothing left to read

  for (int i = 0; i < max_data; ++i) {
    age[i] = sentinel_age;
    life[i] = sentinel_life;
  }
  int bad = 0;
  const int got = read_data(fp, &bad);
  std::fclose(fp);

  int stored = got;
  if (got == read_malformed) {
    check(bad >= 1 && bad <= max_data + 1);
    stored = bad - 1;
  } else if (got == read_too_many) {
    stored = max_data;
  } else {
    check(got >= 0 && got <= max_data);  // a memory stream has no read errors
  }
  for (int i = stored; i < max_data; ++i)
    check(age[i] == sentinel_age && life[i] == sentinel_life);
  if (got < 0) return 0;

  n_data = got;
  prepare_data();
  _f_parms = {0.03, 0.05, 0.01, 0.0};
  const int n = downhills();
  check(n >= 0 && n <= max_iterations);
  return 0;
}
