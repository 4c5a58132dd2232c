"""Argument matching, conversion and flag parsing of the scalar functions."""

import math
import random

import numpy as np
import pytest

import _kestrelfin as kf
from conftest import (GREEK_NAMES, IV_NAMES, SCALAR_NAMES, RaisingFloat, call, expect_error,
                      numeric_parameters, ordinary_arguments, parameters)

all_scalar = pytest.mark.parametrize("name", SCALAR_NAMES)


def name_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def native_float_message(obj):
    """The interpreter's own text for a failed float conversion (math.sqrt
    converts its argument the same way)."""
    with pytest.raises(TypeError) as info:
        math.sqrt(obj)
    return str(info.value)


# --- matching -------------------------------------------------------------

@all_scalar
def test_positional_keyword_and_mixed_calls_agree(name):
    function = getattr(kf, name)
    params = parameters(name)
    positional = function(*ordinary_arguments(name))
    assert type(positional) is float and math.isfinite(positional)
    keywords = dict(zip(params, ordinary_arguments(name)))
    orders = [params, params[::-1]] + [random.Random(f"{name}{i}").sample(params, len(params))
                                       for i in range(3)]
    for order in orders:
        assert function(**{p: keywords[p] for p in order}) == positional
    for split in range(1, len(params)):
        rest = {p: keywords[p] for p in reversed(params[split:])}
        assert function(*ordinary_arguments(name)[:split], **rest) == positional


def test_black76_implied_volatility_takes_rate_before_time():
    F, K, t, r, sigma = 100.0, 90.0, 0.5, 0.03, 0.25
    price = kf.black76_black("p", F, K, t, r, sigma)
    by_position = kf.black76_implied_volatility(price, F, K, r, t, "p")
    assert by_position == pytest.approx(sigma, abs=1e-10)
    assert kf.black76_implied_volatility(flag="p", t=t, r=r, K=K, F=F, price=price) == by_position
    assert kf.black76_implied_volatility(price, F, K, t, r, "p") != by_position


@all_scalar
@pytest.mark.parametrize("surplus", [1, 3])
def test_surplus_positional_arguments(name, surplus):
    n = len(parameters(name))
    args = ordinary_arguments(name) + [1.0] * surplus
    message = f"{name}() takes {n} positional arguments but {n + surplus} were given"
    expect_error(TypeError, message, getattr(kf, name), *args)
    # Counted before any keyword is looked at.
    expect_error(TypeError, message, getattr(kf, name), *args, bogus=1, **{parameters(name)[0]: 1})


@all_scalar
def test_unexpected_keywords(name):
    function = getattr(kf, name)
    params = parameters(name)
    head = ordinary_arguments(name)[:-1]
    for key in [params[-1].swapcase(), params[-1] + "x", params[-1][:-1], "bogus", "\ud800"]:
        expect_error(TypeError, f"{name}() got an unexpected keyword argument '{key}'",
                     function, *head, **{key: 1.0})


@all_scalar
def test_multiple_values(name):
    function = getattr(kf, name)
    params = parameters(name)
    args = ordinary_arguments(name)
    for given in (1, len(params)):
        for param in params[:given]:
            expect_error(TypeError, f"{name}() got multiple values for argument '{param}'",
                         function, *args[:given], **{param: args[0]})


def test_first_offending_keyword_wins():
    expect_error(TypeError, "bs_delta() got an unexpected keyword argument 'x'",
                 kf.bs_delta, "c", 100, x=1, S=100)
    expect_error(TypeError, "bs_delta() got multiple values for argument 'S'",
                 kf.bs_delta, "c", 100, S=100, x=1)
    expect_error(TypeError, "bs_delta() got multiple values for argument 'S'",
                 kf.bs_delta, "c", 100, S=100, flag="c")
    expect_error(TypeError, "bs_delta() got multiple values for argument 'flag'",
                 kf.bs_delta, "c", 100, flag="c", S=100)


@pytest.mark.parametrize("args, kwargs, message", [
    (("c", 100, 100, 1, 0.05), {}, "bs_delta() missing 1 required positional argument: 'sigma'"),
    (("c", 100, 100, 1), {}, "bs_delta() missing 2 required positional arguments: 'r' and 'sigma'"),
    (("c", 100, 100), {}, "bs_delta() missing 3 required positional arguments: 't', 'r', and 'sigma'"),
    ((), {}, "bs_delta() missing 6 required positional arguments: "
             "'flag', 'S', 'K', 't', 'r', and 'sigma'"),
    ((), {"sigma": 0.2, "S": 100, "r": 0.05},
     "bs_delta() missing 3 required positional arguments: 'flag', 'K', and 't'"),
])
def test_missing_arguments_examples(args, kwargs, message):
    expect_error(TypeError, message, kf.bs_delta, *args, **kwargs)


@all_scalar
def test_missing_arguments(name):
    function = getattr(kf, name)
    params = parameters(name)
    args = ordinary_arguments(name)
    for k in range(1, len(params) + 1):
        noun = "argument" if k == 1 else "arguments"
        tail = name_list(params[-k:])
        expect_error(TypeError, f"{name}() missing {k} required positional {noun}: {tail}",
                     function, *args[:-k])
        # The same gap left by keywords, listed in parameter order.
        given = {p: v for p, v in zip(params, args) if p not in params[:k]}
        expect_error(TypeError,
                     f"{name}() missing {k} required positional {noun}: {name_list(params[:k])}",
                     function, **dict(reversed(given.items())))


# --- conversion order -----------------------------------------------------

@all_scalar
def test_flag_type_error(name):
    message = "argument 'flag': 'int' object cannot be converted to 'PyString'"
    expect_error(TypeError, message, getattr(kf, name), *ordinary_arguments(name, flag=1))
    if name in GREEK_NAMES:
        # Price and Greek functions convert the flag before any number.
        bad_numbers = {p: "x" for p in numeric_parameters(name)}
        expect_error(TypeError, message, call, name, flag=1, **bad_numbers)


@all_scalar
def test_numbers_convert_in_signature_order(name):
    numbers = numeric_parameters(name)
    for i, param in enumerate(numbers):
        bad = {p: "x" for p in numbers[i:]}
        message = f"argument '{param}': {native_float_message('x')}"
        # A str flag with a wrong value is only parsed after every number.
        expect_error(TypeError, message, call, name, flag="zz", **bad)
        if name in IV_NAMES:
            # Implied-volatility functions convert the flag last.
            expect_error(TypeError, message, call, name, flag=1, **bad)


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("flag, type_name", [
    (None, "NoneType"), (b"c", "bytes"), (1.5, "float"), (["c"], "list"),
    (Outer.Inner(), "Outer.Inner"),
])
@pytest.mark.parametrize("name", ["bs_vega", "bsm_implied_volatility"])
def test_flag_type_names_are_qualified(name, flag, type_name):
    expect_error(TypeError, f"argument 'flag': '{type_name}' object cannot be converted to 'PyString'",
                 call, name, flag=flag)


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize("name", ["bs_delta", "bsm_gamma", "black76_implied_volatility"])
def test_type_error_gets_argument_prefix_and_keeps_cause(name):
    for param in numeric_parameters(name):
        root = ValueError("root cause")
        try:
            raise TypeError("no float here") from root
        except TypeError as error:
            original = error
        raised = expect_error(TypeError, f"argument '{param}': no float here", call, name,
                              **{param: RaisingFloat(original)})
        assert raised is not original
        assert raised.__cause__ is root
        plain = expect_error(TypeError, f"argument '{param}': plain", call, name,
                             **{param: RaisingFloat(TypeError("plain"))})
        assert plain.__cause__ is None


@pytest.mark.parametrize("error", [TypeErrorSubclass("sub"), ValueError("value"),
                                   ArithmeticError("arith"), KeyError("k")])
@pytest.mark.parametrize("name", ["bs_delta", "bsm_implied_volatility"])
def test_other_conversion_errors_pass_unchanged(name, error):
    for param in numeric_parameters(name):
        with pytest.raises(type(error)) as info:
            call(name, **{param: RaisingFloat(error)})
        assert info.value is error
        assert info.value.__cause__ is None


@pytest.mark.parametrize("name", ["black76_theta", "bs_implied_volatility"])
def test_huge_int_raises_overflow_without_prefix(name):
    with pytest.raises(OverflowError) as info:
        call(name, K=10**400)
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class MinusOne:
    def __float__(self):
        return -1.0


@all_scalar
def test_number_kinds_are_accepted(name):
    reference = call(name, K=95.0, r=0.0, t=1.0)
    for K in (95, np.float64(95.0), np.int64(95), np.float32(95.0), Index(95)):
        assert call(name, K=K, r=0.0, t=1.0) == reference
    assert call(name, K=95.0, r=False, t=True) == reference
    assert call(name, K=95.0, r=np.float64(0.0), t=np.int32(1)) == reference
    # -1.0 is the interpreter's failure sentinel, but only with an exception set.
    reference = call(name, r=-1.0)
    assert type(reference) is float
    assert call(name, r=-1) == reference
    assert call(name, r=MinusOne()) == reference
    assert call(name, r=Index(-1)) == reference


# --- flag parsing ---------------------------------------------------------

class FlagText(str):
    pass


@all_scalar
def test_flag_spellings(name):
    as_call, as_put = call(name, flag="c"), call(name, flag="p")
    for flag in ("C", "call", "Call", "CALL", "cx...", "c\x00", FlagText("call"), np.str_("c")):
        assert call(name, flag=flag) == as_call
    for flag in ("P", "put", "Put", "PUT", "pc", FlagText("p")):
        assert call(name, flag=flag) == as_put
    if name.endswith("_delta") or name.endswith("_rho") or name.endswith("_black"):
        assert as_call != as_put


@all_scalar
@pytest.mark.parametrize("flag, shown", [("x", '"x"'), (" c", '" c"'), ("écu", '"écu"'), ("Xp", '"Xp"')])
def test_bad_flags_rejected_everywhere(name, flag, shown):
    expect_error(ValueError, "flag must be 'c' or 'p'", call, name, flag="")
    expect_error(ValueError, "flag must be 'c' or 'p', got " + shown, call, name, flag=flag)


@pytest.mark.parametrize("flag, shown", [
    ('a"b', r'"a\"b"'),
    ("a\\b", r'"a\\b"'),
    ("\n\r\t\0", r'"\n\r\t\0"'),
    ("e\u0301", r'"e\u{301}"'),
    ("\x7f", r'"\u{7f}"'),
    ("\x01z", r'"\u{1}z"'),
    ("x\u200b", r'"x\u{200b}"'),
    ("é", '"é"'),
    ("€uro", '"€uro"'),
    ("x😀", '"x😀"'),
    ("\u0301", r'"\u{301}"'),
])
@pytest.mark.parametrize("name", ["bs_gamma", "black76_vega", "bsm_implied_volatility"])
def test_bad_flag_is_quoted_with_escapes(name, flag, shown):
    expect_error(ValueError, "flag must be 'c' or 'p', got " + shown, call, name, flag=flag)


@pytest.mark.parametrize("flag", ["\ud800", "c\udfff"])
@pytest.mark.parametrize("name", ["bs_delta", "black76_implied_volatility"])
def test_lone_surrogate_flag_raises_unicode_encode_error(name, flag):
    with pytest.raises(UnicodeEncodeError) as info:
        call(name, flag=flag)
    assert type(info.value) is UnicodeEncodeError
    assert not str(info.value).startswith("argument")
    # Taking the flag's text is part of converting it, so it keeps its place
    # in the conversion order.
    first = numeric_parameters(name)[0]
    if name in GREEK_NAMES:
        with pytest.raises(UnicodeEncodeError):
            call(name, flag=flag, **{first: "x"})
    else:
        expect_error(TypeError, f"argument '{first}': {native_float_message('x')}", call, name,
                     flag=flag, **{first: "x"})

