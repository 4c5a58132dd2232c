"""Writes option_chain.csv: a synthetic but realistic end-of-day option chain.

The underlying is a made-up equity index, KFX, at 4821.35 on Monday
16 March 2026, paying a continuous dividend yield of 1.6 %. The chain has six
expiries, from a weekly eleven days out to the March 2027 quarterly, each
with calls and puts on a strike grid that widens with the expiry (25-point
steps near the money for the short expiries, 50 and 100 points further out).

Quotes are made the way a market maker would show them: a theoretical price
from the Black-Scholes-Merton model on a skewed smile (puts below the money
dearer, a term structure rising from 14.5 % to 17 % at the money), moved by
noise of a fraction of a volatility point, then a bid and an ask around it
with a spread that grows with the price and the vega, rounded outward to the
exchange tick (0.05 below 3.00, 0.10 above). Far out-of-the-money options
show no bid (0.00). Deep in-the-money bids can sit below intrinsic value, as
they do on real screens; their implied volatility does not exist.

The prices are computed here with the standard library's erfc, not with
kestrelfin, so the chain is independent data for the module to work on.
Run it to regenerate the file; the seed makes the output the same each time:

    python examples/data/make_chain.py
"""

from __future__ import annotations

import csv
import datetime as dt
import math
from pathlib import Path

import numpy as np

SEED = 20260316
QUOTE_DATE = dt.date(2026, 3, 16)
UNDERLYING = "KFX"
SPOT = 4821.35
DIVIDEND_YIELD = 0.016
OUTPUT = Path(__file__).resolve().parent / "option_chain.csv"


def third_friday(year: int, month: int) -> dt.date:
    first = dt.date(year, month, 1)
    return first + dt.timedelta(days=(4 - first.weekday()) % 7 + 14)


# Expiry, continuously compounded zero rate to it, strike step near the money.
EXPIRIES = [
    (dt.date(2026, 3, 27), 0.0432, 25.0),     # weekly
    (third_friday(2026, 4), 0.0429, 25.0),
    (third_friday(2026, 6), 0.0421, 50.0),
    (third_friday(2026, 9), 0.0410, 50.0),
    (third_friday(2026, 12), 0.0398, 100.0),
    (third_friday(2027, 3), 0.0386, 100.0),
]


def atm_vol(t: float) -> float:
    """At-the-money volatility, rising with the expiry."""
    return 0.170 - 0.025 * math.exp(-t / 0.2)


def smile(k: float, t: float) -> float:
    """Volatility at log-moneyness k = ln(K/F): a skew and a curvature in the
    standardised moneyness x = k / (atm * sqrt(t)), as index smiles have."""
    atm = atm_vol(t)
    x = k / (atm * math.sqrt(t))
    return max(atm - 0.040 * x + 0.010 * x * x, 0.06)


def ncdf(x: float) -> float:
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def bsm(kind: str, S: float, K: float, t: float, r: float, q: float, sigma: float) -> tuple[float, float]:
    """Price and vega (per volatility point) of a European option."""
    v = sigma * math.sqrt(t)
    d1 = (math.log(S / K) + (r - q + 0.5 * sigma * sigma) * t) / v
    d2 = d1 - v
    dq, dr = math.exp(-q * t), math.exp(-r * t)
    if kind == "C":
        price = S * dq * ncdf(d1) - K * dr * ncdf(d2)
    else:
        price = K * dr * ncdf(-d2) - S * dq * ncdf(-d1)
    vega = S * dq * math.exp(-0.5 * d1 * d1) / math.sqrt(2 * math.pi) * math.sqrt(t) * 0.01
    return price, vega


def tick(price: float) -> float:
    return 0.05 if price < 3.0 else 0.10


def strikes_for(F: float, t: float, step: float) -> list[float]:
    """Strikes from about three standard deviations below the forward to
    two and a half above, on multiples of the step (coarser in the wings)."""
    width = atm_vol(t) * math.sqrt(t)
    low, high = F * math.exp(-3.0 * width), F * math.exp(2.5 * width)
    strikes = []
    K = math.ceil(low / step) * step
    while K <= high:
        strikes.append(K)
        far = abs(math.log(K / F)) > 1.2 * width
        K += step * (2 if far else 1)
        K = math.ceil(K / step) * step
    return strikes


def quotes(rng: np.random.Generator) -> list[dict[str, object]]:
    rows = []
    for expiry, r, step in EXPIRIES:
        t = (expiry - QUOTE_DATE).days / 365.0
        F = SPOT * math.exp((r - DIVIDEND_YIELD) * t)
        for K in strikes_for(F, t, step):
            sigma = smile(math.log(K / F), t)
            for kind in ("C", "P"):
                theo, vega = bsm(kind, SPOT, K, t, r, DIVIDEND_YIELD, sigma)
                # Quotes scatter by a fraction of a volatility point around the model.
                fair = theo + rng.normal(0.0, 0.15) * vega
                half = max(0.05, 0.008 * fair + 0.04 * vega) * rng.uniform(0.8, 1.2)
                bid = math.floor((fair - half) / tick(fair - half)) * tick(fair - half)
                ask = math.ceil((fair + half) / tick(fair + half)) * tick(fair + half)
                if bid < 0.05:
                    bid = 0.0
                rows.append({
                    "quote_date": QUOTE_DATE.isoformat(), "underlying": UNDERLYING, "spot": SPOT,
                    "dividend_yield": DIVIDEND_YIELD, "expiry": expiry.isoformat(), "rate": r,
                    "strike": K, "type": kind, "bid": round(bid, 2), "ask": round(max(ask, 0.05), 2),
                })
    return rows


def main() -> None:
    rows = quotes(np.random.default_rng(SEED))
    with OUTPUT.open("w", newline="") as file:
        writer = csv.DictWriter(file, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)
    print(f"wrote {len(rows)} quotes to {OUTPUT}")


if __name__ == "__main__":
    main()
