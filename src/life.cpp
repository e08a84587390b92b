// The life-table curve and the error measure the search minimises.
//
// f is the search's inner loop.  The parts of the curve that depend only on
// the age (u^3, (e^u - 1)^0.5 and 1 - e^(-2x)) are computed once per record
// by prepare_data, so that f costs a few multiplications, additions and one
// division per record.  They are the very values the curve would compute
// each time, so the results are bit-for-bit the same.
//
// Nothing is guarded: an empty data set, an age outside [0, 105] or a zero
// a or b at age 105 give NaN or infinities that flow through IEEE
// arithmetic, and the search treats a NaN error as losing every comparison.
#include <cmath>

#include "qev.h"

int age[max_data];
double life[max_data];
int n_data;

namespace {

constexpr double terminal_age = 105.0;  // u grows without bound towards it
constexpr double a_exponent = 3.0;
constexpr double b_exponent = 0.5;
constexpr double c_factor = -2.0;

// Per-record factors of a, b and c in the curve.
double a_factor[max_data];
double b_factor[max_data];
double c_term[max_data];

}  // namespace

// Both powers go through pow, not multiplications or sqrt, so a negative base
// gives the library's NaN (b term) or a negative cube (a term); the c term
// uses the raw age, not u.
void prepare_data() {
  for (int i = 0; i < n_data; ++i) {
    const double x = static_cast<double>(age[i]);
    const double u = x / (terminal_age - x);
    a_factor[i] = std::pow(u, a_exponent);
    b_factor[i] = std::pow(std::exp(u) - 1.0, b_exponent);
    c_term[i] = 1.0 - std::exp(x * c_factor);
  }
}

// Squared residuals first, in a loop with no dependence between records that
// the compiler can vectorise; then their sum in record order, whose chain of
// dependent additions is the real cost.  Then sqrt(sum / n).
double f(vertex v) {
  const int n = n_data;
  double square[max_data];
  for (int i = 0; i < n; ++i) {
    const double t1 = v.a * a_factor[i];
    const double t2 = v.b * b_factor[i];
    const double t3 = v.c * c_term[i];
    const double curve = 1.0 / (((t1 + t2) + t3) + 1.0);
    const double r = life[i] - curve;
    square[i] = r * r;
  }
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum = sum + square[i];
  return std::sqrt(sum / static_cast<double>(n));
}
