"""qev: fit the three-parameter life-table curve

    life(x) = 1 / (a u^3 + b (e^u - 1)^0.5 + c (1 - e^(-2x)) + 1),
    u = x / (105 - x)

to life tables in process, bit for bit as the command line ``qev`` fits
them.  ``fit`` fits one table, ``fit_table`` every group of a long
DataFrame, ``read_hmd`` reads a Human Mortality Database file; ``qev.dask``
runs ``fit_table`` on a Dask cluster.
"""
import re
import warnings

import numpy as np
import pandas as pd

from . import _core

__all__ = ["DataWarning", "Fit", "fit", "fit_table", "fitted_table",
           "read_hmd", "__version__"]
__version__ = _core.version()

# The columns of qev --tsv after the key columns, in their order.
COLUMNS = ["a", "b", "c", "rmse", "iterations", "status", "records",
           "e0_fit", "e0_table", "se_a", "se_b", "se_c", "se_e0_fit",
           "checks"]


# Groups whose data checks are worded as warnings; the rest are counted.
MAX_WARNED = 20


class DataWarning(UserWarning):
    """A data check that the records fail, or rows a long table left out."""


def _worded(text, where="", unit="record"):
    """The command line's messages, without its "qev: FILE: " prefix and
    its "warning: ", with the place of a record (given 1-based, as the
    command line's line numbers) as a 0-based record or row number."""
    out = []
    for line in text.splitlines():
        line = line[len("qev: : "):] if line.startswith("qev: : ") else line
        line = re.sub(r"\bline (\d+)",
                      lambda m: "%s %d" % (unit, int(m.group(1)) - 1), line)
        out.append(where + line.replace("warning: ", "", 1))
    return out


def _warn_all(lines):
    for line in lines:
        warnings.warn(line, DataWarning, stacklevel=4)


def _start(start):
    if start is None:
        return None
    try:
        s = [float(x) for x in start]
    except (TypeError, ValueError):
        raise ValueError("start takes three numbers a, b, c") from None
    if len(s) != 3:
        raise ValueError("start takes three numbers a, b, c, not %d" % len(s))
    return s


def _whole_ages(age, what="record"):
    """age as int32, refusing NaN, infinities and fractions by record."""
    a = np.asarray(age)
    if a.dtype == object or a.dtype.kind in "USb":
        try:
            a = a.astype(float)
        except (TypeError, ValueError):
            bad = next(i for i, x in enumerate(a.tolist())
                       if not _is_number(x))
            raise ValueError("%s %d: age %r is not a whole number" %
                             (what, bad, a[bad])) from None
    if a.dtype.kind == "f":
        bad = ~np.isfinite(a) | (a != np.floor(a)) | (np.abs(a) > 2**31 - 1)
        if bad.any():
            i = int(np.flatnonzero(bad)[0])
            raise ValueError("%s %d: age %r is not a whole number" %
                             (what, i, a[i]))
    elif a.dtype.kind in "iu":
        bad = (a > 2**31 - 1) | (a < -2**31)
        if bad.any():
            i = int(np.flatnonzero(bad)[0])
            raise ValueError("%s %d: age %r is out of range" % (what, i, a[i]))
    else:
        raise ValueError("ages must be whole numbers, not %s" % a.dtype)
    return a.astype(np.int32)


def _is_number(x):
    try:
        float(x)
        return not isinstance(x, (str, bytes))
    except (TypeError, ValueError):
        return False


def _values(value, what="record"):
    v = np.asarray(value)
    if v.dtype.kind in "fiub":
        return v.astype(np.float64)
    for i, x in enumerate(v.tolist()):
        if x is not None and not _is_number(x):
            raise ValueError("%s %d: value %r is not a number" % (what, i, x))
    return np.array([np.nan if x is None else float(x) for x in v.tolist()],
                    dtype=np.float64)


class Fit:
    """One fitted table: the fields of a row of ``qev --tsv``, ``params``,
    ``cov`` (3 x 3), and ``fitted``, ``residuals`` and ``predict()``."""

    def __init__(self, result, age, value):
        for k, v in result.items():
            setattr(self, k, v)
        self._age = age
        self._value = value

    @property
    def params(self):
        return np.array([self.a, self.b, self.c])

    @property
    def cov(self):
        se = (self.se_a, self.se_b, self.se_c)
        m = np.diag(np.square(se))
        m[0, 1] = m[1, 0] = self.cov_ab
        m[0, 2] = m[2, 0] = self.cov_ac
        m[1, 2] = m[2, 1] = self.cov_bc
        return m

    @property
    def fitted(self):
        return _core.curve(self.a, self.b, self.c,
                           self._age.astype(np.float64))

    @property
    def residuals(self):
        return self._value - self.fitted

    def predict(self, ages):
        """The curve at ages (whole or not), NaN outside 0..105."""
        x = np.asarray(ages, dtype=np.float64)
        y = _core.curve(self.a, self.b, self.c, x.ravel())
        return y.reshape(x.shape)

    def __repr__(self):
        return ("qev.Fit(a=%.6g, b=%.6g, c=%.6g, rmse=%.4g, status=%r, "
                "iterations=%d, records=%d, e0_fit=%.4g, e0_table=%.4g%s)" %
                (self.a, self.b, self.c, self.rmse, self.status,
                 self.iterations, self.records, self.e0_fit, self.e0_table,
                 ", checks=%r" % (self.checks,) if self.checks else ""))


def fit(age, value, start=None):
    """Fits one table, as a data file of those records is fitted."""
    if age is None or value is None:
        raise ValueError("fit needs ages and values")
    # Lists as they are, so that one text among numbers is named as such.
    age = np.atleast_1d(age if isinstance(age, np.ndarray)
                        else np.asarray(age, dtype=object))
    value = np.atleast_1d(value if isinstance(value, np.ndarray)
                          else np.asarray(value, dtype=object))
    if age.ndim != 1 or value.ndim != 1:
        raise ValueError("age and value must be one-dimensional")
    if len(age) != len(value):
        raise ValueError("age has %d records and value %d" %
                         (len(age), len(value)))
    if len(age) > _core.MAX_RECORDS:
        raise ValueError("%d records: a table holds at most %d" %
                         (len(age), _core.MAX_RECORDS))
    a = _whole_ages(age)
    v = _values(value)
    first = np.flatnonzero(~((v >= 0) & (v <= 1)))
    shown = repr(float(v[first[0]])) if len(first) else ""
    result, notes = _core.fit(a, v, _start(start), 0, shown)
    _warn_all(_worded(notes))
    return Fit(result, a, v)


def _columns(df, age, value, by):
    if df is None or not isinstance(df, pd.DataFrame):
        raise ValueError("fit_table takes a pandas DataFrame")
    by = [] if by is None else [by] if isinstance(by, str) else list(by)
    for name in [age, value] + by:
        if name not in df.columns:
            raise ValueError("no column %r in the DataFrame" % (name,))
    clash = [b for b in by if b in COLUMNS]
    if clash:
        raise ValueError("a by column may not have the name of a result "
                         "column: %r" % clash[0])
    return by


def _age_labels(col):
    """Ages and kinds of a column of ages as numbers or N, N-M, N+ labels."""
    s = pd.Series(col)
    if s.dtype.kind in "iuf":
        x = _whole_ages(s.to_numpy(), "row")
        return x, np.zeros(len(x), dtype=np.int32)
    codes, labels = pd.factorize(s, use_na_sentinel=False)
    texts = []
    for i, lab in enumerate(labels):
        if isinstance(lab, str):
            texts.append(lab.strip(" "))
        elif _is_number(lab) and np.isfinite(lab) and float(lab) == int(lab):
            texts.append(str(int(lab)))
        else:
            texts.append(None)
    kinds, ages = _core.age_labels(["" if t is None else t for t in texts])
    for k, t in enumerate(texts):
        if t is None or kinds[k] == _core.AGE_BAD:
            row = int(np.flatnonzero(codes == k)[0])
            raise ValueError("row %d: age %r is not an age (a whole number, "
                             "N-M or N+)" % (row, labels[k]))
    return ages[codes].astype(np.int32), kinds[codes].astype(np.int32)


def _prepare(df, age, value, by):
    by = _columns(df, age, value, by)
    n = len(df)
    if by:
        codes = df.groupby(by, sort=False, dropna=False).ngroup().to_numpy()
    else:
        codes = np.zeros(n, dtype=np.int64)
    ages, kinds = _age_labels(df[age])
    col = df[value]
    if col.dtype.kind in "fiu":
        v = col.to_numpy(dtype=np.float64, na_value=np.nan)
    else:
        v = _values(col.to_numpy(dtype=object), "row")
    missing = np.isnan(v).astype(np.uint8)
    order = np.argsort(codes, kind="stable")
    n_groups = int(codes.max()) + 1 if n else 0
    offsets = np.zeros(n_groups + 1, dtype=np.int64)
    np.cumsum(np.bincount(codes, minlength=n_groups), out=offsets[1:])
    first = order[offsets[:-1]] if n_groups else np.zeros(0, dtype=np.int64)
    keys = df[by].iloc[first].reset_index(drop=True) if by else None
    return (by, keys, order, offsets, ages[order], kinds[order], v[order],
            missing[order])


def _radix(radix):
    if radix is None:
        return 0.0, ""
    r = float(radix)
    if not (np.isfinite(r) and r > 0):
        raise ValueError("radix must be a positive number, not %r" % (radix,))
    return r, repr(radix) if not isinstance(radix, str) else radix


def _drop_report(drops, keys, by):
    """The rows left out, as the command line reports them: a line for each
    group with missing values, and one for the whole table."""
    lines = []
    for g in np.flatnonzero(drops[:, 1]):
        n = drops[g, 1]
        lines.append("%sleft out %d row%s with no value, from age %d" %
                     (_label(keys, by, g), n, "s" if n > 1 else "",
                      drops[g, 2]))
    parts = []
    for k, why in ((0, "of ages above 104"), (1, "with no value (NaN or None)")):
        n, groups = drops[:, k].sum(), (drops[:, k] > 0).sum()
        if n:
            parts.append("%d row%s %s in %d group%s" %
                         (n, "s" if n > 1 else "", why, groups,
                          "s" if groups > 1 else ""))
    if parts:
        lines.append("dropped " + ", ".join(parts))
    return "\n".join(lines)


def _label(keys, by, g):
    if not by:
        return ""
    return ", ".join("%s=%s" % (b, keys[b].iloc[g]) for b in by) + ": "


def _fit_groups(df, age, value, by, radix, start, jobs):
    by, keys, order, offsets, ages, kinds, v, missing = _prepare(
        df, age, value, by)
    r, r_text = _radix(radix)
    if jobs is None or int(jobs) < 0:
        raise ValueError("jobs is a number of threads, 0 for every core")
    if len(df) == 0:
        warnings.warn("the DataFrame has no rows", DataWarning, stacklevel=3)
    rows = (order + 1).astype(np.int32)
    cols, notes, drops = _core.fit_groups(ages, kinds, v, missing, offsets,
                                          rows, r, r_text, _start(start),
                                          int(jobs))
    # The first groups' checks in words; the others' only counted, since a
    # million warnings help no one.
    warned = [g for g, text in enumerate(notes) if text]
    for g in warned[:MAX_WARNED]:
        _warn_all(_worded(notes[g].replace("--radix=", "radix="),
                          _label(keys, by, g), "row"))
    if len(warned) > MAX_WARNED:
        warnings.warn("and %d more groups with data checks: the checks "
                      "column names them" % (len(warned) - MAX_WARNED),
                      DataWarning, stacklevel=3)
    report = _drop_report(drops, keys, by)
    if report:
        warnings.warn(report, DataWarning, stacklevel=3)
    return by, keys, offsets, ages, kinds, v, missing, r, cols


def fit_table(df, age, value, by=None, radix=None, start=None, jobs=0):
    """Fits every group of a long DataFrame by the command line's long-table
    rules, and returns one row per group in the order of their first rows:
    the by columns, then the columns of qev --tsv."""
    by, keys, _, _, _, _, _, _, cols = _fit_groups(df, age, value, by, radix,
                                                   start, jobs)
    out = keys.copy() if by else pd.DataFrame(index=range(len(cols["a"])))
    for name in COLUMNS:
        col = cols[name]
        if name in ("iterations", "records"):
            col = pd.array(np.where(np.isnan(col), 0, col).astype(np.int64),
                           dtype="Int64")
            refused = np.array(cols["status"]) == "refused"
            col[refused] = pd.NA
        elif name not in ("status", "checks"):
            col = np.where(np.array(cols["status"]) == "refused", np.nan, col)
        out[name] = col
    return out


def fitted_table(df, age, value, by=None, radix=None, start=None, jobs=0):
    """The rows of qev --fitted: for each kept record of each group that was
    not refused, its age, observed value, the fitted curve and the residual."""
    by, keys, offsets, ages, kinds, v, missing, r, cols = _fit_groups(
        df, age, value, by, radix, start, jobs)
    parts = []
    for g in range(len(offsets) - 1):
        if cols["status"][g] == "refused":
            continue
        sl = slice(offsets[g], offsets[g + 1])
        keep = _core.kept(ages[sl], kinds[sl], missing[sl])
        x = ages[sl][keep]
        obs = v[sl][keep] / r if r > 0 else v[sl][keep]
        fit_ = _core.curve(cols["a"][g], cols["b"][g], cols["c"][g],
                           x.astype(np.float64))
        part = pd.DataFrame({"age": x.astype(np.int64), "observed": obs,
                             "fitted": fit_, "residual": obs - fit_})
        if by:
            for b in reversed(by):
                part.insert(0, b, keys[b].iloc[[g] * len(x)].to_numpy())
        parts.append(part)
    if not parts:
        return pd.DataFrame(columns=by + ["age", "observed", "fitted",
                                          "residual"])
    return pd.concat(parts, ignore_index=True)


def read_hmd(path):
    """A Human Mortality Database life-table file as a DataFrame with its own
    columns (Year, Age, mx, qx, ax, lx, dx, Lx, Tx, ex): Year an integer
    (text for spans of years), Age text, the numbers as the C library reads
    them, "." as missing."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    head = next((i for i, l in enumerate(lines)
                 if l.split()[:2] == ["Year", "Age"]), None)
    if head is None:
        raise ValueError("%s: not an HMD life table (no line starts with "
                         "Year and Age)" % path)
    d = pd.read_csv(path, sep=r"\s+", skiprows=head, dtype={"Year": str,
                    "Age": str}, na_values=["."], keep_default_na=False,
                    float_precision="round_trip")
    if d["Year"].str.fullmatch(r"\d+").all():
        d["Year"] = d["Year"].astype(np.int64)
    return d
