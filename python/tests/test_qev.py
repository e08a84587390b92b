"""The qev package against the command line ($QEV, the built qev), bit for
bit, and its refusals of bad input."""
import gzip
import io
import logging
import os
import re
import signal
import sys
import subprocess
import threading
import warnings

import numpy as np
import pandas as pd
import pytest

import qev

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "..", "examples")
HMD = os.path.join(EXAMPLES, "hmd", "USA.fltper_1x1.txt")
QEV = os.environ.get("QEV", "qev")
NUMBERS = ["a", "b", "c", "rmse", "e0_fit", "e0_table", "se_a", "se_b",
           "se_c", "se_e0_fit"]


def run_qev(*args, **kw):
    r = subprocess.run([QEV] + list(args), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, **kw)
    assert r.returncode in (1, 2), r.stderr
    return r


def read_tsv(data):
    return pd.read_csv(io.BytesIO(data), sep="\t",
                       float_precision="round_trip", keep_default_na=False,
                       na_values=["NaN", ""], dtype={"status": str,
                                                     "checks": str})


def bits(x):
    return np.asarray(x, dtype=np.float64).view(np.int64)


def same_rows(got, want):
    """Every --tsv column of got is want's, numbers to the bit."""
    assert len(got) == len(want) > 0
    for col in NUMBERS:
        nan = np.isnan(got[col].to_numpy()) & np.isnan(want[col].to_numpy())
        assert ((bits(got[col]) == bits(want[col])) | nan).all(), col
    for col in ("iterations", "records"):
        assert (got[col].astype("Float64").fillna(-1).to_numpy() ==
                want[col].astype("Float64").fillna(-1).to_numpy()).all(), col
    assert list(got["status"]) == list(want["status"])
    assert list(got["checks"]) == list(want["checks"].fillna(""))


@pytest.mark.parametrize("name", ["us-2011-male", "us-2011-female",
                                  "us-1940-male", "finland-2013-female"])
def test_fit_gives_the_command_lines_bits(name):
    path = os.path.join(EXAMPLES, name + ".dat")
    d = np.loadtxt(path)
    with warnings.catch_warnings():
        warnings.simplefilter("error", qev.DataWarning)
        f = qev.fit(d[:, 0], d[:, 1])
    want = read_tsv(run_qev("--tsv", path).stdout)
    got = pd.DataFrame([{k: getattr(f, k) for k in qev.COLUMNS}])
    got["checks"] = ",".join(f.checks)
    same_rows(got, want)
    assert (bits(f.params) == bits([f.a, f.b, f.c])).all()
    assert f.cov.shape == (3, 3) and f.cov[0, 1] == f.cov_ab
    assert (f.residuals == d[:, 1] - f.fitted).all()
    assert len(f.fitted) == len(d) and "status='converged'" in repr(f)


def test_fit_pins_the_example_and_its_curve():
    d = np.loadtxt(os.path.join(EXAMPLES, "us-2011-male.dat"))
    f = qev.fit(d[:, 0].astype(int).tolist(), list(d[:, 1]),
                start=(0.03, 0.05, 0.01))
    assert f.a.hex() == "0x1.14ae0930d5574p-6"
    assert f.iterations == 229 and f.records == 101
    y = f.predict([[0, 50.5], [105, 106]])
    assert y.shape == (2, 2) and y[0, 0] == 1.0 and 0 < y[0, 1] < 1
    assert y[1, 0] == 0.0 and np.isnan(y[1, 1])
    assert np.isnan(f.predict(-1)).all()


def long_csv(tmp_path):
    """A long table of the shipped HMD years, with what long tables have:
    ages above 104, an open age group, missing values, a refused group."""
    d = qev.read_hmd(HMD)
    d = d[d["Year"] < 1940][["Year", "Age", "lx"]].copy()
    d["sex"] = "f"
    d.loc[d.index[5], "lx"] = np.nan
    d.loc[(d["Year"] == 1935) & (d["Age"] == "100"), "Age"] = "99+"
    extra = pd.DataFrame({"Year": [1999, 1999], "Age": ["0", "0"],
                          "lx": [100000, 99000], "sex": ["m", "m"]})
    d = pd.concat([d, extra], ignore_index=True)
    path = tmp_path / "long.csv"
    d.to_csv(path, index=False)
    return d, str(path)


def test_fit_table_gives_the_command_lines_rows(tmp_path, caplog):
    caplog.set_level(logging.INFO, logger="qev")
    d, path = long_csv(tmp_path)
    r = run_qev("--tsv", "--age=Age", "--value=lx", "--by=Year,sex",
                "--radix=100000", path)
    want = read_tsv(r.stdout)
    with pytest.warns(qev.DataWarning) as w:
        got = qev.fit_table(d, "Age", "lx", by=["Year", "sex"], radix=100000)
    same_rows(got, want)
    assert list(got["Year"]) == list(want["Year"])
    assert got["Year"].dtype == d["Year"].dtype
    info = "\n".join(x.getMessage() for x in caplog.records
                     if x.levelno == logging.INFO)
    assert "dropped 42 rows of ages above 104 in 7 groups" in info
    assert "Year=1933, sex=f: left out 1 row with no value, from age 5" in info
    text = "\n".join(str(x.message) for x in w)
    assert "age 0 again" in text and list(got["status"])[-1] == "refused"
    # Routine drops are information, not warnings.
    assert "dropped" not in text and "left out" not in text


def test_fitted_table_gives_the_command_lines_rows(tmp_path):
    d, path = long_csv(tmp_path)
    want = read_tsv(run_qev("--fitted", "--age=Age", "--value=lx",
                            "--by=Year,sex", "--radix=100000", path).stdout)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qev.DataWarning)
        got = qev.fitted_table(d, "Age", "lx", by=["Year", "sex"],
                               radix=100000)
    assert len(got) == len(want) > 0
    for col in ("observed", "fitted", "residual"):
        assert (bits(got[col]) == bits(want[col])).all(), col
    assert (got["age"].to_numpy() == want["age"].to_numpy()).all()


def test_read_hmd_gives_the_rows_of_qev_hmd():
    hmd = os.path.join(os.path.dirname(QEV), "qev-hmd")
    if not os.path.exists(hmd):
        hmd = os.path.join(HERE, "..", "..", "scripts", "qev-hmd")
    want = read_tsv(subprocess.run([hmd, HMD], stdout=subprocess.PIPE,
                                   env=dict(os.environ, QEV=QEV)).stdout)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qev.DataWarning)
        got = qev.fit_table(qev.read_hmd(HMD), age="Age", value="lx",
                            by="Year", radix=100000, jobs=2)
    same_rows(got, want)
    assert list(got["Year"]) == list(want["year"])


EUROSTAT = os.path.join(HERE, "..", "..", "tests", "eurostat.tsv")


def eurostat_copies(tmp_path):
    """tests/eurostat.tsv, gzip-compressed, and with its /time header."""
    with open(EUROSTAT, "rb") as f:
        text = f.read()
    packed, slash = tmp_path / "e.tsv.gz", tmp_path / "time.tsv"
    packed.write_bytes(gzip.compress(text))
    slash.write_bytes(text.replace(b"geo\\TIME_PERIOD", b"geo/time"))
    return [(EUROSTAT, "TIME_PERIOD"), (str(packed), "TIME_PERIOD"),
            (str(slash), "time")]


def test_read_eurostat_gives_the_long_table_qev_fits(tmp_path):
    long = pd.read_csv(EUROSTAT.replace(".tsv", "-long.csv"), dtype=str,
                       keep_default_na=False)
    long["TIME_PERIOD"] = long["TIME_PERIOD"].astype(np.int64)
    long["value"] = [nan if v == ":" else float(v) for v in long["value"]]
    for path, time in eurostat_copies(tmp_path):
        got = qev.read_eurostat(path)
        want = long.rename(columns={"TIME_PERIOD": time})
        pd.testing.assert_frame_equal(got, want)
    # fit_table of what it reads gives qev's rows of the file.
    r = run_qev("--tsv", "--age=age", "--value=value",
                "--by=sex,geo,TIME_PERIOD", "--where=indic_de=SURVIVORS",
                "--radix=100000", EUROSTAT)
    d = got.rename(columns={"time": "TIME_PERIOD"})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qev.DataWarning)
        fitted = qev.fit_table(d[d.indic_de == "SURVIVORS"], "age", "value",
                               by=["sex", "geo", "TIME_PERIOD"], radix=100000)
    same_rows(fitted, read_tsv(r.stdout))
    assert (fitted["records"] == [0, 101, 101, 101]).all()


@pytest.mark.parametrize("text, what", [
    ("a,age\\TIME_PERIOD\t2019\nX,Y1\t1\t2\n",
     "line 2: 3 fields, where the header has 2"),
    ("a,age\\TIME_PERIOD\t2019\nX\t1\n",
     "line 2: 1 dimension codes, where the header has 2"),
    ("value,age\\time\t2019\nX,Y1\t1\n", 'line 1: the dimension "value"'),
    ("a,age\\TIME_PERIOD\t2019\nX,Y1\t0.9x p\n",
     'line 2: value "0.9x" is not a number'),
    ("a,age\t2019\nX,Y1\t1\n", "not in Eurostat's layout"),
])
def test_read_eurostat_refuses_what_is_not_well_formed(tmp_path, text, what):
    path = tmp_path / "bad.tsv"
    path.write_text(text)
    with pytest.raises(ValueError, match=re.escape(what)):
        qev.read_eurostat(path)


nan = float("nan")
one = pd.DataFrame({"k": ["a"] * 3, "age": [0, 1, 2], "v": [1, .9, .8]})
BAD = [
    (lambda: qev.fit([0, 1], [1]), ValueError, "age has 2 records and value 1"),
    (lambda: qev.fit(range(201), [0.5] * 201), ValueError,
     "more than 200 records: the table has 201"),
    (lambda: qev.fit([0, nan], [1, 1]), ValueError, "record 1: age nan"),
    (lambda: qev.fit([0, 1.5], [1, 1]), ValueError, "record 1: age 1.5"),
    (lambda: qev.fit([0, float("inf")], [1, 1]), ValueError, "age inf"),
    (lambda: qev.fit([0, 1], [1, "x"]), ValueError, "record 1: value 'x'"),
    (lambda: qev.fit(["x"], [1]), ValueError, "record 0: age 'x'"),
    (lambda: qev.fit(None, None), ValueError, "needs ages and values"),
    (lambda: qev.fit([0], [1], start=(1, 2)), ValueError,
     "start takes three finite numbers"),
    (lambda: qev.fit([0], [1], start="123"), ValueError, "start takes"),
    (lambda: qev.fit_table(None, "age", "v"), ValueError, "DataFrame"),
    (lambda: qev.fit_table(one, "age", "w"), ValueError, "no column 'w'"),
    (lambda: qev.fit_table(one, "age", "v", by="rmse"), ValueError,
     "no column 'rmse'"),
    (lambda: qev.fit_table(one.assign(a=1), "age", "v", by="a"), ValueError,
     "name of a result column"),
    (lambda: qev.fit_table(one.assign(v=["1", "x", "2"]), "age", "v"),
     ValueError, 'the value column "v" holds text, not numbers'),
    (lambda: qev.fit_table(one, "age", "v", by=["k", "k"]), ValueError,
     'by names the column "k" twice'),
    (lambda: qev.fit_table(one, "age", "v", jobs=True), ValueError, "jobs"),
    (lambda: qev.fit_table(one, "age", "v", restarts=-1), ValueError,
     "restarts takes a number, 0 to 1000"),
    (lambda: qev.fit_table(one.assign(age=[0, nan, 2]), "age", "v"),
     ValueError, "row 1: age nan"),
    (lambda: qev.fit_table(one.assign(age=["0", "1-x", "2"]), "age", "v"),
     ValueError, 'row 1: age "1-x" is not an age'),
    (lambda: qev.fit_table(one.assign(age=[0, None, 2]), "age", "v"),
     ValueError, "row 1: age nan"),
    (lambda: qev.fit_table(one, "age", "v", radix=0), ValueError, "radix"),
    (lambda: qev.fit_table(one, "age", "v", jobs=-1), ValueError, "jobs"),
    (lambda: qev.fit([0, 20], [1, 0.5]), qev.DataWarning,
     "2 records, fewer than 4"),
    (lambda: qev.fit([0, 20, 40, 60], [0.5, 0.4, 0.3, 0.2]), qev.DataWarning,
     "record 0: the value at age 0 is 0.5, not 1"),
    (lambda: qev.fit_table(one.iloc[:0], "age", "v"), qev.DataWarning,
     "no rows"),
    (lambda: qev.fit_table(one.assign(v=[1, None, .8]), "k", "v"),
     ValueError, 'row 0: age "a" is not an age'),
    (lambda: qev.fit_table(one.assign(v=[1, None, .8]).astype({"v": object}),
                           "age", "v", by="k"), qev.DataWarning,
     "k=a: 2 records, fewer than 4"),
    (lambda: qev.fit_table(one.assign(k=["a", None, "a"]), "age", "v",
                           by="k"), qev.DataWarning,
     "k=None: 1 record, fewer than 4"),
    (lambda: qev.fit_table(one, "age", "v", radix=10), qev.DataWarning,
     "with radix=10: is that the table's radix?"),
    (lambda: qev.fit_table(pd.DataFrame({"k": np.arange(25), "age": 0,
                                         "v": 0.5}), "age", "v", by="k"),
     qev.DataWarning, "and 5 more groups with data checks"),
]


@pytest.mark.parametrize("call,kind,text", BAD)
def test_bad_input_is_refused_or_warned_of(call, kind, text):
    if issubclass(kind, Warning):
        with pytest.warns(kind) as w:
            call()
        assert any(text in str(x.message) for x in w), [str(x.message)
                                                        for x in w]
    else:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", qev.DataWarning)
            with pytest.raises(kind, match=None) as e:
                call()
        assert text in str(e.value)


@pytest.mark.parametrize("keys", [
    {"k": ["a", None, np.nan, "a", pd.NA, "b", None]},
    {"k": pd.Categorical(["x", "y", "x", "w", "y", "x", "x"],
                         categories=["z", "y", "x", "w"])},
    {"k": [1, "1", 1.0, None, "1", 2, 1]},
    {"k": [1.5, np.nan, 1.5, 2.5, np.nan, 2.5, 1.5],
     "j": ["p", "p", "q", "p", "p", "q", "p"]},
])
def test_groups_are_pandas_groupby_groups(keys):
    d = pd.DataFrame(keys)
    d["age"] = range(len(d))
    d["v"] = 1.0
    by = list(keys)
    g = d.groupby(by, sort=False, dropna=False, observed=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qev.DataWarning)
        got = qev.fit_table(d, "age", "v", by=by)
    first = [ix[0] for ix in g.indices.values()]
    assert g.ngroups > 2
    assert list(got["records"]) == list(g.size())
    pd.testing.assert_frame_equal(
        got[by], d[by].iloc[sorted(first)].reset_index(drop=True))


def test_index_levels_are_columns_as_groupby_takes_them(tmp_path):
    d, _ = long_csv(tmp_path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qev.DataWarning)
        want = qev.fit_table(d, "Age", "lx", by=["Year", "sex"], radix=100000)
        got = qev.fit_table(d.set_index(["Year", "Age"]), "Age", "lx",
                            by=["Year", "sex"], radix=100000)
        named = qev.fit_table(d.set_index("sex"), "Age", "lx",
                              by=["Year", "sex"], radix=100000)
    same_rows(got, want)
    same_rows(named, want)
    assert list(got["Year"]) == list(want["Year"])
    with pytest.raises(ValueError, match="no column 'nope'"):
        qev.fit_table(d.set_index("Year"), "Age", "lx", by="nope")


def many_groups(n):
    d = np.loadtxt(os.path.join(EXAMPLES, "us-2011-male.dat"))
    return pd.DataFrame({"k": np.repeat(np.arange(n), len(d)),
                         "age": np.tile(d[:, 0].astype(int), n),
                         "v": np.tile(d[:, 1], n)})


def test_an_interrupt_stops_a_long_fit_table():
    df = many_groups(40000)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        qev.fit_table(df, "age", "v", by="k", jobs=1)
    timer.join()


def test_threads_fit_alike():
    df = many_groups(300)
    out = [None, None]

    def work(k):
        out[k] = qev.fit_table(df, "age", "v", by="k", jobs=1)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    same_rows(out[0], out[1])
    same_rows(out[0], qev.fit_table(df, "age", "v", by="k", jobs=2))


def test_dask_cluster_fits_as_one_process_does():
    if os.environ.get("QEV_CI"):
        import distributed  # CI installs it: never skipped there
    else:
        distributed = pytest.importorskip(
            "distributed", reason="python3-distributed is not installed")
    import dask.dataframe as dd

    import qev.dask

    df = many_groups(60)
    df["v"] *= 1 - 1e-4 * (df["k"] % 7)  # groups that differ
    df = df.sample(frac=1, random_state=1).sort_index(kind="stable")
    ddf = dd.from_pandas(df.sample(frac=1, random_state=2), npartitions=4)
    whole = ddf.compute()
    with pytest.warns(qev.DataWarning) as want_w:  # l(0) is not 1
        want = qev.fit_table(whole, "age", "v", by="k")
    one = whole[whole["k"] == 3]
    with pytest.warns(qev.DataWarning):
        want_one = qev.fit_table(one, "age", "v")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                  processes=True, dashboard_address=None) as c:
        with distributed.Client(c):
            with pytest.warns(qev.DataWarning) as got_w:
                got = qev.dask.fit_table(ddf, "age", "v", by="k").compute()
            with pytest.warns(qev.DataWarning):
                got_one = qev.dask.fit_table(
                    dd.from_pandas(one, npartitions=3), "age", "v").compute()
    # The partitions' checks, with the rows of the whole frame.
    assert [str(x.message) for x in got_w] == [str(x.message) for x in want_w]
    assert "more groups with data checks" in str(got_w[-1].message)
    same_rows(got_one, want_one)
    got = got.sort_values("k").reset_index(drop=True)
    want = want.sort_values("k").reset_index(drop=True)
    assert set(got["k"]) == set(want["k"]) and len(got) == 60
    same_rows(got, want)


def edge_rows():
    """The rows of tests/edges.tsv, with their lists expanded."""
    def expand(text):
        out = []
        for item in text.split(",") if text else []:
            if ".." in item:
                a, b = item.split("..")
                out += [str(x) for x in range(int(a), int(b) + 1)]
            elif "*" in item:
                x, n = item.split("*")
                out += [x] * int(n)
            else:
                out.append(item)
        return out
    path = os.path.join(HERE, "..", "..", "tests", "edges.tsv")
    with open(path) as f:
        lines = [l.rstrip("\n") for l in f if not l.startswith("#")]
    names = lines[0].split("\t")
    rows = []
    for line in lines[1:]:
        r = dict(zip(names, line.split("\t")))
        r["ages"], r["values"] = expand(r["ages"]), expand(r["values"])
        rows.append(r)
    return rows


def edge_options(text):
    """options name=value as Python arguments, numbers as numbers."""
    out = {}
    for item in [] if text == "-" else text.split(" "):
        name, value = item.split("=", 1)
        if name == "start":
            out[name] = [float(x) for x in value.split(",")]
            continue
        try:
            out[name] = int(value)
        except ValueError:
            try:
                out[name] = float(value)
            except ValueError:
                out[name] = value
    return out


EDGES = edge_rows()


def test_the_edge_table_is_read():
    assert len(EDGES) >= 15


@pytest.mark.parametrize("row", EDGES, ids=[r["name"] for r in EDGES])
def test_edges_give_what_every_client_must(row, caplog):
    caplog.set_level(logging.INFO, logger="qev")
    opts = edge_options(row["options"])
    labels = any(not a.lstrip("-").isdigit() for a in row["ages"])
    ages = row["ages"] if labels else [int(a) for a in row["ages"]]
    values = [float(v) if v != "NA" else np.nan for v in row["values"]]
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        try:
            if row["path"] == "one":
                got = qev.fit(ages, values, **opts)
                got = {k: getattr(got, k) for k in qev.COLUMNS}
                got["checks"] = ",".join(got["checks"])
            else:
                df = pd.DataFrame({"age": ages, "value": values})
                got = qev.fit_table(df, "age", "value", **opts).iloc[0]
            error = None
        except ValueError as e:
            error = str(e)
    said = [str(x.message) for x in w if issubclass(x.category,
                                                    qev.DataWarning)]
    said += [x.getMessage() for x in caplog.records]
    assert not [x for x in w if not issubclass(x.category, qev.DataWarning)]
    if error is not None:
        said.append(error)
    text = "\n".join(said)
    if row["message"] == "none":
        assert text == ""
    else:
        for part in row["message"].split("|"):
            assert part in text, text
    if row["outcome"] == "error":
        assert error is not None
        return
    assert error is None
    assert got["status"] == row["outcome"]
    assert (got["checks"] or "-") == row["checks"]
    for col in ("e0_fit", "e0_table"):
        if row[col] == "NaN":
            assert np.isnan(got[col]), col
        elif row[col] == "number":
            assert np.isfinite(got[col]), col


def test_restarts_give_the_command_lines_bits(tmp_path):
    row = next(r for r in EDGES if r["name"] == "the same with restarts")
    df = pd.DataFrame({"age": [int(a) for a in row["ages"]],
                       "value": [float(v) for v in row["values"]]})
    path = tmp_path / "t.csv"
    df.to_csv(path, index=False)
    for n in (0, 5):
        want = read_tsv(run_qev("--tsv", "--age=age", "--value=value",
                                "--radix=100000", "--restarts=%d" % n,
                                str(path)).stdout)
        got = qev.fit_table(df, "age", "value", radix=100000, restarts=n)
        same_rows(got, want)
        one = qev.fit(df["age"], df["value"] / 100000, restarts=n)
        assert one.status == got["status"][0]
        assert bits(one.a) == bits(got["a"][0])


def png_size(path):
    """The width and height of a PNG file, from its header."""
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")


def test_pictures_are_pngs_of_their_size(tmp_path, monkeypatch):
    if os.environ.get("QEV_CI"):
        import matplotlib  # CI installs it: never skipped there
    else:
        pytest.importorskip("matplotlib", reason="python3-matplotlib is "
                            "not installed")
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    d = np.loadtxt(os.path.join(EXAMPLES, "us-2011-male.dat"))
    fig = qev.fit(d[:, 0], d[:, 1]).plot()
    fig.savefig(tmp_path / "fit.png", dpi=100)
    assert png_size(tmp_path / "fit.png") == (700, 600)
    assert (tmp_path / "fit.png").stat().st_size > 10000
    two = plt.subplots(2, 1)[1]
    assert qev.fit(d[:, 0], d[:, 1]).plot(ax=two) is two[0].figure
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qev.DataWarning)
        fits = qev.fit_table(qev.read_hmd(HMD), "Age", "lx", by="Year",
                             radix=100000)
        few = qev.fit([0, 1], [1, 0.9])
    qev.plot_trend(fits, x="Year").savefig(tmp_path / "trend.png", dpi=100)
    assert png_size(tmp_path / "trend.png") == (800, 500)
    plt.close("all")
    with pytest.raises(ValueError, match="status is too-few-records"):
        few.plot()
    many = fits.assign(k=np.arange(len(fits)))
    with pytest.raises(ValueError, match="more than 12"):
        qev.plot_trend(many, x="Year", by="k")
    # Without matplotlib, a clear message.
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match="python3-matplotlib"):
        qev.plot_trend(fits, x="Year")
