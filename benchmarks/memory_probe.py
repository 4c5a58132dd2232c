"""Peak memory of one array call, measured in a process of its own.

Run as `python memory_probe.py CONTENDER N`, CONTENDER being "ours" (the
module's bsm_black_scholes_merton_array) or "numpy" (the NumPy+SciPy
version of the same price). Prints one JSON object.

The inputs (four arrays of N doubles) are built in place, so making them
leaves no freed temporaries behind. Both contenders are warmed up on a few
options first, so that lazy imports and first-call set-up are not counted.
Then the kernel's peak-RSS mark is reset (writing 5 to
/proc/self/clear_refs), the call is made once, and the new peak (VmHWM)
minus the resident size just before the call is what the call needed
beyond its inputs; the resident size after the call, with the result still
held, shows what it kept.
"""

from __future__ import annotations

import gc
import json
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

RATE, DIVIDEND = 0.03, 0.015


def status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def filled(n: int, rng, low: float, high: float) -> np.ndarray:
    out = np.empty(n)
    rng.random(out=out)
    out *= high - low
    out += low
    return out


def main() -> None:
    contender, n = sys.argv[1], int(sys.argv[2])
    if contender == "ours":
        import _kestrelfin as kf

        fn = kf.bsm_black_scholes_merton_array
    else:
        import numpy_peer

        fn = numpy_peer.FUNCTIONS["bsm_black_scholes_merton"]
    rng = np.random.default_rng(7)
    S = filled(n, rng, 20.0, 500.0)
    K = filled(n, rng, 20.0, 500.0)
    t = filled(n, rng, 0.01, 5.0)
    sigma = filled(n, rng, 0.05, 1.5)
    fn("c", S[:4].copy(), K[:4].copy(), t[:4].copy(), RATE, sigma[:4].copy(), DIVIDEND)
    gc.collect()

    before = status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    result = fn("c", S, K, t, RATE, sigma, DIVIDEND)
    peak = status_kib("VmHWM")
    after = status_kib("VmRSS")
    assert result.shape == (n,)
    inputs_bytes = 4 * 8 * n
    print(json.dumps({
        "contender": contender,
        "n": n,
        "inputs_mib": inputs_bytes / 2**20,
        "rss_before_mib": before / 1024,
        "peak_extra_mib": (peak - before) / 1024,
        "held_extra_mib": (after - before) / 1024,
        "peak_extra_doubles_per_option": (peak - before) * 1024 / (8 * n),
    }))


if __name__ == "__main__":
    main()
