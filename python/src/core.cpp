// qev._core: the library's fits for Python, over include/qev.h.  Arrays
// come in as numpy arrays of the C types; results go back as numpy arrays
// and the data checks' messages as text, in the words every client shares
// (words.h).  The GIL is released while tables are fitted, a batch at a
// time, and an interrupt is looked for between batches.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "qev.h"
#include "words.h"

namespace py = pybind11;

namespace {

using ivec = py::array_t<int, py::array::c_style | py::array::forcecast>;
using dvec = py::array_t<double, py::array::c_style | py::array::forcecast>;
using lvec =
    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using bvec =
    py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;

// Groups fitted between two looks for an interrupt: tens of milliseconds.
constexpr long batch_groups = 1024;

namespace words = qev::words;

// Python's voice: records and rows numbered from 0, the arguments by their
// names, and data checks that are warnings by their class.
constexpr words::voice record_voice = {"record", "radix", nullptr, false};
constexpr words::voice row_voice = {"row", "radix", "by", false};

qev_options options_of(const py::object &start, int restarts) {
  qev_options o;
  qev_options_init(&o);
  if (!start.is_none()) {
    const auto s = start.cast<std::vector<double>>();
    if (s.size() != 3) throw py::value_error("start takes three numbers");
    for (int k = 0; k < 3; ++k) o.start[k] = s[k];
  }
  o.restarts = restarts;
  return o;
}

py::dict result_dict(const qev_result &r) {
  py::dict d;
  d["a"] = r.a;
  d["b"] = r.b;
  d["c"] = r.c;
  d["rmse"] = r.rmse;
  d["iterations"] = r.iterations;
  d["status"] = qev_status_name(r.status);
  d["records"] = r.records;
  d["e0_fit"] = r.e0_fit;
  d["e0_table"] = r.e0_table;
  d["se_a"] = r.se_a;
  d["se_b"] = r.se_b;
  d["se_c"] = r.se_c;
  d["se_e0_fit"] = r.se_e0_fit;
  d["cov_ab"] = r.cov_ab;
  d["cov_ac"] = r.cov_ac;
  d["cov_bc"] = r.cov_bc;
  py::list checks;
  for (int k = 0; k < QEV_N_CHECKS; ++k)
    if (r.checks & QEV_CHECK_BIT(k)) checks.append(qev_check_name(k));
  d["checks"] = py::tuple(checks);
  return d;
}

// A code of the library as the exception it means.
void raise_for(int status) {
  if (status == QEV_OK) return;
  if (status == QEV_NO_MEMORY) throw std::bad_alloc();
  const char *name = qev_code_name(status);
  throw py::value_error(std::string("the library refused the call: ") +
                        (name != nullptr ? name : "unknown code"));
}

// One table, as a data file of its records is fitted.  value_text is the
// first value outside [0, 1] as the caller shows it.
py::tuple fit(const ivec &age, const dvec &value, const py::object &start,
              int restarts, const std::string &value_text) {
  const long n = static_cast<long>(age.size());
  if (n != static_cast<long>(value.size()))
    throw py::value_error("age and value differ in length");
  if (n > QEV_MAX_RECORDS) throw py::value_error(words::too_many(n, nullptr));
  const qev_options o = options_of(start, restarts);
  qev_result r;
  int status;
  {
    py::gil_scoped_release unlocked;
    status = qev_fit_opt(age.data(), value.data(), int(n), &o, &r);
  }
  raise_for(status);
  std::vector<int> place(static_cast<std::size_t>(n));
  for (long i = 0; i < n; ++i) place[static_cast<std::size_t>(i)] = int(i);
  int value_place = -1;
  for (long i = 0; i < n && value_place < 0; ++i)
    if (!(value.data()[i] >= 0.0 && value.data()[i] <= 1.0))
      value_place = int(i);
  return py::make_tuple(
      result_dict(r),
      words::check_messages(r,
                            {age.data(), value.data(), place.data(), true,
                             value_text.c_str(), value_place, nullptr},
                            record_voice));
}

// Every group of a long table whose rows are group by group: group g is
// the rows offsets[g] to offsets[g + 1] - 1, with the ages and kinds of
// qev_age_label, values and missing flags; row[i] is the number of row i in
// the caller's table, for messages.  Returns the result columns, the
// messages of the groups that have any (a dict by group), its drop counts,
// and for each row whether the fit kept it and the value it fitted.
py::tuple fit_groups(const ivec &age, const ivec &kind, const dvec &value,
                     const bvec &missing, const lvec &offsets, const ivec &row,
                     double radix, const std::string &radix_text,
                     const py::object &start, int restarts, int jobs) {
  const long n = static_cast<long>(age.size());
  const long n_groups = static_cast<long>(offsets.size()) - 1;
  if (n_groups < 0 || kind.size() != n || value.size() != n ||
      missing.size() != n || row.size() != n || offsets.data()[n_groups] != n ||
      offsets.data()[0] != 0)
    throw py::value_error("the rows and their groups do not match");
  for (long g = 0; g < n_groups; ++g)
    if (offsets.data()[g + 1] < offsets.data()[g])
      throw py::value_error("the rows and their groups do not match");
  const qev_options o = options_of(start, restarts);
  std::vector<qev_result> res(static_cast<std::size_t>(n_groups));
  std::vector<qev_drops> drops(static_cast<std::size_t>(n_groups));
  std::vector<long> group(static_cast<std::size_t>(n));
  py::array_t<std::uint8_t> kept(n);
  py::array_t<double> fitted(n);
  const std::int64_t *off = offsets.data();
  std::uint8_t *kept_at = kept.mutable_data();
  double *fitted_at = fitted.mutable_data();
  for (long first = 0; first < n_groups; first += batch_groups) {
    const long last =
        first + batch_groups < n_groups ? first + batch_groups : n_groups;
    const long r0 = off[first];
    int status;
    {
      py::gil_scoped_release unlocked;
      for (long g = first; g < last; ++g)
        for (long i = off[g]; i < off[g + 1]; ++i)
          group[static_cast<std::size_t>(i)] = g - first;
      const qev_rows rows = {off[last] - r0,    group.data() + r0,
                             age.data() + r0,   kind.data() + r0,
                             value.data() + r0, missing.data() + r0};
      status = qev_fit_groups_rows(&rows, last - first, radix, &o, jobs,
                                   res.data() + first, drops.data() + first,
                                   kept_at + r0, fitted_at + r0);
    }
    raise_for(status);
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }

  // The columns of --tsv, and each group's messages from its kept records.
  auto column = [n_groups](auto get) {
    py::array_t<double> a(n_groups);
    for (long g = 0; g < n_groups; ++g) a.mutable_data()[g] = get(g);
    return a;
  };
  py::dict cols;
  const auto &r = res;
  cols["a"] = column([&](long g) { return r[g].a; });
  cols["b"] = column([&](long g) { return r[g].b; });
  cols["c"] = column([&](long g) { return r[g].c; });
  cols["rmse"] = column([&](long g) { return r[g].rmse; });
  cols["iterations"] = column([&](long g) { return double(r[g].iterations); });
  cols["records"] = column([&](long g) { return double(r[g].records); });
  cols["e0_fit"] = column([&](long g) { return r[g].e0_fit; });
  cols["e0_table"] = column([&](long g) { return r[g].e0_table; });
  cols["se_a"] = column([&](long g) { return r[g].se_a; });
  cols["se_b"] = column([&](long g) { return r[g].se_b; });
  cols["se_c"] = column([&](long g) { return r[g].se_c; });
  cols["se_e0_fit"] = column([&](long g) { return r[g].se_e0_fit; });
  // A million groups share a few statuses and checks: each text is made
  // once, and only the groups with messages have an entry in notes.
  py::list status, checks;
  py::dict notes;
  std::vector<py::object> status_text;
  std::unordered_map<std::string, py::object> checks_text;
  py::array_t<std::int64_t> drop(
      {static_cast<py::ssize_t>(n_groups), static_cast<py::ssize_t>(4)});
  for (long g = 0; g < n_groups; ++g) {
    const std::size_t s = static_cast<std::size_t>(r[g].status);
    if (status_text.size() <= s) status_text.resize(s + 1);
    if (!status_text[s]) status_text[s] = py::str(qev_status_name(r[g].status));
    status.append(status_text[s]);
    const std::string c = words::check_list(r[g]);
    auto it = checks_text.find(c);
    if (it == checks_text.end()) it = checks_text.emplace(c, py::str(c)).first;
    checks.append(it->second);
    const long i = off[g];
    const qev_rows rows = {off[g + 1] - i,   nullptr,
                           age.data() + i,   kind.data() + i,
                           value.data() + i, missing.data() + i};
    std::vector<std::string> said = words::group_messages(
        r[g], rows, kept.data() + i, fitted.data() + i, row.data() + i,
        radix_text.empty() ? nullptr : radix_text.c_str(), row_voice);
    if (!said.empty()) notes[py::int_(g)] = said;
    drop.mutable_at(g, 0) = drops[g].old_rows;
    drop.mutable_at(g, 1) = drops[g].missing_rows;
    drop.mutable_at(g, 2) = drops[g].first_missing_age;
    drop.mutable_at(g, 3) = drops[g].no_age_rows;
  }
  cols["status"] = status;
  cols["checks"] = checks;
  return py::make_tuple(cols, notes, drop, kept, fitted);
}

// The groups of a table's rows from the codes of its key columns (each
// column's values numbered, as pandas' factorize numbers them): rows with
// the same codes in every column are one group, numbered by its first row,
// as groupby(sort=False).ngroup() numbers them.  Returns the rows in group
// order (a row's order among its group's kept) and each group's first
// place in it, with one more offset at the end.
py::tuple group_rows(
    const std::vector<py::array_t<long long, py::array::c_style |
                                                 py::array::forcecast>> &codes,
    long n) {
  std::vector<const long long *> cols;
  for (const auto &c : codes) {
    if (c.size() != n) throw py::value_error("key columns of other lengths");
    cols.push_back(c.data());
  }
  std::vector<long long> group(static_cast<std::size_t>(n) + 1);
  long n_groups;
  {
    py::gil_scoped_release unlocked;
    n_groups = qev_number_rows(cols.data(), static_cast<int>(cols.size()), n,
                               group.data());
  }
  if (n_groups < 0) throw std::bad_alloc();
  py::array_t<std::int64_t> order(n);
  py::array_t<std::int64_t> offsets(n_groups + 1);
  std::int64_t *off = offsets.mutable_data();
  std::int64_t *at = order.mutable_data();
  std::fill(off, off + n_groups + 1, 0);
  for (long i = 0; i < n; ++i) ++off[group[static_cast<std::size_t>(i)] + 1];
  for (std::int64_t g = 0; g < n_groups; ++g) off[g + 1] += off[g];
  std::vector<std::int64_t> fill(off, off + n_groups);
  for (long i = 0; i < n; ++i)
    at[fill[static_cast<std::size_t>(group[static_cast<std::size_t>(i)])]++] =
        i;
  return py::make_tuple(order, offsets);
}

// The kinds and ages of age labels, as a long table reads them.
py::tuple age_labels(const std::vector<std::string> &labels) {
  py::array_t<int> kind(static_cast<py::ssize_t>(labels.size()));
  py::array_t<int> age(static_cast<py::ssize_t>(labels.size()));
  for (std::size_t i = 0; i < labels.size(); ++i) {
    int x = 0;
    kind.mutable_data()[i] =
        qev_age_label(labels[i].data(), labels[i].size(), &x);
    age.mutable_data()[i] = x;
  }
  return py::make_tuple(kind, age);
}

// Numbers as the C library reads them, strtod over the whole text, an
// empty text as NaN, and the index of the first text that is none (-1).
py::tuple strtod_all(const std::vector<std::string> &texts) {
  py::array_t<double> out(static_cast<py::ssize_t>(texts.size()));
  long bad = -1;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const char *t = texts[i].c_str();
    char *end = nullptr;
    double y = std::numeric_limits<double>::quiet_NaN();
    if (*t != '\0') y = std::strtod(t, &end);
    if (*t != '\0' && (*end != '\0' || std::strlen(t) != texts[i].size()) &&
        bad < 0)
      bad = static_cast<long>(i);
    out.mutable_data()[i] = y;
  }
  return py::make_tuple(out, bad);
}

// The curve at any ages (qev_curve_at): NaN outside 0..105.
py::array_t<double> curve(double a, double b, double c, const dvec &ages) {
  const long n = static_cast<long>(ages.size());
  py::array_t<double> out(n);
  for (long i = 0; i < n; ++i)
    out.mutable_data()[i] = qev_curve_at(a, b, c, ages.data()[i]);
  return out;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "qev's C library, for the qev package";
  m.def("fit", &fit);
  m.def("fit_groups", &fit_groups);
  m.def("age_labels", &age_labels);
  m.def("group_rows", &group_rows);
  m.def("strtod", &strtod_all);
  m.def("curve", &curve);
  m.def("e0", &qev_e0);
  m.def("version", &qev_version);
  m.def("argument_ok", &qev_argument_ok);
  // The shared words, and the rules and names behind them.
  m.def("argument_words", &words::argument);
  m.def("big_age_words",
        [](const std::string &age) { return words::big_age(age.c_str()); });
  m.def("too_many_words", [](long n) { return words::too_many(n, nullptr); });
  m.def("more_groups_words", &words::more_groups);
  m.def("text_value_words", [](const std::string &column) {
    return words::text_value(column.c_str());
  });
  m.def("left_out_words", &words::left_out);
  m.def("dropped_words",
        [](const std::vector<long> &counts, const std::string &missing) {
          // rows and groups by reason: above 104, no value, no age
          const long rows[3] = {counts.at(0), counts.at(2), counts.at(4)};
          const long groups[3] = {counts.at(1), counts.at(3), counts.at(5)};
          return words::dropped(rows, groups, missing);
        });
  m.def("not_an_age_words", [](const std::string &label) {
    return words::not_an_age(label.c_str());
  });
  m.def("eurostat_width_words", &words::eurostat_width);
  m.def("eurostat_clash_words", [](const std::string &dimension) {
    return words::eurostat_clash(dimension.c_str());
  });
  m.def("key_twice", &words::key_twice);
  m.def("clashing_key", [](const std::vector<std::string> &keys) {
    return words::clashing_key(keys, false, false);
  });
  m.attr("COLUMNS") = std::vector<std::string>(
      words::result_columns, words::result_columns + words::n_result_columns);
  m.attr("MAX_WORDED") = words::max_worded_groups;
  m.attr("ARG_START") = static_cast<int>(QEV_ARG_START);
  m.attr("ARG_RADIX") = static_cast<int>(QEV_ARG_RADIX);
  m.attr("ARG_JOBS") = static_cast<int>(QEV_ARG_JOBS);
  m.attr("ARG_RESTARTS") = static_cast<int>(QEV_ARG_RESTARTS);
  m.attr("AGE_RANGE") = static_cast<int>(QEV_AGE_RANGE);
  m.attr("AGE_NONE") = static_cast<int>(QEV_AGE_NONE);
  m.attr("MAX_RECORDS") = QEV_MAX_RECORDS;
  m.attr("AGE_BAD") = static_cast<int>(QEV_AGE_BAD);
  m.attr("AGE_OPEN") = static_cast<int>(QEV_AGE_OPEN);
}
