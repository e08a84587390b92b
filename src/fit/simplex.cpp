// Downhill simplex minimiser of the error measure f over (a, b, c).
//
// After J. A. Nelder and R. Mead, "A simplex method for function
// minimization", Computer Journal 7 (1965) 308-313, with reflection
// coefficient 1, expansion 2, contraction 1/2 and shrink 1/2.  This variant
// departs from the textbook form on purpose, and the results depend on it:
//   - the centroid of the three best vertices is scored too, and the search
//     stops after an iteration whose reflected point scores within the
//     tolerance of the centroid (a stall);
//   - an expanded point replaces the worst vertex unconditionally; it is not
//     compared with the reflected point it was grown from;
//   - expansion and contraction start from whatever the worst slot holds
//     after the reflection step (the reflected point if it was taken);
//   - it shrinks whenever the worst vertex is still worse than the second
//     worst after the contraction step, whether or not the contraction was
//     taken.
// NaN errors are not rejected: they lose every comparison, so a NaN vertex
// never moves in sort and never replaces the worst slot.
#include <cmath>

#include "fit.h"

namespace qev {

namespace {

constexpr double initial_step = 10.0;  // additive, the same for every parameter
constexpr double tolerance = 1e-15;
constexpr double centroid_divisor = 3.0;

void swap_vertices(vertex *p, vertex *q) {
  const vertex t = *p;
  *p = *q;
  *q = t;
}

// Each parameter of the three best vertices is divided before summing, and
// the sum starts from 0.0 (which also turns a -0.0 centroid into +0.0).
vertex centroid(const vertex *ivec) {
  vertex m = {};
  for (int k = 0; k < 3; ++k) {
    m.a = m.a + ivec[k].a / centroid_divisor;
    m.b = m.b + ivec[k].b / centroid_divisor;
    m.c = m.c + ivec[k].c / centroid_divisor;
  }
  return m;
}

}  // namespace

// Exchange sort: ties never exchange, and every comparison with NaN is false,
// so a NaN value stays where it is and the sort is not stable.
void sort(vertex *s) {
  for (int i = 0; i < 3; ++i) {
    for (int j = i; j < 4; ++j) {
      if (s[j].value < s[i].value) swap_vertices(&s[i], &s[j]);
    }
  }
}

int downhills(context *ctx) {
  vertex *const ivec = ctx->ivec;
  const vertex &start = ctx->_f_parms;
  for (int k = 0; k < 4; ++k) ivec[k] = {start.a, start.b, start.c, 0.0};
  ivec[1].a += initial_step;
  ivec[2].b += initial_step;
  ivec[3].c += initial_step;
  f_many(ctx, ivec, 3);
  f_many(ctx, ivec + 3, 1);
  sort(ivec);

  int count = 0;
  double spread = 1.0;
  // A NaN spread does not stop the search at the check below, but fails the
  // loop test after the iteration.
  while (count < max_iterations && spread > tolerance) {
    if (ivec[0].value == 0)
      spread = 0;
    else
      spread = 1 - ivec[0].value / ivec[3].value;
    if (spread <= tolerance) return count;

    // The centroid and the reflected point (2 centroid - worst) are scored
    // in one pass: neither depends on the other's value.
    vertex pts[2];
    pts[0] = centroid(ivec);
    pts[1] = {2.0 * pts[0].a - ivec[3].a, 2.0 * pts[0].b - ivec[3].b,
              2.0 * pts[0].c - ivec[3].c, 0.0};
    f_many(ctx, pts, 2);
    const vertex cen = pts[0];
    const vertex ref = pts[1];
    if (std::fabs(ref.value - cen.value) < tolerance) spread = 0;  // stall

    if (ref.value < ivec[3].value) ivec[3] = ref;

    vertex &worst = ivec[3];
    if (worst.value <= ivec[0].value) {
      // Expansion: 2 worst - centroid, kept whatever it scores.
      worst.a = 2.0 * worst.a - cen.a;
      worst.b = 2.0 * worst.b - cen.b;
      worst.c = 2.0 * worst.c - cen.c;
      worst.value = f(ctx, worst);
    } else if (worst.value > ivec[2].value) {
      // Contraction: halfway between the worst slot and the centroid.
      vertex con = {0.5 * (worst.a + cen.a), 0.5 * (worst.b + cen.b),
                    0.5 * (worst.c + cen.c), 0.0};
      con.value = f(ctx, con);
      if (con.value < worst.value) worst = con;
      if (ivec[2].value < worst.value) {
        // Shrink towards the best vertex.  The best is scored again too,
        // which gives the value it already holds, bit for bit, so only the
        // three that moved are scored, in one pass.
        for (int k = 1; k < 4; ++k) {
          ivec[k].a = 0.5 * (ivec[0].a + ivec[k].a);
          ivec[k].b = 0.5 * (ivec[0].b + ivec[k].b);
          ivec[k].c = 0.5 * (ivec[0].c + ivec[k].c);
        }
        f_many(ctx, ivec + 1, 3);
      }
    }
    sort(ivec);
    ++count;
  }
  return count;
}

}  // namespace qev
