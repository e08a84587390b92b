// Life expectancy at birth: the area under a survival curve from age 0 to
// the curve's terminal age 105, for the fitted curve and for the table.
//
// The fitted curve is integrated with the 15-point Gauss-Kronrod rule and
// its embedded 7-point Gauss rule (R. Piessens et al., QUADPACK, Springer
// 1983, routine QK15) on fixed panels.  The curve's age-only factors at the
// nodes are precomputed (generated/tables.cpp), so a fit's area costs a few
// operations per node, like the error measure.  The difference of the two
// rules, summed over the panels, bounds the error of the Kronrod sum far from
// above for smooth curves; when it exceeds accept_error the curve has a
// feature the panels do not resolve (a near-pole peak, say), and an
// adaptive Gauss-Kronrod search bisects until every panel's difference is
// below its share of refine_error, or gives NaN after max_panels.
#include <cmath>
#include <limits>

#include "fit.h"

namespace qev {

namespace {

constexpr double end_age = terminal_age;
constexpr double accept_error = 1e-7;  // years; 10x inside the 1e-6 we state
constexpr double refine_error = 1e-9;
// Panels the adaptive rule may evaluate for one curve (about 6 ms): a curve
// whose area it cannot pin down within them, such as a near-pole whose
// height makes 1e-9 years a relative 1e-14, has no area we can vouch for.
constexpr int max_panels = 4000;
constexpr double no_area = std::numeric_limits<double>::quiet_NaN();
constexpr double inf_factor = std::numeric_limits<double>::infinity();

// QK15: Kronrod nodes on [-1, 1] (the odd ones are the Gauss nodes), with
// the Kronrod weights and the weights of the 7-point Gauss rule.
constexpr int half = 8;
constexpr double xgk[half] = {
    0.991455371120812639206854697526329, 0.949107912342758524526189684047851,
    0.864864423359769072789712788640926, 0.741531185599394439863864773280788,
    0.586087235467691130294144845693013, 0.405845151377397166906606412076961,
    0.207784955007898467600689403773245, 0.0};
constexpr double wgk[half] = {
    0.022935322010529224963732008058970, 0.063092092629978553290700663189204,
    0.104790010322250183839876322541518, 0.140653259715525918745189590510238,
    0.169004726639267902826583426598550, 0.190350578064785409913256402421014,
    0.204432940075298892414161999234649, 0.209482141084727828012999174891714};
constexpr double wg[half / 2] = {
    0.129484966168869693270611432679082, 0.279705391489276667901467771423780,
    0.381830050505118944950369775488975, 0.417959183673469387755102040816327};
constexpr int nodes = 2 * half - 1;

// Panels: narrow where the c term turns (its scale is half a year) and where
// the u terms make the curve fall to 0 between 90 and 105, a year elsewhere.
constexpr double edges[] = {
    0,      0x1p-20, 0x1p-18, 0x1p-16, 0x1p-14, 0x1p-12, 0x1p-10, 0x1p-8,
    0x1p-6, 0x1p-4,  0.25,    0.5,     1,       2,       3,       4,
    6,      8,       10,      13,      16,      20,      24,      28,
    32,     36,      40,      44,      48,      52,      56,      60,
    63,     66,      69,      72,      75,      78,      80,      82,
    84,     86,      88,      89,      90,      91,      92,      93,
    94,     95,      96,      97,      98,      99,      99.5,    100,
    100.5,  101,     101.5,   102,     102.5,   103,     103.5,   104,
    104.25, 104.5,   104.75,  end_age};
constexpr int panels = sizeof edges / sizeof edges[0] - 1;
static_assert(panels == e0_panels && nodes == e0_panel_nodes);

// The derivative -t / sum^2 of the curve y = 1 / sum by the parameter of
// factor t.  Where the curve has fallen to 0 (near 105, t and sum are
// infinite) it is 0, its limit, not the NaN of inf * 0.
inline double slope(double t, double y) {
  return y == 0.0 ? 0.0 : -(t * (y * y));
}

// A point of the curve and, into d unless it is nullptr, its derivatives
// by a, b and c.  NaN when the sum of terms is
// not positive: the curve then has a pole or turns negative, and has no
// area.
double point(vertex v, const terms &t, double *d) {
  const double sum = curve_sum(v.a, v.b, v.c, t.cube, t.root, t.ramp);
  if (!(sum > 0.0)) {
    if (d != nullptr) d[0] = d[1] = d[2] = no_area;
    return no_area;
  }
  const double y = 1.0 / sum;
  if (d != nullptr) {
    d[0] = slope(t.cube, y);
    d[1] = slope(t.root, y);
    d[2] = slope(t.ramp, y);
  }
  return y;
}

constexpr double node_age(double lo, double hi, int j) {
  const double mid = 0.5 * (lo + hi);
  const double h = 0.5 * (hi - lo);
  return j < half ? mid - h * xgk[j] : mid + h * xgk[nodes - 1 - j];
}

// One panel [lo, hi] with the curve evaluated in full: its Kronrod sum, and
// |Kronrod - Gauss| in *err; with grad, the Kronrod sums of the derivatives
// by a, b and c are added to grad[0..2].
double qk15(vertex v, double lo, double hi, double *err, double *grad) {
  const double h = 0.5 * (hi - lo);
  double k = 0.0;
  double g = 0.0;
  double dk[n_parms] = {};
  for (int j = 0; j < nodes; ++j) {
    const int m = j < half ? j : nodes - 1 - j;  // mirror of the right half
    double d[n_parms];
    const double y =
        point(v, age_terms(node_age(lo, hi, j)), grad != nullptr ? d : nullptr);
    k += wgk[m] * y;
    if (m % 2 == 1) g += wg[m / 2] * y;
    if (grad != nullptr)
      for (int q = 0; q < n_parms; ++q) dk[q] += wgk[m] * d[q];
  }
  *err = std::fabs((k - g) * h);
  if (grad != nullptr)
    for (int q = 0; q < n_parms; ++q) grad[q] += dk[q] * h;
  return k * h;
}

// The Kronrod and Gauss weights of the fixed panels' nodes, scaled to the
// panel (0 at the Kronrod-only nodes), computed by the compiler.
struct node_weights {
  double wk[e0_nodes];
  double wg[e0_nodes];
};

constexpr node_weights make_weights() {
  node_weights w{};
  for (int p = 0; p < panels; ++p) {
    const double h = 0.5 * (edges[p + 1] - edges[p]);
    for (int j = 0; j < nodes; ++j) {
      const int m = j < half ? j : nodes - 1 - j;
      w.wk[p * nodes + j] = wgk[m] * h;
      w.wg[p * nodes + j] = m % 2 == 1 ? wg[m / 2] * h : 0.0;
    }
  }
  return w;
}
constexpr node_weights weights = make_weights();

// Adaptive Gauss-Kronrod on [lo, hi] with the curve evaluated in full: each
// panel whose difference exceeds its share of the tolerance is bisected,
// while *budget panels remain; NaN once they run out.  The derivatives
// follow the panels of the area, into grad as qk15 adds them.
double adaptive(vertex v, double lo, double hi, double tol, int *budget,
                double *grad) {
  if (--*budget < 0) {
    if (grad != nullptr) grad[0] = grad[1] = grad[2] = no_area;
    return no_area;
  }
  double err = 0.0;
  double here[n_parms] = {};
  const double whole = qk15(v, lo, hi, &err, grad != nullptr ? here : nullptr);
  if (std::isnan(whole) || err <= tol) {
    if (grad != nullptr)
      for (int q = 0; q < n_parms; ++q) grad[q] += here[q];
    return whole;
  }
  const double mid = 0.5 * (lo + hi);
  return adaptive(v, lo, mid, 0.5 * tol, budget, grad) +
         adaptive(v, mid, hi, 0.5 * tol, budget, grad);
}

// The area under the curve at v from age `from` (0 to 105) to 105, and with
// grad its derivatives by a, b and c.  The fixed panels above `from` use the
// precomputed nodes; a panel that `from` cuts is evaluated in full on its
// part above `from`.  From 0 this is the sum e0_fit has always been.
double area_from(vertex v, double from, double *grad) {
  if (grad != nullptr) grad[0] = grad[1] = grad[2] = 0.0;
  if (!(from < end_age)) return from == end_age ? 0.0 : no_area;
  int first = 0;
  while (edges[first + 1] <= from) ++first;
  double area = 0.0;
  double err = 0.0;
  bool positive = true;
  double partial[n_parms] = {};  // of the panel `from` cuts
  double dk[n_parms] = {};       // of the fixed panels, negated
  int p = first;
  if (from > edges[first]) {
    double e = 0.0;
    area += qk15(v, from, edges[first + 1], &e,
                 grad != nullptr ? partial : nullptr);
    err += e;
    positive &= !std::isnan(area);
    ++p;
  }
  for (; p < panels; ++p) {
    double k = 0.0;
    double g = 0.0;
    for (int i = p * nodes; i < (p + 1) * nodes; ++i) {
      const terms &t = node_factors[i];
      const double sum = curve_sum(v.a, v.b, v.c, t.cube, t.root, t.ramp);
      positive &= sum > 0.0;
      const double y = 1.0 / sum;
      k += weights.wk[i] * y;
      g += weights.wg[i] * y;
      if (grad != nullptr) {
        // The slopes t y^2, negated at the end.  Only the root factor
        // overflows at the last nodes, where e^u does; there the curve and
        // its slope are 0, not inf * 0.
        const double w2 = weights.wk[i] * (y * y);
        dk[0] += w2 * t.cube;
        dk[1] += w2 * (t.root < inf_factor ? t.root : 0.0);
        dk[2] += w2 * t.ramp;
      }
    }
    area += k;
    err += std::fabs(k - g);
  }
  if (!positive) {
    if (grad != nullptr) grad[0] = grad[1] = grad[2] = no_area;
    return no_area;
  }
  if (err <= accept_error) {
    if (grad != nullptr)
      for (int q = 0; q < n_parms; ++q) grad[q] = partial[q] - dk[q];
    return area;
  }
  area = 0.0;
  int budget = max_panels;
  for (int q = first; q < panels; ++q) {
    const double lo = q == first ? from : edges[q];
    area +=
        adaptive(v, lo, edges[q + 1],
                 refine_error * (edges[q + 1] - lo) / end_age, &budget, grad);
  }
  return area;
}

}  // namespace

double e0_node_age(int j) {
  const int p = j / nodes;
  return node_age(edges[p], edges[p + 1], j % nodes);
}

double e0_fit(vertex v) { return area_from(v, 0.0, nullptr); }

double e0_fit_grad(vertex v, double *grad) { return area_from(v, 0.0, grad); }

double e0_table(const context *ctx, vertex best, bool fitted) {
  const int *age = ctx->age;
  const double *life = ctx->life;
  const int *order = ctx->order;
  double area = 0.0;
  double x0 = 0.0;  // a table that starts above age 0 starts from (0, 1)
  double y0 = 1.0;
  for (int j = 0; j < ctx->n_data; ++j) {
    const int i = order[j];
    const double x = static_cast<double>(age[i]);
    if (age[i] < 0 || age[i] > terminal_age ||
        (j > 0 && age[i] == age[order[j - 1]]))
      return no_area;
    area += 0.5 * (y0 + life[i]) * (x - x0);
    x0 = x;
    y0 = life[i];
  }
  if (ctx->n_data == 0 || !fitted) return no_area;
  if (x0 == end_age) return area;  // the table reaches the end itself
  // Beyond the last age, the fitted curve scaled to meet the last value.
  const int last = ctx->age[order[ctx->n_data - 1]];
  const double tail = area_from(best, x0, nullptr);
  return area + y0 * (tail / curve_of(best, last));
}

}  // namespace qev
