"""Writes the reference data of the "Let's Be Rational" solver's C++ tests
(tests/core/data/rational_*.txt) with mpmath, independently of the C++ code.

    python3.12 -m venv .venvs/tools && .venvs/tools/bin/pip install mpmath
    .venvs/tools/bin/python tests/core/make_rational_vectors.py

(scripts/common.sh: `make_venv tools 3.12 mpmath`.) Seeded: a rerun writes the
same files. Every reference value is computed at 60 significant digits or
more and checked against a second evaluation at a higher precision.

Files (one record per line, '#' comments, doubles as Python's repr, which
strtod reads back exactly):

  rational_round_trips.txt
      branch region model kind F_or_S K t r q price sigma_hi sigma_lo
      abs_price f_dpdf k_dpdk vega fragile
    sigma* = sigma_hi + sigma_lo is the exact implied volatility of the
    double `price` (Black-76 on F, or Black-Scholes-Merton on S with the
    exact forward S exp((r - q) t)), and the last five columns the pieces of
    the accuracy bound at sigma*: |P|, |F dP/dF|, |K dP/dK|, dP/dsigma.
    branch/region: where the solver's normalised problem ends up (lowest,
    lower, upper, highest, atm; I, II, III). fragile = 1 where the time
    value or the distance to the maximum is within rounding of the inputs
    (a NaN or 0 is then acceptable).
  rational_erfc.txt            u erfc(u) erfcx(u)
  rational_normal_ratio.txt    h a, a = Y'(h) = 1 + h Phi(h)/phi(h)
  rational_black.txt           region x s b cond, cond = (|x db/dx| + s db/ds)/b
  rational_inverse_normal.txt  p z, z = Phi^-1(p)
"""

from __future__ import annotations

import math
import os
import random
import sys

import mpmath as mp

DPS = 60
HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")

ETA = mp.mpf(-13)
TAU = 2 * mp.power(mp.mpf(2), mp.mpf(-52) / 16)
EPS = 2.0**-52


def black(x, s):
    """The normalised Black function of an out-of-the-money call (x < 0) or
    any option's call value: e^(x/2) Phi(x/s + s/2) - e^(-x/2) Phi(x/s - s/2)."""
    return mp.exp(x / 2) * mp.ncdf(x / s + s / 2) - mp.exp(-x / 2) * mp.ncdf(x / s - s / 2)


def vega(x, s):
    return mp.exp(-((x / s) ** 2 + (s / 2) ** 2) / 2) / mp.sqrt(2 * mp.pi)


def checked(f, *args):
    """f at DPS digits, confirmed at DPS + 30."""
    with mp.workdps(DPS):
        a = f(*args)
    with mp.workdps(DPS + 30):
        b = f(*args)
    if b != 0 and abs((a - b) / b) > mp.mpf(10) ** (-40):
        raise RuntimeError(f"{f.__name__}{args}: {a} != {b}")
    return b


def region(x, s):
    h, t = x / s, s / 2
    if h < ETA and h + t < ETA + TAU + mp.mpf(0.5):
        return "I"
    if t < TAU + abs(h) / 26:
        return "II"
    return "III"


def landmarks(x):
    """s_c, s_l, s_u of x < 0."""
    ax = -x
    sc = mp.sqrt(2 * ax)
    w = mp.exp(ax) * mp.erfc(mp.sqrt(ax))
    return sc, sc - mp.sqrt(mp.pi / 2) * (1 - w), sc + mp.sqrt(mp.pi / 2) * (1 + w)


def branch(x, s):
    if x == 0:
        return "atm"
    sc, sl, su = landmarks(x)
    if s < sl:
        return "lowest"
    if s < sc:
        return "lower"
    if s <= su:
        return "upper"
    return "highest"


def solve_s(x, beta):
    """s with black(x, s) = beta (x < 0, 0 < beta < e^(x/2)), to the working
    precision: bisection in ln s, then Newton on ln b."""
    # Below |x|/60, h < -60 and b < e^-1800: far below any double.
    lo, hi = mp.log(-x / 60), mp.log(mp.mpf(400))
    lb = mp.log(beta)
    for _ in range(80):
        mid = (lo + hi) / 2
        v = black(x, mp.exp(mid))
        if v > 0 and mp.log(v) < lb:
            lo = mid
        else:
            hi = mid
    s = mp.exp((lo + hi) / 2)
    for _ in range(40):
        b = black(x, s)
        step = (lb - mp.log(b)) * b / vega(x, s)
        s += step
        if abs(step) < s * mp.mpf(10) ** (-(mp.mp.dps - 20)):
            break
    else:
        raise RuntimeError(f"no convergence x={x} beta={beta}")
    return s


def solve_atm(beta):
    """s with erf(s/sqrt8) = beta."""
    return 2 * mp.sqrt(2) * mp.erfinv(beta)


# ---- round trips ---------------------------------------------------------------


class Case:
    def __init__(self, model, kind, F_or_S, K, t, r, q, price):
        self.model, self.kind = model, kind
        self.X, self.K, self.t, self.r, self.q, self.price = F_or_S, K, t, r, q, price


def exact_forward(case):
    X = mp.mpf(case.X)
    if case.model == "bsm":
        return X * mp.exp((mp.mpf(case.r) - mp.mpf(case.q)) * mp.mpf(case.t))
    return X


def reference(case):
    """sigma* and the bound's pieces, or None for sigma* where the price has
    no implied volatility (then fragile)."""
    F = exact_forward(case)
    K, t, r = mp.mpf(case.K), mp.mpf(case.t), mp.mpf(case.r)
    D = mp.exp(-r * t)
    theta = 1 if case.kind == "call" else -1
    Pu = mp.mpf(case.price) / D
    intrinsic = max(theta * (F - K), 0)
    upper = F if theta == 1 else K
    x_signed = mp.log(F / K)
    tv = Pu - intrinsic
    dist = upper - Pu
    # Rounding the inputs (and the undiscounting and the forward) moves the
    # intrinsic value and the maximum by a few eps of F, K and P.
    growth = 1 + abs(r * t) + abs((mp.mpf(case.r) - mp.mpf(case.q)) * t)
    fragile = (intrinsic > 0 and tv < 64 * EPS * (Pu + F + K) * growth) or dist < 64 * EPS * upper * growth
    if tv <= 0 or dist <= 0:
        return None, fragile, None, None
    root = mp.sqrt(F * K)
    beta = tv / root
    x = -abs(x_signed)
    s = solve_atm(beta) if x == 0 else solve_s(x, beta)
    sigma = s / mp.sqrt(t)
    d1 = x_signed / s + s / 2
    d2 = d1 - s
    pieces = (
        abs(mp.mpf(case.price)),
        D * F * mp.ncdf(theta * d1),
        D * K * mp.ncdf(theta * d2),
        D * F * mp.npdf(d1) * mp.sqrt(t),
    )
    return sigma, fragile, pieces, (x, s)


def make_case(rng, x_signed, beta_of, kind, model, allow_itm=True):
    """An option with ln(F/K) about x_signed whose out-of-the-money price over
    sqrt(F K) is beta_of(x) (x the exact -|ln(F/K)| of the doubles)."""
    if not abs(x_signed) <= 700:
        return None
    if model == "black76":
        r, q = 0.0, 0.0
    else:
        r = round(rng.uniform(-0.03, 0.12), 4)
        q = round(rng.uniform(-0.02, 0.08), 4) if model == "bsm" else 0.0
    t = float(mp.mpf(10) ** rng.uniform(-3, 1))
    big = abs(x_signed) > 500
    X = float(mp.mpf(10) ** rng.uniform(-1, 1 if big else 3))
    case = Case(model, kind, X, 1.0, t, r, q, 0.0)
    F = exact_forward(case)
    case.K = float(F * mp.exp(-x_signed))
    F = exact_forward(case)
    x_exact = mp.log(F / mp.mpf(case.K))
    x = -abs(x_exact)
    beta = beta_of(x)
    theta = 1 if kind == "call" else -1
    intrinsic = max(theta * (F - case.K), 0)
    root = mp.sqrt(F * case.K)
    Pu = intrinsic + root * beta
    if intrinsic > 0 and (root * beta < Pu * mp.mpf("1e-11") or not allow_itm):
        # the time value would drown in the intrinsic value: take the
        # out-of-the-money kind instead
        case.kind = "put" if kind == "call" else "call"
        Pu = root * beta
    case.price = float(Pu * mp.exp(-mp.mpf(case.r) * mp.mpf(case.t)))
    if not 1e-300 <= case.price < math.inf:
        return None
    return case


def beta_sampler(rng, which):
    def lowest(x):
        _, sl, _ = landmarks(x)
        bl = black(x, sl)
        lo = mp.log(mp.mpf("1e-298"))
        return mp.exp(lo + (mp.log(bl) - lo) * rng.random())

    def lower(x):
        sc, sl, _ = landmarks(x)
        a, b = black(x, sl), black(x, sc)
        return a + (b - a) * rng.random()

    def upper(x):
        sc, _, su = landmarks(x)
        a, b = black(x, sc), black(x, su)
        return a + (b - a) * rng.random()

    def highest(x):
        _, _, su = landmarks(x)
        bmax = mp.exp(x / 2)
        gap = bmax - black(x, su)
        lo = mp.log(bmax * mp.mpf("1e-13"))
        return bmax - mp.exp(lo + (mp.log(gap) - lo) * rng.random())

    return {"lowest": lowest, "lower": lower, "upper": upper, "highest": highest}[which]


def pick_model(rng):
    u = rng.random()
    return "black76" if u < 0.6 else ("black76r" if u < 0.8 else "bsm")


def round_trip_cases(rng):
    cases = []

    def add(case):
        if case is not None:  # None: a price below 1e-300
            cases.append(case)

    bands = [(1e-12, 1e-6), (1e-6, 1e-2), (1e-2, 0.5), (0.5, 3), (3, 20), (20, 100), (100, 190), (190, 580),
             (580, 700)]
    for lo, hi in bands:
        for which in ("lowest", "lower", "upper", "highest"):
            for _ in range(12):
                ax = math.exp(rng.uniform(math.log(lo), math.log(hi)))
                sign = rng.choice((-1, 1))
                add(make_case(rng, sign * ax, beta_sampler(rng, which), rng.choice(("call", "put")),
                              pick_model(rng)))
    # Each region of the Black function at the solution, by (h, t) inside it
    # and near its boundaries.
    def by_ht(h, t):
        x, s = 2 * h * t, 2 * t
        return lambda _x: black(_x, s * _x / x)  # the same h, t for the exact x

    for _ in range(40):  # Region I
        h = -13 - 10 ** rng.uniform(-3, 1.3)
        t = rng.uniform(0, min(-h + float(ETA + TAU) + 0.5, 0.9 * -h))
        add(make_case(rng, 2 * h * t * rng.choice((-1, 1)), by_ht(h, t), rng.choice(("call", "put")),
                pick_model(rng)))
    for _ in range(40):  # Region II
        h = -10 ** rng.uniform(-6, math.log10(13))
        t = (float(TAU) + abs(h) / 26) * 10 ** rng.uniform(-5, 0)
        add(make_case(rng, 2 * h * t * rng.choice((-1, 1)), by_ht(h, t), rng.choice(("call", "put")),
                pick_model(rng)))
    for _ in range(40):  # boundaries: h = eta, h + t = eta + tau + 1/2, t = tau + |h|/26
        edge = rng.randrange(3)
        d = rng.choice((-1, 1)) * 10 ** rng.uniform(-12, -2)
        if edge == 0:
            h, t = -13 + d, rng.uniform(0.05, 0.7)
        elif edge == 1:
            h = -13 - rng.uniform(0, 30)
            t = float(ETA + TAU) + 0.5 - h + d
            if t <= 0 or t >= -h:
                continue
        else:
            h = -rng.uniform(0.01, 13)
            t = float(TAU) + abs(h) / 26 + d
        add(make_case(rng, 2 * h * t * rng.choice((-1, 1)), by_ht(h, t), rng.choice(("call", "put")),
                pick_model(rng)))
    # The order-4 band: lowest beyond |x| = 190, highest beyond 580.
    for _ in range(20):
        add(make_case(rng, rng.choice((-1, 1)) * rng.uniform(190, 700), beta_sampler(rng, "lowest"),
                rng.choice(("call", "put")), pick_model(rng)))
        add(make_case(rng, rng.choice((-1, 1)) * rng.uniform(580, 700), beta_sampler(rng, "highest"),
                rng.choice(("call", "put")), pick_model(rng)))
    # At the money: beta from 1e-300 to 1 - 1e-16 (F = K exactly).
    for i in range(40):
        beta = mp.mpf(10) ** -rng.uniform(0, 300) if i % 2 else 1 - mp.mpf(10) ** -rng.uniform(0.05, 16)
        model = pick_model(rng)
        F = float(mp.mpf(10) ** rng.uniform(-2, 3))
        t = float(mp.mpf(10) ** rng.uniform(-3, 1))
        case = Case(model, rng.choice(("call", "put")), F, F, t, 0.0, 0.0, 0.0)
        if model != "black76":
            case.r = round(rng.uniform(-0.03, 0.12), 4)
            if model == "bsm":
                case.q = case.r  # so that the forward is S exactly
        Fx = exact_forward(case)
        case.price = float(beta * Fx * mp.exp(-mp.mpf(case.r) * mp.mpf(case.t)))
        add(case)
    # Deep in the money with little time value (ill-conditioned, and where
    # the time value drowns: fragile).
    for _ in range(20):
        F = float(mp.mpf(10) ** rng.uniform(0, 3))
        K = F * rng.uniform(0.3, 0.9)
        t = float(mp.mpf(10) ** rng.uniform(-2, 0.5))
        sigma = rng.uniform(0.01, 0.08)
        s = mp.mpf(sigma) * mp.sqrt(t)
        x = mp.log(mp.mpf(F) / mp.mpf(K))
        P = mp.sqrt(mp.mpf(F) * K) * black(x, s)
        add(Case("black76", "call", F, K, t, 0.0, 0.0, float(P)))
    return cases


def model_name(case):
    return "bsm" if case.model == "bsm" else "black76"


def write_round_trips(rng):
    lines = ["# branch region model kind F_or_S K t r q price sigma_hi sigma_lo abs_price f_dpdf k_dpdk vega fragile"]
    counts = {}
    for case in round_trip_cases(rng):
        with mp.workdps(DPS):
            sigma, fragile, pieces, xs = reference(case)
        if sigma is not None:
            with mp.workdps(DPS + 30):
                check, _, _, _ = reference(case)
            if abs(check - sigma) > sigma * mp.mpf(10) ** (-45):
                raise RuntimeError("sigma* not stable under precision")
            x, s = xs
            b, reg = branch(x, s), ("-" if x == 0 else region(x, s))
            hi = float(sigma)
            lo = float(sigma - mp.mpf(hi))
            tail = [repr(float(v)) for v in pieces]
        else:
            b, reg, hi, lo, tail = "none", "-", math.nan, 0.0, ["nan"] * 4
        counts[(b, reg)] = counts.get((b, reg), 0) + 1
        lines.append(" ".join([b, reg, model_name(case), case.kind, repr(case.X), repr(case.K), repr(case.t),
                               repr(case.r), repr(case.q), repr(case.price), repr(hi), repr(lo), *tail,
                               str(int(fragile))]))
    with open(os.path.join(DATA, "rational_round_trips.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    for key in sorted(counts):
        print("round trips", key, counts[key], file=sys.stderr)


# ---- special functions -----------------------------------------------------------


def write_erfc(rng):
    points = [0.0, 1e-300, 1e-20, 1.1e-16, 1e-8, 0.1, 0.46875, 4.0, 26.543, 27.5, 6.71e7, 1e10, 1e200]
    points += [math.nextafter(v, s) for v in (0.46875, 4.0) for s in (0.0, 10.0)]
    for lo, hi, n in ((0, 0.46875, 30), (0.46875, 4, 40), (4, 30, 40), (30, 1e8, 10)):
        points += [rng.uniform(lo, hi) for _ in range(n)]
    points += [-v for v in list(points)] + [-26.6287357137514, -26.62, -26.7, -10.0]
    lines = ["# u erfc(u) erfcx(u)"]
    for u in sorted(set(points)):
        U = mp.mpf(u)
        if abs(u) < 1e6:
            erfc = checked(mp.erfc, U)
            erfcx = checked(lambda v: mp.exp(v * v) * mp.erfc(v), U)
        elif u > 0:  # erfc underflows; erfcx by its asymptotic series
            erfc = mp.mpf(0)
            erfcx = (1 - 1 / (2 * U * U) + 3 / (4 * U**4)) / (U * mp.sqrt(mp.pi))
        else:
            erfc, erfcx = mp.mpf(2), mp.inf
        lines.append(f"{u!r} {float(erfc)!r} {float(erfcx)!r}")
    with open(os.path.join(DATA, "rational_erfc.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def write_normal_ratio(rng):
    points = [-0.46875, -4.0, -40.0, -1e-300, -1e-10, 0.0]
    points += [math.nextafter(v, s) for v in (-0.46875, -4.0) for s in (0.0, -10.0)]
    points += [-rng.uniform(0, 40) for _ in range(150)] + [-rng.uniform(0, 5) for _ in range(50)]
    lines = ["# h a"]
    for h in sorted(set(points)):
        H = mp.mpf(h)
        a = checked(lambda v: 1 + v * mp.ncdf(v) / mp.npdf(v), H)
        lines.append(f"{h!r} {float(a)!r}")
    with open(os.path.join(DATA, "rational_normal_ratio.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def write_black(rng):
    pairs = []
    for _ in range(60):  # Region I
        h = -13 - 10 ** rng.uniform(-2, 1.5)
        t = rng.uniform(0, min(-h + float(ETA + TAU) + 0.5, 0.95 * -h))
        pairs.append((h, t))
    for _ in range(60):  # Region II
        h = -10 ** rng.uniform(-8, math.log10(13))
        t = (float(TAU) + abs(h) / 26) * 10 ** rng.uniform(-8, 0)
        pairs.append((h, t))
    for _ in range(60):  # Region III
        h = -10 ** rng.uniform(-8, 1.6)
        t = (float(TAU) + abs(h) / 26) * 10 ** rng.uniform(0, 2)
        pairs.append((h, t))
    for _ in range(90):  # along each boundary, both sides
        edge = rng.randrange(3)
        d = rng.choice((-1, 1)) * 10 ** rng.uniform(-13, -3)
        if edge == 0:
            h, t = -13 + d, rng.uniform(0.01, 0.7)
        elif edge == 1:
            h = -13 - rng.uniform(0, 30)
            t = float(ETA + TAU) + 0.5 - h + d
        else:
            h = -rng.uniform(0.001, 13)
            t = float(TAU) + abs(h) / 26 + d
        pairs.append((h, t))
    lines = ["# region x s b cond"]
    for h, t in pairs:
        x, s = 2 * h * t, 2 * t
        if not (x < 0 < s):
            continue
        X, S = mp.mpf(x), mp.mpf(s)
        b = checked(black, X, S)
        if b < mp.mpf("1e-300"):
            continue
        with mp.workdps(DPS):
            dbdx = (mp.exp(X / 2) * mp.ncdf(X / S + S / 2) + mp.exp(-X / 2) * mp.ncdf(X / S - S / 2)) / 2
            cond = (abs(X * dbdx) + S * vega(X, S)) / b
        lines.append(f"{region(X, S)} {x!r} {s!r} {float(b)!r} {float(cond):.3g}")
    with open(os.path.join(DATA, "rational_black.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def inverse_normal(p):
    """Phi^-1(p) by Newton's method on ln Phi (1 - p is exact for a double p)."""
    if p > mp.mpf(0.5):
        return -inverse_normal(1 - p)
    z = -mp.sqrt(2 * mp.log(1 / p)) if p < mp.mpf("0.1") else mp.mpf(0)
    lp = mp.log(p)
    for _ in range(200):
        step = (lp - mp.log(mp.ncdf(z))) * mp.ncdf(z) / mp.npdf(z)
        z += step
        if abs(step) < mp.mpf(10) ** (-(mp.mp.dps - 5)) * max(1, abs(z)):
            return z
    raise RuntimeError(f"no convergence p={p}")


def write_inverse_normal(rng):
    points = [1e-300, 1e-200, 1e-100, 1e-16, 0.075, 0.5 - 0.425, 0.5, 0.5 + 0.425, 0.925, 1 - 1e-16]
    points += [float(mp.mpf(10) ** -rng.uniform(0, 300)) for _ in range(80)]
    points += [rng.uniform(0, 1) for _ in range(60)]
    points += [1 - float(mp.mpf(10) ** -rng.uniform(1, 16)) for _ in range(40)]
    points += [float(mp.exp(-mp.mpf(25))), math.nextafter(float(mp.exp(-mp.mpf(25))), 1)]  # sqrt(-ln p) = 5
    lines = ["# p z"]
    for p in sorted(set(points)):
        if not 0 < p < 1:
            continue
        z = checked(inverse_normal, mp.mpf(p))
        lines.append(f"{p!r} {float(z)!r}")
    with open(os.path.join(DATA, "rational_inverse_normal.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    os.makedirs(DATA, exist_ok=True)
    mp.mp.dps = DPS
    rng = random.Random(20240919)
    write_erfc(rng)
    write_normal_ratio(rng)
    write_black(rng)
    write_inverse_normal(rng)
    write_round_trips(rng)


if __name__ == "__main__":
    main()
