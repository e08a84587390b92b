// The rules of long tables: age labels, the rows a table leaves out and
// why, and the grouped fit of a long table's rows, which the command line's
// long-table reader shares.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "fit.h"

namespace qev {

namespace {

constexpr double no_value = std::numeric_limits<double>::quiet_NaN();

// A whole number of digits, at most 2147483647: QEV_AGE_SINGLE, or
// QEV_AGE_RANGE for more, QEV_AGE_BAD for anything else.
int parse_int(const char *s, std::size_t n, int *x) {
  if (n == 0) return QEV_AGE_BAD;
  long v = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (s[i] < '0' || s[i] > '9') return QEV_AGE_BAD;
    if (v <= INT_MAX) v = v * 10 + (s[i] - '0');
  }
  if (v > INT_MAX) return QEV_AGE_RANGE;
  *x = static_cast<int>(v);
  return QEV_AGE_SINGLE;
}

// What eurostat_code gives for a code that is a plain label after its Y.
constexpr int plain_label = 100;

// Eurostat's age codes, after their "Y": "_LT1" is age 0, "_LTN" the group
// from 0, "_GEN" the open group N+, and "N" and "N-M" as the plain labels.
int eurostat_code(const char *s, std::size_t n, int *age) {
  auto is = [&](const char *word) {
    return n == std::strlen(word) && std::memcmp(s, word, n) == 0;
  };
  if (is("_OPEN")) {
    *age = 0;
    return QEV_AGE_NONE;
  }
  int x = 0;
  if (n > 3 && std::memcmp(s, "_LT", 3) == 0) {
    const int k = parse_int(s + 3, n - 3, &x);
    if (k < 0 || x < 1) return k < 0 ? k : QEV_AGE_BAD;
    *age = 0;
    return x == 1 ? QEV_AGE_SINGLE : QEV_AGE_GROUP;
  }
  if (n > 3 && std::memcmp(s, "_GE", 3) == 0) {
    const int k = parse_int(s + 3, n - 3, &x);
    if (k < 0) return k;
    *age = x;
    return QEV_AGE_OPEN;
  }
  if (n == 0 || s[0] < '0' || s[0] > '9' || s[n - 1] == '+') return QEV_AGE_BAD;
  return plain_label;
}

}  // namespace

void tally_drop(qev_drops *d, int why, int age) {
  if (why == QEV_DROP_NO_AGE) ++d->no_age_rows;
  if (why == QEV_DROP_OLD) ++d->old_rows;
  if (why == QEV_DROP_MISSING && d->missing_rows++ == 0)
    d->first_missing_age = age;
}

double scaled(double value, double radix) {
  return radix > 0 ? value / radix : value;
}

}  // namespace qev

using namespace qev;

int qev_age_label(const char *text, size_t len, int *age) {
  int x = 0;
  if (text == nullptr || age == nullptr) return QEV_AGE_BAD;
  if (len == 5 && std::memcmp(text, "TOTAL", 5) == 0) {
    *age = 0;
    return QEV_AGE_NONE;
  }
  if (len > 0 && text[0] == 'Y') {
    const int k = eurostat_code(text + 1, len - 1, age);
    if (k != plain_label) return k;
    ++text;
    --len;
  }
  if (len > 0 && text[len - 1] == '+') {
    const int k = parse_int(text, len - 1, &x);
    if (k < 0) return k;
    *age = x;
    return QEV_AGE_OPEN;
  }
  const void *dash = std::memchr(text, '-', len);
  if (dash != nullptr) {
    const std::size_t at =
        static_cast<std::size_t>(static_cast<const char *>(dash) - text);
    int to = 0;
    const int k = parse_int(text, at, &x);
    const int m = parse_int(text + at + 1, len - at - 1, &to);
    if (k == QEV_AGE_BAD || m == QEV_AGE_BAD) return QEV_AGE_BAD;
    if (k < 0 || m < 0) return QEV_AGE_RANGE;
    if (to < x) return QEV_AGE_BAD;
    *age = x;
    return QEV_AGE_GROUP;
  }
  const int k = parse_int(text, len, &x);
  if (k < 0) return k;
  *age = x;
  return QEV_AGE_SINGLE;
}

int qev_drop_reason(int kind, int age, int missing) {
  // Every other kind is taken at its age N.
  if (kind == QEV_AGE_NONE) return QEV_DROP_NO_AGE;
  if (age > last_kept_age) return QEV_DROP_OLD;
  if (missing) return QEV_DROP_MISSING;
  return QEV_KEEP;
}

long qev_number_groups(const long long *key, long n, long long *group) {
  if (n < 0 || (n > 0 && (key == nullptr || group == nullptr))) return -1;
  // Open addressing on a power of two at least twice the runs of equal
  // values: rows mostly follow a row of their own group, and a run is
  // looked up once.
  std::size_t runs = 0;
  for (long i = 0; i < n; ++i) runs += i == 0 || key[i] != key[i - 1];
  std::size_t size = 16;
  while (size < 2 * runs) size *= 2;
  auto *keys = static_cast<long long *>(std::malloc(size * sizeof(long long)));
  auto *ids = static_cast<long *>(std::malloc(size * sizeof(long)));
  if (keys == nullptr || ids == nullptr) {
    std::free(keys);
    std::free(ids);
    return -1;
  }
  for (std::size_t k = 0; k < size; ++k) ids[k] = -1;
  long next = 0;
  long long last = 0;
  long last_id = -1;
  for (long i = 0; i < n; ++i) {
    const long long x = key[i];
    if (last_id < 0 || x != last) {
      const unsigned long long h =
          static_cast<unsigned long long>(x) * 0x9e3779b97f4a7c15ull;
      std::size_t at = static_cast<std::size_t>(h >> 20) & (size - 1);
      while (ids[at] >= 0 && keys[at] != x) at = (at + 1) & (size - 1);
      if (ids[at] < 0) {
        keys[at] = x;
        ids[at] = next++;
      }
      last = x;
      last_id = ids[at];
    }
    group[i] = last_id;
  }
  std::free(keys);
  std::free(ids);
  return next;
}

long qev_number_rows(const long long *const *cols, int n_cols, long n,
                     long long *group) {
  if (n < 0 || n_cols < 0 || (n > 0 && group == nullptr) ||
      (n_cols > 0 && cols == nullptr))
    return -1;
  for (int k = 0; k < n_cols; ++k)
    if (n > 0 && cols[k] == nullptr) return -1;
  auto *value = static_cast<long long *>(
      std::malloc((static_cast<std::size_t>(n) + 1) * sizeof(long long)));
  if (value == nullptr) return -1;
  long groups = n > 0 ? 1 : 0;
  for (long i = 0; i < n; ++i) group[i] = 0;
  for (int k = 0; k < n_cols && groups >= 0; ++k) {
    std::memcpy(value, cols[k], static_cast<std::size_t>(n) * sizeof *value);
    const long width = qev_number_groups(value, n, value);
    if (width < 0) {
      groups = -1;
      break;
    }
    // Two numbers below n as one: group * width + value is below n * n.
    for (long i = 0; i < n; ++i) group[i] = group[i] * width + value[i];
    groups = qev_number_groups(group, n, group);
  }
  std::free(value);
  return groups;
}

int qev_fit_groups(const qev_rows *rows, long n_groups, double radix,
                   const double *start, int jobs, qev_result *out,
                   qev_drops *drops) {
  const qev_options o = options_with_start(start);
  return qev_fit_groups_opt(rows, n_groups, radix, &o, jobs, out, drops);
}

int qev_fit_groups_opt(const qev_rows *rows, long n_groups, double radix,
                       const qev_options *opt, int jobs, qev_result *out,
                       qev_drops *drops) {
  return qev_fit_groups_rows(rows, n_groups, radix, opt, jobs, out, drops,
                             nullptr, nullptr);
}

int qev_fit_groups_rows(const qev_rows *rows, long n_groups, double radix,
                        const qev_options *opt, int jobs, qev_result *out,
                        qev_drops *drops, unsigned char *kept_row,
                        double *value_fitted) {
  fit_rules rules;
  if (rows == nullptr || rows->n < 0 || n_groups < 0 ||
      !argument_ok(QEV_ARG_JOBS, jobs) || !rules_of(opt, true, &rules))
    return QEV_BAD_ARGUMENT;
  const long n = rows->n;
  if (n > 0 && (rows->group == nullptr || rows->age == nullptr ||
                rows->value == nullptr))
    return QEV_BAD_ARGUMENT;
  if (n_groups > 0 && out == nullptr) return QEV_BAD_ARGUMENT;
  for (long i = 0; i < n; ++i)
    if (rows->group[i] < 0 || rows->group[i] >= n_groups)
      return QEV_BAD_ARGUMENT;

  // Each group's kept rows, in row order, one group after another.
  auto *offset = static_cast<long *>(
      std::calloc(static_cast<std::size_t>(n_groups) + 1, sizeof(long)));
  auto *keep = static_cast<unsigned char *>(
      std::malloc(static_cast<std::size_t>(n) + 1));
  if (offset == nullptr || keep == nullptr) {
    std::free(offset);
    std::free(keep);
    return QEV_NO_MEMORY;
  }
  if (drops != nullptr)
    for (long g = 0; g < n_groups; ++g) drops[g] = qev_drops{};
  for (long i = 0; i < n; ++i) {
    const int kind = rows->kind != nullptr ? rows->kind[i] : QEV_AGE_SINGLE;
    const bool missing = rows->missing != nullptr && rows->missing[i] != 0;
    const long g = rows->group[i];
    const int why = qev_drop_reason(kind, rows->age[i], missing);
    keep[i] = why == QEV_KEEP;
    if (keep[i]) ++offset[g + 1];
    if (drops == nullptr) continue;
    tally_drop(&drops[g], why, rows->age[i]);
  }
  for (long g = 0; g < n_groups; ++g) offset[g + 1] += offset[g];
  const long kept = offset[n_groups];
  auto *age = static_cast<int *>(
      std::malloc(sizeof(int) * static_cast<std::size_t>(kept + 1)));
  auto *value = static_cast<double *>(
      std::malloc(sizeof(double) * static_cast<std::size_t>(kept + 1)));
  auto *fill = static_cast<long *>(
      std::malloc(sizeof(long) * (static_cast<std::size_t>(n_groups) + 1)));
  bool ok = age != nullptr && value != nullptr && fill != nullptr;
  if (ok) {
    for (long g = 0; g < n_groups; ++g) fill[g] = offset[g];
    for (long i = 0; i < n; ++i) {
      if (!keep[i]) continue;
      const long at = fill[rows->group[i]]++;
      age[at] = rows->age[i];
      value[at] = scaled(rows->value[i], radix);
    }
    ok = fit_batches(age, value, offset, n_groups, rules, jobs, out);
  }
  for (long i = 0; ok && i < n; ++i) {
    if (kept_row != nullptr) kept_row[i] = keep[i];
    if (value_fitted != nullptr)
      value_fitted[i] = keep[i] ? scaled(rows->value[i], radix) : no_value;
  }
  std::free(fill);
  std::free(value);
  std::free(age);
  std::free(keep);
  std::free(offset);
  return ok ? QEV_OK : QEV_NO_MEMORY;
}
