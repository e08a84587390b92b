// Fuzz target: arbitrary start values, as NUL-separated command-line words,
// through the conversion main uses, then the fit on a fixed small table.
//
// Checked: the search ends with a count of 0..10000 whatever the start.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"

using namespace qev;

namespace {

// Ages 0, 20, ..., 100 of the 2011 US male life table (examples/).
const int ages[] = {0, 20, 40, 60, 80, 100};
const double lives[] = {1.0, 0.98739, 0.95866, 0.85999, 0.50846, 0.00987};

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

context ctx;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  init_context(&ctx);
  ctx.n_data = 6;
  for (int i = 0; i < ctx.n_data; ++i) {
    ctx.age[i] = ages[i];
    ctx.life[i] = lives[i];
  }
  prepare_data(&ctx);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  // Up to four words after the file name; a fourth start value is ignored.
  std::vector<std::string> words(1);
  for (std::size_t i = 0; i < size && words.size() <= 4; ++i) {
    if (data[i] == 0)
      words.emplace_back();
    else
      words.back() += static_cast<char>(data[i]);
  }
  if (words.size() > 4) words.pop_back();
  std::vector<char *> argv = {const_cast<char *>("qev"),
                              const_cast<char *>("table.dat")};
  for (std::string &w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);

  ctx._f_parms = default_start;
  set_start(static_cast<int>(argv.size()) - 1, argv.data(), &ctx._f_parms);
  const int n = downhills(&ctx);
  check(n >= 0 && n <= max_iterations);
  return 0;
}
