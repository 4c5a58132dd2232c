"""The containers of other libraries, taken apart and put back together by
the package itself.

pandas Series and DataFrames, Polars Series, xarray objects and Dask arrays
could reach the ufuncs through NumPy's ``__array_ufunc__`` protocol, and did.
But NumPy 2.5 leaks one allocation on every call of a ufunc of five or more
inputs (or four or more outputs) with an operand that overrides ufuncs (see
docs/numpy_override_leak.md), and every kestrelfin ufunc has six to eight
operands. So no container ever reaches a ufunc here: each library's handler
takes the plain arrays out of its containers, has the ufunc computed on them
(``Call.compute``, which takes NumPy arrays, Dask arrays and numbers), and
puts the results back the way the library's own ``__array_ufunc__`` would
have, element for element:

* pandas: Series and DataFrames aligned as pandas aligns ufunc operands (an
  outer join of the indexes), the result on the aligned index with the
  common name; a nullable column (Float64, Int64, ...) gives a nullable
  result, missing where any input is missing. greeks() gives a DataFrame;
* Polars: a Series named after the first number Series, null where any
  Series (the flag too) is null; greeks() gives a polars DataFrame;
* xarray: ``xarray.apply_ufunc`` as xarray's own override calls it:
  broadcast by dimension name, coordinates aligned and kept;
* Dask arrays: ``elemwise`` (one output) or ``apply_gufunc`` (greeks) over
  the blocks, keeping the chunks; each block is computed on NumPy arrays.

Which library holds an argument is read from its type's module, so none of
these libraries is imported unless the caller passed one of its objects.
Arguments of two libraries at once (but xarray over Dask) are refused with
an error naming them. Objects of these libraries that are none of the above
(a pandas Index, say) still go to NumPy's protocol.
"""

from __future__ import annotations

from typing import Any, Callable, NamedTuple

import numpy as np

from kestrelfin import _errors

# The top-level module of a container's type -> the library's handler name.
_LIBRARIES = {"pandas": "pandas", "polars": "polars", "xarray": "xarray", "dask": "dask", "dask_expr": "dask"}
_LIBRARY_NAMES = {"pandas": "pandas", "polars": "Polars", "xarray": "xarray", "dask": "Dask"}


def library_of(value) -> str | None:
    """The library whose container `value` is, or None."""
    return _LIBRARIES.get(type(value).__module__.partition(".")[0])


def is_dask_array(value) -> bool:
    return library_of(value) == "dask" and hasattr(value, "map_blocks")


class Call(NamedTuple):
    """One call of a public function, as the handlers need it."""
    function: str                   # the public name, kestrelfin.bs.price
    parameters: tuple[str, ...]     # the operands' names: "flag" (the kinds), then the numbers
    greeks: tuple[str, ...] | None  # the greeks' names, or None for one quantity
    ufunc: Any
    compute: Callable               # compute(operands, keywords): the ufunc on plain operands
    explained: Callable             # explained(thunk): runs thunk, errors in the caller's terms
    dtypes: tuple[str, ...] | None = None  # the NumPy dtypes of several results, all float64 when None


def holder(arguments: tuple) -> str | None:
    """The library whose containers are among the arguments, None when
    there is none, "mixed" when there are two (xarray over Dask is xarray)."""
    found = None
    for value in arguments:
        library = _LIBRARIES.get(type(value).__module__.partition(".")[0])
        if library is None or library == found:
            continue
        if found is None or {found, library} == {"xarray", "dask"}:
            found = "xarray" if found == "xarray" else library
            continue
        return "mixed"
    return found


def mixed_error(call: Call, arguments: tuple) -> TypeError:
    seen: dict[str, str] = {}
    for name, value in zip(call.parameters, arguments):
        library = library_of(value)
        if library is not None:
            seen.setdefault(library, f"{name} ({_LIBRARY_NAMES[library]} {type(value).__name__})")
    listed = " and ".join(list(seen.values())[:2])
    return TypeError(f"{call.function}: the arguments are containers of different libraries, {listed}; "
                     "convert them to one kind (or to NumPy arrays with .to_numpy())")


def apply(call: Call, library: str, operands: tuple, keywords: dict):
    """The result of the call whose operands (the kinds, then the numbers)
    include containers of `library`, as that library's containers."""
    return _HANDLERS[library](call, operands, keywords)


# ---- Dask arrays --------------------------------------------------------------------------------------------

def _as_float64_if_lossy(value):
    # Dask builds the graph before any block is computed: a real dtype the
    # ufunc would refuse (longdouble) is cast here rather than per block.
    return value.astype(np.float64) if _errors.is_lossy_real(getattr(value, "dtype", None)) else value


def _dask(call: Call, operands: tuple, keywords: dict):
    """Dask arrays among plain operands: the graph of the blocks' ufunc calls."""
    operands = tuple(_as_float64_if_lossy(value) for value in operands)
    if call.greeks is None:
        from dask.array.core import elemwise

        return call.explained(lambda: elemwise(call.ufunc, *operands, **keywords))
    import dask.array as da

    signature = ",".join(["()"] * len(operands)) + "->" + ",".join(["()"] * len(call.greeks))
    results = call.explained(lambda: da.apply_gufunc(call.ufunc, signature, *operands,
                                                     output_dtypes=list(call.dtypes or [np.float64] * len(call.greeks)),
                                                     **keywords))
    return dict(zip(call.greeks, results))


def compute_plain(call: Call, operands: tuple, keywords: dict):
    """The ufunc on operands that hold no container but Dask arrays."""
    if any(is_dask_array(value) for value in operands):
        return _dask(call, operands, keywords)
    result = call.compute(operands, keywords)
    return result if call.greeks is None else dict(zip(call.greeks, result))


# ---- pandas -------------------------------------------------------------------------------------------------

def _masked_arrays(pd) -> tuple:
    # pandas' nullable arrays: values with a mask of missing places.
    return (pd.arrays.FloatingArray, pd.arrays.IntegerArray, pd.arrays.BooleanArray)


def _pandas_values(value, masks: list):
    """A Series' or DataFrame's values as NumPy; a nullable column's as
    float64 with its missing places added to `masks`."""
    import pandas as pd

    if isinstance(value, pd.Series) and isinstance(value.array, _masked_arrays(pd)):
        masks.append(np.asarray(value.isna(), dtype=bool))
        return value.array.to_numpy(dtype=np.float64, na_value=np.nan)
    return np.asarray(value)


def _pandas(call: Call, operands: tuple, keywords: dict):
    import pandas as pd

    frames = [(name, value) for name, value in zip(call.parameters, operands)
              if isinstance(value, (pd.Series, pd.DataFrame))]
    if not frames:  # only other pandas objects (an Index, an array): NumPy's protocol
        result = call.compute(operands, keywords)
        return result if call.greeks is None else dict(zip(call.greeks, result))
    tables = [(name, value) for name, value in frames if isinstance(value, pd.DataFrame)]
    if tables and call.greeks is not None:
        name = tables[0][0]
        raise TypeError(f"{call.function}: {name} is a DataFrame, which greeks() does not take; pass one column "
                        f"per argument (a Series such as frame[\"{name}\"]): the result is a DataFrame with one "
                        "column per quantity")
    if tables and len(tables) < len(frames):
        series = next(name for name, value in frames if isinstance(value, pd.Series))
        raise TypeError(f"{call.function}: {tables[0][0]} is a DataFrame and {series} a Series; pass Series "
                        "(columns) or DataFrames of one shape, not both")
    flag = operands[0]
    if isinstance(flag, pd.Series):
        for name, value in frames[1:]:
            if not flag.index.equals(value.index):
                raise ValueError(f"{call.function}: the indexes of flag and {name} differ; the flag is not "
                                 f"aligned to the numbers: give them the same index")

    # The alignment pandas gives ufunc operands: an outer join. Objects on
    # one index already (the usual case) are not aligned: pandas' align
    # would make shallow copies that each leave a reference behind.
    alignable = [value for _, value in frames]
    if all(value.axes[0].equals(alignable[0].axes[0]) for value in alignable[1:]) and \
            all(value.axes[-1].equals(alignable[0].axes[-1]) for value in alignable[1:]):
        axes = list(alignable[0].axes)
        if len(alignable) > 2:  # a union of equal indexes keeps a name they share, else none
            axes = [axis if all(v.axes[i].name == axis.name for v in alignable) else axis.rename(None)
                    for i, axis in enumerate(axes)]
    elif len(alignable) == 2:
        left, right = alignable[0].align(alignable[1], join="outer")
        aligned = iter((left, right))
        operands = tuple(next(aligned) if isinstance(v, (pd.Series, pd.DataFrame)) else v for v in operands)
        axes = left.axes
    elif len(alignable) > 2:
        axes = list(alignable[0].axes)
        for other in alignable[1:]:
            axes = [mine.union(theirs) for mine, theirs in zip(axes, other.axes)]
        reindex = dict(zip(alignable[0]._AXIS_ORDERS, axes))
        operands = tuple(v.reindex(**reindex) if isinstance(v, (pd.Series, pd.DataFrame)) else v for v in operands)
    else:
        axes = alignable[0].axes
    first = alignable[0]
    names = {value.name for value in operands if hasattr(value, "name")}
    name = names.pop() if len(names) == 1 else None

    masks: list = []
    plain = tuple(_pandas_values(v, masks) if isinstance(v, (pd.Series, pd.DataFrame)) else v for v in operands)
    result = call.compute(plain, keywords)
    mask = np.logical_or.reduce(masks) if masks else None

    def rebuild(values):
        if np.ndim(values) != first.ndim:
            return values
        if first.ndim == 1:
            if mask is not None:
                nullable = pd.arrays.IntegerArray if values.dtype.kind == "i" else pd.arrays.FloatingArray
                values = nullable(values, mask.copy())
            rebuilt = pd.Series(values, index=axes[0], name=name, copy=False)
        else:
            rebuilt = pd.DataFrame(values, index=axes[0], columns=axes[1], copy=False)
        return rebuilt.__finalize__(first) if len(alignable) == 1 else rebuilt

    if call.greeks is None:
        return rebuild(result)
    columns = [rebuild(values) for values in result]
    if all(isinstance(column, pd.Series) for column in columns):
        return pd.DataFrame(dict(zip(call.greeks, columns)), copy=False)
    return dict(zip(call.greeks, columns))


# ---- Polars -------------------------------------------------------------------------------------------------

def _polars(call: Call, operands: tuple, keywords: dict):
    import polars as pl

    from kestrelfin import _polars_columns

    series = [value for value in operands if isinstance(value, pl.Series)]
    if not series:  # a Polars object of another kind: NumPy's protocol
        result = call.compute(operands, keywords)
        return result if call.greeks is None else dict(zip(call.greeks, result))
    plain = tuple(_polars_columns.values(value) if isinstance(value, pl.Series) else value for value in operands)
    result = call.compute(plain, keywords)
    # As Polars' own ufunc support: named after the first number Series
    # (the flag's kinds when no number is one), null wherever a Series
    # (the kinds too) is null.
    numbers = [value for value in operands[1:] if isinstance(value, pl.Series)]
    name = (numbers or series)[0].name
    missing = _polars_columns.nulls(series)

    def rebuild(values, name):
        return _polars_columns.with_nulls(pl.Series(name, values), missing)

    if call.greeks is None:
        return rebuild(result, name)
    return pl.DataFrame([rebuild(values, key) for key, values in zip(call.greeks, result)])


# ---- xarray -------------------------------------------------------------------------------------------------

def _xarray(call: Call, operands: tuple, keywords: dict):
    import xarray as xr

    out = keywords.get("out")
    if any(library_of(value) == "xarray" for value in (out if isinstance(out, tuple) else (out,))):
        raise TypeError(f"{call.function}: out cannot be an xarray object; pass a NumPy array, or none")
    options = xr.get_options()
    join = options["arithmetic_join"]
    keep_attrs = options["keep_attrs"]
    outputs = 1 if call.greeks is None else len(call.greeks)

    def on_arrays(*arrays, **keywords):  # NumPy or Dask arrays, or numbers
        result = compute_plain(call, arrays, keywords)
        return result if call.greeks is None else tuple(result.values())

    # What xarray's own __array_ufunc__ asks of apply_ufunc.
    results = xr.apply_ufunc(
        on_arrays, *operands, input_core_dims=((),) * len(operands), output_core_dims=((),) * outputs,
        join=join, dataset_join=join, dataset_fill_value=np.nan, kwargs=keywords, dask="allowed",
        keep_attrs=True if keep_attrs == "default" else keep_attrs)
    return results if call.greeks is None else dict(zip(call.greeks, results))


_HANDLERS = {"pandas": _pandas, "polars": _polars, "xarray": _xarray, "dask": compute_plain}
