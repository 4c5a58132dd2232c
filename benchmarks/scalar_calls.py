"""What one scalar call costs, next to math.hypot and the single-call peers.

Two measurements, both best of several repeats:

* Fixed arguments, with timeit: `bs_delta`, `bsm_black_scholes_merton` and
  `black76_implied_volatility` against `math.hypot` with six floats (a
  built-in that also converts six Python floats and returns one), and the
  same three quantities from vollib and from QuantLib's formula functions,
  for context (the scalar target compares today's module with a git ref's:
  ref_worker.py).
* A Python loop over distinct options (the random set's first options), as
  a user pricing options one by one would write it: per-call time for the
  module, vollib, QuantLib's formula functions and QuantLib's instrument
  and engine objects (spot and volatility quotes updated for each option,
  then NPV()/delta()).

vollib and QuantLib are installed into the benchmark environment only; a
peer that cannot be imported is reported as unavailable.
"""

from __future__ import annotations

import math

from timing import best_per_call, loop_per_call


# The fixed arguments of the timeit comparison.
S, K, T, R, SIGMA, Q = 100.0, 95.0, 0.75, 0.05, 0.25, 0.02
F_IV, K_IV, T_IV, R_IV = 100.0, 100.0, 1.0, 0.05


def _all_solve(solvers, row) -> bool:
    for solve in solvers:
        try:
            solve(*row)
        except Exception:
            return False
    return True


def _quantlib_functions(ql):
    """User-level wrappers around QuantLib's Black formula functions, taking
    the module's argument lists."""
    call = ql.Option.Call

    def bsm_price(flag, S, K, t, r, sigma, q):
        forward = S * math.exp((r - q) * t)
        return ql.blackFormula(call, K, forward, sigma * math.sqrt(t), math.exp(-r * t))

    def bs_delta(flag, S, K, t, r, sigma):
        forward = S * math.exp(r * t)
        calculator = ql.BlackCalculator(ql.PlainVanillaPayoff(call, K), forward,
                                        sigma * math.sqrt(t), math.exp(-r * t))
        return calculator.delta(S)

    def black76_iv(price, F, K, r, t, flag):
        std_dev = ql.blackFormulaImpliedStdDev(call, K, F, price, math.exp(-r * t), 0.0,
                                               ql.nullDouble(), 1e-12, 100)
        return std_dev / math.sqrt(t)

    return bsm_price, bs_delta, black76_iv


class _QuantLibEngine:
    """One European call as QuantLib instrument + analytic engine; each call
    sets the spot and volatility quotes, then asks for NPV or delta (strike
    and expiry stay those of the instrument, 100 and one year)."""

    def __init__(self, ql):
        today = ql.Date(3, 6, 2024)
        ql.Settings.instance().evaluationDate = today
        day_count = ql.Actual365Fixed()
        self.spot = ql.SimpleQuote(S)
        self.vol = ql.SimpleQuote(SIGMA)
        rates = ql.YieldTermStructureHandle(ql.FlatForward(today, R, day_count))
        dividends = ql.YieldTermStructureHandle(ql.FlatForward(today, Q, day_count))
        vols = ql.BlackVolTermStructureHandle(
            ql.BlackConstantVol(today, ql.NullCalendar(), ql.QuoteHandle(self.vol), day_count))
        process = ql.BlackScholesMertonProcess(ql.QuoteHandle(self.spot), dividends, rates, vols)
        self.option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Call, 100.0),
                                       ql.EuropeanExercise(today + 365))
        self.option.setPricingEngine(ql.AnalyticEuropeanEngine(process))

    def price(self, S, sigma):
        self.spot.setValue(S)
        self.vol.setValue(sigma)
        return self.option.NPV()

    def delta(self, S, sigma):
        self.spot.setValue(S)
        self.vol.setValue(sigma)
        return self.option.delta()


def measure(kf, option_set, rate, dividend, repeats: int, loop_size: int) -> dict:
    """All scalar measurements; see the module docstring."""
    result: dict = {"peers": {}, "fixed": {}, "loop": {}}
    price_iv = kf.black76_black("c", F_IV, K_IV, T_IV, R_IV, 0.2)
    ours = {
        "bs_delta": ("f('c', S, K, T, R, SIGMA)", kf.bs_delta),
        "bsm_black_scholes_merton": ("f('c', S, K, T, R, SIGMA, Q)", kf.bsm_black_scholes_merton),
        "black76_implied_volatility": ("f(P, F, KI, RI, TI, 'c')", kf.black76_implied_volatility),
    }
    namespace = dict(S=S, K=K, T=T, R=R, SIGMA=SIGMA, Q=Q, P=price_iv, F=F_IV, KI=K_IV, RI=R_IV,
                     TI=T_IV)

    def fixed(stmt, fn):
        return best_per_call(stmt, dict(namespace, f=fn), repeats)

    result["fixed"]["hypot"] = best_per_call("f(S, K, T, R, SIGMA, Q)",
                                             dict(namespace, f=math.hypot), repeats)
    for name, (stmt, fn) in ours.items():
        result["fixed"][f"ours:{name}"] = fixed(stmt, fn)

    # Peers.
    peers: dict = {}
    try:
        import vollib
        import vollib.black.implied_volatility
        import vollib.black_scholes.greeks.analytical
        import vollib.black_scholes_merton
        from importlib.metadata import version

        peers["vollib"] = {
            "version": version("vollib"),
            "bs_delta": vollib.black_scholes.greeks.analytical.delta,
            "bsm_black_scholes_merton": vollib.black_scholes_merton.black_scholes_merton,
            "black76_implied_volatility": vollib.black.implied_volatility.implied_volatility,
        }
    except Exception as error:
        result["peers"]["vollib"] = f"unavailable: {type(error).__name__}: {error}"
    try:
        import QuantLib as ql

        bsm_price, bs_delta, black76_iv = _quantlib_functions(ql)
        peers["QuantLib"] = {
            "version": ql.__version__,
            "bs_delta": bs_delta,
            "bsm_black_scholes_merton": bsm_price,
            "black76_implied_volatility": black76_iv,
        }
        engine = _QuantLibEngine(ql)
    except Exception as error:
        engine = None
        result["peers"]["QuantLib"] = f"unavailable: {type(error).__name__}: {error}"
    for peer, table in peers.items():
        result["peers"][peer] = table["version"]
        for name, (stmt, _) in ours.items():
            result["fixed"][f"{peer}:{name}"] = fixed(stmt, table[name])

    # The loop over distinct options.
    m = min(loop_size, option_set.n)
    s_, k_, t_, v_ = (a[:m].tolist() for a in (option_set.S, option_set.K, option_set.t, option_set.sigma))
    prices = kf.black76_black_array("c", option_set.S[:m], option_set.K[:m], option_set.t[:m], rate,
                                    option_set.sigma[:m]).tolist()
    rows = {
        "bs_delta": [("c", a, b, c, rate, d) for a, b, c, d in zip(s_, k_, t_, v_)],
        "bsm_black_scholes_merton": [("c", a, b, c, rate, d, dividend) for a, b, c, d in zip(s_, k_, t_, v_)],
        "black76_implied_volatility": [(p, a, b, rate, c, "c") for p, a, b, c in zip(prices, s_, k_, t_)],
    }
    # A model price can round to just below intrinsic value, which the scalar
    # solver rejects with an exception; every contender gets the same rows,
    # those that none of them rejects.
    solvers = [kf.black76_implied_volatility] + [t["black76_implied_volatility"] for t in peers.values()]
    rows["black76_implied_volatility"] = [row for row in rows["black76_implied_volatility"]
                                          if _all_solve(solvers, row)]
    for name, (_, fn) in ours.items():
        result["loop"][f"ours:{name}"] = loop_per_call(fn, rows[name], repeats)
    for peer, table in peers.items():
        for name in ours:
            try:
                result["loop"][f"{peer}:{name}"] = loop_per_call(table[name], rows[name], repeats)
            except Exception as error:  # e.g. a peer rejecting an input it cannot solve
                result["loop"][f"{peer}:{name}"] = f"failed: {type(error).__name__}: {error}"
    if engine is not None:
        pairs = list(zip(s_, v_))
        result["loop"]["QuantLib engine:bsm_black_scholes_merton"] = loop_per_call(engine.price, pairs, repeats)
        result["loop"]["QuantLib engine:bsm_delta"] = loop_per_call(engine.delta, pairs, repeats)
    result["loop_size"] = m
    result["loop_size_iv"] = len(rows["black76_implied_volatility"])
    return result
