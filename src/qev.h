// qev: fit the three-parameter life-table curve
//
//   life(x) = 1 / (a u^3 + b (e^u - 1)^0.5 + c (1 - e^(-2x)) + 1),
//   u = x / (105 - x)
//
// to observed (age, life) records by minimising the RMS error with a
// downhill simplex search.  Everything that crosses modules is declared
// here: the vertex record, the program-wide data set and simplex, and the
// functions of the reader, the error measure and the minimiser.
#ifndef QEV_H
#define QEV_H

#include <cstdio>

// Parameters a, b, c and the error measure at them, in that order.  Always
// copied whole.
struct vertex {
  double a;
  double b;
  double c;
  double value;
};

// The data set: records 0 .. n_data - 1 in file order.
constexpr int max_data = 200;
extern int age[max_data];
extern double life[max_data];
extern int n_data;

// Starting point of the search and the simplex it leaves behind, best first.
extern vertex _f_parms;
extern vertex ivec[4];

// The search gives up after this many iterations; a count equal to it means
// "did not converge".
constexpr int max_iterations = 10000;

// What read_data returns, besides a record count, when it refuses a file.
enum read_fault {
  read_failed = -1,     // the stream reported an error; errno says which
  read_too_many = -2,   // more than max_data records
  read_malformed = -3,  // a record without an integer age and a value
};

// Reads records "age value" from fp's current position to its end into the
// data set, never past max_data.  Returns the number of records stored, or a
// read_fault; for read_malformed, *bad_record gets the 1-based number of the
// offending record.  Does not close fp and does not touch n_data.
int read_data(std::FILE *fp, int *bad_record);

// Sets the a, b and c of _f_parms from the optional start values argv[2..4],
// converted as atof does; missing ones keep their defaults.
void set_start(int argc, char **argv);

// Writes the one-line report for a search that ran `iterations` iterations.
void report(int iterations);

// Computes the per-record terms of the curve that do not depend on a, b and
// c.  Call it once the data set is filled and before f.
void prepare_data();

// The error measure comes in versions for several vector widths, with the
// same results; the widest the processor runs is used.  This switches to
// version k (0 is the baseline), for tests and benchmarks, and returns its
// name, or returns nullptr if this build or processor lacks it.
const char *use_error_measure(int k);

// RMS error of the curve at v's a, b and c over the data set (v.value is not
// read).  NaN for an empty data set or an age outside [0, 105].
double f(vertex v);

// Orders the four vertices of s by value, ascending, with an exchange sort.
// A vertex whose value is NaN keeps its slot.
void sort(vertex *s);

// Runs the downhill simplex search from _f_parms and leaves the final
// simplex in ivec, best first.  Returns the number of iterations done, from
// 0 to max_iterations.
int downhills();

#endif  // QEV_H
