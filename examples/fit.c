/* Fits a data file with libqev and prints a, b, c and the RMSE with %.17g,
 * the digits of qev --tsv.  Build it against an installed qev:
 *
 *   cc fit.c $(pkg-config --cflags --libs qev) -o fit
 *   cc -static fit.c $(pkg-config --static --cflags --libs qev) -o fit
 *   ./fit us-2011-male.dat
 */
#include <stdio.h>

#include "qev.h"

int main(int argc, char **argv) {
  const char *name = argc > 1 ? argv[1] : "us-2011-male.dat";
  FILE *fp = fopen(name, "r");
  if (fp == NULL) {
    perror(name);
    return 2;
  }
  int age[QEV_MAX_RECORDS];
  double value[QEV_MAX_RECORDS];
  int n = 0;
  while (n < QEV_MAX_RECORDS && fscanf(fp, "%d %lf", &age[n], &value[n]) == 2)
    ++n;
  fclose(fp);

  qev_result r;
  if (qev_fit(age, value, n, NULL, &r) != QEV_OK) {
    fprintf(stderr, "fit: %s: %d records, more than qev takes\n", name, n);
    return 2;
  }
  printf("%.17g\t%.17g\t%.17g\t%.17g\t%s\n", r.a, r.b, r.c, r.rmse,
         qev_status_name(r.status));
  return 0;
}
