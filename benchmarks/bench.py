"""The benchmark run: every contender, on the same inputs, in one run.

Started by benchmarks/run.sh, which prepares the environments, builds the
module's wheel and the floors libraries, and passes their locations here.

For the "random" and "chain" input sets (see inputs.py) and every array
function of the three models (price and implied volatility for calls and
puts, the fifteen Greeks for calls), and for Black-76 implied volatility on
the "lbr" set, it measures, as the best of several repeats in ns per option:

* ours: the module's `<name>_array`;
* the scalar floor: the same core operation in a plain C++ loop;
* the libm floor: only the exp/log calls that formula makes, replayed in
  order from a recording of one run of the formula;
* the vector floor: the same exp/log arguments through the lane-wise libm
  replica this process's check accepts, in lanes of the kernel's width;
* NumPy+SciPy (prices and Greeks);
* the package's own solver, kestrelfin.<model>.implied_volatility with
  method="rational" (implied volatility), next to ours, which is
  _kestrelfin's Newton solver (the package's method="newton");
* Let's Be Rational (lbriv, implied volatility; lbr_peer.py);
* py_vollib_vectorized (prices, first-order Greeks, implied volatility),
  which cannot share this environment: it runs first, in a subprocess with
  its own interpreter, on the same arrays (pvv_peer.py).

The module, the floors, NumPy+SciPy and lbriv run in this process and take
turns within each repeat (time_round_robin), so that load from elsewhere on
the machine falls on all of them alike.

It also checks what it times: ours and the scalar floor must agree bit for
bit, and, given a git ref to compare against (run.sh --against REF), ours
must give the bits of the module built from it (ref.sh, digests compared); the recording must have seen the
formula's libm calls (one log per option for a price or Greek); the peers'
values are compared with ours, and for implied volatility the share of
options recovered to 1e-10 in sigma is reported for every solver. Then it
measures the scalar call cost (scalar_calls.py), every scalar function
against the ref's (ref_worker.py, both in subprocesses, taking turns), the peak memory of one call on 10^7 options (memory_probe.py,
in subprocesses), and hands everything to report.py.
"""

from __future__ import annotations

import argparse
import hashlib
import importlib
import json
import math
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import inputs  # noqa: E402
import kestrelfin  # noqa: E402
import numpy_peer  # noqa: E402
import timing  # noqa: E402
from lbr_peer import LbrPeer  # noqa: E402
import report  # noqa: E402
import scalar_calls  # noqa: E402
from native_floors import Floors  # noqa: E402

IV_TOLERANCE = 1e-10


def table():
    """The module's functions by model: {model: {quantity: _kestrelfin name}},
    as kestrelfin._ufuncs exposes the function table."""
    from kestrelfin import _ufuncs

    functions: dict = {}
    for model, quantity, name, _, _ in _ufuncs.FUNCTIONS:
        functions.setdefault(model, {})[quantity] = name
    return functions


def cases(option_set=None):
    """(model, name, flag, kind) for every call measured on a set, kind
    being "price", "iv" or "greek"; on an implied-volatility-only set, the
    Black-76 implied volatilities."""
    if option_set is not None and option_set.iv_only:
        for flag in ("c", "p"):
            yield "black76", "black76_implied_volatility", flag, "iv"
        return
    for model in ("bs", "bsm", "black76"):
        names = table()[model]
        for flag in ("c", "p"):
            yield model, names["price"], flag, "price"
        for flag in ("c", "p"):
            yield model, names["implied_volatility"], flag, "iv"
        for quantity, name in names.items():
            if quantity not in ("price", "implied_volatility"):
                yield model, name, "c", "greek"


def time_round_robin(contenders: dict, n: int, repeats: int) -> tuple[dict, dict]:
    """The best time of each contender in ns per option, taking turns
    (timing.best_of), and the result of each one's first call."""
    best, first = timing.best_of(contenders, repeats, per=n)
    return {key: value * 1e9 for key, value in best.items()}, first


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and np.array_equal(a.view(np.int64), b.view(np.int64))


def agreement(values: np.ndarray, reference: np.ndarray) -> tuple[float, float]:
    """Share of options where a peer's value matches ours to 1e-6 relative
    (with an absolute floor of 1e-9 of the typical size, for values near 0),
    and the median of peer/ours, which tells a difference of convention (a
    constant or systematic factor) from one of accuracy."""
    ok = np.isfinite(reference) & (reference != 0)
    if not ok.any():
        return float("nan"), float("nan")
    scale = np.median(np.abs(reference[ok]))
    tol = 1e-6 * np.maximum(np.abs(reference), 1e-3 * scale)
    with np.errstate(invalid="ignore"):
        match = np.abs(values - reference) <= tol
    match |= np.isnan(values) & np.isnan(reference)
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        median_ratio = float(np.nanmedian(values[ok] / reference[ok]))
    return float(np.mean(match)), median_ratio


def recovered(iv: np.ndarray, sigma: np.ndarray) -> float:
    with np.errstate(invalid="ignore"):
        return float(np.mean(np.abs(iv - sigma) <= IV_TOLERANCE))


def wrap_check(kind: str, row: dict) -> str | None:
    """None when the recording is plausible for the formula, else why not.

    Every price and Greek takes exactly one logarithm per option and at
    least one exponential (a discount factor or the density); an implied
    volatility takes at most one logarithm per option (none for a rejected
    price) and at least one exponential (the undiscounting)."""
    logs, exps = row["logs_per_option"], row["exps_per_option"]
    if logs + exps == 0:
        return "no exp/log call recorded"
    if kind in ("price", "greek"):
        if logs != 1.0:
            return f"{logs:.3f} log calls per option, expected exactly 1"
        if not 1.0 <= exps <= 12.0:
            return f"{exps:.2f} exp calls per option, expected 1 to 12"
    elif not (0.5 <= logs <= 1.0 and exps >= 1.0):
        return f"{logs:.3f} logs and {exps:.2f} exps per option: implausible for the solver"
    return None


def all_iv_prices(kf, sets) -> dict:
    """(set, model, flag) -> the prices every solver inverts."""
    return {(s.name, model, flag): inputs.iv_prices(kf, model, flag, s)
            for s in sets for model, _, flag, kind in cases(s) if kind == "iv"}


def write_jobs(sets, iv_prices, jobdir: Path, repeats: int, iv_repeats: int) -> list:
    """The arrays of every case as .npy files and the case list as
    jobs.json, for the workers in other environments (pvv_peer.py,
    ref_worker.py). Returns the case list."""
    shutil.rmtree(jobdir, ignore_errors=True)
    jobdir.mkdir(parents=True)
    case_list = []
    for s in sets:
        for key in ("S", "K", "t", "sigma"):
            np.save(jobdir / f"{s.name}_{key}.npy", getattr(s, key))
        for model, name, flag, kind in cases(s):
            prices_file = None
            if kind == "iv":
                prices_file = f"{s.name}_iv_{model}_{flag}.npy"
                np.save(jobdir / prices_file, iv_prices[(s.name, model, flag)])
            case_list.append((s.name, name, flag, kind, prices_file))
    (jobdir / "jobs.json").write_text(json.dumps({
        "cases": case_list, "repeats": repeats, "iv_repeats": iv_repeats,
        "rate": inputs.RATE, "rates": {s.name: s.rate for s in sets}, "dividend": inputs.DIVIDEND}))
    return case_list


def run_pvv_worker(pvv_python: str | None, case_list: list, jobdir: Path, log) -> dict:
    """Times py_vollib_vectorized in its own environment (see pvv_peer.py),
    in a subprocess, on the same arrays written out as .npy files
    (write_jobs). Returns its results.json with "by_case": (set, name, flag)
    -> (ns per option, path of the first call's values)."""
    if not pvv_python:
        return {"import_error": "no environment given (--pvv-python)", "by_case": {}, "one_thread_by_case": {}}
    done = subprocess.run([pvv_python, str(HERE / "pvv_peer.py"), str(jobdir)], check=False,
                          stdout=sys.stdout, stderr=subprocess.PIPE, text=True)
    results_file = jobdir / "results.json"
    if done.returncode != 0 or not results_file.exists():
        last = (done.stderr.strip().splitlines() or ["no output"])[-1]
        log(f"py_vollib_vectorized worker failed: {last}")
        return {"import_error": f"worker failed: {last}", "by_case": {}, "one_thread_by_case": {}}
    results = json.loads(results_file.read_text())
    results["by_case"] = {
        (c[0], c[1], c[2]): (results["times"][str(i)], jobdir / f"values_{i}.npy")
        for i, c in enumerate(case_list) if str(i) in results["times"]}
    one_thread = results.get("times_one_thread", {})
    results["one_thread_by_case"] = {
        (c[0], c[1], c[2]): one_thread[str(i)] for i, c in enumerate(case_list) if str(i) in one_thread}
    return results


def digest(values: np.ndarray) -> str:
    return hashlib.sha256(np.ascontiguousarray(values).tobytes()).hexdigest()


def run_ref_digests(ref_python: str | None, jobdir: Path, log) -> dict:
    """The SHA-256 of every case's result from the compared ref's module
    (ref_worker.py digests), keyed "set|name|flag"; {} when no ref is
    compared."""
    if not ref_python:
        return {}
    done = subprocess.run([ref_python, str(HERE / "ref_worker.py"), "digests", str(jobdir)],
                          capture_output=True, text=True, check=False)
    if done.returncode != 0:
        log(f"ref digests failed: {(done.stderr.strip().splitlines() or ['no output'])[-1]}")
        return {}
    return json.loads(done.stdout)


def measure_arrays(kf, floors: Floors, lbr: LbrPeer, pvv: dict, ref_digests: dict, sets,
                   iv_prices: dict, repeats: int, iv_repeats: int, log) -> tuple[list[dict], dict]:
    """The rows of every case, and the memory floor of each set (ns per
    option to read four of its arrays and write one)."""
    rows = []
    memory_floor = {}
    q = inputs.DIVIDEND
    for s in sets:
        n = s.n
        r = s.rate
        out = np.empty(n)
        times, _ = time_round_robin({"stream": lambda: floors.stream(s.S, s.K, s.t, s.sigma, out)}, n,
                                    repeats)
        memory_floor[s.name] = times["stream"]
        for model, name, flag, kind in cases(s):
            row = {"set": s.name, "model": model, "name": name, "flag": flag, "kind": kind}
            reps = iv_repeats if kind == "iv" else repeats
            ours_fn = getattr(kf, name + "_array")
            if kind == "iv":
                price = iv_prices[(s.name, model, flag)]
                floor_arrays = (price, s.S, s.K, s.t)
                if model == "bs":
                    ours_args = (price, s.S, s.K, s.t, r, flag)
                elif model == "bsm":
                    ours_args = (price, s.S, s.K, s.t, r, q, flag)
                else:
                    ours_args = (price, s.S, s.K, r, s.t, flag)
            else:
                floor_arrays = (s.S, s.K, s.t, s.sigma)
                ours_args = (flag, s.S, s.K, s.t, r, s.sigma) + ((q,) if model == "bsm" else ())

            recorded_out = np.empty(n)
            recording = floors.record(name, flag, floor_arrays, r, q, recorded_out)
            row["exps_per_option"] = recording.exps_per_option
            row["logs_per_option"] = recording.logs_per_option
            lanes = floors.vector_lanes(name)
            row["vector_lanes"] = lanes

            contenders = {
                "ours": lambda: ours_fn(*ours_args),
                "floor": lambda: floors.run(name, flag, floor_arrays, r, q, out),
                "libm": lambda: floors.replay(recording),
                "vector": lambda: floors.vector_replay(recording, lanes),
            }
            if kind != "iv":
                numpy_fn = numpy_peer.FUNCTIONS[name]
                contenders["numpy"] = lambda: numpy_fn(flag, s.S, s.K, s.t, r, s.sigma, q)
            else:
                rational_fn = getattr(importlib.import_module(f"kestrelfin.{model}"), "implied_volatility")

                def rational_one_thread():
                    # One thread, as every peer it is compared with here
                    # (py_vollib_vectorized also at one numba thread).
                    with kestrelfin.num_threads(1):
                        return rational_fn(*ours_args, method="rational")

                contenders["rational"] = rational_one_thread
                contenders["rational_default"] = lambda: rational_fn(*ours_args, method="rational")
                if lbr.available:
                    lbr_call, lbr_sigma, row["lbr_forward"] = lbr.prepare(model, flag, price, s.S, s.K, s.t, r,
                                                                          q if model == "bsm" else 0.0)
                    contenders["lbr"] = lbr_call
            times, results = time_round_robin(contenders, n, reps)
            row.update(times)
            del recording
            if (s.name, name, flag) in pvv["by_case"]:
                row["pvv"], values_file = pvv["by_case"][(s.name, name, flag)]
                row["pvv_one_thread"] = pvv["one_thread_by_case"].get((s.name, name, flag))
                results["pvv"] = np.load(values_file)
                values_file.unlink()

            ours = results["ours"]
            row["floor_bits_equal"] = same_bits(ours, out)
            before = ref_digests.get(f"{s.name}|{name}|{flag}")
            row["ref_bits_equal"] = None if before is None else before == digest(ours)
            row["wrap_problem"] = wrap_check(kind, row)
            if not same_bits(recorded_out, out):
                row["wrap_problem"] = "the recording build computed different values"
            if kind == "iv":
                row.update(floors.iv_evaluations(name, flag, floor_arrays, r, q))
                row["ours_recovered"] = recovered(ours, s.sigma)
                row["rational_recovered"] = recovered(results["rational"], s.sigma)
                if "pvv" in results:
                    row["pvv_recovered"] = recovered(results["pvv"], s.sigma)
                if "lbr" in results:
                    row["lbr_recovered"] = recovered(lbr_sigma(results["lbr"]), s.sigma)
            else:
                row["kernel_exps_per_option"], row["kernel_logs_per_option"] = floors.kernel_lanes(
                    name, flag, floor_arrays, r, q, lanes)
                row["numpy_agree"], row["numpy_ratio"] = agreement(results["numpy"], ours)
                if "pvv" in results:
                    row["pvv_agree"], row["pvv_ratio"] = agreement(results["pvv"], ours)
            del results, ours
            rows.append(row)
            log(report.progress_line(row))
    return rows, memory_floor


def measure_scalar_against_ref(ref_python: str | None, rounds: int, repeats: int,
                                    log) -> dict:
    """Every scalar function, today's module against the compared ref's,
    each in a subprocess of its own environment (ref_worker.py scalar),
    taking turns for `rounds` rounds; the best per call of each. {} when no
    ref is compared."""
    if not ref_python:
        return {}
    best: dict = {"today": {}, "ref": {}}
    for _ in range(rounds):
        for who, python in (("today", sys.executable), ("ref", ref_python)):
            done = subprocess.run([python, str(HERE / "ref_worker.py"), "scalar", str(repeats)],
                                  capture_output=True, text=True, check=False)
            if done.returncode != 0:
                log(f"scalar worker ({who}) failed: "
                    f"{(done.stderr.strip().splitlines() or ['no output'])[-1]}")
                return {}
            for key, value in json.loads(done.stdout).items():
                best[who][key] = min(value, best[who].get(key, math.inf))
    return best


def measure_memory(n: int) -> dict:
    """Peak memory of one price call on n options, ours and NumPy+SciPy,
    each in a fresh interpreter."""
    result = {}
    for contender in ("ours", "numpy"):
        done = subprocess.run([sys.executable, str(HERE / "memory_probe.py"), contender, str(n)],
                              capture_output=True, text=True, check=False)
        if done.returncode != 0:
            result[contender] = {"error": done.stderr.strip().splitlines()[-1:] or ["failed"]}
        else:
            result[contender] = json.loads(done.stdout)
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10^5 options, fewer repeats")
    parser.add_argument("--floors", type=Path, required=True, help="directory of the floors libraries")
    parser.add_argument("--json", type=Path, required=True, help="where to write the raw results")
    parser.add_argument("--pvv-python", help="interpreter of the py_vollib_vectorized environment")
    parser.add_argument("--ref-python", help="interpreter of the environment built from the git ref compared against")
    parser.add_argument("--ref", default="no ref", help="the git ref it was built from")
    parser.add_argument("--markdown", type=Path, default=HERE / "RESULTS.md")
    parser.add_argument("--plot", type=Path, default=HERE / "results.png")
    args = parser.parse_args()

    started = time.time()
    n = 10**5 if args.quick else 10**6
    repeats, iv_repeats, scalar_repeats = (3, 2, 3) if args.quick else (5, 3, 5)
    memory_n = 10**6 if args.quick else 10**7

    def log(text: str) -> None:
        print(text, flush=True)

    import _kestrelfin as kf

    settings = {
        "mode": "quick" if args.quick else "full", "n": n, "repeats": repeats,
        "iv_repeats": iv_repeats, "scalar_repeats": scalar_repeats, "memory_n": memory_n,
        "rate": inputs.RATE, "dividend": inputs.DIVIDEND, "seed": inputs.SEED,
        "iv_tolerance": IV_TOLERANCE,
    }
    machine = report.describe_machine()
    log(f"kestrelfin benchmark, {settings['mode']} mode: {n:,} options per set, "
        f"best of {repeats} ({iv_repeats} for implied volatility)")
    floors = Floors(args.floors)
    settings["kernel_path"] = floors.kernel_path
    lbr = LbrPeer()
    sets = inputs.make_sets(n)
    iv_prices = all_iv_prices(kf, sets)
    jobdir = args.json.parent / "jobs"
    case_list = write_jobs(sets, iv_prices, jobdir, repeats, iv_repeats)

    log("py_vollib_vectorized, in its own environment (its numba functions compile first)")
    pvv = run_pvv_worker(args.pvv_python, case_list, jobdir, log)
    log(f"the module of {args.ref}: digests of every array result")
    ref_digests = run_ref_digests(args.ref_python, jobdir, log)
    log(report.progress_header())
    rows, memory_floor = measure_arrays(kf, floors, lbr, pvv, ref_digests, sets, iv_prices, repeats, iv_repeats,
                          log)
    shutil.rmtree(jobdir, ignore_errors=True)
    log("scalar calls")
    scalar = scalar_calls.measure(kf, sets[0], inputs.RATE, inputs.DIVIDEND, scalar_repeats,
                                  loop_size=2_000 if args.quick else 10_000)
    log(f"scalar calls, today against {args.ref}")
    ref_scalar = measure_scalar_against_ref(args.ref_python, 2 if args.quick else 5,
                                                      scalar_repeats, log)
    log(f"peak memory of one call on {memory_n:,} options")
    memory = measure_memory(memory_n)
    settings["seconds"] = time.time() - started
    machine["load_average_end"] = " ".join(f"{x:.2f}" for x in os.getloadavg())

    results = {
        "settings": settings, "machine": machine, "rows": rows, "memory_floor": memory_floor,
        "scalar": scalar,
        "memory": memory,
        "ref": {"commit": args.ref, "available": bool(args.ref_python),
                     "digests": len(ref_digests), "scalar": ref_scalar},
        "lbr": {"version": lbr.version, "error": lbr.error},
        "pvv": {key: pvv.get(key) for key in ("version", "import_error", "broken", "available",
                                               "load_seconds", "python", "numba")},
    }
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(results, indent=1, default=str))
    text = report.render(results, plot_name=args.plot.name)
    args.markdown.write_text(text)
    report.plot(results, args.plot)
    log("")
    log(report.console_summary(results))
    log(f"\nwrote {args.markdown} and {args.plot} ({settings['seconds']:.0f} s)")


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    main()
