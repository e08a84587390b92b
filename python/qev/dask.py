"""qev.fit_table on a Dask DataFrame, for collections larger than one machine.

    from distributed import Client
    import qev.dask
    client = Client("scheduler:8786")
    fits = qev.dask.fit_table(ddf, age="age", value="lx", by=["region", "year"],
                              radix=100000).compute()

The rows are shuffled by the key so that each group's rows meet in one
partition, in their order in the input (a group's order decides the bits
of its fit), and each partition is fitted by qev.fit_table.  Groups come out
in the order of their first rows within each partition.  With by=None the
whole frame is one table, fitted in one partition.

The data checks found in the partitions are warned of as qev.DataWarning
by ``.compute()`` (or ``dask.compute``) in the calling process, with the
row numbers of the whole frame, as qev.fit_table warns of them; the rows
left out are logged at INFO on the "qev" logger there.
"""
import numpy as np
import pandas as pd

import qev

_POS = "_qev_row"
_NOTES = "qev_notes"


def _number_rows(part, offsets, partition_info=None):
    start = offsets[partition_info["number"]] if partition_info else 0
    return part.assign(**{_POS: np.arange(start, start + len(part),
                                          dtype=np.int64)})


def _fit_part(part, age, value, by, radix, start, restarts):
    part = part.sort_values(_POS, kind="stable")
    if len(part) == 0:
        return _empty(part, by)
    rows = part[_POS].to_numpy()
    got = qev._fit_groups(part.drop(columns=_POS), age, value, by or None,
                          radix, start, restarts, 1, rows=rows, say=False)
    by_, keys, cols, said = got[0], got[1], got[6], got[7]
    out = qev._result_frame(by_, keys, cols)
    out.attrs[_NOTES] = said  # said by the caller's process, see fit_table
    return out


def _empty(part, by):
    out = part[by].iloc[:0].copy()
    for name in qev.COLUMNS:
        out[name] = pd.Series(dtype="Int64" if name in ("iterations", "records")
                              else object if name in ("status", "checks")
                              else np.float64)
    return out


def _saying(finalize, extra):
    """A finishing step of .compute() that first says what the partitions
    found: it runs in the process that asked for the result."""
    def finish(results, *args):
        parts = [r.attrs.get(_NOTES) for r in results
                 if isinstance(r, pd.DataFrame)]
        notes = [p for p in parts if p is not None]
        if notes:
            qev._say(qev._merged(notes), stacklevel=4)
        out = finalize(results, *args)
        if isinstance(out, pd.DataFrame):
            out.attrs.pop(_NOTES, None)
        return out
    return lambda: (finish, extra)


def fit_table(ddf, age, value, by=None, radix=None, start=None, restarts=0):
    """qev.fit_table over a Dask DataFrame.

    Parameters
    ----------
    ddf : dask.dataframe.DataFrame
        One row per age of each table.
    age, value, by, radix, start, restarts
        As for qev.fit_table; by=None fits the whole frame as one table.

    Returns
    -------
    dask.dataframe.DataFrame
        Lazily, the frame qev.fit_table gives: one row per group, the by
        columns and then those of ``qev --tsv``.  Its ``.compute()`` warns
        of the data checks as qev.DataWarning, with the row numbers of the
        whole frame.

    Raises
    ------
    ValueError
        A column that is not there; the rest as qev.fit_table raises, from
        ``.compute()``.

    Examples
    --------
    >>> import dask.dataframe as dd
    >>> ddf = dd.from_pandas(qev.read_hmd("USA.fltper_1x1.txt"), npartitions=4)
    >>> qev.dask.fit_table(ddf, "Age", "lx", by="Year", radix=100000).compute()
    """
    by = [] if by is None else [by] if isinstance(by, str) else list(by)
    for name in [age, value] + by:
        if name not in ddf.columns:
            raise ValueError("no column %r in the DataFrame" % (name,))
    lengths = ddf.map_partitions(len).compute()
    offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    numbered = ddf.map_partitions(_number_rows, offsets,
                                  meta=ddf._meta.assign(**{_POS: np.int64(0)}))
    grouped = (numbered.shuffle(on=by) if by
               else numbered.repartition(npartitions=1))
    meta = _empty(ddf._meta, by)
    out = grouped.map_partitions(_fit_part, age, value, by, radix, start,
                                 restarts, meta=meta)
    out.__dask_postcompute__ = _saying(*out.__dask_postcompute__())
    return out
