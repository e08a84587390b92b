"""Pictures of fits, with matplotlib (Debian's python3-matplotlib), which
the rest of the package does not need: ``qev.Fit.plot`` draws one fit as
R's ``plot()`` does, ``qev.plot_trend`` the life expectancies of many."""
import numpy as np

# Series of one trend picture: more are a tangle, and a filter says which.
MAX_SERIES = 12


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("qev's pictures need matplotlib (Debian: "
                          "apt-get install python3-matplotlib)") from None
    return plt


def fit_figure(fit, ax=None):
    """The records, the fitted curve and the residuals of one fit; see
    ``qev.Fit.plot``."""
    if fit.status in ("no-fit", "too-few-records", "refused"):
        raise ValueError("no curve to draw: the fit's status is %s" %
                         fit.status)
    plt = _pyplot()
    if ax is None:
        fig, (top, bottom) = plt.subplots(
            2, 1, sharex=True, figsize=(7, 6),
            gridspec_kw={"height_ratios": [2, 1]})
    else:
        top, bottom = ax
        fig = top.figure
    title = "qev fit: RMSE %.3g, e0 %.1f" % (fit.rmse, fit.e0_fit)
    if fit.status == "not-convergent":
        title += " (not convergent within 10000 iterations)"
    ages = np.arange(0, 1050) / 10.0
    top.plot(fit._age, fit._value, ".", color="black", label="observed")
    top.plot(ages, fit.predict(ages), color="red", label="fitted curve")
    top.set_title(title)
    top.set_ylabel("share still alive")
    top.set_xlim(0, 105)
    top.legend(loc="lower left", frameon=False)
    bottom.plot(fit._age, fit.residuals, ".", color="black")
    bottom.axhline(0, color="grey", linewidth=0.8)
    bottom.set_xlabel("age")
    bottom.set_ylabel("residual")
    return fig


def plot_trend(frame, x, by=None, ax=None):
    """Life expectancy at birth over x, a line for each combination of the
    by columns.

    Parameters
    ----------
    frame : pandas.DataFrame
        Rows of ``qev.fit_table`` (or of ``qev --tsv`` read back): the
        columns x, e0_fit and e0_table, and se_e0_fit for a band.
    x : str
        The column of the years (or any other number) along the axis.
    by : str or list of str, optional
        The columns whose combinations are lines of their own, each with a
        key entry; default none.  At most 12 lines: filter the frame first.
    ax : matplotlib.axes.Axes, optional
        Where to draw; default a new figure.

    Returns
    -------
    matplotlib.figure.Figure
        e0_fit as a line with the band e0_fit +- 1.96 se_e0_fit where the
        standard error exists, and e0_table as points.

    Raises
    ------
    ValueError
        A column that is not there, or more than 12 lines.
    ImportError
        Without matplotlib.

    Examples
    --------
    >>> fits = qev.fit_table(qev.read_hmd("USA.fltper_1x1.txt"), "Age",
    ...                      "lx", by="Year", radix=100000)
    >>> qev.plot_trend(fits, x="Year").savefig("trend.png")
    """
    by = [] if by is None else [by] if isinstance(by, str) else list(by)
    for name in [x, "e0_fit", "e0_table"] + by:
        if name not in frame.columns:
            raise ValueError("no column %r in the frame" % (name,))
    # One key column by its name, as pandas wants it, for scalar keys.
    keys = by[0] if len(by) == 1 else by
    groups = (list(frame.groupby(keys, sort=False, dropna=False))
              if by else [((), frame)])
    if len(groups) > MAX_SERIES:
        raise ValueError("%d lines, more than %d: keep fewer rows (by %s)" %
                         (len(groups), MAX_SERIES, ", ".join(by)))
    plt = _pyplot()
    if ax is None:
        fig, ax = plt.subplots(figsize=(8, 5))
    else:
        fig = ax.figure
    for key, rows in groups:
        key = key if isinstance(key, tuple) else (key,)
        label = ", ".join("%s=%s" % kv for kv in zip(by, key))
        rows = rows.sort_values(x, kind="stable")
        t = rows[x].to_numpy(dtype=float)
        e0 = rows["e0_fit"].to_numpy(dtype=float)
        line, = ax.plot(t, e0, label=("e0_fit " + label).strip())
        if "se_e0_fit" in rows.columns:
            se = rows["se_e0_fit"].to_numpy(dtype=float)
            ok = np.isfinite(se)
            ax.fill_between(t[ok], (e0 - 1.96 * se)[ok], (e0 + 1.96 * se)[ok],
                            color=line.get_color(), alpha=0.35, linewidth=0)
        ax.plot(t, rows["e0_table"].to_numpy(dtype=float), ".",
                color=line.get_color(), label=("e0_table " + label).strip())
    ax.set_xlabel(x)
    ax.set_ylabel("life expectancy at birth (years)")
    ax.legend(frameon=False)
    return fig
