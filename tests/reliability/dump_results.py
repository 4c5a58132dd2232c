"""Writes a fixed set of results of every function to .npy files, so that two
builds of the module (the sanitizer build and the normal wheel) can be
compared byte for byte.

    python tests/reliability/dump_results.py INPUTS.npz OUTPUT_FOLDER

The inputs are made (seeded) and saved to INPUTS.npz when that file does not
exist yet, and read from it otherwise, so both builds see the same bits.
Every array function is called on them with calls and puts and several
rates; every scalar function on their first 300 elements, one call each
(a solver failure stands as the quiet NaN).
"""

import math
import os
import struct
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import call_model as cm  # noqa: E402
import _kestrelfin as kf  # noqa: E402

N = 4000
SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan, 5e-324, 2.2250738585072014e-308, 1e-300,
           1e300, -1.0, struct.unpack("<d", struct.pack("<Q", 0x7FF800000000BEEF))[0]]
RATES = [(0.05, 0.02), (-0.0, 0.0), (-0.03, 0.07), (math.nan, 0.01), (math.inf, -math.inf), (1e-300, 5e-324)]


def make_inputs():
    rng = np.random.default_rng(20240601)
    columns = {"S": rng.uniform(20, 250, N), "F": rng.uniform(20, 250, N), "K": rng.uniform(20, 250, N),
               "t": rng.uniform(0.005, 3, N), "sigma": rng.uniform(0.02, 1.5, N)}
    for p, column in columns.items():
        spoil = rng.random(N) < 0.05
        column[spoil] = rng.choice(SPECIAL, int(spoil.sum()))
    # Prices from known volatilities (so the solver succeeds), some spoiled.
    price = kf.bs_black_scholes_array("c", columns["S"], columns["K"], columns["t"], 0.02, columns["sigma"])
    price[::9] = rng.uniform(-5, 300, price[::9].size)
    columns["price"] = price
    return columns


def main():
    inputs_path, out = sys.argv[1], sys.argv[2]
    if not os.path.exists(inputs_path):
        os.makedirs(os.path.dirname(os.path.abspath(inputs_path)), exist_ok=True)
        np.savez(inputs_path, **make_inputs())
    columns = dict(np.load(inputs_path))
    os.makedirs(out, exist_ok=True)
    files = 0
    for name in cm.NAMES:
        for flag in ("c", "p"):
            for k, (r, q) in enumerate(RATES):
                singles = {"flag": flag, "r": r, "q": q}
                if cm.is_array_function(name):
                    args = [columns[p] if p in columns else singles[p] for p in cm.parameters(name)]
                    result = getattr(kf, name)(*args)
                else:
                    rows = [[float(columns[p][i]) if p in columns else singles[p] for p in cm.parameters(name)]
                            for i in range(300)]
                    bits = []
                    for row in rows:
                        try:
                            bits.append(cm.bits(getattr(kf, name)(*row)))
                        except (ValueError, RuntimeError):
                            bits.append(cm.QNAN_BITS)
                    result = np.array(bits, dtype=np.uint64)
                np.save(os.path.join(out, f"{name}-{flag}-{k}.npy"), result)
                files += 1
    print(f"{files} result files written to {out}")


if __name__ == "__main__":
    main()
