"""Eurostat's TSV layout (bulk download and API), read as a long table."""

import gzip

import numpy as np
import pandas as pd

from . import _core

_TIMES = ("TIME_PERIOD", "time")


def _lines(path):
    """The file's text lines, through gzip when it starts with its magic
    bytes, without their line ends."""
    with open(path, "rb") as f:
        packed = f.read(2) == b"\x1f\x8b"
    opener = gzip.open if packed else open
    with opener(path, "rt", encoding="utf-8", newline="") as f:
        text = f.read()
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return [l[:-1] if l.endswith("\r") else l for l in lines]


def read_eurostat(path):
    """Reads a life-table file in Eurostat's TSV layout as a long table.

    Parameters
    ----------
    path : str or os.PathLike
        A file as Eurostat's bulk download or API gives it (``.tsv``, or
        ``.tsv.gz``, which Python's gzip reads): a first header field
        ``dim1,...,dimN\\TIME_PERIOD`` (or ``\\time``, or with ``/``), a
        column per period, and cells ``VALUE FLAG``.

    Returns
    -------
    pandas.DataFrame
        A row per cell: the dimensions as text columns under their own
        names, the period in a column named after the time dimension (an
        integer where every period is a whole number), ``value`` as the C
        library's strtod reads it (``:`` is NaN) and ``flag`` (text, empty
        for none).  Each series, the rows that share every column but
        ``age``, ``value`` and ``flag``, comes in the order the file first
        shows it, its rows in age order: ``fit_table`` then fits what
        ``qev`` fits of the file.

    Raises
    ------
    ValueError
        When the header is not Eurostat's, a dimension is named ``value``
        or ``flag``, a row has more or fewer fields or codes than the
        header, or a cell is not a number.
    OSError
        When the file cannot be read.

    Examples
    --------
    >>> d = qev.read_eurostat("demo_mlifetable.tsv.gz")
    >>> s = d[d.indic_de == "SURVIVORS"]
    >>> qev.fit_table(s, age="age", value="value",
    ...               by=["sex", "geo", "TIME_PERIOD"], radix=100000)
    """
    lines = _lines(path)
    header = lines[0].lstrip("\ufeff").split("\t") if lines else [""]
    first = header[0].strip(" ")
    cut = max(first.rfind("\\"), first.rfind("/"))
    time = first[cut + 1:]
    if cut < 0 or time not in _TIMES:
        raise ValueError("%s: not in Eurostat's layout: the first header "
                         "field does not end in \\TIME_PERIOD or \\time"
                         % path)
    dims = [d.strip(" ") for d in first[:cut].split(",")]
    for d in dims:
        if d in ("value", "flag"):
            raise ValueError("%s: line 1: %s"
                             % (path, _core.eurostat_clash_words(d)))
    periods = [p.strip(" ") for p in header[1:]]
    width = len(header)
    codes, cells, line_of = [], [], []
    for ln, line in enumerate(lines[1:], start=2):
        if not line:
            continue
        f = line.split("\t")
        if len(f) != width:
            raise ValueError("%s: line %d: %s" % (
                path, ln, _core.eurostat_width_words(len(f), width, False)))
        c = f[0].split(",")
        if len(c) != len(dims):
            raise ValueError("%s: line %d: %s" % (
                path, ln, _core.eurostat_width_words(len(c), len(dims), True)))
        codes.append([x.strip(" ") for x in c])
        cells.extend(f[1:])
        line_of.append(ln)
    n_periods = len(periods)
    out = {}
    by_dim = list(zip(*codes)) if codes else [() for _ in dims]
    for k, d in enumerate(dims):
        out[d] = np.repeat(np.array(by_dim[k], dtype=object), n_periods)
    stamps = np.array(periods, dtype=object)
    if periods and all(p.isdigit() for p in periods):
        stamps = stamps.astype(np.int64)
    out[time] = np.tile(stamps, len(codes))
    cell = pd.Series(cells, dtype=object).str.strip(" ")
    parts = cell.str.partition(" ")
    texts = parts[0].to_numpy(dtype=object)
    unique, at = np.unique(texts.astype(str), return_inverse=True)
    values, bad = _core.strtod(["" if t == ":" else t for t in unique])
    if bad >= 0:
        i = int(np.flatnonzero(at == bad)[0])
        raise ValueError("%s: line %d: value \"%s\" is not a number" % (
            path, line_of[i // n_periods], unique[bad]))
    out["value"] = values[at]
    out["flag"] = parts[2].str.strip(" ").to_numpy(dtype=object)
    frame = pd.DataFrame(out)
    return frame.iloc[_series_in_age_order(frame, time)].reset_index(drop=True)


def _series_in_age_order(frame, time):
    """The rows' order: each series where the file first shows it, its rows
    by the library's ages (rows of no age or none last, in file order)."""
    keys = [c for c in frame.columns if c not in ("age", "value", "flag")]
    series = frame.groupby(keys, sort=False).ngroup().to_numpy(np.int64)
    if "age" not in frame.columns:
        return np.argsort(series, kind="stable")
    labels, at = np.unique(frame["age"].to_numpy(dtype=str),
                           return_inverse=True)
    kinds, ages = _core.age_labels(list(labels))
    rank = np.where((kinds >= 0) & (kinds != _core.AGE_NONE), ages,
                    np.iinfo(np.int32).max).astype(np.int64)
    return np.argsort(series * (1 << 32) + rank[at], kind="stable")
