// qev: fit a three-parameter life-table curve to a data file.
//
//   qev DATAFILE [a [b [c]]]
//
// Reads "age value" records, runs the downhill simplex search from the given
// (or default) start values and writes one line to standard output.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "qev.h"

namespace {

// Exit statuses.  A search ends with status 1 whether or not it converged;
// scripts tell the two apart by the report line.
enum status {
  status_usage = 0,   // no data file named: usage on standard error
  status_fitted = 1,  // a search ran and its report is on standard output
  status_error = 2,   // unreadable or refused data file, or failed output
};

int fail(const char *name, const char *reason) {
  std::fprintf(stderr, "qev: %s: %s\n", name, reason);
  return status_error;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc <= 1) {
    std::fputs("A data file name must be given.\n", stderr);
    std::fputs("Usage: qev datafile.dat\n\n The result is obtained in stdout\n",
               stderr);
    return status_usage;
  }

  const char *filename = argv[1];
  std::FILE *fp = std::fopen(filename, "rt");
  if (fp == nullptr) return fail(filename, std::strerror(errno));
  int bad_record = 0;
  const int got = read_data(fp, &bad_record);
  const int read_errno = errno;
  std::fclose(fp);
  switch (got) {
    case read_failed:
      return fail(filename, std::strerror(read_errno));
    case read_too_many:
      return fail(filename, "more than 200 records");
    case read_malformed: {
      char reason[96];
      std::snprintf(reason, sizeof reason,
                    "record %d: expected an integer age and a value",
                    bad_record);
      return fail(filename, reason);
    }
    default:
      n_data = got;
      prepare_data();
  }

  set_start(argc, argv);
  report(downhills());
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    return fail("standard output", std::strerror(errno));
  return status_fitted;
}
