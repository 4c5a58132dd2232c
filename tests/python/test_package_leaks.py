"""No memory grows with the calls on pandas, xarray, Polars or Dask
arguments. (NumPy 2.5 leaks an allocation on every call of a ufunc of five
or more inputs with an operand that overrides ufuncs, some 200 bytes and
more per call; see docs/numpy_override_leak.md. The package hands the ufuncs
plain arrays only.)

Each call is repeated until the libraries' own caches are warm, then the
traced memory is read after each of a few windows of calls: a leak grows in
every window, a cache or an amortised clean-up does not, so the smallest
growth of a window per call is held to a few bytes."""

import gc
import tracemalloc

import numpy as np
import pytest

from kestrelfin import bsm

N = 8
WARM_UP = 200
WINDOW = 200
WINDOWS = 3
# Bytes per call a window may grow by: far below the leak's 208 and more.
# Dask's graph caches still fill by some tens of bytes a call (up to about
# 80 under the sanitizer build), so its windows get a wider margin that
# still stays well below one leaked allocation.
TOLERANCE = 64
DASK_TOLERANCE = 150


def smallest_growth_per_call(call):
    for _ in range(WARM_UP):
        call()
    gc.collect()
    tracemalloc.start()
    try:
        readings = [tracemalloc.get_traced_memory()[0]]
        for _ in range(WINDOWS):
            for _ in range(WINDOW):
                call()
            gc.collect()
            readings.append(tracemalloc.get_traced_memory()[0])
    finally:
        tracemalloc.stop()
    return min(after - before for before, after in zip(readings, readings[1:])) / WINDOW


def chain(library):
    """A flag and a spot column as the library holds them."""
    flags = np.array(["c", "P"] * (N // 2))
    spots = np.linspace(90.0, 110.0, N)
    if library == "pandas":
        pd = pytest.importorskip("pandas")
        return pd.Series(flags), pd.Series(spots, name="S")
    if library == "pandas-nullable":
        pd = pytest.importorskip("pandas")
        return pd.Series(flags), pd.Series(spots, dtype="Float64")
    if library == "polars":
        pl = pytest.importorskip("polars")
        return pl.Series(flags), pl.Series("S", spots)
    if library == "xarray":
        xr = pytest.importorskip("xarray")
        return xr.DataArray(flags, dims="option"), xr.DataArray(spots, dims="option")
    da = pytest.importorskip("dask.array")
    return da.from_array(flags, chunks=N // 2), da.from_array(spots, chunks=N // 2)


# greeks() on Dask arrays is not among them: apply_gufunc calls the ufunc on
# the blocks only (so it never leaked), and builds a graph slow enough that
# the windows would take half a minute.
CASES = [(library, quantity) for library in ("pandas", "pandas-nullable", "polars", "xarray", "dask")
         for quantity in ("price", "greeks") if (library, quantity) != ("dask", "greeks")]


@pytest.mark.parametrize("library, quantity", CASES, ids=[f"{q}-{lib}" for lib, q in CASES])
def test_no_growth_per_call(library, quantity):
    flag, spots = chain(library)
    function = getattr(bsm, quantity)
    growth = smallest_growth_per_call(lambda: function(flag, spots, 95.0, 0.5, 0.03, 0.2, 0.01))
    tolerance = DASK_TOLERANCE if library == "dask" else TOLERANCE
    assert growth < tolerance, f"{growth:.0f} bytes per call"


@pytest.mark.parametrize("quantity", ["price", "greeks"])
def test_no_growth_per_polars_expression(quantity):
    # Building the expression and running it on a frame, with a null flag.
    pl = pytest.importorskip("polars")
    flag, spots = chain("polars")
    frame = pl.DataFrame({"flag": flag.scatter([1], None), "S": spots})
    function = getattr(bsm, quantity)
    growth = smallest_growth_per_call(
        lambda: frame.select(function(pl.col("flag"), pl.col("S"), 95.0, 0.5, 0.03, 0.2, 0.01)))
    assert growth < TOLERANCE, f"{growth:.0f} bytes per call"
