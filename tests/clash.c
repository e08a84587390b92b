/* A C program whose own names are some of the library's internal ones:
 * it must link against libqev.a and both must work. */
#include <stdio.h>

#include "qev.h"

const double age_factors[3] = {1.0, 2.0, 3.0};
int sort(int x) { return x + 1; }
double f(double x) { return 2.0 * x; }
int context = 7;

int main(void) {
  static const int age[] = {0, 20, 40, 60, 80, 100};
  static const double value[] = {1.0,     0.98739, 0.95866,
                                 0.85999, 0.50846, 0.00987};
  qev_result r;
  if (qev_fit(age, value, 6, NULL, &r) != QEV_OK) return 1;
  if (r.status != QEV_CONVERGED || !(r.rmse < 0.01)) return 2;
  if (sort(1) != 2 || f(age_factors[2]) != 6.0 || context != 7) return 3;
  printf("%s %.17g\n", qev_status_name(r.status), r.a);
  return 0;
}
