"""Turns one run's measurements into the console table, benchmarks/RESULTS.md
and the plot benchmarks/results.png; also describes the machine.

Every figure written comes from the run's own measurements (the dict that
bench.py collects); targets are judged as ratios within that one run.
"""

from __future__ import annotations

import datetime
import math
import os
import platform
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SIMD_FLAGS = ("sse2", "sse4_2", "avx", "avx2", "fma", "avx512f", "avx512dq", "avx512bw", "avx512vl")

# The targets, as ratios from the same run.
NUMPY_TARGET = {"random": 2.0, "chain": 3.0}
LIBM_TARGET = 1.3
PVV_IV_TARGET = 3.0
HYPOT_TARGET = 2.5
VOLLIB_TARGET = 30.0
# "Exactly n doubles beyond its inputs": the peak may exceed 8n bytes by
# allocator rounding and a few pages of bookkeeping, no more.
MEMORY_SLACK = 0.01


# ---- machine -----------------------------------------------------------------

def _command(*argv: str) -> str:
    try:
        done = subprocess.run(argv, capture_output=True, text=True, check=False, cwd=ROOT)
        return done.stdout.strip()
    except OSError:
        return ""


def _version(package: str) -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(package)
    except PackageNotFoundError:
        return "not installed"


def describe_machine() -> dict:
    cpu, flags = "unknown", set()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "model name" and cpu == "unknown":
                cpu = value.strip()
            elif key.strip() == "flags" and not flags:
                flags = set(value.split())
    except OSError:
        pass
    import numpy

    try:
        from numpy._core._multiarray_umath import __cpu_baseline__, __cpu_dispatch__, __cpu_features__

        numpy_simd = (f"baseline {' '.join(__cpu_baseline__)}; dispatched here: "
                      + " ".join(f for f in __cpu_dispatch__ if __cpu_features__.get(f)))
    except ImportError:
        numpy_simd = "unknown"
    commit = _command("git", "rev-parse", "--short", "HEAD") or "unknown"
    if _command("git", "status", "--porcelain", "--", "core", "binding", "CMakeLists.txt"):
        commit += " with uncommitted changes in core/, binding/ or CMakeLists.txt"
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "cpu": cpu,
        "simd_flags": " ".join(f for f in SIMD_FLAGS if f in flags) or "none found",
        "cores": os.cpu_count(),
        "load_average": " ".join(f"{x:.2f}" for x in os.getloadavg()),
        "kernel": platform.release(),
        "glibc": os.confstr("CS_GNU_LIBC_VERSION") if hasattr(os, "confstr") else "unknown",
        "compiler": _command("g++", "--version").splitlines()[0] if _command("g++", "--version") else "unknown",
        "python": sys.version.split()[0],
        "numpy": numpy.__version__,
        "numpy_simd": numpy_simd,
        "scipy": _version("scipy"),
        "vollib": _version("vollib"),
        "QuantLib": _version("QuantLib"),
        "kestrelfin": f"{_version('kestrelfin')}, commit {commit}",
        "openblas_env": os.environ.get("KF_BENCH_OPENBLAS_NOTE", "not set"),
    }


# ---- formatting --------------------------------------------------------------

def ns(value) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    return f"{value:.1f}" if value < 100 else f"{value:.0f}"


def ratio(value) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    return f"{value:.2f}x"


def pct(value) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    return f"{100 * value:.2f} %"


def label(row) -> str:
    return row["name"] + ("" if row["kind"] == "greek" else f" ({row['flag']})")


def derived(row) -> dict:
    """Ratios of one row: ours/libm floor, peer/ours (> 1: ours faster)."""
    out = {"libm_ratio": row["ours"] / row["libm"] if row.get("libm") else None,
           "floor_ratio": row["ours"] / row["floor"] if row.get("floor") else None,
           "numpy_speedup": row["numpy"] / row["ours"] if row.get("numpy") else None,
           "pvv_speedup": row["pvv"] / row["ours"] if row.get("pvv") else None}
    return out


def check_text(row) -> str:
    notes = []
    if not row["floor_bits_equal"]:
        notes.append("NOT bit-identical to the scalar floor")
    if row.get("wrap_problem"):
        notes.append("wrap: " + row["wrap_problem"])
    if row["kind"] == "iv":
        notes.append(f"recovered: ours {pct(row['ours_recovered'])}"
                     + (f", pvv {pct(row['pvv_recovered'])}" if "pvv_recovered" in row else ""))
    else:
        for peer, key in (("NumPy", "numpy"), ("pvv", "pvv")):
            share = row.get(key + "_agree")
            if share is not None and share < 0.999:
                notes.append(f"{peer} agrees on {pct(share)} (median {peer}/ours "
                             f"{row[key + '_ratio']:.6g})")
    return "; ".join(notes) or "ok"


COLUMNS = ("function", "ours", "scalar floor", "libm floor", "NumPy+SciPy", "pvv", "ours/libm",
           "NumPy/ours", "pvv/ours", "exp+log/opt", "checks")


def table_cells(row) -> list[str]:
    d = derived(row)
    return [label(row), ns(row["ours"]), ns(row["floor"]), ns(row["libm"]), ns(row.get("numpy")),
            ns(row.get("pvv")), ratio(d["libm_ratio"]), ratio(d["numpy_speedup"]),
            ratio(d["pvv_speedup"]),
            f"{row['exps_per_option']:.2f}+{row['logs_per_option']:.2f}", check_text(row)]


def progress_header() -> str:
    return (f"{'set':7} {'function':34} {'ours':>7} {'floor':>7} {'libm':>7} {'numpy':>7} {'pvv':>7}"
            "   ns/option")


def progress_line(row) -> str:
    return (f"{row['set']:7} {label(row):34} {ns(row['ours']):>7} {ns(row['floor']):>7} "
            f"{ns(row['libm']):>7} {ns(row.get('numpy')):>7} {ns(row.get('pvv')):>7}"
            + ("" if check_text(row) == "ok" else f"   {check_text(row)}"))


def markdown_table(header, rows) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(lines)


# ---- targets -----------------------------------------------------------------

def targets(results) -> list[dict]:
    rows = results["rows"]
    out = []
    for set_name in ("random", "chain"):
        priced = [r for r in rows if r["set"] == set_name and r["kind"] != "iv"]
        if not priced:
            continue
        speedups = [(r["numpy"] / r["ours"], r) for r in priced]
        worst, worst_row = min(speedups, key=lambda x: x[0])
        geo = math.exp(sum(math.log(s) for s, _ in speedups) / len(speedups))
        floor_vs_numpy = math.exp(sum(math.log(r["numpy"] / r["floor"]) for r in priced) / len(priced))
        goal = NUMPY_TARGET[set_name]
        met = sum(s >= goal for s, _ in speedups)
        libm_vs_numpy = math.exp(sum(math.log(r["numpy"] / r["libm"]) for r in priced) / len(priced))
        out_of_reach = sum(r["libm"] * goal > r["numpy"] for r in priced)
        out.append({
            "target": f"price and every Greek >= {goal:g}x faster than NumPy+SciPy ({set_name})",
            "figure": (f"worst {worst:.2f}x ({label(worst_row)}), geometric mean {geo:.2f}x, "
                       f"{met}/{len(speedups)} functions meet it; NumPy/time of the plain scalar "
                       f"C++ loop {floor_vs_numpy:.2f}x, of the libm floor {libm_vs_numpy:.2f}x "
                       f"(geometric means); for {out_of_reach}/{len(priced)} functions the libm "
                       f"calls alone take more than 1/{goal:g} of NumPy's time"),
            "met": met == len(speedups)})
        ratios = [(r["ours"] / r["libm"], r) for r in priced]
        worst, worst_row = max(ratios, key=lambda x: x[0])
        geo = math.exp(sum(math.log(x) for x, _ in ratios) / len(ratios))
        met = sum(x <= LIBM_TARGET for x, _ in ratios)
        floor_vs_libm = math.exp(sum(math.log(r["floor"] / r["libm"]) for r in priced) / len(priced))
        out.append({
            "target": f"price and every Greek <= {LIBM_TARGET:g}x the libm floor ({set_name})",
            "figure": (f"worst {worst:.2f}x ({label(worst_row)}), geometric mean {geo:.2f}x, "
                       f"{met}/{len(ratios)} functions meet it; the plain scalar C++ loop takes "
                       f"{floor_vs_libm:.2f}x the libm floor (geometric mean)"),
            "met": met == len(ratios)})
        ivs = [r for r in rows if r["set"] == set_name and r["kind"] == "iv"]
        timed = [(r["pvv"] / r["ours"], r) for r in ivs if r.get("pvv")]
        if timed:
            worst, worst_row = min(timed, key=lambda x: x[0])
            share = ", ".join(f"{label(r)} ours {pct(r['ours_recovered'])} / pvv {pct(r.get('pvv_recovered'))}"
                              for r in ivs)
            floor_speedup = min(r["pvv"] / r["floor"] for r in ivs if r.get("pvv"))
            libm_speedup = min(r["pvv"] / r["libm"] for r in ivs if r.get("pvv"))
            out.append({
                "target": f"implied volatility >= {PVV_IV_TARGET:g}x faster than py_vollib_vectorized ({set_name})",
                "figure": (f"worst {worst:.2f}x ({label(worst_row)}); pvv/time of the plain scalar "
                           f"C++ loop of the solver: worst {floor_speedup:.2f}x, of its libm calls "
                           f"alone: worst {libm_speedup:.2f}x; recovered to 1e-10: {share}"),
                "met": all(x >= PVV_IV_TARGET for x, _ in timed)})
        else:
            out.append({"target": f"implied volatility >= {PVV_IV_TARGET:g}x faster than "
                                  f"py_vollib_vectorized ({set_name})",
                        "figure": "py_vollib_vectorized unavailable", "met": None})
    fixed = results["scalar"]["fixed"]
    names = ("bs_delta", "bsm_black_scholes_merton", "black76_implied_volatility")
    hyp = [(fixed[f"ours:{n}"] / fixed["hypot"], n) for n in names]
    worst, worst_name = max(hyp)
    out.append({"target": f"scalar call <= {HYPOT_TARGET:g}x math.hypot with six floats",
                "figure": ", ".join(f"{n} {x:.2f}x" for x, n in hyp)
                          + f" (hypot {fixed['hypot']:.1f} ns)",
                "met": worst <= HYPOT_TARGET})
    if "vollib:bs_delta" in fixed:
        vol = [(fixed[f"vollib:{n}"] / fixed[f"ours:{n}"], n) for n in names]
        out.append({"target": f"scalar call >= {VOLLIB_TARGET:g}x faster than vollib",
                    "figure": ", ".join(f"{n} {x:.1f}x" for x, n in vol),
                    "met": min(vol)[0] >= VOLLIB_TARGET})
    else:
        out.append({"target": f"scalar call >= {VOLLIB_TARGET:g}x faster than vollib",
                    "figure": "vollib unavailable", "met": None})
    mem = results["memory"]
    ours = mem.get("ours", {})
    if "peak_extra_doubles_per_option" in ours:
        per = ours["peak_extra_doubles_per_option"]
        numpy_part = mem.get("numpy", {})
        numpy_text = (f"; NumPy+SciPy {numpy_part['peak_extra_mib']:.0f} MiB "
                      f"({numpy_part['peak_extra_doubles_per_option']:.2f} doubles per option)"
                      if "peak_extra_mib" in numpy_part else "")
        out.append({"target": f"one array call on {ours['n']:,} options allocates n doubles beyond its inputs",
                    "figure": (f"peak {ours['peak_extra_mib']:.1f} MiB beyond the inputs = "
                               f"{per:.4f} doubles per option{numpy_text}"),
                    "met": abs(per - 1.0) <= MEMORY_SLACK})
    else:
        out.append({"target": "one array call allocates n doubles beyond its inputs",
                    "figure": f"measurement failed: {ours}", "met": None})
    return out


def verdict(met) -> str:
    return {True: "met", False: "MISSED", None: "not measured"}[met]


# ---- outputs -----------------------------------------------------------------

def scalar_tables(results) -> tuple[list, list]:
    scalar = results["scalar"]
    fixed, loop = scalar["fixed"], scalar["loop"]
    names = ("bs_delta", "bsm_black_scholes_merton", "black76_implied_volatility")
    fixed_rows = [["math.hypot (six floats)", ns(fixed["hypot"]), "1.00x", "-", "-", "-", "-"]]
    for n in names:
        ours = fixed[f"ours:{n}"]
        vol = fixed.get(f"vollib:{n}")
        qlib = fixed.get(f"QuantLib:{n}")
        fixed_rows.append([n, ns(ours), ratio(ours / fixed["hypot"]), ns(vol),
                           ratio(vol / ours) if vol else "-", ns(qlib), ratio(qlib / ours) if qlib else "-"])
    loop_rows = []
    for n in names + ("bsm_delta",):
        cells = [n]
        for who in ("ours", "vollib", "QuantLib", "QuantLib engine"):
            v = loop.get(f"{who}:{n}")
            cells.append(ns(v) if isinstance(v, float) else (v or "-"))
        loop_rows.append(cells)
    return fixed_rows, loop_rows


def render(results, plot_name: str) -> str:
    s, m = results["settings"], results["machine"]
    rows = results["rows"]
    parts = [
        "# kestrelfin benchmark results",
        "",
        f"Produced by `benchmarks/run.sh{' --quick' if s['mode'] == 'quick' else ''}` on {m['date']} "
        f"in {s['seconds']:.0f} s: {s['n']:,} options per input set, every figure the best of "
        f"{s['repeats']} calls ({s['iv_repeats']} for implied volatility), in ns per option. All "
        "contenders ran in one run on the same seeded inputs (py_vollib_vectorized in a "
        "subprocess with its own environment, everything else in one process); the raw numbers "
        "are in `build/benchmarks/results.json`.",
        "",
        "To refresh this file and the plot, run `benchmarks/run.sh` from the repository root "
        "(five to ten minutes on two cores, depending on what else runs; it builds the wheel "
        "and the floors and sets up its environments itself). `benchmarks/run.sh --quick` (10^5 options, fewer repeats) writes "
        "`build/benchmarks/RESULTS-quick.md` instead. Timings are wall-clock times on a machine "
        "that may be shared: the load average below says how busy it was, and every contender "
        "was timed in turn within each repeat so that load falls on all of them alike.",
        "",
        "## Machine",
        "",
        markdown_table(["", ""], [
            ["CPU", m["cpu"]], ["SIMD flags", m["simd_flags"]], ["cores", m["cores"]],
            ["load average (1, 5, 15 min) at start / end", f"{m['load_average']} / {m.get('load_average_end', '?')}"],
            ["kernel", m["kernel"]],
            ["glibc", m["glibc"]], ["compiler", m["compiler"]], ["Python", m["python"]],
            ["NumPy", m["numpy"]], ["NumPy SIMD", m["numpy_simd"]], ["SciPy", m["scipy"]],
            ["py_vollib_vectorized", f"{results['pvv'].get('version') or 'unavailable'} "
                                     f"(own environment: Python {results['pvv'].get('python') or '?'}, "
                                     f"numba {results['pvv'].get('numba') or '?'})"],
            ["vollib", m["vollib"]], ["QuantLib", m["QuantLib"]], ["kestrelfin", m["kestrelfin"]],
            ["OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE", m["openblas_env"]],
        ]),
        "",
        "## Targets",
        "",
        markdown_table(["target", "this run", "verdict"],
                       [[t["target"], t["figure"], verdict(t["met"])] for t in targets(results)]),
        "",
        "## Array functions",
        "",
        "Columns: *ours* is the module's `_array` function; *scalar floor* the same core operation "
        "in a plain C++ loop over the same arrays (built by the suite, `-O2 -ffp-contract=off`, "
        "output preallocated); *libm floor* only the `exp`/`log` calls that formula makes on these "
        "inputs, recorded by linking the formula with `-Wl,--wrap=exp,--wrap=log` and replayed in "
        "order; *NumPy+SciPy* the same formulas written with array arithmetic and "
        "`scipy.special.ndtr` (`benchmarks/numpy_peer.py`); *pvv* py_vollib_vectorized. Ratios "
        "above 1 in the last two ratio columns mean ours is faster. *exp+log/opt* is the number "
        "of libm calls per option the recording saw. *checks*: ours is compared bit for bit with "
        "the scalar floor; peers' values are compared with ours (share within 1e-6 relative, "
        "shown when below 99.9 %); for implied volatility, the share of options whose volatility "
        "each solver recovers to 1e-10.",
        "",
    ]
    for set_name in ("random", "chain"):
        set_rows = [r for r in rows if r["set"] == set_name]
        if not set_rows:
            continue
        parts += [f"### {set_name} set ({s['n']:,} options)", "",
                  markdown_table(COLUMNS, [table_cells(r) for r in set_rows]), ""]
    fixed_rows, loop_rows = scalar_tables(results)
    parts += [
        "## Scalar calls",
        "",
        "Fixed arguments, timeit, best of "
        f"{s['scalar_repeats']} (ns per call; peer/ours above 1 means ours is faster). QuantLib "
        "here is its formula functions (`blackFormula`, `BlackCalculator`, "
        "`blackFormulaImpliedStdDev` with accuracy 1e-12) behind a small Python wrapper that forms "
        "the forward and discount factor.",
        "",
        markdown_table(["call", "ours", "ours/hypot", "vollib", "vollib/ours", "QuantLib", "QuantLib/ours"],
                       fixed_rows),
        "",
        f"In a Python loop over {results['scalar']['loop_size']:,} distinct options "
        f"({results['scalar'].get('loop_size_iv', '?'):,} for implied volatility: those that no "
        "solver rejects) (ns per call, "
        "loop overhead included). *QuantLib engine* prices one instrument with "
        "`AnalyticEuropeanEngine`, setting its spot and volatility quotes before each `NPV()` / "
        "`delta()` (strike and expiry stay fixed).",
        "",
        markdown_table(["call", "ours", "vollib", "QuantLib", "QuantLib engine"], loop_rows),
        "",
        "## Peak memory",
        "",
    ]
    mem_rows = []
    for who, label_text in (("ours", "ours (`bsm_black_scholes_merton_array`)"),
                            ("numpy", "NumPy+SciPy (same price)")):
        d = results["memory"].get(who, {})
        if "peak_extra_mib" in d:
            mem_rows.append([label_text, f"{d['n']:,}", f"{d['inputs_mib']:.0f}",
                             f"{d['peak_extra_mib']:.1f}", f"{d['peak_extra_doubles_per_option']:.4f}",
                             f"{d['held_extra_mib']:.1f}"])
        else:
            mem_rows.append([label_text, "-", "-", f"failed: {d.get('error')}", "-", "-"])
    parts += [
        "One call in a fresh interpreter (`benchmarks/memory_probe.py`): the peak resident size "
        "during the call (VmHWM, reset just before it) minus the resident size before it, and what "
        "stays resident while the result is held.",
        "",
        markdown_table(["call", "options", "inputs MiB", "peak beyond inputs MiB",
                        "doubles per option", "held after MiB"], mem_rows),
        "",
        "## Peers",
        "",
    ]
    pvv = results["pvv"]
    if pvv.get("import_error"):
        parts.append(f"- py_vollib_vectorized could not be used: {pvv['import_error']}.")
    else:
        parts.append(f"- py_vollib_vectorized {pvv['version']}: measured for "
                     f"{', '.join(pvv['available'])}. It has no higher-order Greeks. It runs in an "
                     "environment of its own (`.venvs/bench-pvv`, `benchmarks/requirements-pvv.txt`), "
                     "timed in a subprocess of the same run on the same arrays (passed as .npy "
                     "files), best of the same number of calls, but not in turn with the other "
                     "contenders: it needs py_lets_be_rational 1.0.1, while vollib's dependency "
                     "lets_be_rational 1.1.x installs a different module of the same name.")
        for name, why in sorted((pvv.get("broken") or {}).items()):
            parts.append(f"  - `{name}`: not measurable, it raises `{why}`.")
        parts.append(f"  - Importing it and compiling its functions took {pvv['load_seconds']:.1f} s "
                     "(not included in any figure).")
    for peer, state in results["scalar"]["peers"].items():
        parts.append(f"- {peer}: {state}.")
    parts += [
        "- NumPy, SciPy, vollib and QuantLib are installed into the benchmark's environment "
        "(`.venvs/bench`, `benchmarks/requirements.txt`); no peer is a dependency of kestrelfin.",
        "",
        "## Plot",
        "",
        f"![ns per option by function, log scale]({plot_name})",
        "",
    ]
    return "\n".join(parts)


def console_summary(results) -> str:
    lines = []
    for set_name in ("random", "chain"):
        set_rows = [r for r in results["rows"] if r["set"] == set_name]
        if not set_rows:
            continue
        cells = [table_cells(r) for r in set_rows]
        widths = [max(len(COLUMNS[i]), *(len(c[i]) for c in cells)) for i in range(len(COLUMNS) - 1)]
        lines.append(f"{set_name} set ({results['settings']['n']:,} options), ns per option")
        lines.append("  ".join(h.ljust(w) if i == 0 else h.rjust(w)
                               for i, (h, w) in enumerate(zip(COLUMNS, widths))) + "  checks")
        for c in cells:
            lines.append("  ".join(x.ljust(w) if i == 0 else x.rjust(w)
                                   for i, (x, w) in enumerate(zip(c, widths))) + "  " + c[-1])
        lines.append("")
    fixed_rows, loop_rows = scalar_tables(results)
    lines.append("scalar calls, fixed arguments (ns per call)")
    for r in fixed_rows:
        lines.append("  " + " | ".join(str(x) for x in r))
    lines.append("scalar calls in a Python loop (ns per call): ours | vollib | QuantLib | QuantLib engine")
    for r in loop_rows:
        lines.append("  " + " | ".join(str(x) for x in r))
    lines.append("")
    lines.append("targets")
    for t in targets(results):
        lines.append(f"  [{verdict(t['met'])}] {t['target']}: {t['figure']}")
    return "\n".join(lines)


def plot(results, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    series = (("ours", "kestrelfin", "o", "C0", 7), ("numpy", "NumPy+SciPy", "s", "C1", 5),
              ("pvv", "py_vollib_vectorized", "^", "C2", 5), ("floor", "scalar C++ floor", "_", "k", 9),
              ("libm", "libm exp/log floor", "x", "C3", 5))
    sets = [n for n in ("random", "chain") if any(r["set"] == n for r in results["rows"])]
    fig, axes = plt.subplots(len(sets), 1, figsize=(18, 6.5 * len(sets)), squeeze=False)
    for ax, set_name in zip(axes[:, 0], sets):
        rows = [r for r in results["rows"] if r["set"] == set_name]
        x = list(range(len(rows)))
        for key, name, marker, color, size in series:
            pts = [(i, r[key]) for i, r in zip(x, rows) if r.get(key)]
            if pts:
                ax.plot([p[0] for p in pts], [p[1] for p in pts], linestyle="none", marker=marker,
                        color=color, markersize=size, label=name)
        ax.set_yscale("log")
        ax.set_xticks(x)
        ax.set_xticklabels([label(r) for r in rows], rotation=75, ha="right", fontsize=7.5)
        ax.set_xlim(-0.7, len(rows) - 0.3)
        ax.set_ylabel("ns per option (log scale)")
        ax.set_title(f"{set_name} set, {results['settings']['n']:,} options: time per option by function "
                     "(lower is faster)")
        ax.grid(True, which="both", axis="y", alpha=0.3)
        for i, r in enumerate(rows):
            if i and rows[i - 1]["model"] != r["model"]:
                ax.axvline(i - 0.5, color="grey", linewidth=0.8)
        ax.legend(loc="upper left", fontsize=8, ncol=5)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
