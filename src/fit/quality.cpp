// Standard errors of a fit: the Gauss-Newton covariance that R's nls()
// reports for a least-squares fit, at the vertex the search reports, and the
// delta-method standard error of e0_fit.
//
//   r_i = value_i - curve(x_i),  s^2 = sum r_i^2 / (n - 3),
//   J_i = d curve(x_i) / d(a, b, c) = -(t1, t2, t3) / D_i^2,
//   D_i = a t1 + b t2 + c t3 + 1,  Cov = s^2 (J'J)^-1,
//   se(e0_fit) = sqrt(g' Cov g),  g = d e0_fit / d(a, b, c).
//
// They assume independent residuals of equal variance.  l(x) is cumulative,
// so its residuals are strongly correlated from age to age, and these
// standard errors understate the uncertainty: a lower bound, and a measure
// for comparing tables.
//
// J'J is inverted after scaling it to unit diagonal (a correlation matrix),
// by Cholesky factors.  It counts as singular when a diagonal entry is not
// positive and finite, or when a pivot of the scaled matrix falls below
// min_pivot: the pivot is the share of a parameter's sensitivity that the
// others do not already explain, and below 1e-12 the inverse has lost 12 of
// a double's 16 digits, so the standard errors would have fewer than 4
// right.
#include <cmath>
#include <limits>

#include "fit.h"

namespace qev {

namespace {

constexpr double no_value = std::numeric_limits<double>::quiet_NaN();
constexpr double min_pivot = 1e-12;

void none(qev_result *out) {
  out->se_a = out->se_b = out->se_c = out->se_e0_fit = no_value;
  out->cov_ab = out->cov_ac = out->cov_bc = no_value;
}

// The inverse of the symmetric 3x3 matrix m (unit diagonal) into inv, by
// Cholesky factors.  False when a pivot is below min_pivot or NaN.
bool invert(const double m[n_parms][n_parms], double inv[n_parms][n_parms]) {
  double l[n_parms][n_parms] = {};
  for (int j = 0; j < n_parms; ++j) {
    double d = m[j][j];
    for (int k = 0; k < j; ++k) d -= l[j][k] * l[j][k];
    if (!(d >= min_pivot)) return false;
    l[j][j] = std::sqrt(d);
    for (int i = j + 1; i < n_parms; ++i) {
      double x = m[i][j];
      for (int k = 0; k < j; ++k) x -= l[i][k] * l[j][k];
      l[i][j] = x / l[j][j];
    }
  }
  // L^-1, lower triangular, then inv = L^-T L^-1.
  double w[n_parms][n_parms] = {};
  for (int j = 0; j < n_parms; ++j) {
    w[j][j] = 1.0 / l[j][j];
    for (int i = j + 1; i < n_parms; ++i) {
      double x = 0.0;
      for (int k = j; k < i; ++k) x -= l[i][k] * w[k][j];
      w[i][j] = x / l[i][i];
    }
  }
  for (int i = 0; i < n_parms; ++i)
    for (int j = 0; j < n_parms; ++j) {
      double x = 0.0;
      for (int k = 0; k < n_parms; ++k) x += w[k][i] * w[k][j];
      inv[i][j] = x;
    }
  return true;
}

}  // namespace

void standard_errors(const context *ctx, const double *grad, qev_result *out) {
  none(out);
  const int n = ctx->n_data;
  if (n < min_records) return;
  const vertex v = ctx->ivec[0];
  double sum = 0.0;
  double jtj[n_parms][n_parms] = {};
  for (int i = 0; i < n; ++i) {
    // y is the curve as the fit computes it, its terms in the same order;
    // the derivatives -t / D^2 are -t y^2.
    const double t[n_parms] = {ctx->cube[i], ctx->root[i], ctx->ramp[i]};
    const double y = 1.0 / curve_sum(v.a, v.b, v.c, t[0], t[1], t[2]);
    const double r = ctx->life[i] - y;
    sum = sum + r * r;
    const double y2 = y * y;
    const double j[n_parms] = {-(t[0] * y2), -(t[1] * y2), -(t[2] * y2)};
    for (int p = 0; p < n_parms; ++p)
      for (int q = 0; q <= p; ++q) jtj[p][q] += j[p] * j[q];
  }
  double scale[n_parms];
  for (int p = 0; p < n_parms; ++p) {
    if (!(jtj[p][p] > 0.0) || !std::isfinite(jtj[p][p])) return;
    scale[p] = std::sqrt(jtj[p][p]);
  }
  double m[n_parms][n_parms];
  for (int p = 0; p < n_parms; ++p)
    for (int q = 0; q <= p; ++q)
      m[p][q] = m[q][p] = jtj[p][q] / (scale[p] * scale[q]);
  double inv[n_parms][n_parms];
  if (!invert(m, inv)) return;
  const double s2 = sum / static_cast<double>(n - n_parms);
  double cov[n_parms][n_parms];
  for (int p = 0; p < n_parms; ++p)
    for (int q = 0; q < n_parms; ++q)
      cov[p][q] = s2 * (inv[p][q] / (scale[p] * scale[q]));
  out->se_a = std::sqrt(cov[0][0]);
  out->se_b = std::sqrt(cov[1][1]);
  out->se_c = std::sqrt(cov[2][2]);
  out->cov_ab = cov[0][1];
  out->cov_ac = cov[0][2];
  out->cov_bc = cov[1][2];
  if (grad == nullptr) return;
  double var = 0.0;
  for (int p = 0; p < n_parms; ++p)
    for (int q = 0; q < n_parms; ++q) var += grad[p] * (cov[p][q] * grad[q]);
  out->se_e0_fit = std::sqrt(var);
}

}  // namespace qev
