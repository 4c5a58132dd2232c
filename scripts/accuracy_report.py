"""Writes the accuracy report docs/accuracy.md and its two plots.

1. The normal distribution function inside kestrelfin, against mpmath at 50
   significant digits, across the whole real line, beside SciPy's
   ``scipy.special.ndtr``. The module does not export its N(x); it is read
   through a function that returns it unchanged: the Black-76 delta with a
   zero rate is exp(-0) * N(d1) = N(d1) for a call and -N(-d1) for a put, and
   with F = K = 1, t = 1 and sigma = 2|x| the argument d1 is exactly |x|
   when |x| has at most 24 significant bits (every step of forming d1 is
   then exact: sigma*sigma/2 = 2x^2 needs 48 bits, the quotient 2x^2 / 2|x|
   is |x|). So the grid is made of float32 values, and the module's N at
   each grid point is compared with the exact N at that very double.
2. Implied-volatility round trips over a grid of moneyness K/F and expiry t:
   the Black-76 price at sigma = 25 %, computed exactly with mpmath and
   rounded once to a double, is inverted by the module, and the relative
   error of the volatility it returns is mapped.
3. The limits the solver documents, each shown by a live call.

Every number in the report comes from this run. It needs kestrelfin, numpy,
scipy, mpmath and matplotlib (requirements/ecosystem.txt); it takes about
half a minute:

    python scripts/accuracy_report.py [--output DIR]   (default: docs/)
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import mpmath  # noqa: E402
import numpy as np  # noqa: E402
import scipy  # noqa: E402
import scipy.special  # noqa: E402
from matplotlib.colors import ListedColormap  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402
from matplotlib.ticker import NullFormatter  # noqa: E402

import _kestrelfin as kf  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
EPS = 2.0**-52
mpmath.mp.dps = 50


# ---- 1. The normal distribution function -----------------------------------------------

def exact_ncdf(x: float) -> mpmath.mpf:
    return mpmath.erfc(-mpmath.mpf(x) / mpmath.sqrt(2)) / 2


def module_ncdf(x: np.ndarray) -> np.ndarray:
    """N(x) as the module computes it, read through the Black-76 delta."""
    magnitude = np.abs(x)
    one = np.ones_like(x)
    sigma = 2.0 * magnitude
    call = kf.black76_delta_array("c", one, one, one, 0.0, sigma)   # N(|x|)
    put = -kf.black76_delta_array("p", one, one, one, 0.0, sigma)   # N(-|x|)
    return np.where(x > 0.0, call, put)


def normal_grid() -> np.ndarray:
    """x from -38.5 (where N falls below the smallest normal double and soon
    underflows) to 8.3 (where N rounds to 1), densest where the methods
    change: the tail series at -10 and Cody's range bounds at |x| = 0.46875*sqrt(2)
    and 4*sqrt(2)."""
    dense = np.linspace(-38.5, 8.3, 4000)
    seams = [-10.0, -4 * math.sqrt(2), -0.46875 * math.sqrt(2), 0.46875 * math.sqrt(2), 4 * math.sqrt(2)]
    around = np.concatenate([seam + np.linspace(-0.02, 0.02, 81) for seam in seams])
    tiny = np.concatenate([-np.logspace(-30, -1, 60), np.logspace(-30, -1, 60)])
    x = np.concatenate([dense, around, tiny]).astype(np.float32).astype(np.float64)
    return np.unique(x[x != 0.0])


def check_d1_is_exact(x: np.ndarray) -> None:
    """The argument the module forms, replayed in Python's doubles (the same
    IEEE operations), is x itself at every grid point."""
    for value in np.abs(x):
        sigma = 2.0 * float(value)
        d1 = (math.log(1.0 / 1.0) + 1.0 * (sigma * (sigma * 0.5))) / (sigma * math.sqrt(1.0))
        assert d1 == value, value


def normal_accuracy() -> dict[str, np.ndarray]:
    x = normal_grid()
    check_d1_is_exact(x)
    exact = [exact_ncdf(v) for v in x]
    ours = module_ncdf(x)
    theirs = scipy.special.ndtr(x)

    def relative(values: np.ndarray) -> np.ndarray:
        return np.array([float(abs(mpmath.mpf(v) - e) / e) for v, e in zip(values, exact)])

    return {"x": x, "kestrelfin": relative(ours), "scipy": relative(theirs),
            "exact": np.array([float(e) for e in exact])}


def plot_normal(data: dict[str, np.ndarray], path: Path) -> None:
    x = data["x"]
    figure, axes = plt.subplots(figsize=(10, 5.2), layout="constrained")
    floor = EPS / 64  # exact results plotted on the floor of the log scale
    for name, colour, size in (("scipy", "tab:orange", 5), ("kestrelfin", "tab:blue", 3)):
        label = {"scipy": f"scipy.special.ndtr (SciPy {scipy.__version__})",
                 "kestrelfin": "kestrelfin (through black76_delta with r = 0)"}[name]
        axes.scatter(x, np.maximum(data[name], floor), s=size, color=colour, label=label,
                     alpha=0.7, linewidths=0)
    axes.set_yscale("log")
    axes.axhline(EPS, color="black", linewidth=0.8, linestyle="--")
    axes.text(8.2, EPS * 1.3, "2^-52", ha="right", va="bottom", fontsize=9)
    subnormal = -37.519  # N(x) < 2.2e-308 to the left
    axes.axvspan(-38.6, subnormal, color="grey", alpha=0.15)
    axes.text(-38.2, 1e-3, "subnormal\nresults", fontsize=8, va="center")
    for seam, text in ((-10.0, "tail series | Cody"),):
        axes.axvline(seam, color="grey", linewidth=0.8, linestyle=":")
        axes.text(seam + 0.3, 1e-2, text, fontsize=8, color="dimgrey")
    axes.set_xlim(-38.6, 8.4)
    axes.set_ylim(floor / 2, 1)
    axes.set_xlabel("x")
    axes.set_ylabel("relative error |N(x) - exact| / exact")
    axes.set_title("Relative error of the normal distribution function N(x), against mpmath (50 digits)\n"
                   "points at the bottom edge are exact (correctly rounded)")
    axes.grid(alpha=0.3, which="major")
    axes.legend(loc="upper right", markerscale=3)
    figure.savefig(path, dpi=80)
    plt.close(figure)


# ---- 2. Implied-volatility round trips -------------------------------------------------

# Not 0.2: that is the solver's fallback starting point, which would return
# it at once for any tiny price and flatter the far wings.
SIGMA = 0.25
RATE = 0.03
FORWARD = 100.0


def exact_black76(kind: str, F: float, K: float, t: float, r: float, sigma: float) -> float:
    F, K, t, r, sigma = (mpmath.mpf(v) for v in (F, K, t, r, sigma))
    v = sigma * mpmath.sqrt(t)
    d1 = (mpmath.log(F / K) + v * v / 2) / v
    d2 = d1 - v

    def n(z):
        return mpmath.erfc(-z / mpmath.sqrt(2)) / 2

    undiscounted = F * n(d1) - K * n(d2) if kind == "c" else K * n(-d2) - F * n(-d1)
    return float(mpmath.exp(-r * t) * undiscounted)


def round_trips() -> dict[str, np.ndarray]:
    moneyness = np.geomspace(0.25, 4.0, 97)     # K / F
    expiries = np.geomspace(1 / 365, 10.0, 73)   # years
    result = {"moneyness": moneyness, "expiry": expiries}
    for side in ("otm", "itm"):
        price = np.empty((expiries.size, moneyness.size))
        error = np.empty_like(price)
        for i, t in enumerate(expiries):
            K = FORWARD * moneyness
            call = (K >= FORWARD) if side == "otm" else (K < FORWARD)
            row = np.array([exact_black76("c" if c else "p", FORWARD, k, t, RATE, SIGMA)
                            for k, c in zip(K, call)])
            F = np.full_like(K, FORWARD)
            T = np.full_like(K, t)
            implied = np.where(call, kf.black76_implied_volatility_array(row, F, K, RATE, T, "c"),
                               kf.black76_implied_volatility_array(row, F, K, RATE, T, "p"))
            price[i] = row
            error[i] = np.abs(implied - SIGMA) / SIGMA
        result[f"{side}_price"] = price
        result[f"{side}_error"] = error
    return result


def plot_round_trips(data: dict[str, np.ndarray], path: Path) -> None:
    moneyness, expiries = data["moneyness"], data["expiry"]
    figure, panels = plt.subplots(1, 2, figsize=(12, 5.2), layout="constrained", sharey=True)
    levels = np.arange(-17, 1)
    colours = ListedColormap(plt.get_cmap("viridis")(np.linspace(0, 1, len(levels) - 1)))
    titles = {"otm": "out of the money (puts below F, calls above)",
              "itm": "in the money (calls below F, puts above)"}
    for side, axes in zip(("otm", "itm"), panels):
        error = data[f"{side}_error"]
        # NaN (no volatility found: the rounded price fell below intrinsic
        # value) is drawn in red.
        shown = np.ma.masked_invalid(np.log10(np.clip(error, 1e-17, 1.0)))
        colours.set_bad("red")
        mesh = axes.pcolormesh(moneyness, expiries, shown, cmap=colours, vmin=-17, vmax=0, shading="nearest")
        contour = axes.contour(moneyness, expiries, np.log10(np.maximum(data[f"{side}_price"], 1e-300)),
                               levels=[-12, -6], colors=["white", "lightgrey"], linewidths=1.2)
        axes.clabel(contour, fmt={-12: "price 1e-12", -6: "price 1e-6"}, fontsize=8)
        axes.set_xscale("log")
        axes.set_yscale("log")
        axes.set_xticks([0.25, 0.5, 1, 2, 4], ["0.25", "0.5", "1", "2", "4"])
        axes.xaxis.set_minor_formatter(NullFormatter())
        axes.set_xlabel("moneyness K / F")
        axes.set_title(titles[side], fontsize=10)
    panels[0].set_ylabel("time to expiry t (years)")
    panels[1].legend(handles=[Patch(color="red", label="NaN: price rounded below intrinsic")],
                     loc="lower right", fontsize=8)
    figure.colorbar(mesh, ax=panels, label="log10 relative error of the implied volatility")
    figure.suptitle(f"Implied-volatility round trip, Black-76, sigma = {SIGMA:.0%}, r = {RATE:.0%}: "
                    "exact price rounded to a double, inverted by kestrelfin")
    figure.savefig(path, dpi=80)
    plt.close(figure)


# ---- 3. The documented limits, live ----------------------------------------------------

def limits() -> list[tuple[str, str, str]]:
    rows = []
    deep = kf.black76_black("c", 100.0, 150.0, 0.1, 0.0, 0.05)
    rows.append(("call F=100, K=150, t=0.1, r=0 priced at sigma=5 %",
                 f"price {deep:.2e}", f"{kf.black76_implied_volatility(deep, 100.0, 150.0, 0.0, 0.1, 'c'):.4f}"))
    high = kf.black76_black("c", 100.0, 100.0, 1.0, 0.0, 6.0)
    rows.append(("call F=K=100, t=1, r=0 priced at sigma=6",
                 f"price {high:.6f}", f"{kf.black76_implied_volatility(high, 100.0, 100.0, 0.0, 1.0, 'c'):.15f}"))
    rows.append(("call F=110, K=100, r=0 priced at intrinsic value 10", "price 10",
                 f"{kf.black76_implied_volatility(10.0, 110.0, 100.0, 0.0, 1.0, 'c'):g}"))
    nan = kf.black76_implied_volatility_array(np.array([math.nan]), np.array([100.0]), np.array([100.0]), 0.0,
                                              np.array([1.0]), "c")[0]
    rows.append(("NaN price (array function)", "price NaN", f"{nan}"))
    below = kf.black76_implied_volatility_array(np.array([9.0]), np.array([110.0]), np.array([100.0]), 0.0,
                                                np.array([1.0]), "c")[0]
    rows.append(("call F=110, K=100, r=0 at 9, below intrinsic (array function)", "price 9", f"{below}"))
    return rows


# ---- The report --------------------------------------------------------------------------

def ulps(value: float) -> str:
    return f"{value / EPS:.2f}"


def write_report(normal: dict[str, np.ndarray], trips: dict[str, np.ndarray],
                 rows: list[tuple[str, str, str]], output: Path) -> None:
    x = normal["x"]
    regions = [("x <= -10 (tail series)", (x >= -37.5) & (x <= -10)),
               ("-10 < x <= -5.66", (x > -10) & (x <= -4 * math.sqrt(2))),
               ("-5.66 < x < 0", (x > -4 * math.sqrt(2)) & (x < 0)),
               ("0 < x <= 8.3", x > 0)]
    normal_table = "\n".join(
        f"| {name} | {mask.sum()} | {ulps(normal['kestrelfin'][mask].max())} | "
        f"{ulps(np.median(normal['kestrelfin'][mask]))} | {ulps(normal['scipy'][mask].max())} | "
        f"{ulps(np.median(normal['scipy'][mask]))} |"
        for name, mask in regions)
    sub = (x >= -38.0) & (x < -37.5)
    subnormal_note = (f"{normal['kestrelfin'][sub].max():.1e} for kestrelfin and "
                      f"{normal['scipy'][sub].max():.1e} for SciPy")

    def share(error: np.ndarray, bound: float) -> str:
        return f"{np.mean(error <= bound):.1%}"

    otm, itm = trips["otm_error"], trips["itm_error"]
    otm_price = trips["otm_price"]
    trip_table = "\n".join(
        f"| {name} | {e.size} | {share(e, 1e-12)} | {share(e, 1e-8)} | {share(e, 1e-4)} | {np.isnan(e).sum()} |"
        for name, e in (("out of the money, all", otm),
                        ("out of the money, price >= 1e-6", otm[otm_price >= 1e-6]),
                        ("out of the money, price >= 0.01", otm[otm_price >= 0.01]),
                        ("in the money, all", itm)))
    limit_table = "\n".join(f"| {case} | {given} | {result} |" for case, given, result in rows)

    text = f"""# Accuracy

Generated by `python scripts/accuracy_report.py` (kestrelfin {kf.__version__}, NumPy {np.__version__},
SciPy {scipy.__version__}, mpmath {mpmath.__version__}); every number and both plots come from that
run. Errors are given in units of 2^-52 = 2.22e-16 (one unit in the last place near 1).

## The normal distribution function

Every price and Greek is built on N(x), and the deep out-of-the-money prices
and put deltas depend on its far left tail, where computing 1 - N(-x) loses
every digit. kestrelfin evaluates N with W. J. Cody's rational approximations
of erfc for x > -10 and the asymptotic (Mills ratio) series of the normal
tail for x <= -10.

The module does not export N. It is read through the Black-76 delta with
r = 0, F = K = 1, t = 1 and sigma = 2|x|: the discount factor is exp(-0) = 1
and d1 is exactly |x| for the grid used (float32 values, so that every step
of forming d1 is exact; the script replays the steps to confirm it), so the
call delta is the module's N(|x|) and minus the put delta its N(-|x|), bit for
bit. Each value is compared with N at that very double, computed by mpmath
with 50 significant digits; `scipy.special.ndtr` is measured the same way.

![Relative error of N(x)](accuracy_norm_cdf.png)

| x | points | kestrelfin max | kestrelfin median | SciPy max | SciPy median |
|---|---|---|---|---|---|
{normal_table}

(relative error in units of 2^-52; the tail row stops at x = -37.5).

* For x <= -10 the tail series works on x itself and stays within a few
  units all the way down, where `ndtr` drifts to about a thousand.
* For -10 < x < 0 both libraries evaluate erfc(-x/sqrt(2)), and the one
  rounding in forming the argument x/sqrt(2) is magnified by the steepness
  of N: its relative condition number is about x^2 in the left tail, so the
  error grows to some x^2/2 units, about 50 at x = -10. That is the step at
  -10 in the plot, and no method working on x/sqrt(2) in doubles avoids it.
* Below x = -37.5 the true value is smaller than the smallest normal double
  and the result is subnormal, with fewer significant bits: the largest
  relative errors between x = -38 and -37.5 are {subnormal_note} (grey
  band). From about x = -38.5 down, N(x) underflows to 0, and from about
  x = 8.3 up it rounds to exactly 1.

## Implied volatility: what the solver can and cannot recover

The grid spans K/F from 0.25 to 4 and t from one day to ten years. At each
point the Black-76 price at sigma = {SIGMA:.0%} and r = {RATE:.0%} is computed
exactly with mpmath and rounded once to a double, then inverted with
`black76_implied_volatility_array` (one call for the calls and one for the
puts, merged with `numpy.where`). Colours show the relative error of the
volatility that comes back; the white and grey lines are where the price
itself is 1e-12 and 1e-6.

![Implied-volatility round trip](accuracy_implied_volatility.png)

| options | grid points | error <= 1e-12 | error <= 1e-8 | error <= 1e-4 | NaN |
|---|---|---|---|---|---|
{trip_table}

What this shows:

* Wherever the option has a price worth quoting, the volatility comes back
  within the solver's price tolerance divided by the vega: to about 1e-12
  near the money, less closely as the price shrinks.
* The solver stops when its model price is within (|P| + 1) * 1e-12 of the
  target, an absolute tolerance for prices below 1. Far out of the money,
  past the 1e-12 line, a price is matched by any volatility whose price is
  that small, and the volatility returned can be far from the one that made
  the price.
* In the money, the price is mostly intrinsic value; the time value, which
  alone depends on the volatility, is a small difference of large numbers
  and is lost to rounding when short expiries and far strikes make it tiny.
  A price that rounds to the intrinsic value (within 1e-14) gives 1e-6, and
  one that rounds just below it gives NaN in the array functions
  (ValueError in the scalar ones).
* Volatilities above 5 (500 %) are out of the solver's range: such prices
  come back as a value just below 5.

The limits, by live calls:

| case | input | implied volatility returned |
|---|---|---|
{limit_table}
"""
    (output / "accuracy.md").write_text(text)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=Path, default=ROOT / "docs", help="folder for the report")
    output = parser.parse_args().output
    output.mkdir(parents=True, exist_ok=True)

    normal = normal_accuracy()
    plot_normal(normal, output / "accuracy_norm_cdf.png")
    trips = round_trips()
    plot_round_trips(trips, output / "accuracy_implied_volatility.png")
    write_report(normal, trips, limits(), output)
    for name in ("accuracy.md", "accuracy_norm_cdf.png", "accuracy_implied_volatility.png"):
        print(f"wrote {output / name} ({(output / name).stat().st_size / 1024:.0f} KB)")


if __name__ == "__main__":
    main()
