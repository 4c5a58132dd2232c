"""Black-Scholes-Merton: price, implied volatility, the fifteen Greeks and greeks(), as
NumPy ufuncs over the same formulas as _kestrelfin. The functions and this
docstring are made from the function table (see kestrelfin._factory)."""

from kestrelfin._factory import populate as _populate

__all__ = _populate(globals(), "bsm")
