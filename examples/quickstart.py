"""Price a small option chain with kestrelfin and print it as a table.

Run it with ``./scripts/run-example.sh`` (which builds and installs the
module first), or with ``python examples/quickstart.py`` once kestrelfin is
installed.

The chain is an equity index at 100 with a 4 % rate and a 1.5 % dividend
yield: calls and puts over five strikes and three expiries, priced with the
Black-Scholes-Merton model. For each option the table shows the price, the
first-order Greeks, a few higher-order Greeks, and the implied volatility
recovered from the price, which must give back the volatility we priced with.
"""

from __future__ import annotations

import math

import _kestrelfin as kf

SPOT = 100.0
RATE = 0.04
DIVIDEND = 0.015
STRIKES = (80.0, 90.0, 100.0, 110.0, 120.0)
EXPIRIES = (("1M", 1 / 12), ("6M", 0.5), ("2Y", 2.0))


def smile(strike: float, t: float) -> float:
    """A simple skewed volatility surface: higher vol for low strikes."""
    moneyness = math.log(strike / SPOT)
    return 0.20 - 0.10 * moneyness + 0.25 * moneyness * moneyness / math.sqrt(t)


COLUMNS = (
    ("expiry", "{:>6}"), ("K", "{:>6.0f}"), ("type", "{:>4}"), ("vol", "{:>6.2%}"),
    ("price", "{:>9.4f}"), ("delta", "{:>8.4f}"), ("gamma", "{:>8.5f}"), ("vega", "{:>7.4f}"),
    ("theta/d", "{:>8.4f}"), ("rho", "{:>8.4f}"), ("vanna", "{:>8.4f}"), ("charm", "{:>8.4f}"),
    ("vomma", "{:>8.3f}"), ("implied", "{:>8.4%}"),
)


def rows():
    for label, t in EXPIRIES:
        for strike in STRIKES:
            sigma = smile(strike, t)
            for flag in ("c", "p"):
                args = (flag, SPOT, strike, t, RATE, sigma, DIVIDEND)
                price = kf.bsm_black_scholes_merton(*args)
                implied = kf.bsm_implied_volatility(price, SPOT, strike, t, RATE, DIVIDEND, flag)
                yield (
                    label, strike, "call" if flag == "c" else "put", sigma, price,
                    kf.bsm_delta(*args), kf.bsm_gamma(*args), kf.bsm_vega(*args),
                    kf.bsm_theta(*args), kf.bsm_rho(*args), kf.bsm_vanna(*args),
                    kf.bsm_charm(*args), kf.bsm_vomma(*args), implied,
                )


def main() -> None:
    print(f"kestrelfin {kf.__version__}: Black-Scholes-Merton chain, S={SPOT}, r={RATE:.2%}, q={DIVIDEND:.2%}")
    print("vega and rho per 1 % point, theta per calendar day, charm per year of expiry\n")
    widths = [len(fmt.format(sample)) for (_, fmt), sample in zip(COLUMNS, next(rows()))]
    print("  ".join(name.rjust(width) for (name, _), width in zip(COLUMNS, widths)))
    worst = 0.0
    for row in rows():
        print("  ".join(fmt.format(value) for (_, fmt), value in zip(COLUMNS, row)))
        worst = max(worst, abs(row[-1] - row[3]))
    print(f"\nlargest |implied - priced| volatility over the chain: {worst:.1e}")

    # The same chain's 6-month calls in one vectorised call.
    try:
        import numpy as np
    except ImportError:
        return
    strikes = np.array(STRIKES)
    t = np.full_like(strikes, 0.5)
    sigma = np.array([smile(k, 0.5) for k in STRIKES])
    spot = np.full_like(strikes, SPOT)
    prices = kf.bsm_black_scholes_merton_array("c", spot, strikes, t, RATE, sigma, DIVIDEND)
    implied = kf.bsm_implied_volatility_array(prices, spot, strikes, t, RATE, DIVIDEND, "c")
    print("\n6M calls as arrays:  K =", strikes, "\n  prices  =", np.round(prices, 4),
          "\n  implied =", np.round(implied, 6))


if __name__ == "__main__":
    main()
