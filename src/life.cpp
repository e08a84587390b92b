// The life-table curve and the error measure the search minimises.
//
// f is pure: it reads the data set and its argument and writes nothing.
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

}  // namespace

// Sum of squared residuals, in record order, then sqrt(sum / n).  Both powers
// go through pow, not multiplications or sqrt, so a negative base gives the
// library's NaN (b term) or a negative cube (a term); the c term uses the raw
// age, not u.
double f(vertex v) {
  double sum = 0.0;
  for (int i = 0; i < n_data; ++i) {
    const double x = static_cast<double>(age[i]);
    const double u = x / (terminal_age - x);
    const double t1 = v.a * std::pow(u, a_exponent);
    const double t2 = v.b * std::pow(std::exp(u) - 1.0, b_exponent);
    const double t3 = v.c * (1.0 - std::exp(x * c_factor));
    const double curve = 1.0 / (((t1 + t2) + t3) + 1.0);
    const double r = life[i] - curve;
    sum = sum + r * r;
  }
  return std::sqrt(sum / static_cast<double>(n_data));
}
