/* Times qev_fit_many over the tables of a long CSV already in memory.
 *
 *   fit_many LONG.csv JOBS ROUNDS [--print]
 *
 * LONG.csv is bench/make-long.py's table (region,sex,year,age,lx), read
 * into back-to-back records with lx divided by 100000, as qev --tsv
 * --radix=100000 reads it.  Prints the median wall time of ROUNDS calls on
 * JOBS threads, in seconds; with --print, a, b, c and rmse of every table
 * (%.17g) instead, to compare with qev --tsv.  Linked once against
 * libqev.a and once against libqev.so, it also compares the two. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "qev.h"

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

static int by_value(const void *p, const void *q) {
  const double x = *(const double *)p, y = *(const double *)q;
  return (x > y) - (x < y);
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: fit_many LONG.csv JOBS ROUNDS [--print]\n");
    return 2;
  }
  FILE *fp = fopen(argv[1], "r");
  if (fp == NULL) {
    perror(argv[1]);
    return 2;
  }
  const int jobs = atoi(argv[2]);
  const int rounds = atoi(argv[3]);
  const int print = argc > 4 && strcmp(argv[4], "--print") == 0;
  long cap = 1 << 20, n = 0, tables = 0, tcap = 1 << 14;
  int *age = malloc(sizeof(int) * (size_t)cap);
  double *value = malloc(sizeof(double) * (size_t)cap);
  long *offsets = malloc(sizeof(long) * (size_t)(tcap + 1));
  char line[256], key[256] = "", prev[256] = "";
  if (fgets(line, sizeof line, fp) == NULL) return 2; /* the header */
  while (fgets(line, sizeof line, fp) != NULL) {
    char *last = strrchr(line, ',');
    char *mid = last;
    while (mid > line && mid[-1] != ',') --mid;
    if (last == NULL || mid == line) continue;
    memcpy(key, line, (size_t)(mid - line));
    key[mid - line] = '\0';
    if (n == cap) {
      cap *= 2;
      age = realloc(age, sizeof(int) * (size_t)cap);
      value = realloc(value, sizeof(double) * (size_t)cap);
    }
    if (tables == 0 || strcmp(key, prev) != 0) {
      if (tables == tcap) {
        tcap *= 2;
        offsets = realloc(offsets, sizeof(long) * (size_t)(tcap + 1));
      }
      offsets[tables++] = n;
      strcpy(prev, key);
    }
    age[n] = atoi(mid);
    value[n] = strtod(last + 1, NULL) / 100000;
    ++n;
  }
  fclose(fp);
  offsets[tables] = n;
  qev_result *out = malloc(sizeof(qev_result) * (size_t)tables);
  double *t = malloc(sizeof(double) * (size_t)(rounds > 0 ? rounds : 1));
  for (int r = 0; r < rounds; ++r) {
    const double t0 = now();
    if (qev_fit_many(age, value, offsets, tables, NULL, jobs, out) != QEV_OK)
      return 2;
    t[r] = now() - t0;
  }
  if (print) {
    for (long k = 0; k < tables; ++k)
      printf("%.17g\t%.17g\t%.17g\t%.17g\n", out[k].a, out[k].b, out[k].c,
             out[k].rmse);
    return 0;
  }
  qsort(t, (size_t)rounds, sizeof *t, by_value);
  printf("%.6f\n", t[rounds / 2]);
  return 0;
}
