// Front end: the data file reader, the start values from the command line,
// and the one-line report.  Only main (in main.cpp) prints error messages and
// chooses exit statuses; these functions report through return values.
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "qev.h"

namespace {

// One record: an integer age, then a real value.  Whitespace in a scanf
// pattern matches any run of whitespace, including none, so spaces, tabs,
// CRLF line ends, blank lines and several records on one line all read the
// same.  The age is scanned as a long and range-checked: an age too large
// for an int would otherwise be undefined behaviour (and glibc silently
// wraps it, turning 4294967296 into age 0).
constexpr char record_pattern[] = "%ld\t%lf\n";

}  // namespace

int read_data(std::FILE *fp, int *bad_record) {
  int count = 0;
  for (;;) {
    long x = 0;
    double y = 0.0;
    const int got = std::fscanf(fp, record_pattern, &x, &y);
    if (std::ferror(fp)) return read_failed;
    if (got == EOF) return count;
    // A scan that converts nothing consumes nothing, so it must end the read
    // rather than be repeated; one that converts only the age has no value.
    if (got != 2 || x < INT_MIN || x > INT_MAX) {
      *bad_record = count + 1;
      return read_malformed;
    }
    if (count == max_data) return read_too_many;
    age[count] = static_cast<int>(x);
    life[count] = y;
    ++count;
  }
}

void set_start(int argc, char **argv) {
  if (argc > 2) _f_parms.a = std::atof(argv[2]);
  if (argc > 3) _f_parms.b = std::atof(argv[3]);
  if (argc > 4) _f_parms.c = std::atof(argv[4]);
}

void report(int iterations) {
  if (iterations == max_iterations) {
    std::printf("not convergent within %ld iterations\n",
                static_cast<long>(iterations));
  } else {
    std::printf("a= %lf, b= %lf, c= %lf, RMSE=%e\n", ivec[0].a, ivec[0].b,
                ivec[0].c, ivec[0].value);
  }
}
