"""Polars columns as the ufuncs take them, and results put back as columns
with nulls, for Polars Series and for the batches of a Polars expression.

A null in any input is a null in the output (never a NaN): each column's
nulls are filled with a harmless value (NaN, or a put for the kinds) so
that the ufunc runs over the whole batch, and the results are nulled where
any input was.

The kinds of a flag column are read without Python objects per row:

* Boolean: True is a call;
* String (and Binary): the first byte of each text (``bin.get(0)``),
  'c'/'C' a call and 'p'/'P' a put, as _kestrelfin reads a flag by its
  first character (a text starting with any other character, also a
  non-ASCII one, is no flag);
* Categorical and Enum: each distinct value in use read once as a text, then
  the kinds looked up by the physical codes;
* the Null dtype (``pl.lit(None)``): all null.

A text that is no flag raises the package's ValueError naming its position
(in the column as given: for an expression, the position in the batch).
Only the values in use must be flags: an unused category may be anything.

Imported only once a Polars object has been passed.
"""

from __future__ import annotations

import numpy as np
import polars as pl

from kestrelfin import _errors, _flags

_LOWER = 0x20  # | 0x20 maps 'C' onto 'c' and 'P' onto 'p', nothing else onto either
_C = ord("c")
_P = ord("p")


def _first_bytes(texts: pl.Series) -> np.ndarray:
    """The first byte of each text as uint8, 0 for a null or empty text."""
    try:
        first = texts.cast(pl.Binary).bin.get(0, null_on_oob=True)
    except AttributeError:  # a Polars without bin.get: only the four letters of a flag matter
        head = texts.str.head(1)
        codes = np.zeros(len(texts), dtype=np.uint8)
        for letter in "cCpP":
            codes[(head == letter).fill_null(False).to_numpy()] = ord(letter)
        return codes
    return first.fill_null(0).to_numpy()


def _text_kinds(texts: pl.Series) -> np.ndarray:
    """The kinds of a String or Binary column (False where null); raises
    for the first text that is no flag."""
    lower = _first_bytes(texts) | _LOWER
    is_call = lower == _C
    ok = is_call | (lower == _P)
    if texts.null_count():
        ok |= texts.is_null().to_numpy()
    if not ok.all():
        position = int(np.argmin(ok))
        raise _flags.bad_flag((position,), texts[position])
    return is_call


def _category_kinds(flag: pl.Series) -> np.ndarray:
    """The kinds of a Categorical or Enum column (False where null): each
    distinct value read once, the rows looked up by their physical codes."""
    physical = flag.to_physical()
    # One row of each code in use (the codes hashed, not the texts).
    distinct = flag.gather(physical.arg_unique()).drop_nulls()
    lower = _first_bytes(distinct.cast(pl.String)) | _LOWER
    codes = distinct.to_physical().to_numpy()
    rows = physical.fill_null(0).to_numpy()
    # Tables indexed by code, as long as the largest code in use.
    size = int(codes.max()) + 1 if len(codes) else 1
    bad = np.zeros(size, dtype=bool)
    bad[codes[(lower != _C) & (lower != _P)]] = True
    if bad.any():
        used = bad[rows]
        if flag.null_count():
            used &= ~physical.is_null().to_numpy()
        position = int(np.argmax(used))
        raise _flags.bad_flag((position,), flag[position])
    calls = np.zeros(size, dtype=bool)
    calls[codes[lower == _C]] = True
    return calls[rows]


def kinds(flag: pl.Series) -> pl.Series:
    """The kinds of a flag Series: a Boolean Series of its length and name,
    True for a call, null where the flag is null."""
    dtype = flag.dtype
    if dtype == pl.Boolean:
        return flag
    if dtype == pl.Null:
        return flag.cast(pl.Boolean)
    if dtype == pl.String or dtype == pl.Binary or isinstance(dtype, (pl.Categorical, pl.Enum)):
        values = _text_kinds(flag) if dtype in (pl.String, pl.Binary) else _category_kinds(flag)
        result = pl.Series(flag.name, values)
        return with_nulls(result, flag.is_null().to_numpy()) if flag.null_count() else result
    # Any other dtype (numbers, lists): as NumPy reads it, with its errors.
    return pl.Series(flag.name, _flags.from_array(np.asarray(flag.to_numpy()), flag))


def _real(dtype) -> bool:
    # NumPy has no 128-bit integers and no decimals: those are to be cast first.
    return dtype == pl.Boolean or dtype == pl.Null or dtype.is_float() or (
        dtype.is_integer() and dtype not in (pl.Int128, pl.UInt128))


def number_error(function: str, parameter: str, column: pl.Series) -> TypeError | None:
    """The error for a number column of a dtype the ufuncs do not take
    (texts, decimals, dates, lists, 128-bit integers), or None."""
    if _real(column.dtype):
        return None
    return TypeError(f"{function}: {parameter} {_errors._EXPECTS}, got a column of dtype {column.dtype} "
                     "(convert it with .cast(pl.Float64))")


def values(column: pl.Series) -> np.ndarray:
    """A number or kinds column as NumPy, for the ufunc to cast as it casts
    any array. Polars gives a number column's nulls as NaN (an integer
    column then as floats); a Boolean column's are filled with False."""
    if column.dtype == pl.Boolean and column.null_count():
        column = column.fill_null(False)
    return column.to_numpy()


def nulls(columns) -> np.ndarray | None:
    """Where any of the columns is null, or None when none is."""
    found = None
    for column in columns:
        if column.null_count():
            missing = column.is_null().to_numpy()
            found = missing if found is None else found | missing
    return found


def with_nulls(result: pl.Series, missing: np.ndarray | None) -> pl.Series:
    """The result (a column of any dtype, also a Struct) with nulls where
    `missing` is True."""
    if missing is None or not missing.any():
        return result
    keep = pl.lit(pl.Series(~missing))
    return result.to_frame().select(pl.when(keep).then(pl.col(result.name))).to_series()
