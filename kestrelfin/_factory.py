"""The public functions of the model namespaces, made from the function
table that kestrelfin._ufuncs exposes: one generic factory, no list of
functions of its own.

Each function has the parameters of its _kestrelfin counterpart, in the same
order and under the same names, then the keyword-only ufunc keywords
``out``, ``where``, ``casting`` and ``order``, which go to the ufunc as they
go to any NumPy ufunc. They are keyword-only so that one argument too many
(``bs.price("c", S, K, t, r, sigma, q)``, meant for bsm) is an error rather
than an ``out=`` that overwrites q: the generated function collects extra
positional arguments in ``*extra`` and raises a TypeError naming itself and
its parameters; its ``__signature__`` shows the keywords as keyword-only.
(The raw ufunc, for NumPy's remaining keywords, is the function's ``ufunc``
attribute.)

A call takes one of two paths:

* the scalar path, when the flag is exactly a str, every number exactly a
  Python float or int or a NumPy float64 scalar (the check is on the type,
  so a subclass never takes it), and the ufunc keywords are at their
  defaults: the _kestrelfin scalar function itself (so the same float, bit for
  bit), or for an implied volatility ``_ufuncs.<name>_or_nan``, the same
  solver giving NaN where _kestrelfin raises a solver failure, as the
  ufuncs do;
* otherwise the flag becomes a boolean ``is_call`` (``_flags.to_is_call``)
  and the ufunc is called with it and the numbers, so that NumPy broadcasts,
  casts, honours ``out=`` and ``where=``; pandas, Polars, xarray and Dask
  containers are taken apart and put back by ``_containers``; a Polars
  expression among the arguments makes the call a Polars expression
  (``_polars_expressions``) whose batches take this path. A float, int
  or str subclass is thus read as NumPy reads it, by the value it holds (its
  own ``__float__``, ``__index__`` or ``__getitem__`` are not asked), one
  option alone or in an array alike.
"""

from __future__ import annotations

import functools
import importlib
import inspect
import textwrap
import warnings
from typing import Any, NamedTuple

import numpy as np

import _kestrelfin
from kestrelfin import _containers, _errors, _flags, _polars_expressions, _reasons, _ufuncs

try:
    from kestrelfin import _docstrings
except ImportError:  # a source tree without a build: no generated texts
    _docstrings = None

# The number types the scalar path accepts, exactly these types (the check is
# on the class, not isinstance, to be cheap): a bool, a subclass, or a NumPy
# scalar of another type takes the ufunc path, which gives the same bits.
_NUMBERS = frozenset({float, int, np.float64})


class PublicFunction(NamedTuple):
    """One public function: where it lives and what it calls."""
    model: str          # the namespace: "bs", "bsm", "black76"
    quantity: str       # its name there: "price", "delta", ...
    parameters: tuple[str, ...]
    ufunc: Any
    scalar: Any         # the scalar path's function, or None (greeks)
    outputs: tuple[str, ...] | None = None  # the names of several results (greeks), None for one
    output_dtypes: tuple[str, ...] | None = None  # their NumPy dtypes, all float64 when None
    options: dict | None = None  # keywords the function itself takes (method=, with_reason=)
    methods: dict | None = None  # an implied volatility's solvers: method -> (ufunc, reason ufunc, one option)

    @property
    def public_name(self) -> str:
        return f"kestrelfin.{self.model}.{self.quantity}"


def _numbers_and_kind(entry: PublicFunction, arguments: tuple):
    flag_index = entry.parameters.index("flag")
    numbers = arguments[:flag_index] + arguments[flag_index + 1:]
    return _flags.to_is_call(arguments[flag_index]), numbers


def _explained(entry: PublicFunction, arguments: tuple, keywords: dict, thunk):
    """thunk(), with its TypeError or ValueError in the caller's terms."""
    try:
        return thunk()
    except (TypeError, ValueError) as error:
        better = _errors.explain(entry.public_name, entry.parameters, arguments, error, keywords)
        if better is None:
            raise
        raise better from None


def _compute(entry: PublicFunction, arguments: tuple, operands: tuple, keywords: dict):
    """The ufunc on plain operands (the kinds, then the numbers); a real
    dtype that NumPy will not cast safely to float64 (longdouble) is cast,
    and other errors are put in the caller's terms."""
    try:
        return entry.ufunc(*operands, **keywords)
    except (TypeError, ValueError) as error:
        cast = _errors.real_as_float64(operands) if isinstance(error, TypeError) else None
        if cast is not None:
            return _compute(entry, arguments, cast, keywords)
        better = _errors.explain(entry.public_name, entry.parameters, arguments, error, keywords)
        if better is None:
            raise
        raise better from None


def _keywords(entry: PublicFunction, out, where, casting, order) -> dict:
    keywords = {}
    if casting != "same_kind":
        keywords["casting"] = casting
    if order != "K":
        keywords["order"] = order
    if out is not None:
        keywords["out"] = out
    if where is not True:
        keywords["where"] = where
        if out is None:
            # NumPy warns from inside the ufunc call, which would point here:
            # the warning is given at the caller's line instead (stack: this
            # function, _route, dispatch, the public function, the caller), and
            # NumPy's own silenced by an explicit out=None.
            warnings.warn(f"{entry.public_name}: where= without out= leaves the elements where it is False "
                          "uninitialised; pass out= to keep values there", UserWarning, stacklevel=5)
            keywords["out"] = None
    return keywords


def _dask_frames(arguments: tuple) -> bool:
    """Whether a Dask DataFrame or Series is among the arguments."""
    return any(_is_dask(a) and hasattr(a, "map_partitions") and not hasattr(a, "map_blocks") for a in arguments)


def partition_call(model: str, quantity: str, *arguments, **options):
    """One partition of a Dask DataFrame call: the public function on its
    pandas pieces (several results as one DataFrame). (Found by name, so
    that Dask can send it to workers.)"""
    result = getattr(importlib.import_module(f"kestrelfin.{model}"), quantity)(*arguments, **options)
    if isinstance(result, tuple):
        import pandas as pd

        return pd.DataFrame({series.name: series for series in result}, copy=False)
    return result


def _on_partitions(entry: PublicFunction, arguments: tuple, keywords: dict):
    # Dask DataFrames run the whole call per partition (the arguments'
    # partitions taken side by side, as Dask's own element-wise operations
    # take them), rather than one ufunc over separately derived Series: a
    # Series of kinds made from the flag column does not combine with
    # scalar arguments in Dask's element-wise operations.
    import dask.dataframe as dd
    import pandas as pd

    if keywords:
        raise TypeError(f"{entry.public_name}: out, where, casting and order are not supported on Dask DataFrames")
    options = entry.options or {}
    if entry.outputs is not None:
        dtypes = entry.output_dtypes or ("float64",) * len(entry.outputs)
        meta = pd.DataFrame({name: pd.Series([], dtype=dtype) for name, dtype in zip(entry.outputs, dtypes)})
    else:
        meta = pd.Series([], dtype=np.float64)
    result = dd.map_partitions(partition_call, entry.model, entry.quantity, *arguments, meta=meta, **options)
    if entry.quantity == "greeks":
        return result
    return tuple(result[name] for name in entry.outputs) if entry.outputs is not None else result


def _is_dask(value) -> bool:
    return type(value).__module__.partition(".")[0] in ("dask", "dask_expr")


def _through_containers(entry: PublicFunction, arguments: tuple, keywords: dict, library: str):
    names = ("flag",) + tuple(p for p in entry.parameters if p != "flag")
    call = _containers.Call(
        entry.public_name, names, entry.outputs, entry.ufunc,
        functools.partial(_compute, entry, arguments),
        functools.partial(_explained, entry, arguments, keywords), entry.output_dtypes)
    if library == "mixed":
        flag_index = entry.parameters.index("flag")
        ordered = (arguments[flag_index],) + arguments[:flag_index] + arguments[flag_index + 1:]
        raise _containers.mixed_error(call, ordered)
    is_call, numbers = _numbers_and_kind(entry, arguments)
    return _containers.apply(call, library, (is_call, *numbers), keywords)


def numpy_path(entry: PublicFunction, arguments: tuple):
    """The ufunc on plain arguments, without keywords: what each batch of a
    Polars expression computes."""
    is_call, numbers = _numbers_and_kind(entry, arguments)
    return _compute(entry, arguments, (is_call, *numbers), {})


def _expression(entry: PublicFunction, arguments: tuple, out, where, casting, order):
    """A Polars expression: the NumPy path over the batches of its columns."""
    _polars_expressions.refuse_keywords(entry.public_name, out, where, casting, order)
    dtypes = None
    if entry.output_dtypes is not None:
        dtypes = tuple("Int8" if dtype == "int8" else "Float64" for dtype in entry.output_dtypes)
    return _polars_expressions.expression(entry.public_name, entry.parameters, arguments,
                                          functools.partial(numpy_path, entry),
                                          _polars_expressions.Output(entry.quantity, entry.outputs, dtypes))


def _route(entry: PublicFunction, arguments: tuple, out, where, casting, order, plain):
    """The ufunc path's routes: a Polars expression, containers taken apart
    and put back (Dask DataFrames per partition), or plain arrays, whose
    results `plain` shapes."""
    library = _containers.holder(arguments)
    if library is not None and _polars_expressions.holds_expression(arguments):
        return _expression(entry, arguments, out, where, casting, order)
    keywords = _keywords(entry, out, where, casting, order)
    if library is not None:
        if _dask_frames(arguments):
            return _on_partitions(entry, arguments, keywords)
        return _through_containers(entry, arguments, keywords, library)
    is_call, numbers = _numbers_and_kind(entry, arguments)
    return plain(_compute(entry, arguments, (is_call, *numbers), keywords))


def _as_computed(result):
    return result


def _by_greek_name(results) -> dict:
    return dict(zip(_ufuncs.GREEK_NAMES, results))


def dispatch(entry: PublicFunction, arguments: tuple, out, where, casting, order):
    """The ufunc path of one public function."""
    return _route(entry, arguments, out, where, casting, order, _as_computed)


def dispatch_greeks(entry: PublicFunction, arguments: tuple, out, where, casting, order):
    """All sixteen quantities of every option: a dict name -> result; a
    pandas DataFrame for pandas Series, a polars DataFrame for Polars
    Series, a Dask DataFrame for Dask DataFrame columns, a Struct
    expression for Polars expressions."""
    return _route(entry, arguments, out, where, casting, order, _by_greek_name)


# ---- implied volatility: the solvers ---------------------------------------------------------------------------

REASON_FIELDS = ("sigma", "reason")


def _method_error(entry: PublicFunction, method) -> ValueError:
    return ValueError(f"{entry.public_name}: method must be 'rational' or 'newton', got {method!r}")


def _as_pair(result):
    """The volatilities and the reason codes, from the route's result: the
    ufunc's two arrays (one option: a float and an IVReason), a dict or a
    DataFrame of the two, or a Polars expression (a Struct, left whole)."""
    if _polars_expressions.holds_expression((result,)):
        return result
    if isinstance(result, tuple):
        sigma, reason = result
        if isinstance(reason, np.generic):
            return sigma, _reasons.IVReason(int(reason))
        return sigma, reason
    return result[REASON_FIELDS[0]], result[REASON_FIELDS[1]]


def solve(entry: PublicFunction, arguments: tuple, method, with_reason, out, where, casting, order):
    """The ufunc path of an implied volatility: the method's ufunc, with
    the reason codes as a second result when asked."""
    if not isinstance(method, str) or method not in entry.methods:
        raise _method_error(entry, method)
    if not isinstance(with_reason, (bool, np.bool_)):
        raise TypeError(f"{entry.public_name}: with_reason must be True or False, got {with_reason!r}")
    ufunc, reason_ufunc, _ = entry.methods[str(method)]
    if not with_reason:
        solved = entry._replace(ufunc=ufunc, options={"method": str(method)})
        return _route(solved, arguments, out, where, casting, order, _as_computed)
    solved = entry._replace(ufunc=reason_ufunc, outputs=REASON_FIELDS, output_dtypes=("float64", "int8"),
                            options={"method": str(method), "with_reason": True})
    return _as_pair(_route(solved, arguments, out, where, casting, order, _as_computed))


def _long_flag(flag: str) -> None:
    """Raises the cut error of a str flag too long to quote whole;
    returns for any other (whose _kestrelfin error then stands)."""
    if len(flag) > _flags.SHOWN:
        _flags.parse_text(flag)


def too_many(entry: PublicFunction, extra: tuple) -> TypeError:
    """The error of a call with positional arguments beyond the parameters."""
    count = len(entry.parameters)
    return TypeError(f"{entry.public_name}() takes {count} positional arguments ({', '.join(entry.parameters)}) "
                     f"but {count + len(extra)} were given; out, where, casting and order are keyword-only")


# The function templates: compiled once per public function so that each has
# its real signature, checked by the interpreter, and a scalar path of a few
# type tests. `{parameters}` are the _kestrelfin parameters, `{numbers}` those
# but the flag.
_TEMPLATE = '''
def _make(_entry, _scalar, _dispatch, _too_many, _long_flag, _NUMBERS):
    def {name}({parameters}, *extra, out=None, where=True, casting="same_kind", order="K"):
        if extra:
            raise _too_many(_entry, extra)
        if (out is None and where is True and casting == "same_kind" and order == "K"
                and flag.__class__ is str and {number_checks}):
{scalar_path}
        return _dispatch(_entry, ({parameters},), out, where, casting, order)
    return {name}
'''

# A bad flag raises _kestrelfin's error, cut by _long_flag when the text is
# long. (An implied volatility's scalar function gives NaN, not an error,
# where no volatility gives the price.)
_SCALAR = '''            try:
                return _scalar({parameters})
            except ValueError:
                _long_flag(flag)
                raise'''

# An implied volatility takes method= and with_reason= before the ufunc
# keywords; one option without reasons takes the method's one-option entry.
_SOLVER_TEMPLATE = '''
def _make(_entry, _scalars, _solve, _too_many, _long_flag, _NUMBERS):
    def {name}({parameters}, *extra, method="rational", with_reason=False, out=None, where=True,
               casting="same_kind", order="K"):
        if extra:
            raise _too_many(_entry, extra)
        if (method.__class__ is str and with_reason is False and out is None and where is True
                and casting == "same_kind" and order == "K" and flag.__class__ is str and {number_checks}):
            _scalar = _scalars.get(method)
            if _scalar is not None:
{scalar_path}
        return _solve(_entry, ({parameters},), method, with_reason, out, where, casting, order)
    return {name}
'''

_GREEKS_TEMPLATE = '''
def _make(_entry, _dispatch, _too_many):
    def greeks({parameters}, *extra, out=None, where=True, casting="same_kind", order="K"):
        if extra:
            raise _too_many(_entry, extra)
        return _dispatch(_entry, ({parameters},), out, where, casting, order)
    return greeks
'''


def _signature(entry: PublicFunction) -> inspect.Signature:
    """The signature help() and IDEs show: the parameters, then the ufunc
    keywords as keyword-only (the *extra that catches one argument too
    many is the function's own business)."""
    positional = [inspect.Parameter(p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in entry.parameters]
    solver = (("method", "rational"), ("with_reason", False)) if entry.methods is not None else ()
    keywords = [inspect.Parameter(name, inspect.Parameter.KEYWORD_ONLY, default=default)
                for name, default in solver + (("out", None), ("where", True), ("casting", "same_kind"),
                                               ("order", "K"))]
    return inspect.Signature(positional + keywords)


def _document(function, entry: PublicFunction, module: str) -> None:
    function.__signature__ = _signature(entry)
    function.__module__ = module
    function.__qualname__ = entry.quantity
    key = f"{entry.model}.{entry.quantity}"
    if _docstrings is not None:
        function.__doc__ = _docstrings.DOCS[key]
    function.ufunc = entry.ufunc  # the NumPy ufunc behind it: is_call, then the numbers


def _compile(source: str, module_globals: dict, name: str):
    namespace: dict = {}
    code = compile(source, f"<kestrelfin {name}>", "exec")
    exec(code, module_globals, namespace)  # noqa: S102 - source made above from the table's names only
    return namespace["_make"]


def make_function(entry: PublicFunction, module_globals: dict):
    parameters = ", ".join(entry.parameters)
    numbers = [p for p in entry.parameters if p != "flag"]
    source = _TEMPLATE.format(
        name=entry.quantity, parameters=parameters,
        number_checks=" and ".join(f"({p}.__class__ is float or {p}.__class__ in _NUMBERS)" for p in numbers),
        scalar_path=_SCALAR.format(parameters=parameters))
    if entry.methods is not None:
        scalars = {method: one_option for method, (_, _, one_option) in entry.methods.items()}
        source = _SOLVER_TEMPLATE.format(
            name=entry.quantity, parameters=parameters,
            number_checks=" and ".join(f"({p}.__class__ is float or {p}.__class__ in _NUMBERS)" for p in numbers),
            scalar_path=textwrap.indent(_SCALAR.format(parameters=parameters), "    "))
        make = _compile(source, module_globals, entry.quantity)
        function = make(entry, scalars, solve, too_many, _long_flag, _NUMBERS)
        _document(function, entry, module_globals["__name__"])
        return function
    make = _compile(source, module_globals, entry.quantity)
    function = make(entry, entry.scalar, dispatch, too_many, _long_flag, _NUMBERS)
    _document(function, entry, module_globals["__name__"])
    return function


def make_greeks(entry: PublicFunction, module_globals: dict):
    source = _GREEKS_TEMPLATE.format(parameters=", ".join(entry.parameters))
    function = _compile(source, module_globals, "greeks")(entry, dispatch_greeks, too_many)
    _document(function, entry, module_globals["__name__"])
    return function


def populate(module_globals: dict, model: str) -> list[str]:
    """Defines the model's functions in the namespace module and returns
    their names: the price, the implied volatility and the fifteen Greeks in
    the table's order, then greeks."""
    names = []
    for row_model, quantity, name, parameters, ufunc in _ufuncs.FUNCTIONS:
        if row_model != model:
            continue
        # A function that can fail per option (the implied volatility) has a
        # one-option entry in _ufuncs that gives NaN instead; the others are
        # _kestrelfin's own scalar functions.
        scalar = getattr(_ufuncs, f"{name}_or_nan", None) or getattr(_kestrelfin, name)
        methods = {method: (method_ufunc, reason_ufunc, one_option)
                   for solved, method, method_ufunc, reason_ufunc, one_option in _ufuncs.IMPLIED_VOLATILITY_METHODS
                   if solved == name} or None
        entry = PublicFunction(model, quantity, parameters, ufunc, scalar, methods=methods)
        module_globals[quantity] = make_function(entry, module_globals)
        names.append(quantity)
    for row_model, parameters, ufunc in _ufuncs.GREEKS:
        if row_model == model:
            entry = PublicFunction(model, "greeks", parameters, ufunc, None, _ufuncs.GREEK_NAMES)
            module_globals["greeks"] = make_greeks(entry, module_globals)
            names.append("greeks")
    if _docstrings is not None:
        module_globals["__doc__"] = _docstrings.DOCS[model]
    return names
