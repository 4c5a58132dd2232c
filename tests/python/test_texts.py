"""The example values of the docstrings (texts/quantities.py), computed again
from outside the code they document: every Greek as the derivative of the
textbook price formula, evaluated with mpmath at 50 digits, and every
implied volatility as mpmath's root of that formula. (The doctests, in
test_package_docs.py, then hold the compiled functions to these values.)"""

import ast
import sys
from pathlib import Path

import mpmath as mp
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "texts"))

import quantities as texts  # noqa: E402

mp.mp.dps = 50

# Each Greek as derivative orders of the price and a scale (the units the
# functions return: vega and rho per point, theta per calendar day, charm,
# color and veta +d/dt per year).
DERIVATIVES = {
    "delta": ({"X": 1}, 1), "gamma": ({"X": 2}, 1), "vega": ({"sigma": 1}, mp.mpf("0.01")),
    "theta": ({"t": 1}, -1 / mp.mpf(365)), "rho": ({"r": 1}, mp.mpf("0.01")), "vanna": ({"X": 1, "sigma": 1}, 1),
    "charm": ({"X": 1, "t": 1}, 1), "vomma": ({"sigma": 2}, 1), "speed": ({"X": 3}, 1),
    "zomma": ({"X": 2, "sigma": 1}, 1), "color": ({"X": 2, "t": 1}, 1), "veta": ({"sigma": 1, "t": 1}, 1),
    "ultima": ({"sigma": 3}, 1), "dual_delta": ({"K": 1}, 1), "dual_gamma": ({"K": 2}, 1),
}
INPUTS = ["X", "K", "t", "r", "sigma", "q"]


def textbook_price(model, flag, X, K, t, r, sigma, q=0):
    """The discounted Black price on the forward: F itself for Black-76, S
    grown at r - q for the spot models."""
    forward = X if model == "black76" else X * mp.exp((r - q) * t)
    v = sigma * mp.sqrt(t)
    d1 = (mp.log(forward / K) + v * v / 2) / v
    sign = 1 if flag == "c" else -1
    return mp.exp(-r * t) * sign * (forward * mp.ncdf(sign * d1) - K * mp.ncdf(sign * (d1 - v)))


def number(text):
    """An argument as the doctest passes it: the double of its expression."""
    return mp.mpf(float(eval(compile(ast.parse(text, mode="eval"), "<example>", "eval"), {"__builtins__": {}})))


def option_of(model, values):
    underlying = "F" if model == "black76" else "S"
    return {("X" if p == underlying else p): number(v) for p, v in values.items() if p != "price"}


def greek(model, quantity, flag, option):
    names = [n for n in INPUTS if n in option]
    if quantity == "price":
        return textbook_price(model, flag, *(option[n] for n in names))
    orders, scale = DERIVATIVES[quantity]
    at = [option[n] for n in names]
    return mp.diff(lambda *x: textbook_price(model, flag, *x), at, tuple(orders.get(n, 0) for n in names)) * scale


def implied(model, flag, price, option):
    names = [n for n in INPUTS if n in option or n == "sigma"]

    def gap(sigma):
        values = {**option, "sigma": sigma}
        return textbook_price(model, flag, *(values[n] for n in names)) - price

    return mp.findroot(gap, mp.mpf("0.2"))


def shown(value, spec):
    return format(float(value), spec)


CASES = [(model, quantity) for model in texts.EXAMPLES for quantity in texts.QUANTITIES]


@pytest.mark.parametrize("model, quantity", CASES, ids=[f"{m}.{q}" for m, q in CASES])
def test_example_values_are_the_textbook_formulas(model, quantity):
    example = texts.EXAMPLES[model][quantity]
    option = option_of(model, example.get("option", texts.EXAMPLES[model]["option"]))
    if quantity == "implied_volatility":
        assert shown(implied(model, "c", number(example["price"]), option), example["format"]) == example["call"]
        pair = example["pair"]
        pair_option = option_of(model, pair.get("option", example["option"]))
        for flag, price, expected in zip("cp", pair["prices"], (pair["call"], pair["put"])):
            assert shown(implied(model, flag, number(price), pair_option), pair["format"]) == expected
        return
    for flag in "cp":
        value = greek(model, quantity, flag, {**option_of(model, texts.EXAMPLES[model]["option"]), **option})
        assert shown(value, example["format"]) == example["call" if flag == "c" else "put"], flag


@pytest.mark.parametrize("model", texts.EXAMPLES)
def test_greeks_example_values_are_the_textbook_formulas(model):
    example = texts.EXAMPLES[model]["greeks"]
    option = option_of(model, texts.EXAMPLES[model]["option"])
    price = shown(greek(model, "price", "c", option), example["price"])
    delta = shown(greek(model, "delta", "c", option), example["delta"])
    assert f"{price} {delta}" == example["values"]


def test_the_values_hull_quotes():
    # Hull's call on S = 42, K = 40 and its put; the Greeks of his call on
    # S = 49, K = 50 over 20 weeks (theta -4.31 a year, vega 12.1 and rho
    # 8.91 per unit, here per calendar day and per point); the index call;
    # the futures option; the implied volatility of the call worth 1.875.
    assert (texts.EXAMPLES["bs"]["price"]["call"], texts.EXAMPLES["bs"]["price"]["put"]) == ("4.76", "0.81")
    bs = texts.EXAMPLES["bs"]
    assert [bs[g]["call"] for g in ("delta", "vega", "theta", "rho")] == ["0.522", "0.121", "-0.0118", "0.0891"]
    assert round(float(bs["gamma"]["call"]), 3) == 0.066
    assert texts.EXAMPLES["bsm"]["price"]["call"] == "51.83"
    assert texts.EXAMPLES["black76"]["price"]["call"] == texts.EXAMPLES["black76"]["price"]["put"] == "1.12"
    assert bs["implied_volatility"]["call"] == "0.235"


def test_every_quantity_has_its_texts_and_examples():
    for quantity, fields in texts.QUANTITIES.items():
        assert set(fields) == {"summary", "formula", "returns"}, quantity
        for model in texts.EXAMPLES:
            assert quantity in texts.EXAMPLES[model], (model, quantity)
