// The error measure evaluated literally, record by record, with both powers
// and both exponentials inside the loop.  It is the reference the
// precomputed f must match bit for bit, and the baseline of the benchmarks.
#ifndef QEV_LITERAL_H
#define QEV_LITERAL_H

#include <cmath>

#include "qev.h"

namespace literal {

inline double f(vertex v) {
  double sum = 0.0;
  for (int i = 0; i < n_data; ++i) {
    const double x = static_cast<double>(age[i]);
    const double u = x / (105.0 - x);
    const double t1 = v.a * std::pow(u, 3.0);
    const double t2 = v.b * std::pow(std::exp(u) - 1.0, 0.5);
    const double t3 = v.c * (1.0 - std::exp(x * -2.0));
    const double curve = 1.0 / (((t1 + t2) + t3) + 1.0);
    const double r = life[i] - curve;
    sum = sum + r * r;
  }
  return std::sqrt(sum / static_cast<double>(n_data));
}

}  // namespace literal

#endif  // QEV_LITERAL_H
