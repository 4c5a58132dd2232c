"""Option kinds from flags as users hold them.

A flag is read by its first character, as _kestrelfin reads it: 'c' or 'C' is
a call, 'p' or 'P' a put, whatever follows ("call", "Put", ...). The ufuncs
take the kind as a boolean ``is_call``; ``to_is_call`` makes one from

* one str (the _kestrelfin rule, with _kestrelfin's own error texts);
* a bool, or a boolean array of any shape (True is a call);
* an array-like of str or bytes: a list or tuple, a NumPy 'U', 'S' or object
  array, a pandas Series (also categorical), a Polars Series;
* a Dask array or Dask Series of str, converted lazily, block by block;
* an xarray DataArray of str, whose coordinates are kept.

A bad element raises ValueError naming its position and value, for example
``flag[3] must start with 'c' or 'p' (call or put), got 'x'``; N-dimensional
flags name the position as a tuple, ``flag[1, 2] ...``; a missing value of a
nullable pandas column is named at its own position. (A null in a Polars
Series is no error: its kind is null, and so is that option's result.) A
text longer than 20 characters is shown by its first 20 and its length.

A str subclass is read as NumPy reads it into an array, by its ``str()``
(whatever its own ``__getitem__`` says), so that one flag reads the same
alone and in a list. (An object array holds the objects themselves, and
they are read by the characters they hold.)
"""

from __future__ import annotations

import numpy as np

from kestrelfin import _ufuncs

_EXPECTED = "flag must be 'c' or 'p', an array-like of such texts, or a boolean array (True for a call)"

# Code points of 'c' and 'p'; "| 0x20" maps 'C' onto 'c' and 'P' onto 'p' and
# nothing else onto either.
_LOWER = 0x20
_C = ord("c")
_P = ord("p")


# Flag texts in messages are cut to their first SHOWN characters.
SHOWN = 20


def parse_text(flag: str) -> bool:
    """One flag: True for a call, False for a put; anything else raises the
    very ValueError that _kestrelfin raises for it (for a text longer than
    SHOWN characters, its message about the first SHOWN, then the length)."""
    if flag.__class__ is not str:
        flag = str(flag)  # a subclass: its str(), as NumPy reads it
    first = flag[:1]
    if first == "c" or first == "C":
        return True
    if first == "p" or first == "P":
        return False
    if len(flag) <= SHOWN:
        raise _ufuncs.flag_error(flag) from None
    # _kestrelfin quotes the whole text: a long one is quoted by its start.
    message = _ufuncs.flag_error(flag[:SHOWN]).args[0]
    raise ValueError(f"{message}... ({len(flag)} characters)") from None


def _shown(value: object) -> str:
    if isinstance(value, (str, bytes)):
        text = str(value) if isinstance(value, str) else bytes(value)
        if len(text) > SHOWN:
            unit = "characters" if isinstance(text, str) else "bytes"
            return f"{text[:SHOWN]!r}... ({len(text)} {unit})"
        return repr(text)
    return repr(value)


def bad_flag(position: tuple[int, ...], value: object) -> ValueError:
    where = f"[{', '.join(str(i) for i in position)}]" if position else ""
    return ValueError(f"flag{where} must start with 'c' or 'p' (call or put), got {_shown(value)}")


def _raise_first_bad(values: np.ndarray, ok: np.ndarray) -> None:
    position = np.unravel_index(int(np.argmin(ok.reshape(-1))), values.shape)
    raise bad_flag(tuple(int(i) for i in position), values[position])


def _first_null(missing: np.ndarray, values) -> ValueError:
    """The error for the first missing value of a boolean column."""
    position = int(np.argmax(missing))
    return bad_flag((position,), values[position])


def _from_codes(values: np.ndarray, first: np.ndarray) -> np.ndarray:
    """The kinds from the first code points (or bytes) of the flags."""
    lower = first | _LOWER
    is_call = lower == _C
    ok = is_call | (lower == _P)
    if not ok.all():
        _raise_first_bad(values, ok)
    return is_call


def _from_text_array(values: np.ndarray) -> np.ndarray:
    # A 'U' array stores each element as UCS-4 code points, an 'S' array as
    # bytes, both padded with zeros: the first code point of element i is at
    # the start of its slot (zero for an empty str, which is no flag). The
    # code points are in the dtype's byte order ('>U1' is big-endian).
    if values.dtype.kind == "U":
        unit = np.dtype(np.uint32).newbyteorder(values.dtype.byteorder)
    else:
        unit = np.dtype(np.uint8)
    width = values.dtype.itemsize // unit.itemsize
    if width == 0:  # only empty texts
        if values.size:
            _raise_first_bad(values, np.zeros(values.shape, dtype=bool))
        return np.zeros(values.shape, dtype=bool)
    contiguous = np.ascontiguousarray(values)
    first = contiguous.view(unit).reshape(values.shape + (width,))[..., 0]
    return _from_codes(values, first.astype(np.uint32, copy=False))


def _from_objects(values: np.ndarray) -> np.ndarray:
    flat = np.ascontiguousarray(values).reshape(-1)
    is_call = np.empty(flat.shape, dtype=bool)
    bad = _ufuncs.first_characters(flat, is_call)
    if bad >= 0:
        position = np.unravel_index(bad, values.shape)
        raise bad_flag(tuple(int(i) for i in position), flat[bad])
    return is_call.reshape(values.shape)


def _core(values: np.ndarray) -> np.ndarray:
    """The array without its broadcast axes: each axis of stride zero (one
    value repeated) taken once, as length 1."""
    return values[tuple(slice(0, 1) if stride == 0 else slice(None) for stride in values.strides)]


def from_array(values: np.ndarray, given=None) -> np.ndarray:
    """A NumPy array of flags (bool, str, bytes or objects) as kinds;
    `given` is what the caller passed, for the error text. A flag array
    broadcast over a grid (axes of stride zero) is read once per distinct
    element and its kinds broadcast back as a read-only view: no copy of the
    grid's size. An empty array of any dtype (an empty list reads as
    float64) is no options."""
    kind = values.dtype.kind
    if kind == "b":
        return values
    if kind not in "USO":
        if values.size == 0:
            return np.zeros(values.shape, dtype=bool)
        raise TypeError(f"{_EXPECTED}, got {_describe(values if given is None else given, values)}")
    core = _core(values) if values.size and 0 in values.strides else values
    is_call = _from_text_array(core) if kind in "US" else _from_objects(core)
    return is_call if core is values else np.broadcast_to(is_call, values.shape)


def _from_pandas(flag):  # a Series or an Index
    import pandas as pd

    dtype = flag.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        categories = np.asarray(dtype.categories, dtype=object)
        codes = np.asarray(flag.cat.codes if isinstance(flag, pd.Series) else flag.codes)
        # Each category read once; only categories in use must be flags.
        ok = np.ones(categories.shape, dtype=bool)
        kinds = np.zeros(categories.shape, dtype=bool)
        for i, category in enumerate(categories):
            try:
                kinds[i] = from_array(np.array([category], dtype=object))[0]
            except ValueError:
                ok[i] = False
        used_ok = np.append(ok, False)[codes]  # code -1 (a missing value) is never a flag
        if not used_ok.all():
            position = int(np.argmin(used_ok))
            raise bad_flag((position,), np.asarray(flag, dtype=object)[position])
        is_call = kinds[codes]
    elif getattr(dtype, "kind", None) == "b" and not isinstance(dtype, np.dtype):
        # A nullable boolean column: a missing value is no flag.
        missing = np.asarray(flag.isna(), dtype=bool)
        if missing.any():
            raise _first_null(missing, np.asarray(flag, dtype=object))
        is_call = np.asarray(flag, dtype=bool)
    else:
        is_call = from_array(np.asarray(flag), flag)
    if isinstance(flag, pd.Series):
        return pd.Series(is_call, index=flag.index, name=flag.name, copy=False)
    return is_call


def to_is_call(flag):
    """The kinds of `flag`, as a bool, a boolean NumPy array, or a boolean
    container of the flag's own library (pandas, Dask, xarray, Polars) that
    keeps its index, chunks, coordinates or nulls."""
    cls = type(flag)
    if cls is str:
        return parse_text(flag)
    if cls is bool or cls is np.bool_:
        return flag
    if isinstance(flag, str):
        return parse_text(flag)
    if isinstance(flag, np.ndarray):
        return from_array(flag)
    library = cls.__module__.partition(".")[0]
    if library == "pandas":
        return _from_pandas(flag)
    if library in ("dask", "dask_expr"):
        return _from_dask(flag)
    if library == "xarray" and hasattr(flag, "variable"):
        return flag.copy(data=from_array(np.asarray(flag.values)))
    if library == "polars":
        return _from_polars(flag)
    if isinstance(flag, (bytes, bytearray)):
        raise TypeError(f"{_EXPECTED}, got {cls.__name__} {bytes(flag)!r}")
    values = np.asarray(flag)
    if values.ndim == 0 and values.dtype.kind != "b":
        raise TypeError(f"{_EXPECTED}, got {_describe(flag, values)}")
    return from_array(values, flag)


def _describe(flag, values: np.ndarray) -> str:
    if values.ndim == 0:
        return f"{type(flag).__name__} {flag!r}"
    return f"{type(flag).__name__} of dtype {values.dtype}"


def _from_polars(flag):
    """The kinds of a Polars Series, as a Boolean Series, null where the
    flag is null."""
    import polars as pl

    if not isinstance(flag, pl.Series):
        return from_array(np.asarray(flag), flag)
    from kestrelfin import _polars_columns

    return _polars_columns.kinds(flag)


def _from_dask(flag):
    dtype = getattr(flag, "dtype", None)
    if dtype is not None and getattr(dtype, "kind", None) == "b":
        return flag
    if hasattr(flag, "map_blocks"):  # a Dask array
        return flag.map_blocks(from_array, dtype=bool, meta=np.empty((0,) * flag.ndim, dtype=bool))
    if hasattr(flag, "map_partitions"):  # a Dask Series
        return flag.map_partitions(_from_pandas, meta=(flag.name, bool))
    return from_array(np.asarray(flag))
