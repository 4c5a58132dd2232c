"""kestrelfin: European option prices, Greeks and implied volatilities as
NumPy ufuncs, exact to the last bit.

Three models, one namespace each, with the same functions:

* ``kestrelfin.bs``: Black-Scholes on a spot price S;
* ``kestrelfin.bsm``: Black-Scholes-Merton, on S paying a dividend yield q;
* ``kestrelfin.black76``: Black-76, on a forward or futures price F.

Each offers ``price``, ``implied_volatility``, the fifteen Greeks (``delta``,
``gamma``, ``vega``, ``theta``, ``rho``, ``vanna``, ``charm``, ``vomma``,
``speed``, ``zomma``, ``color``, ``veta``, ``ultima``, ``dual_delta``,
``dual_gamma``) and ``greeks``, which computes all sixteen quantities in one
pass. The parameters are those of the low-level module _kestrelfin, in the
same order and under the same names (``bs.delta(flag, S, K, t, r, sigma)``
is ``_kestrelfin.bs_delta(flag, S, K, t, r, sigma)``), and every element of a
result equals the _kestrelfin scalar function's result for the same float64
inputs, bit for bit.

Every argument may be a number or an array-like of any shape: NumPy
broadcasts them (a strike vector against an expiry column gives the grid),
casts any real dtype to float64, and takes the keyword-only ``out=``,
``where=``, ``casting=`` and ``order=``; pandas Series come back as Series
with their index, Polars Series, xarray DataArrays and Dask arrays as their
own kind (greeks: a pandas or polars DataFrame for their Series). ``flag`` is
one str, an array-like of str read by the first character ('c'/'C' call,
'p'/'P' put), or a boolean array, True for a call.

Polars expressions may stand for any argument, mixed with Series and
numbers: the result is then an expression named after the quantity, for
``select``, ``with_columns``, lazy frames and the streaming engine (Float64;
greeks: a Struct of the sixteen quantities, to ``unnest``), each element the
NumPy result bit for bit, null where any input (the flag too) is null::

    frame.with_columns(bsm.delta(pl.col("type"), pl.col("S"), pl.col("K"),
                                 pl.col("t"), 0.04, pl.col("sigma"), 0.015))

Long arrays are shared between the calling thread and a pool of native
threads, as many in all as the CPUs this process may use (its affinity mask
and cgroup CPU quota); ``set_num_threads(n)`` (returns the previous limit),
``get_num_threads()``, the context manager ``num_threads(n)``, the variable
KESTRELFIN_NUM_THREADS (read at import) and threadpoolctl's
``threadpool_limits`` change it. Results are the same bits for any number.

Units: theta per calendar day, vega and rho per percentage point, charm,
color and veta per year of time to expiry; rates, yields and volatilities
as decimals per year; t in years.

The textbook option of Hull's *Options, Futures, and Other Derivatives*
(S = 42, K = 40, six months, r = 10 %, sigma = 20 %) is worth 4.76 as a call
and 0.81 as a put:

>>> from kestrelfin import bs
>>> [f"{value:.2f}" for value in bs.price(["c", "p"], 42.0, 40.0, 0.5, 0.1, 0.2)]
['4.76', '0.81']
"""

import _kestrelfin

try:
    from kestrelfin import _ufuncs  # noqa: F401 - the native module the namespaces are made from
except ImportError as error:  # pragma: no cover - a source tree, not an installed package
    raise ImportError(
        "kestrelfin's native module kestrelfin._ufuncs cannot be imported: is this the source tree rather "
        "than an installed kestrelfin? Install the wheel and run from another directory.") from error

from kestrelfin import black76, bs, bsm  # noqa: E402
from kestrelfin import _threads  # noqa: E402
from kestrelfin._reasons import IVReason  # noqa: E402
from kestrelfin._threads import get_num_threads, num_threads, set_num_threads  # noqa: E402

__version__: str = _kestrelfin.__version__
__all__ = ["bs", "bsm", "black76", "IVReason", "set_num_threads", "get_num_threads", "num_threads", "__version__"]

_threads.configure_at_import()
