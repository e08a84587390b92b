"""qev.fit_table on a Dask DataFrame, for collections larger than one machine.

    from distributed import Client
    import qev.dask
    client = Client("scheduler:8786")
    fits = qev.dask.fit_table(ddf, age="age", value="lx", by=["region", "year"],
                              radix=100000).compute()

The rows are shuffled by the key so that each group's rows meet in one
partition, in their order in the input (a group's order decides the bits
of its fit), and each partition is fitted by qev.fit_table.  Groups come out
in the order of their first rows within each partition.
"""
import numpy as np
import pandas as pd

import qev

_POS = "_qev_row"


def _number_rows(part, offsets, partition_info=None):
    start = offsets[partition_info["number"]] if partition_info else 0
    return part.assign(**{_POS: np.arange(start, start + len(part),
                                          dtype=np.int64)})


def _fit_part(part, age, value, by, radix, start):
    part = part.sort_values(_POS, kind="stable")
    if len(part) == 0:
        return _empty(part, by)
    out = qev.fit_table(part.drop(columns=_POS), age, value, by, radix, start,
                        jobs=1)
    return out


def _empty(part, by):
    out = part[by].iloc[:0].copy()
    for name in qev.COLUMNS:
        out[name] = pd.Series(dtype="Int64" if name in ("iterations", "records")
                              else object if name in ("status", "checks")
                              else np.float64)
    return out


def fit_table(ddf, age, value, by, radix=None, start=None):
    """qev.fit_table over a Dask DataFrame: a Dask DataFrame with the same
    columns, one row per group."""
    by = [by] if isinstance(by, str) else list(by)
    for name in [age, value] + by:
        if name not in ddf.columns:
            raise ValueError("no column %r in the DataFrame" % (name,))
    lengths = ddf.map_partitions(len).compute()
    offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    numbered = ddf.map_partitions(_number_rows, offsets,
                                  meta=ddf._meta.assign(**{_POS: np.int64(0)}))
    shuffled = numbered.shuffle(on=by)
    meta = _empty(ddf._meta, by)
    return shuffled.map_partitions(_fit_part, age, value, by, radix, start,
                                   meta=meta)
