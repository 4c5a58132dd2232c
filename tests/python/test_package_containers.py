"""Data as users hold it: pandas Series and DataFrames, Polars Series,
xarray DataArrays, Dask arrays and Dask DataFrames go through the ufuncs'
``__array_ufunc__`` and come back as their own kind, with their index,
coordinates or chunks, and every element bit for bit the _kestrelfin scalar
result. Each library's test is skipped where it is not installed."""

import numpy as np
import pytest

import _kestrelfin as kf
from kestrelfin import black76, bs, bsm
from package_support import array_bits, reference_array

GREEK_KEYS = ["price", "delta", "gamma", "vega", "theta", "rho", "vanna", "charm", "vomma", "speed", "zomma",
              "color", "veta", "ultima", "dual_delta", "dual_gamma"]


def chain(n=200, seed=1):
    """An option chain as columns: calls and puts mixed, a rate and a
    dividend yield per option."""
    rng = np.random.default_rng(seed)
    return {
        "type": rng.choice(np.array(["C", "P", "call", "put"]), n),
        "S": np.full(n, 100.0),
        "K": np.round(rng.uniform(70.0, 130.0, n), 1),
        "t": rng.uniform(0.02, 2.0, n),
        "r": rng.uniform(0.0, 0.06, n),
        "sigma": rng.uniform(0.1, 0.6, n),
        "q": rng.uniform(0.0, 0.03, n),
    }


def reference(quantity, columns):
    arguments = {"flag": columns["type"], **{p: columns[p] for p in ("S", "K", "t", "r", "sigma", "q")}}
    return reference_array("bsm", quantity, arguments, (len(columns["S"]),))


def test_pandas_series_in_series_out_with_the_index():
    pd = pytest.importorskip("pandas")
    columns = chain()
    frame = pd.DataFrame(columns, index=pd.Index([f"opt{i}" for i in range(len(columns["S"]))], name="id"))
    delta = bsm.delta(frame["type"], frame["S"], frame["K"], frame["t"], frame["r"], frame["sigma"], frame["q"])
    assert isinstance(delta, pd.Series) and delta.index.equals(frame.index)
    assert np.array_equal(array_bits(delta.to_numpy()), array_bits(reference("delta", columns)))
    # One Series among numbers keeps its index too.
    vega = bs.vega("c", frame["S"], 95.0, 0.5, 0.03, 0.2)
    assert isinstance(vega, pd.Series) and vega.index.equals(frame.index)


def test_greeks_of_a_dataframe_chain_is_a_dataframe():
    pd = pytest.importorskip("pandas")
    columns = chain()
    frame = pd.DataFrame(columns, index=pd.RangeIndex(1000, 1000 + len(columns["S"])))
    greeks = bsm.greeks(frame["type"], frame["S"], frame["K"], frame["t"], frame["r"], frame["sigma"], frame["q"])
    assert isinstance(greeks, pd.DataFrame)
    assert list(greeks.columns) == GREEK_KEYS and greeks.index.equals(frame.index)
    for key in GREEK_KEYS:
        assert np.array_equal(array_bits(greeks[key].to_numpy()), array_bits(reference(key, columns))), key
    # Implied volatilities of the chain's prices give back its volatilities.
    implied = bsm.implied_volatility(greeks["price"], frame["S"], frame["K"], frame["t"], frame["r"], frame["q"],
                                     frame["type"])
    assert isinstance(implied, pd.Series) and implied.index.equals(frame.index)
    assert np.nanmax(np.abs(implied - frame["sigma"])) < 1e-6


def test_polars_series():
    pl = pytest.importorskip("polars")
    columns = chain(50)
    S, K = pl.Series("S", columns["S"]), pl.Series("K", columns["K"])
    price = black76.price(pl.Series("type", columns["type"]), S, K, 0.5, 0.03, 0.25)
    assert isinstance(price, pl.Series) and len(price) == 50
    expected = reference_array("black76", "price", {"flag": columns["type"], "F": columns["S"], "K": columns["K"],
                                                    "t": 0.5, "r": 0.03, "sigma": 0.25}, (50,))
    assert np.array_equal(array_bits(price.to_numpy()), array_bits(expected))


def test_xarray_keeps_coordinates_and_broadcasts_by_dimension():
    xr = pytest.importorskip("xarray")
    strikes = xr.DataArray([80.0, 100.0, 120.0], dims="strike", coords={"strike": [80.0, 100.0, 120.0]})
    expiries = xr.DataArray([0.25, 1.0], dims="expiry", coords={"expiry": ["3M", "1Y"]})
    kinds = xr.DataArray(["c", "p", "c"], dims="strike", coords={"strike": strikes.strike})
    price = bs.price(kinds, 100.0, strikes, expiries, 0.05, 0.2)
    assert isinstance(price, xr.DataArray) and set(price.dims) == {"strike", "expiry"}
    assert list(price.coords["expiry"].values) == ["3M", "1Y"]
    grid = price.transpose("strike", "expiry").values
    expected = reference_array("bs", "price", {"flag": np.array(["c", "p", "c"])[:, None], "S": 100.0,
                                               "K": np.array([80.0, 100.0, 120.0])[:, None],
                                               "t": np.array([0.25, 1.0]), "r": 0.05, "sigma": 0.2}, (3, 2))
    assert np.array_equal(array_bits(grid), array_bits(expected))


def test_dask_arrays_compute_the_bits_of_one_process():
    da = pytest.importorskip("dask.array")
    columns = chain(1000)
    lazy = {p: da.from_array(columns[p], chunks=128) for p in ("S", "K", "t", "r", "sigma", "q")}
    flags = da.from_array(columns["type"], chunks=128)
    delta = bsm.delta(flags, lazy["S"], lazy["K"], lazy["t"], lazy["r"], lazy["sigma"], lazy["q"])
    assert isinstance(delta, da.Array) and delta.chunks == lazy["S"].chunks
    in_process = bsm.delta(columns["type"], *(columns[p] for p in ("S", "K", "t", "r", "sigma", "q")))
    assert np.array_equal(array_bits(delta.compute(scheduler="threads")), array_bits(in_process))
    greeks = bsm.greeks(flags, lazy["S"], lazy["K"], lazy["t"], lazy["r"], lazy["sigma"], lazy["q"])
    assert list(greeks) == GREEK_KEYS and all(isinstance(v, da.Array) for v in greeks.values())
    computed = da.compute(*greeks.values(), scheduler="threads")
    for key, values in zip(GREEK_KEYS, computed):
        separate = getattr(bsm, key)(columns["type"], *(columns[p] for p in ("S", "K", "t", "r", "sigma", "q")))
        assert np.array_equal(array_bits(values), array_bits(separate)), key


def test_dask_dataframe_computes_the_bits_of_one_process():
    pd = pytest.importorskip("pandas")
    # Dask DataFrames need pyarrow, whose releases may need a newer NumPy
    # than the environment's: skipped where it does not import.
    dd = pytest.importorskip("dask.dataframe", exc_type=ImportError)
    columns = chain(1000)
    frame = pd.DataFrame(columns)
    lazy = dd.from_pandas(frame, npartitions=4)
    price = bsm.price(lazy["type"], lazy["S"], lazy["K"], lazy["t"], lazy["r"], lazy["sigma"], lazy["q"])
    computed = price.compute(scheduler="threads")
    assert isinstance(computed, pd.Series) and computed.index.equals(frame.index)
    assert np.array_equal(array_bits(computed.to_numpy()), array_bits(reference("price", columns)))
    # The prices, inverted on the partitions, against one in-process call.
    implied = bsm.implied_volatility(price, lazy["S"], lazy["K"], lazy["t"], lazy["r"], lazy["q"], lazy["type"])
    expected = bsm.implied_volatility(computed.to_numpy(), *(columns[p] for p in ("S", "K", "t", "r", "q")),
                                      columns["type"])
    assert np.array_equal(array_bits(implied.compute(scheduler="threads").to_numpy()), array_bits(expected))


def test_the_low_level_module_agrees_on_a_whole_column():
    # The same column through _kestrelfin's array function, one kind at a time.
    columns = chain(300)
    is_call = np.array([f[0] in "cC" for f in columns["type"]])
    r, q = 0.03, 0.01
    numbers = [columns[p] for p in ("S", "K", "t")]
    merged = np.where(is_call, kf.bsm_theta_array("c", *numbers, r, columns["sigma"], q),
                      kf.bsm_theta_array("p", *numbers, r, columns["sigma"], q))
    assert np.array_equal(array_bits(bsm.theta(is_call, *numbers, r, columns["sigma"], q)), array_bits(merged))


# ---- the containers' own protocol as the reference ----------------------------------------------------------
# The package takes the containers apart itself rather than hand them to the
# ufunc (NumPy 2.5 leaks on that route). What each library's __array_ufunc__
# makes of the raw ufunc, called with the kinds as a boolean container, is the
# reference of what the package must return: the same kind of object, the
# same index, names, coordinates, missing places and bits.


def protocol(function, *operands):
    return function.ufunc(*operands)


def test_pandas_results_are_those_of_pandas_own_protocol():
    pd = pytest.importorskip("pandas")
    columns = chain(12, seed=4)
    index = pd.Index([f"o{i}" for i in range(12)], name="option")
    kinds = pd.Series([f[0] in "cC" for f in columns["type"]], index=index, name="kind")
    S = pd.Series(columns["S"], index=index, name="S")
    K = pd.Series(columns["K"], index=index, name="K")
    sigma = pd.Series(columns["sigma"], index=index, name="S")
    shifted = pd.Series(columns["K"][:8], index=index[4:], name="K")  # partly another index
    nullable = pd.Series(columns["K"], index=index, dtype="Float64")
    nullable.iloc[[2, 5]] = pd.NA
    whole = pd.Series(np.arange(90, 102), index=index, dtype="Int64")
    whole.iloc[7] = pd.NA
    S.attrs["source"] = "quotes"
    cases = [
        (kinds, S, K, 0.5, 0.03, sigma),        # three Series on one index, two names
        (kinds, S, 95.0, 0.5, 0.03, 0.2),       # one Series: its name and attrs
        (True, S, shifted, 0.5, 0.03, 0.2),     # two numbers on different indexes: the outer join
        (True, S, shifted, 0.5, 0.03, sigma),   # three: the union of the indexes
        (kinds, S, nullable, 0.5, 0.03, 0.2),   # nullable: missing where an input is
        (kinds, whole, nullable, 0.5, 0.03, 0.2),
        (True, S.to_frame(), 95.0, 0.5, 0.03, 0.2),  # a DataFrame in, a DataFrame out
        (True, pd.DataFrame({"a": columns["S"], "b": columns["K"]}), pd.DataFrame({"a": columns["K"],
                                                                                   "b": columns["S"]}),
         0.5, 0.03, 0.2),
    ]
    for case in cases:
        expected = protocol(bs.price, *case)
        result = bs.price(*case)
        assert type(result) is type(expected)
        if isinstance(expected, pd.Series):
            pd.testing.assert_series_equal(result, expected, check_exact=True)
            assert result.attrs == expected.attrs
        else:
            pd.testing.assert_frame_equal(result, expected, check_exact=True)
        values = np.asarray(result, dtype=np.float64)
        assert np.array_equal(array_bits(values), array_bits(np.asarray(expected, dtype=np.float64)))
    # greeks: each column as the separate function gives it.
    greeks = bs.greeks(kinds, S, nullable, 0.5, 0.03, 0.2)
    assert list(greeks.columns) == GREEK_KEYS and greeks.index.equals(index)
    for key, column in zip(GREEK_KEYS, protocol(bs.greeks, kinds, S, nullable, 0.5, 0.03, 0.2)):
        pd.testing.assert_series_equal(greeks[key], column.rename(key), check_exact=True)
    # out=: the Series holds the array written into.
    out = np.empty(12)
    result = bs.price(kinds, S, 95.0, 0.5, 0.03, 0.2, out=out)
    assert isinstance(result, pd.Series) and np.shares_memory(result.to_numpy(), out)
    pd.testing.assert_series_equal(result, protocol(bs.price, kinds, S, 95.0, 0.5, 0.03, 0.2), check_exact=True)


def test_xarray_results_are_those_of_xarrays_own_protocol():
    xr = pytest.importorskip("xarray")
    strikes = xr.DataArray([80.0, 100.0, 120.0], dims="strike", coords={"strike": [80.0, 100.0, 120.0]},
                           attrs={"units": "USD"})
    expiries = xr.DataArray([0.25, 1.0, 2.0], dims="expiry", coords={"expiry": ["3M", "1Y", "2Y"]})
    # Coordinates that overlap in part: xarray's arithmetic join keeps the common ones.
    vols = xr.DataArray([0.3, 0.2, 0.25, 0.22], dims="strike", coords={"strike": [70.0, 80.0, 100.0, 120.0]})
    kinds = xr.DataArray([True, False, True], dims="strike", coords={"strike": strikes.strike})
    for case in [(kinds, 100.0, strikes, expiries, 0.05, 0.2), (True, 100.0, strikes, expiries, 0.05, vols)]:
        xr.testing.assert_identical(bs.price(*case), protocol(bs.price, *case))
    result = bs.greeks(*case)
    assert list(result) == GREEK_KEYS
    for key, expected in zip(GREEK_KEYS, protocol(bs.greeks, *case)):
        xr.testing.assert_identical(result[key], expected)
    # Over Dask: lazy, with the chunks, and the same values once computed.
    pytest.importorskip("dask.array")
    lazy = strikes.chunk({"strike": 2})
    result = bs.price(kinds, 100.0, lazy, expiries, 0.05, 0.2)
    expected = protocol(bs.price, kinds, 100.0, lazy, expiries, 0.05, 0.2)
    assert result.chunks == expected.chunks and result.chunks is not None
    xr.testing.assert_identical(result.compute(), expected.compute())


def test_polars_results_are_those_of_polars_own_protocol():
    pl = pytest.importorskip("polars")
    columns = chain(20, seed=6)
    kinds = np.array([f[0] in "cC" for f in columns["type"]])
    S = pl.Series("S", columns["S"])
    K = pl.Series("K", columns["K"]).scatter([3, 11], None)
    sigma = pl.Series("sigma", columns["sigma"]).scatter([11, 17], None)
    whole = pl.Series("K", np.arange(90, 110), dtype=pl.Int32)
    for case in [(kinds, S, K, 0.5, 0.03, sigma), (kinds, 100.0, whole, 0.5, 0.03, sigma), (True, S, 95.0, 0.5,
                                                                                              0.03, 0.2)]:
        result = bs.price(*case)
        from polars.testing import assert_series_equal
        assert_series_equal(result, protocol(bs.price, *case), check_exact=True)
        assert np.array_equal(array_bits(result.fill_null(0.0).to_numpy()),
                              array_bits(protocol(bs.price, *case).fill_null(0.0).to_numpy()))


def test_greeks_of_polars_series_is_a_polars_dataframe():
    pl = pytest.importorskip("polars")
    columns = chain(30, seed=8)
    flag = pl.Series("type", columns["type"])
    S = pl.Series("S", columns["S"]).scatter([4], None)
    numbers = [S] + [pl.Series(p, columns[p]) for p in ("K", "t", "r", "sigma", "q")]
    greeks = bsm.greeks(flag, *numbers)
    assert isinstance(greeks, pl.DataFrame) and greeks.columns == GREEK_KEYS and greeks.height == 30
    for key in GREEK_KEYS:
        separate = getattr(bsm, key)(flag, *numbers)  # each a Polars Series, as price always was
        assert greeks[key].null_count() == 1 and greeks[key][4] is None
        assert np.array_equal(array_bits(greeks[key].fill_null(0.0).to_numpy()),
                              array_bits(separate.fill_null(0.0).to_numpy())), key
        expected = reference_array("bsm", key, {"flag": columns["type"], **{p: columns[p] for p in (
            "S", "K", "t", "r", "sigma", "q")}}, (30,))
        assert np.array_equal(array_bits(np.delete(greeks[key].to_numpy(), 4)), array_bits(np.delete(expected, 4)))


def test_dask_arrays_keep_their_chunks_as_in_dasks_own_protocol():
    da = pytest.importorskip("dask.array")
    columns = chain(100, seed=9)
    kinds = da.from_array(np.array([f[0] in "cC" for f in columns["type"]]), chunks=30)
    S = da.from_array(columns["S"], chunks=30)
    grid = da.from_array(columns["K"][:20].reshape(20, 1) * np.ones((1, 3)), chunks=(7, 2))
    for case in [(kinds, S, 95.0, 0.5, 0.03, 0.2), (True, 100.0, grid, columns["t"][:3], 0.03, 0.2)]:
        result, expected = bs.price(*case), protocol(bs.price, *case)
        assert isinstance(result, da.Array) and result.chunks == expected.chunks
        assert np.array_equal(array_bits(result.compute(scheduler="sync")),
                              array_bits(expected.compute(scheduler="sync")))
    wide = da.from_array(columns["K"].astype(np.longdouble), chunks=30)
    assert np.array_equal(bs.price(kinds, S, wide, 0.5, 0.03, 0.2).compute(scheduler="sync"),
                          bs.price(kinds, S, wide.astype(np.float64), 0.5, 0.03, 0.2).compute(scheduler="sync"))


def test_no_container_library_is_imported_unless_its_objects_are_passed():
    import subprocess
    import sys

    script = """
import sys
import numpy as np
from kestrelfin import bs, bsm
bs.price("c", 100.0, 95.0, 0.5, 0.03, 0.2)
bs.price(["c", "p"], np.array([100.0, 101.0]), 95.0, 0.5, 0.03, 0.2, out=np.empty(2))
bsm.greeks(np.array([True, False]), 100.0, [95.0, 96.0], 0.5, 0.03, 0.2, 0.01)
for bad in (lambda: bs.price("x", 1.0, 1.0, 1.0, 0.0, 1.0), lambda: bs.price(["c"], "100", 1.0, 1.0, 0.0, 1.0)):
    try:
        bad()
    except (TypeError, ValueError):
        pass
print(sorted(name for name in ("pandas", "polars", "xarray", "dask") if name in sys.modules))
# A pandas call looks for Polars expressions among the arguments without
# importing Polars.
try:
    import pandas as pd
except ImportError:
    pass
else:
    bs.price(pd.Series(["c", "p"]), pd.Series([100.0, 101.0]), 95.0, 0.5, 0.03, 0.2)
    bsm.greeks("c", pd.Series([100.0]), 95.0, 0.5, 0.03, 0.2, 0.0)
print("polars" in sys.modules)
# An expression works once the caller has imported Polars.
try:
    import polars as pl
except ImportError:
    print(None)
else:
    frame = pl.DataFrame({"S": [100.0, None]})
    print(frame.select(bs.delta("c", pl.col("S"), 95.0, 0.5, 0.03, 0.2)).to_series().null_count())
"""
    completed = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.split("\n")
    assert lines[0] == "[]" and lines[1] == "False"
    assert lines[2] in ("1", "None")  # one null: the second row's spot
