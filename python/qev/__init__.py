"""qev: fit the three-parameter life-table curve

    life(x) = 1 / (a u^3 + b (e^u - 1)^0.5 + c (1 - e^(-2x)) + 1),
    u = x / (105 - x)

to life tables in process, bit for bit as the command line ``qev`` fits
them.  ``fit`` fits one table, ``fit_table`` every group of a long
DataFrame, ``read_hmd`` reads a Human Mortality Database file and
``read_eurostat`` a file in Eurostat's TSV layout; ``qev.dask`` runs
``fit_table`` on a Dask cluster.

Data checks (a value that is not a share, a rise with age, ...) are
``qev.DataWarning`` warnings.  Rows left out on purpose (ages above 104,
missing values, Eurostat's ``Y_OPEN`` and ``TOTAL``) are reported at INFO on the ``logging`` logger ``"qev"``.

The checks that describe a table as a table (``rises``, ``age-again``,
``l0``, ``age-105``) and ``e0_table`` go by age, ties in their order, so a
table in any order gets the checks of the same table sorted by age.  The
search runs over the records in their order, so for a table that is not in
age order a, b, c (and so e0_table's tail) may differ from the sorted
table's in their last bits.

The standard errors are the Gauss-Newton ones of R's ``nls()``: they assume
independent errors of one variance, which the values of one life table are
not (each l(x) is built from the ones before it), so read them as a scale
of how well the curve is pinned down, not as sampling errors.
"""
import logging
import numbers
import warnings

import numpy as np
import pandas as pd

from . import _core
from .eurostat import read_eurostat
from .plot import plot_trend

__all__ = ["DataWarning", "Fit", "fit", "fit_table", "fitted_table",
           "plot_trend", "read_eurostat", "read_hmd", "__version__"]
__version__ = _core.version()

# The columns of qev --tsv after the key columns, in their order.
COLUMNS = list(_core.COLUMNS)


# Groups whose data checks are worded as warnings; the rest are counted.
MAX_WARNED = _core.MAX_WORDED

log = logging.getLogger("qev")


class DataWarning(UserWarning):
    """A data check that the records fail."""


def _warn_all(lines):
    for line in lines:
        warnings.warn(line, DataWarning, stacklevel=4)


def _refuse(name, which, x):
    raise ValueError("%s takes %s, not %r" % (name, _core.argument_words(which),
                                              x))


def _takes(which, x):
    """Whether x is a number argument `which` takes, by the library's
    rules; text, booleans and everything else are not."""
    return (not isinstance(x, (bool, np.bool_)) and
            isinstance(x, numbers.Real) and
            bool(_core.argument_ok(which, float(x))))


def _number(name, which, x):
    """x as a float if argument `which` takes it, else ValueError."""
    if not _takes(which, x):
        _refuse(name, which, x)
    return float(x)


def _start(start):
    if start is None:
        return None
    try:
        s = None if isinstance(start, (str, bytes)) else list(start)
    except TypeError:
        s = None
    if s is None or len(s) != 3 or not all(_takes(_core.ARG_START, x)
                                           for x in s):
        _refuse("start", _core.ARG_START, start)
    return [float(x) for x in s]


def _count(name, which, x):
    return int(_number(name, which, x))


def _whole_ages(age, what="record"):
    """age as int32, refusing NaN, infinities and fractions by record, and
    whole numbers past the range of an int as out of range."""
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
        with np.errstate(invalid="ignore"):
            bad = ~np.isfinite(a) | (a != np.floor(a))
        if bad.any():
            i = int(np.flatnonzero(bad)[0])
            raise ValueError("%s %d: age %r is not a whole number" %
                             (what, i, a[i]))
    elif a.dtype.kind not in "iu":
        raise ValueError("ages must be whole numbers, not %s" % a.dtype)
    big = (a > 2**31 - 1) | (a < -2**31)
    if big.any():
        i = int(np.flatnonzero(big)[0])
        raise ValueError("%s %d: %s" % (what, i,
                                        _core.big_age_words("%d" % a[i])))
    return a.astype(np.int32)


def _is_number(x):
    try:
        float(x)
        return not isinstance(x, (str, bytes))
    except (TypeError, ValueError):
        return False


def _values(value, what="record", column=None):
    """value as float64, None as NaN.  A column of text is refused whole, as
    R refuses one; a single text among numbers is named."""
    v = np.asarray(value)
    if v.dtype.kind in "fiub":
        return v.astype(np.float64)
    items = v.tolist()
    if column is not None and (v.dtype.kind in "US" or any(
            isinstance(x, (str, bytes)) for x in items)):
        raise ValueError(_core.text_value_words(str(column)))
    for i, x in enumerate(items):
        if x is not None and not _is_number(x):
            raise ValueError("%s %d: value %r is not a number" % (what, i, x))
    return np.array([np.nan if x is None else float(x) for x in items],
                    dtype=np.float64)


class Fit:
    """One fitted table, as ``qev.fit`` returns it.

    Attributes
    ----------
    a, b, c : float
        The parameters of the best vertex of the final simplex.
    rmse : float
        The RMS error at a, b and c.
    iterations : int
        Iterations of the search, restarts included.
    status : str
        ``"converged"``, ``"not-convergent"`` (10000 iterations ran),
        ``"no-fit"`` (an error was NaN), ``"too-few-records"`` (fewer than
        4) or ``"refused"``.
    records : int
        The records fitted.
    e0_fit : float
        Life expectancy at birth of the fitted curve, its area from 0 to
        105; NaN unless the status is converged or not-convergent.
    e0_table : float
        Life expectancy at birth of the records by trapezoids in age order
        from (0, 1), closed beyond the last age by the fitted curve scaled
        to meet the last value; NaN where the ages are outside 0..105 or
        seen twice, or where e0_fit is NaN.
    se_a, se_b, se_c, se_e0_fit : float
        Gauss-Newton standard errors of a, b, c (those of R's ``nls()``)
        and the delta-method one of e0_fit; NaN where they do not exist.
        They assume independent errors of one variance, which the values
        of a life table are not: a scale, not a sampling error.
    cov_ab, cov_ac, cov_bc : float
        Their covariances.
    checks : tuple of str
        The data checks the records fail: ``age-range``, ``not-share``,
        ``age-105``, ``rises``, ``age-again``, ``few-records``,
        ``no-records``, ``l0``.  The checks of the table as a table go by
        age, whatever the order of the records.
    params : numpy.ndarray
        ``[a, b, c]``.
    cov : numpy.ndarray
        The 3 x 3 covariance matrix of a, b and c.
    fitted, residuals : numpy.ndarray
        The curve at each record's age, and the value minus it.
    """

    def __init__(self, result, age, value):
        for k, v in result.items():
            setattr(self, k, v)
        self._age = age
        self._value = value

    @property
    def params(self):
        """``[a, b, c]`` as an array."""
        return np.array([self.a, self.b, self.c])

    @property
    def cov(self):
        """The 3 x 3 covariance matrix of a, b and c (NaN where the
        standard errors do not exist)."""
        se = (self.se_a, self.se_b, self.se_c)
        m = np.diag(np.square(se))
        m[0, 1] = m[1, 0] = self.cov_ab
        m[0, 2] = m[2, 0] = self.cov_ac
        m[1, 2] = m[2, 1] = self.cov_bc
        return m

    @property
    def fitted(self):
        """The curve at each record's age, bit for bit qev --fitted's."""
        return _core.curve(self.a, self.b, self.c,
                           self._age.astype(np.float64))

    @property
    def residuals(self):
        """Each record's value minus the curve at its age."""
        return self._value - self.fitted

    def predict(self, ages):
        """The curve at ages (whole or not, any shape), NaN outside 0..105
        and for NaN."""
        x = np.asarray(ages, dtype=np.float64)
        y = _core.curve(self.a, self.b, self.c, x.ravel())
        return y.reshape(x.shape)

    def plot(self, ax=None):
        """Draws the records, the fitted curve and the residuals below, as
        R's ``plot()`` of a fit does, with matplotlib (an optional
        dependency: ImportError without it).

        Parameters
        ----------
        ax : pair of matplotlib.axes.Axes, optional
            Where to draw the fit and the residuals; default a new figure.

        Returns
        -------
        matplotlib.figure.Figure

        Raises
        ------
        ValueError
            For a fit with no curve (no-fit, too-few-records, refused).
        """
        from .plot import fit_figure
        return fit_figure(self, ax)

    def __repr__(self):
        return ("qev.Fit(a=%.6g, b=%.6g, c=%.6g, rmse=%.4g, status=%r, "
                "iterations=%d, records=%d, e0_fit=%.4g, e0_table=%.4g%s)" %
                (self.a, self.b, self.c, self.rmse, self.status,
                 self.iterations, self.records, self.e0_fit, self.e0_table,
                 ", checks=%r" % (self.checks,) if self.checks else ""))


def fit(age, value, start=None, restarts=0):
    """Fits one table, as ``qev --tsv`` fits a data file of its records.

    Parameters
    ----------
    age : array_like of int
        Whole ages, one per record, in any order.
    value : array_like of float
        The share still alive at each age (l(x) / l(0)).  NaN is a value
        that is not a share: a data check, and a ``no-fit``.
    start : sequence of 3 floats, optional
        Where the search starts (a, b, c); default 0.03, 0.05, 0.01.
    restarts : int, default 0
        A search that runs 10000 iterations starts again from its best
        vertex, up to this many times (0 to 1000), as ``--restarts``.

    Returns
    -------
    Fit
        The fit; see ``help(qev.Fit)`` for every attribute.

    Raises
    ------
    ValueError
        Ages that are not whole numbers or are out of range, values that
        are not numbers, more than 200 records, lengths that differ, or a
        start or restarts outside what qev takes.

    Warns
    -----
    DataWarning
        For each data check the records fail, as the command line warns.

    Examples
    --------
    >>> f = qev.fit([0, 20, 40, 60, 80], [1, 0.98, 0.95, 0.86, 0.5])
    >>> f.status, round(f.e0_fit, 1)
    ('converged', 75.7)
    """
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
        raise ValueError(_core.too_many_words(len(age)))
    s = _start(start)
    n_restarts = _count("restarts", _core.ARG_RESTARTS, restarts)
    a = _whole_ages(age)
    v = _values(value)
    first = np.flatnonzero(~((v >= 0) & (v <= 1)))
    shown = repr(float(v[first[0]])) if len(first) else ""
    result, notes = _core.fit(a, v, s, n_restarts, shown)
    _warn_all(notes)
    return Fit(result, a, v)


def _columns(df, age, value, by):
    if df is None or not isinstance(df, pd.DataFrame):
        raise ValueError("fit_table takes a pandas DataFrame")
    by = [] if by is None else [by] if isinstance(by, str) else list(by)
    for name in [age, value] + by:
        if name not in df.columns:
            raise ValueError("no column %r in the DataFrame" % (name,))
    twice = _core.key_twice([str(b) for b in by])
    if twice:
        raise ValueError(twice)
    clash = _core.clashing_key([str(b) for b in by])
    if clash:
        raise ValueError("a by column may not have the name of a result "
                         "column: %r" % clash)
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
        if t is None or kinds[k] < 0:
            row = int(np.flatnonzero(codes == k)[0])
            if kinds[k] == _core.AGE_RANGE:
                raise ValueError("row %d: %s" % (row, _core.big_age_words(t)))
            raise ValueError("row %d: age %s" % (
                row, _core.not_an_age_words(str(labels[k]))))
    return ages[codes].astype(np.int32), kinds[codes].astype(np.int32)


def _key_codes(col):
    """A key column's values numbered by their first row, NaN, None and NA
    as one value of their own, as groupby(dropna=False) takes them."""
    return pd.factorize(col, use_na_sentinel=False)[0].astype(np.int64,
                                                              copy=False)


def _with_levels(df, names):
    """df with the index levels that names name and its columns do not
    (of a MultiIndex or a named index) as columns, as groupby takes them."""
    if not isinstance(df, pd.DataFrame):
        return df
    levels = [n for n in dict.fromkeys(names)
              if n is not None and n not in df.columns and
              n in [l for l in df.index.names if l is not None]]
    return df.reset_index(level=levels) if levels else df


def _prepare(df, age, value, by):
    listed = [] if by is None else [by] if isinstance(by, str) else list(by)
    df = _with_levels(df, [age, value] + listed)
    by = _columns(df, age, value, by)
    n = len(df)
    # Each key column numbered once, the groups then numbered from those
    # codes in the extension, as groupby(sort=False, dropna=False,
    # observed=True).ngroup() numbers them.
    codes = [_key_codes(df[b]) for b in by]
    order, offsets = _core.group_rows(codes, n)
    n_groups = len(offsets) - 1
    ages, kinds = _age_labels(df[age])
    col = df[value]
    if col.dtype.kind in "fiub":
        v = col.to_numpy(dtype=np.float64, na_value=np.nan)
    else:
        v = _values(col.to_numpy(dtype=object), "row", value)
    missing = np.isnan(v).astype(np.uint8)
    first = order[offsets[:-1]] if n_groups else np.zeros(0, dtype=np.int64)
    keys = df[by].iloc[first].reset_index(drop=True) if by else None
    return (by, keys, order, offsets, ages[order], kinds[order], v[order],
            missing[order])


def _radix(radix):
    if radix is None:
        return 0.0, ""
    r = _number("radix", _core.ARG_RADIX, radix)
    return r, repr(radix)


def _notes(notes, drops, keys, by, first):
    """What a grouped fit has to say, kept for saying: the worded checks of
    the first MAX_WARNED groups that have any, each with the number of its
    first row (first[g]), the count of the others, the "left out" lines of
    the first groups with rows left out, and the totals left out."""
    warned = sorted(notes)  # the groups with messages
    worded = [(int(first[g]), [_label(keys, by, g) + line
                               for line in notes[g]])
              for g in warned[:MAX_WARNED]]
    left_out = [(int(first[g]), _label(keys, by, g) +
                 _core.left_out_words(int(drops[g, 1]), int(drops[g, 2])))
                for g in np.flatnonzero(drops[:, 1])[:MAX_WARNED]]
    # Rows of ages above 104, with no value, and of no age.
    totals = [[int(drops[:, k].sum()), int((drops[:, k] > 0).sum())]
              for k in (0, 1, 3)]
    return {"worded": worded, "more": max(len(warned) - MAX_WARNED, 0),
            "left_out": left_out, "totals": totals}


def _merged(parts):
    """The notes of several fits of one frame's groups, as one fit's."""
    worded = sorted((w for p in parts for w in p["worded"]),
                    key=lambda w: w[0])
    more = sum(p["more"] for p in parts) + max(len(worded) - MAX_WARNED, 0)
    left_out = sorted((x for p in parts for x in p["left_out"]),
                      key=lambda x: x[0])[:MAX_WARNED]
    totals = [[sum(p["totals"][k][j] for p in parts) for j in (0, 1)]
              for k in range(3)]
    return {"worded": worded[:MAX_WARNED], "more": more, "left_out": left_out,
            "totals": totals}


def _say(notes, stacklevel=3):
    """The data checks as DataWarnings, the rows left out at INFO, as the
    command line reports them."""
    for _, lines in notes["worded"]:
        for line in lines:
            warnings.warn(line, DataWarning, stacklevel=stacklevel)
    if notes["more"]:
        warnings.warn(_core.more_groups_words(notes["more"]), DataWarning,
                      stacklevel=stacklevel)
    for _, line in notes["left_out"]:
        log.info("%s", line)
    line = _core.dropped_words([n for t in notes["totals"] for n in t],
                               "NaN or None")
    if line:
        log.info("%s", line)


def _label(keys, by, g):
    if not by:
        return ""
    return ", ".join("%s=%s" % (b, keys[b].iloc[g]) for b in by) + ": "


def _fit_groups(df, age, value, by, radix, start, restarts, jobs, rows=None,
                say=True):
    """Fits the groups.  rows: the number of each row of df for messages
    (default its place in df); say: warn and log now, else only return
    what would be said."""
    by, keys, order, offsets, ages, kinds, v, missing = _prepare(
        df, age, value, by)
    r, r_text = _radix(radix)
    s = _start(start)
    n_restarts = _count("restarts", _core.ARG_RESTARTS, restarts)
    n_jobs = _count("jobs", _core.ARG_JOBS, jobs)
    if len(df) == 0:
        warnings.warn("the DataFrame has no rows", DataWarning, stacklevel=3)
    place = order if rows is None else np.asarray(rows, dtype=np.int64)[order]
    cols, notes, drops, kept, fitted = _core.fit_groups(
        ages, kinds, v, missing, offsets, place.astype(np.int32), r, r_text, s,
        n_restarts, n_jobs)
    # The first groups' checks in words; the others' only counted, since a
    # million warnings help no one.
    said = _notes(notes, drops, keys, by, place[offsets[:-1]])
    if say:
        _say(said, stacklevel=4)
    return by, keys, offsets, ages, kept.astype(bool), fitted, cols, said


_TABLE_PARAMETERS = """
    Parameters
    ----------
    df : pandas.DataFrame
        One row per age of each table.
    age : str
        The column of ages: whole numbers, or labels ``N``, ``N-M`` (an
        age group, taken at N) and ``N+`` (the open age group, kept at N).
        Ages above 104 are left out.
    value : str
        The column of l(x) or of shares still alive; NaN and None are
        missing, and such rows are left out.
    by : str or list of str, optional
        The key columns: the rows that share their values form one table.
        Default: the whole frame is one table.  Any of age, value and by
        may name a level of the frame's index (a MultiIndex's or a named
        index), as groupby takes them.
    radix : float, optional
        Divide every value by it (100000 for l(x) of radix 100000).
    start : sequence of 3 floats, optional
        Where each search starts (a, b, c); default 0.03, 0.05, 0.01.
    restarts : int, default 0
        A search that runs 10000 iterations starts again from its best
        vertex, up to this many times (0 to 1000), as ``--restarts``.
    jobs : int, default 0
        Threads to fit on, 0 to 1024; 0 is every core.  The results are
        the same bits for any number.
"""

_TABLE_RAISES = """
    Raises
    ------
    ValueError
        A column that is not there or named twice in ``by``, a ``by``
        column named as a result column, an age that is not an age or is
        out of range, a value column of text, or a radix, start, restarts
        or jobs outside what qev takes.

    Warns
    -----
    DataWarning
        For each data check of the first 20 groups that have any, then one
        with the count of the rest.  Rows left out are logged at INFO on
        the ``"qev"`` logger.
"""


def fit_table(df, age, value, by=None, radix=None, start=None, restarts=0,
              jobs=0):
    by, keys, _, _, _, _, cols, _ = _fit_groups(
        df, age, value, by, radix, start, restarts, jobs)
    return _result_frame(by, keys, cols)


def _result_frame(by, keys, cols):
    out = keys.copy() if by else pd.DataFrame(index=range(len(cols["a"])))
    refused = np.array(cols["status"]) == "refused"
    for name in COLUMNS:
        col = cols[name]
        if name in ("iterations", "records"):
            col = pd.array(np.where(np.isnan(col), 0, col).astype(np.int64),
                           dtype="Int64")
            col[refused] = pd.NA
        elif name not in ("status", "checks"):
            col = np.where(refused, np.nan, col)
        out[name] = col
    return out


fit_table.__doc__ = """Fits every group of a long DataFrame, as ``qev --tsv
    --age=AGE --value=VALUE --by=...`` fits a long table, bit for bit.
""" + _TABLE_PARAMETERS + """
    Returns
    -------
    pandas.DataFrame
        One row per group, in the order of their first rows: the ``by``
        columns, then the columns of ``qev --tsv`` (a, b, c, rmse,
        iterations, status, records, e0_fit, e0_table, se_a, se_b, se_c,
        se_e0_fit, checks; see ``help(qev.Fit)``).  A refused group (more
        than 200 records, or an age twice) has NaN numbers.
""" + _TABLE_RAISES + """
    Examples
    --------
    >>> d = qev.read_hmd("USA.fltper_1x1.txt")
    >>> fits = qev.fit_table(d, age="Age", value="lx", by="Year",
    ...                      radix=100000)
    >>> fits[["Year", "e0_fit", "e0_table"]].head()
"""


def fitted_table(df, age, value, by=None, radix=None, start=None, restarts=0,
                 jobs=0):
    by, keys, offsets, ages, kept, fitted, cols, _ = _fit_groups(
        df, age, value, by, radix, start, restarts, jobs)
    parts = []
    for g in range(len(offsets) - 1):
        if cols["status"][g] == "refused":
            continue
        sl = slice(offsets[g], offsets[g + 1])
        x = ages[sl][kept[sl]]
        obs = fitted[sl][kept[sl]]
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


fitted_table.__doc__ = """The rows of ``qev --fitted`` for a long DataFrame:
    for each kept record of each group that was not refused, its age, the
    observed value, the fitted curve and the residual, bit for bit.
""" + _TABLE_PARAMETERS + """
    Returns
    -------
    pandas.DataFrame
        The ``by`` columns, then age, observed, fitted and residual.
""" + _TABLE_RAISES + """
    Examples
    --------
    >>> rows = qev.fitted_table(d, age="Age", value="lx", by="Year",
    ...                         radix=100000)
    >>> rows[rows["Year"] == 2019].plot(x="age", y="residual")
"""


def read_hmd(path):
    """Reads a Human Mortality Database life-table file.

    Parameters
    ----------
    path : str or os.PathLike
        A file such as ``USA.fltper_1x1.txt``, its title lines included.

    Returns
    -------
    pandas.DataFrame
        The file's own columns (Year, Age, mx, qx, ax, lx, dx, Lx, Tx, ex):
        Year an integer (text for spans of years such as ``1930-1934``),
        Age text (``110+`` kept), the numbers as the C library reads them,
        ``.`` as NaN.

    Raises
    ------
    ValueError
        When no line starts with Year and Age.
    OSError
        When the file cannot be read.

    Examples
    --------
    >>> d = qev.read_hmd("USA.fltper_1x1.txt")
    >>> qev.fit_table(d, age="Age", value="lx", by="Year", radix=100000)
    """
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
