// Fuzz target: arbitrary bytes as a data file, read through a memory stream,
// then, when the reader accepts them, the whole fit.
//
// Checked: the reader ends with a count of 0..200 or a refusal at a line of
// the input; it stores nothing past the records it counts (slots beyond keep
// a sentinel); every stored record came from two whole fields, which an
// independent split of the input at whitespace converts to the same age and
// the same bits of value; the search returns 0..10000.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "memfile.h"

using namespace qev;

namespace {

constexpr int sentinel_age = INT_MIN + 12345;
constexpr double sentinel_life = -12345.0;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool is_space(char ch) { return std::strchr(" \t\n\v\f\r", ch) && ch; }

std::vector<std::string> split(const char *p, std::size_t n) {
  std::vector<std::string> fields;
  std::string cur;
  for (std::size_t i = 0; i < n; ++i) {
    if (is_space(p[i])) {
      if (!cur.empty()) fields.push_back(cur);
      cur.clear();
    } else {
      cur += p[i];
    }
  }
  if (!cur.empty()) fields.push_back(cur);
  return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  char *buf = nullptr;
  std::FILE *fp = open_bytes(data, size, &buf);
  if (fp == nullptr) return 0;

  static context ctx;
  init_context(&ctx);
  int *const age = ctx.age;
  double *const life = ctx.life;
  for (int i = 0; i < max_data; ++i) {
    age[i] = sentinel_age;
    life[i] = sentinel_life;
  }
  read_report rep;
  const int got = read_data(&ctx, fp, &rep);
  std::fclose(fp);

  int lines = 1;
  for (std::size_t i = 0; i < size; ++i) lines += buf[i] == '\n';
  int stored = got;
  if (got < 0) {
    // A memory stream has no read errors; every other refusal has a line.
    check(rep.fault != read_ok && rep.fault != read_failed);
    check(rep.line >= 1 && rep.line <= lines);
    stored = max_data;
    while (stored > 0 && age[stored - 1] == sentinel_age) --stored;
  } else {
    check(rep.fault == read_ok && got <= max_data);
  }
  for (int i = stored; i < max_data; ++i)
    check(age[i] == sentinel_age && life[i] == sentinel_life);

  const std::vector<std::string> fields = split(buf, size);
  if (got >= 0) check(fields.size() == 2 * std::size_t(got));
  for (int i = 0; i < stored; ++i) {
    const std::string &x = fields[2 * i];
    const std::string &y = fields[2 * i + 1];
    char *end = nullptr;
    check(std::strtol(x.c_str(), &end, 10) == age[i] &&
          end == x.c_str() + x.size() &&
          x.find_first_not_of("+-0123456789") == std::string::npos);
    const double v = std::strtod(y.c_str(), &end);
    check(end == y.c_str() + y.size() &&
          std::memcmp(&v, &life[i], sizeof v) == 0);
  }
  if (got < 0) return 0;

  ctx.n_data = got;
  prepare_data(&ctx);
  const int n = downhills(&ctx);
  check(n >= 0 && n <= max_iterations);
  return 0;
}
