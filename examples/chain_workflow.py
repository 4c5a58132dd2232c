"""Option-chain workflow: implied volatilities and Greeks for a whole chain.

Reads an end-of-day option chain (examples/data/option_chain.csv: bid and ask
quotes of calls and puts on the KFX index for six expiries), then

1. computes the implied volatility of every bid, ask and mid quote with
   kestrelfin.bsm.implied_volatility, one call for the whole chain: the
   columns go in as they are (calls and puts mixed in the type column, a
   rate per expiry), and a Series with the chain's index comes out;
2. computes the price and the Greeks of every option at its mid implied
   volatility in one pass with kestrelfin.bsm.greeks, a DataFrame;
3. prints a summary per expiry (at-the-money volatility, 25-delta risk
   reversal and butterfly, the at-the-money straddle's Greeks) and checks
   that repricing at the implied volatilities gives back the mid quotes;
4. draws the smile of each expiry to smile.png and a panel of Greeks to
   greeks.png.

Run it with ``./scripts/run-example.sh`` (which builds and installs the
module and runs this after the quick start), or, with kestrelfin, numpy,
pandas and matplotlib installed::

    python examples/chain_workflow.py [--chain CSV] [--output DIR]

The pictures go to build/examples/ in the repository unless --output says
otherwise.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no screen needed

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from numpy.typing import NDArray  # noqa: E402

import kestrelfin  # noqa: E402
from kestrelfin import bsm  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_CHAIN = ROOT / "examples" / "data" / "option_chain.csv"
DEFAULT_OUTPUT = ROOT / "build" / "examples"

Array = NDArray[np.float64]


def load_chain(path: Path) -> pd.DataFrame:
    chain = pd.read_csv(path, parse_dates=["quote_date", "expiry"])
    chain["days"] = (chain["expiry"] - chain["quote_date"]).dt.days
    chain["t"] = chain["days"] / 365.0  # years, ACT/365
    chain["mid"] = (chain["bid"] + chain["ask"]) / 2.0
    chain["forward"] = chain["spot"] * np.exp((chain["rate"] - chain["dividend_yield"]) * chain["t"])
    chain["is_call"] = chain["type"].str.upper().str.startswith("C")
    # The side a volatility trader reads the smile from: puts below the
    # forward, calls above it.
    chain["otm"] = np.where(chain["is_call"], chain["strike"] >= chain["forward"],
                            chain["strike"] < chain["forward"])
    return chain


# The Greeks the summary and the pictures use, from greeks()'s sixteen.
GREEK_COLUMNS = ("delta", "gamma", "vega", "theta", "vanna", "charm", "vomma")


def analyse(chain: pd.DataFrame) -> pd.DataFrame:
    """Adds implied volatilities and Greeks to every quote, one call each for
    the whole chain."""
    chain = chain.copy()
    for side in ("bid", "mid", "ask"):
        price = chain[side]
        if side == "bid":
            # A bid of 0.00 means there is no bid. A zero price would invert
            # to a volatility of 0.0 (the intrinsic value of an out-of-the-money
            # option); NaN gives NaN.
            price = price.where(price > 0.0)
        # NaN where no volatility reproduces the quote (a bid below the
        # intrinsic value, say): no exception is raised. The default method,
        # "rational" (Let's Be Rational), is accurate to the last digits the
        # inputs carry; with_reason=True would also say why a quote has none.
        chain[f"iv_{side}"] = bsm.implied_volatility(price, chain["spot"], chain["strike"], chain["t"],
                                                     chain["rate"], chain["dividend_yield"], chain["type"])
    greeks = bsm.greeks(chain["type"], chain["spot"], chain["strike"], chain["t"], chain["rate"],
                        chain["iv_mid"], chain["dividend_yield"])
    for column in GREEK_COLUMNS:
        chain[column] = greeks[column]
    chain["repriced"] = greeks["price"]
    # The same at the volatilities of method="newton" (_kestrelfin's solver),
    # for the repricing comparison of the summary.
    newton = bsm.implied_volatility(chain["mid"], chain["spot"], chain["strike"], chain["t"], chain["rate"],
                                    chain["dividend_yield"], chain["type"], method="newton")
    chain["repriced_newton"] = bsm.price(chain["type"], chain["spot"], chain["strike"], chain["t"], chain["rate"],
                                         newton, chain["dividend_yield"])
    return chain


def interpolate(x: Array, y: Array, at: float) -> float:
    order = np.argsort(x)
    return float(np.interp(at, x[order], y[order]))


def summary(chain: pd.DataFrame) -> pd.DataFrame:
    rows = []
    for expiry, group in chain.groupby("expiry", sort=True):
        smile = group[group["otm"] & group["iv_mid"].notna()]
        log_moneyness = np.log(smile["strike"] / smile["forward"]).to_numpy()
        atm = interpolate(log_moneyness, smile["iv_mid"].to_numpy(), 0.0)
        puts, calls = smile[~smile["is_call"]], smile[smile["is_call"]]
        put25 = interpolate(puts["delta"].to_numpy(), puts["iv_mid"].to_numpy(), -0.25)
        call25 = interpolate(calls["delta"].to_numpy(), calls["iv_mid"].to_numpy(), 0.25)
        # The straddle at the strike nearest the forward.
        nearest = group.loc[(group["strike"] - group["forward"]).abs().idxmin(), "strike"]
        straddle = group[group["strike"] == nearest][["mid", "delta", "gamma", "vega", "theta"]].sum()
        rows.append({
            "expiry": expiry.strftime("%d %b %Y"), "days": int(group["days"].iloc[0]),
            "rate": group["rate"].iloc[0], "forward": group["forward"].iloc[0],
            "quotes": len(group),
            "no IV b/m/a": "/".join(str(int(group[f"iv_{side}"].isna().sum())) for side in ("bid", "mid", "ask")),
            "ATM vol": atm, "25d put": put25, "25d call": call25,
            "RR 25d": call25 - put25, "BF 25d": (call25 + put25) / 2 - atm,
            "straddle K": nearest, "straddle": straddle["mid"], "delta": straddle["delta"],
            "gamma": straddle["gamma"], "vega": straddle["vega"], "theta/day": straddle["theta"],
        })
    return pd.DataFrame(rows)


def print_summary(chain: pd.DataFrame, table: pd.DataFrame) -> None:
    first = chain.iloc[0]
    print(f"kestrelfin {kestrelfin.__version__}: {first['underlying']} option chain of "
          f"{first['quote_date']:%d %b %Y}, spot {first['spot']:.2f}, dividend yield "
          f"{first['dividend_yield']:.2%}, {len(chain)} quotes\n")
    percent = "{:.2%}".format
    formats = {"rate": percent, "forward": "{:.2f}".format, "ATM vol": percent, "25d put": percent,
               "25d call": percent, "RR 25d": "{:+.2%}".format, "BF 25d": "{:+.2%}".format,
               "straddle K": "{:.0f}".format, "straddle": "{:.2f}".format, "delta": "{:+.3f}".format,
               "gamma": "{:.5f}".format, "vega": "{:.2f}".format, "theta/day": "{:.2f}".format}
    smile_columns = ["expiry", "days", "rate", "forward", "quotes", "no IV b/m/a", "ATM vol", "25d put",
                     "25d call", "RR 25d", "BF 25d"]
    straddle_columns = ["expiry", "straddle K", "straddle", "delta", "gamma", "vega", "theta/day"]
    print("Smile per expiry, from mid implied volatilities. 'no IV' counts the bid, mid and ask")
    print("quotes without an implied volatility: missing bids (0.00, passed as NaN) and deep")
    print("in-the-money bids below the intrinsic value, where the implied volatility is NaN.")
    print(table[smile_columns].to_string(index=False, formatters=formats))
    print("\nAt-the-money straddle per expiry (call + put at the strike nearest the forward;")
    print("vega per volatility point, theta per calendar day)")
    print(table[straddle_columns].to_string(index=False, formatters=formats))

    priced = chain[chain["iv_mid"].notna()]
    worst = (priced["repriced"] - priced["mid"]).abs().max()
    worst_newton = (priced["repriced_newton"] - priced["mid"]).abs().max()
    print(f"\nRepricing all {len(priced)} mid quotes at their implied volatilities: largest "
          f"difference {worst:.1e} (method=\"newton\": {worst_newton:.1e}; quotes are in steps of 0.05)")
    if worst > 1e-6:
        raise SystemExit("implied volatilities do not reproduce the quotes")


EXPIRY_COLOURS = plt.get_cmap("viridis")


def colour(index: int, count: int) -> tuple[float, float, float, float]:
    return EXPIRY_COLOURS(0.9 * index / max(count - 1, 1))


def expiry_label(group: pd.DataFrame) -> str:
    return f"{group['expiry'].iloc[0]:%d %b %Y} ({int(group['days'].iloc[0])}d)"


def plot_smiles(chain: pd.DataFrame, path: Path) -> None:
    groups = [group for _, group in chain.groupby("expiry", sort=True)]
    figure = plt.figure(figsize=(13, 9.5), layout="constrained")
    grid = figure.add_gridspec(3, 3, height_ratios=[1.25, 1, 1])
    overview = figure.add_subplot(grid[0, :])
    for index, group in enumerate(groups):
        smile = group[group["otm"]].sort_values("strike")
        k = np.log(smile["strike"] / smile["forward"])
        overview.plot(k, 100 * smile["iv_mid"], "-o", markersize=3, color=colour(index, len(groups)),
                      label=expiry_label(group))
    overview.axvline(0.0, color="grey", linewidth=0.8, linestyle=":")
    overview.set_xlabel("log-moneyness ln(K / F)")
    overview.set_ylabel("implied volatility (%)")
    overview.set_title("Mid implied volatility of out-of-the-money options, all expiries")
    overview.legend(title="expiry", ncols=2, fontsize=9)
    overview.grid(alpha=0.3)

    # One panel per expiry with every quote, in and out of the money: the
    # mid volatility of calls and puts and each quote's bid-to-ask range.
    # In the money the spread is wide in volatility terms (little vega
    # against a large price), and bids below intrinsic value have none.
    kinds = ((True, "^", "tab:blue", "calls"), (False, "v", "tab:orange", "puts"))
    for index, group in enumerate(groups):
        axes = figure.add_subplot(grid[1 + index // 3, index % 3])
        for is_call, marker, kind_colour, name in kinds:
            side = group[group["is_call"] == is_call].sort_values("strike")
            axes.vlines(side["strike"], 100 * side["iv_bid"], 100 * side["iv_ask"], color=kind_colour,
                        alpha=0.35, linewidth=2.5, label=f"{name}, bid to ask")
            axes.plot(side["strike"], 100 * side["iv_mid"], marker, markersize=3.5, linestyle="none",
                      color=kind_colour, label=f"{name}, mid")
        axes.axvline(group["forward"].iloc[0], color="grey", linewidth=0.8, linestyle=":",
                     label="forward")
        axes.set_ylim(5, 45)
        axes.set_title(expiry_label(group), fontsize=10)
        axes.set_xlabel("strike")
        axes.set_ylabel("implied vol (%)")
        axes.grid(alpha=0.3)
        if index == 0:
            axes.legend(fontsize=7.5, ncols=2)
    first = chain.iloc[0]
    figure.suptitle(f"{first['underlying']} implied volatility smile, {first['quote_date']:%d %b %Y} "
                    f"(spot {first['spot']:.2f}); Black-Scholes-Merton with dividend yield "
                    f"{first['dividend_yield']:.1%}", fontsize=12)
    figure.savefig(path, dpi=90)
    plt.close(figure)


GREEK_PANELS = [
    ("delta", "delta", "dV/dS"),
    ("gamma", "gamma", "d²V/dS²"),
    ("vega", "vega", "per volatility point"),
    ("theta", "theta", "per calendar day"),
    ("vanna", "vanna", "d delta / d sigma"),
    ("charm", "charm", "+d delta / dt, per year"),
]


def plot_greeks(chain: pd.DataFrame, path: Path) -> None:
    groups = [group for _, group in chain.groupby("expiry", sort=True)]
    figure, axes_grid = plt.subplots(2, 3, figsize=(13, 7.5), layout="constrained")
    for (column, title, unit), axes in zip(GREEK_PANELS, axes_grid.flat):
        for index, group in enumerate(groups):
            smile = group[group["otm"]].sort_values("strike")
            moneyness = smile["strike"] / smile["forward"]
            for is_call, style in ((False, "--"), (True, "-")):
                side = smile["is_call"] == is_call
                axes.plot(moneyness[side], smile[column][side], style, color=colour(index, len(groups)),
                          label=expiry_label(group) if is_call else None)
        axes.axvline(1.0, color="grey", linewidth=0.8, linestyle=":")
        axes.axhline(0.0, color="black", linewidth=0.5)
        axes.set_title(f"{title} ({unit})", fontsize=11)
        axes.set_xlabel("moneyness K / F")
        axes.grid(alpha=0.3)
    axes_grid.flat[0].legend(title="expiry (puts dashed, calls solid)", fontsize=8, title_fontsize=8)
    first = chain.iloc[0]
    figure.suptitle(f"{first['underlying']} Greeks of the out-of-the-money options at their mid "
                    f"implied volatility, {first['quote_date']:%d %b %Y}", fontsize=12)
    figure.savefig(path, dpi=90)
    plt.close(figure)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--chain", type=Path, default=DEFAULT_CHAIN, help="option chain CSV")
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT,
                        help="folder for smile.png and greeks.png (default: build/examples)")
    arguments = parser.parse_args(argv)

    chain = analyse(load_chain(arguments.chain))
    print_summary(chain, summary(chain))

    arguments.output.mkdir(parents=True, exist_ok=True)
    plot_smiles(chain, arguments.output / "smile.png")
    plot_greeks(chain, arguments.output / "greeks.png")
    print(f"\nwrote {arguments.output / 'smile.png'} and {arguments.output / 'greeks.png'}")


if __name__ == "__main__":
    main()
