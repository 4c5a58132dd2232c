"""Polars expressions: a public function called with a ``polars.Expr``
among its arguments returns an expression, for ``select``,
``with_columns``, lazy frames and the streaming engine.

The expression is one ``map_batches`` over a struct of the arguments that
are columns (expressions as they are, Series and one-dimensional arrays as
literal columns); numbers and a str or bool flag are captured as constants.
Whatever is not Polars' is checked when the expression is made, as the
NumPy path checks it (a flag array read into kinds there and then). Each batch is computed by the NumPy
path of the function (the ufunc on the columns' NumPy arrays and a boolean
is_call array), so that every element equals the NumPy result bit for bit,
and nulled where any input is null (``_polars_columns``). The output dtype
is declared, so a lazy frame's schema resolves without running anything,
and the function is elementwise, so the streaming engine runs it batch by
batch. The result is named after the quantity ("delta", "greeks"), so that
several functions in one ``select`` do not collide.

What a batch computes and what comes out are parameters: the per-batch
function (the NumPy path of the public function) and ``Output``, one
Float64 column or a Struct of named fields (greeks: the sixteen
quantities), each of the dtype given. A function with several results of
other dtypes (an implied volatility with a reason code per option, say)
passes a per-batch function that returns one array per field and an
``Output`` naming the fields and their dtypes.

Whether an argument is an expression is read from its type's module and
name, so Polars is imported only once the caller has passed one.
"""

from __future__ import annotations

import functools
from typing import Any, Callable, NamedTuple

import numpy as np

from kestrelfin import _containers, _errors, _flags


class Output(NamedTuple):
    """The column an expression gives: one value per row (`fields` None),
    or a Struct with these fields. `dtypes` has one dtype per field (or one
    for the one value), each a Polars dtype's name ("Float64", "Int8") or a
    function of the polars module that returns the dtype (for an Enum of
    given categories); all Float64 when None."""
    name: str
    fields: tuple[str, ...] | None = None
    dtypes: tuple[str | Callable[[Any], Any], ...] | None = None

    def dtype(self, pl):
        def resolved(dtype):
            return getattr(pl, dtype) if isinstance(dtype, str) else dtype(pl)

        if self.fields is None:
            return resolved(self.dtypes[0]) if self.dtypes else pl.Float64
        dtypes = self.dtypes or ("Float64",) * len(self.fields)
        return pl.Struct({field: resolved(dtype) for field, dtype in zip(self.fields, dtypes)})


def _is_expression(value) -> bool:
    return any(cls.__name__ == "Expr" and cls.__module__.startswith("polars.") for cls in type(value).__mro__)


def holds_expression(arguments: tuple) -> bool:
    """Whether a Polars expression is among the arguments."""
    return any(_is_expression(value) for value in arguments)


def refuse_keywords(function: str, out, where, casting, order) -> None:
    """Raises for ufunc keywords, which have nothing to act on in an
    expression."""
    given = [name for name, ignored in (("out=", out is None), ("where=", where is True),
                                        ("casting=", casting == "same_kind"), ("order=", order == "K"))
             if not ignored]
    if given:
        listed = given[0] if len(given) == 1 else ", ".join(given[:-1]) + " and " + given[-1]
        raise TypeError(f"{function}: {listed} cannot be used with Polars expressions (the result is an "
                        "expression, computed when its frame is collected)")


def _checked(function: str, parameter: str, value):
    """A value that is not Polars', checked now as the NumPy path checks
    it: the flag as its kinds, numbers as they are."""
    if parameter == "flag":
        return _flags.to_is_call(value)
    what = _errors.explain(function, (parameter,), (value,), TypeError())
    if what is not None:
        raise what
    return value


def _ndim(value) -> int | None:
    try:
        return np.ndim(value)
    except ValueError:  # a ragged list
        return None


def _column(pl, function: str, parameter: str, value, expression: str):
    """A Series, or a one-dimensional array-like, as a literal column."""
    library = _containers.library_of(value)
    if library == "polars" and isinstance(value, pl.Series):
        return pl.lit(value)
    if library is not None:
        kind = f"{_containers._LIBRARY_NAMES[library]} {type(value).__name__}"
        raise TypeError(f"{function}: {expression} is a Polars expression and {parameter} a {kind}; an expression "
                        "takes Polars expressions, Polars Series and numbers: convert "
                        f"{parameter} to a Polars Series")
    values = np.asarray(_checked(function, parameter, value))
    if values.ndim != 1:
        raise TypeError(f"{function}: {parameter} has {values.ndim} dimensions; with Polars expressions an "
                        "argument is one value or a column (an expression, a Series or a one-dimensional array)")
    return pl.lit(pl.Series(parameter, values))


def expression(function: str, parameters: tuple[str, ...], arguments: tuple,
               per_batch: Callable[[tuple], Any], output: Output):
    """The expression of a call with at least one Polars expression among
    its arguments. per_batch(arguments) computes one batch: it gets the
    arguments in the parameters' order, each column as a NumPy array (the
    flag as a boolean is_call array) and each constant as it was checked,
    and returns one array, or one per field of `output` (a tuple or a
    dict)."""
    import polars as pl

    first = next(p for p, v in zip(parameters, arguments) if _is_expression(v))
    columns: dict[str, Any] = {}
    constants: dict[str, Any] = {}
    for parameter, value in zip(parameters, arguments):
        if _is_expression(value):
            columns[parameter] = value
        elif _containers.library_of(value) is None and _ndim(value) == 0:
            constants[parameter] = _checked(function, parameter, value)
        else:
            columns[parameter] = _column(pl, function, parameter, value, first)
    batch = functools.partial(_batch, function, parameters, constants, per_batch, output)
    return pl.struct(**columns).map_batches(batch, return_dtype=output.dtype(pl),
                                           is_elementwise=True).alias(output.name)


def _batch(function: str, parameters: tuple[str, ...], constants: dict, per_batch, output: Output, struct):
    """One batch: the struct of the column arguments in, the output column
    out."""
    import polars as pl

    from kestrelfin import _polars_columns

    fields = struct.struct.unnest()
    arguments = []
    inputs = []
    for parameter in parameters:
        if parameter in constants:
            arguments.append(constants[parameter])
            continue
        column = fields.get_column(parameter)
        if parameter == "flag":
            column = _polars_columns.kinds(column)
        else:
            error = _polars_columns.number_error(function, parameter, column)
            if error is not None:
                raise error
        inputs.append(column)
        arguments.append(_polars_columns.values(column))
    missing = _polars_columns.nulls(inputs)
    result = per_batch(tuple(arguments))
    dtype = output.dtype(pl)
    if output.fields is None:
        return _polars_columns.with_nulls(pl.Series(output.name, result, dtype=dtype), missing)
    if isinstance(result, dict):
        result = [result[field] for field in output.fields]
    frame = pl.DataFrame([_polars_columns.with_nulls(pl.Series(field, values, dtype=dtype.fields[i].dtype),
                                                     missing)
                          for i, (field, values) in enumerate(zip(output.fields, result))])
    return _polars_columns.with_nulls(frame.to_struct(output.name), missing)
