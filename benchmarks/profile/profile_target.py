"""One array function called repeatedly, for `perf record`: the workload
of the profiles quoted in benchmarks/README.md.

    python benchmarks/profile/profile_target.py SITE FUNCTION REPEATS

SITE is a directory holding an unstripped build of the module (unpack the
wheel built with `-C install.strip=false`; see the README), FUNCTION a price
or Greek name (called for calls on the random set, 10^6 options) or
`iv_lbr` / `iv_chain` (Black-76 implied volatility of calls on the lbr or
chain set). Prints the time per option.
"""

import sys
import time
from pathlib import Path

sys.path.insert(0, sys.argv[1])
sys.path.insert(1, str(Path(__file__).resolve().parent.parent))

import _kestrelfin as kf  # noqa: E402
import inputs  # noqa: E402


def main() -> None:
    what, repeats = sys.argv[2], int(sys.argv[3])
    n = 10**6
    if what.startswith("iv_"):
        s = inputs.lbr_set(n) if what == "iv_lbr" else inputs.chain_set(n)
        price = inputs.iv_prices(kf, "black76", "c", s)

        def call():
            return kf.black76_implied_volatility_array(price, s.S, s.K, s.rate, s.t, "c")
    else:
        s = inputs.random_set(n)
        fn = getattr(kf, what + "_array")

        def call():
            return fn("c", s.S, s.K, s.t, inputs.RATE, s.sigma)
    call()
    start = time.perf_counter()
    for _ in range(repeats):
        call()
    print(f"{what}: {(time.perf_counter() - start) / repeats / n * 1e9:.1f} ns per option ({kf.__file__})")


if __name__ == "__main__":
    main()
