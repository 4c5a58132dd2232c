"""Errors that say what was expected and what came.

NumPy's own messages for a ufunc whose operands do not fit speak of loops,
dtypes and operand shapes, with the boolean kind as an extra first operand.
When a ufunc call fails, ``explain`` looks at the caller's arguments and
returns an error in the caller's terms, or None when the arguments are not
the cause (then NumPy's error stands). Nothing here runs on a successful
call.

The texts (``<function>`` is the public name, e.g. ``kestrelfin.bs.delta``):

* ``<function>: S expects real numbers (a number or an array-like of numbers), got <what>``,
  where <what> is ``a str ('100')``, ``a list of str``, ``an object array
  (convert it with .astype(float))``, ``a complex128 array``, ``None``, ...;
* ``<function>: the shapes of the arguments do not broadcast together: flag (3,), S (4,), K (), ...``;
* ``<function>: out has shape (2,) but the arguments broadcast to (3,)`` (``out[4]`` for one of
  greeks' sixteen);
* ``<function>: out has dtype int64, to which the float64 results cannot be cast under casting='same_kind'``.

``real_as_float64`` is the other half of a failed call: the operands with
every real dtype that NumPy will not cast safely to float64 (longdouble)
cast, for the call to be made again.
"""

from __future__ import annotations

import numpy as np

_EXPECTS = "expects real numbers (a number or an array-like of numbers)"


def _what(value) -> str | None:
    """How a value that is no number or array of real numbers came, or None
    when it is one."""
    if value is None:
        return "None"
    if isinstance(value, (str, bytes)):
        return f"a {type(value).__name__} ({value!r})"
    container = type(value).__name__
    dtype = getattr(value, "dtype", None)
    if dtype is not None and not isinstance(dtype, np.dtype):
        # A pandas extension dtype (nullable numbers, strings, categories).
        kind = getattr(dtype, "kind", "O")
        if kind in "biuf":
            return None
        return f"a {container} of dtype {dtype} (convert it with .astype(float))"
    if dtype is None:
        try:
            dtype = np.asarray(value).dtype
        except Exception:  # noqa: BLE001 - a ragged list, an object NumPy cannot read
            return f"a {container} that NumPy cannot read as an array"
        if dtype.kind == "O" and not isinstance(value, (list, tuple)):
            return f"an object of type {container}"
    kind = dtype.kind
    if kind in "biuf":
        return None
    if isinstance(value, (list, tuple)):
        names = {"U": "str", "S": "bytes", "O": "mixed objects", "c": "complex numbers",
                 "M": "datetimes", "m": "timedeltas"}
        return f"a {container} of {names.get(kind, str(dtype))}"
    if not isinstance(value, np.ndarray):
        hint = " (convert it with .astype(float))" if kind == "O" else ""
        return f"a {container} of dtype {dtype}{hint}"
    if kind == "O":
        return "an object array (dtype object; convert it with .astype(float))"
    if kind in "US":
        return f"an array of {'str' if kind == 'U' else 'bytes'} (dtype {dtype})"
    return f"a {dtype} array"


def _shape(value) -> tuple | None:
    try:
        return tuple(np.shape(value))
    except Exception:  # noqa: BLE001 - an object without a shape
        return None


def is_lossy_real(dtype) -> bool:
    """Whether `dtype` is a real dtype NumPy does not cast safely to float64."""
    return isinstance(dtype, np.dtype) and dtype.kind == "f" and not np.can_cast(dtype, np.float64)


def real_as_float64(operands: tuple) -> tuple | None:
    """The operands with every real value of a dtype that NumPy does not
    cast safely to float64 (np.longdouble: arrays, scalars, lists of them)
    cast to float64, or None when there is none."""
    cast = list(operands)
    changed = False
    for i, value in enumerate(operands):
        dtype = getattr(value, "dtype", None)
        if dtype is None and isinstance(value, (list, tuple)):
            try:
                value = np.asarray(value)
            except Exception:  # noqa: BLE001 - not an array: NumPy's error stands
                continue
            dtype = value.dtype
        if is_lossy_real(dtype):
            cast[i] = np.asarray(value).astype(np.float64)
            changed = True
    return tuple(cast) if changed else None


def _outs(keywords: dict) -> list:
    out = keywords.get("out")
    if out is None:
        return []
    if isinstance(out, tuple):
        return [(f"out[{i}]" if len(out) > 1 else "out", array) for i, array in enumerate(out)]
    return [("out", out)]


def _explain_out(function: str, shape: tuple, keywords: dict, error: Exception) -> Exception | None:
    for name, array in _outs(keywords):
        if not isinstance(array, np.ndarray):
            continue
        if array.shape != shape and isinstance(error, ValueError):
            return ValueError(f"{function}: {name} has shape {array.shape} but the arguments broadcast to {shape}")
        casting = keywords.get("casting", "same_kind")
        if isinstance(error, TypeError) and not np.can_cast(np.float64, array.dtype, casting=casting):
            return TypeError(f"{function}: {name} has dtype {array.dtype}, to which the float64 results cannot "
                             f"be cast under casting={casting!r}")
    return None


def explain(function: str, parameters: tuple[str, ...], arguments: tuple, error: Exception,
            keywords: dict | None = None) -> Exception | None:
    """An error in the caller's terms for a failed ufunc call, or None."""
    for name, value in zip(parameters, arguments):
        if name == "flag":
            continue
        what = _what(value)
        if what is not None:
            return TypeError(f"{function}: {name} {_EXPECTS}, got {what}")
    shapes = [(name, _shape(value)) for name, value in zip(parameters, arguments)]
    try:
        shape = np.broadcast_shapes(*(shape for _, shape in shapes if shape is not None))
    except ValueError:
        if isinstance(error, ValueError) and "broadcast" in str(error):
            listed = ", ".join(f"{name} {shape}" for name, shape in shapes)
            return ValueError(f"{function}: the shapes of the arguments do not broadcast together: {listed}")
        return None
    # The arguments broadcast: the error may be about `out`.
    return _explain_out(function, shape, keywords or {}, error)
