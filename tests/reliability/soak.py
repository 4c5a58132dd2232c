"""Memory stays flat over a long run of calls, failing calls included.

    python tests/reliability/soak.py [--scalar-calls N] [--array-calls N]

Runs every scalar function in turn (successful calls and calls failing at
each step of the protocol) N times in all, then the array functions the same
way on arrays of 2,000 elements, and compares the process's resident memory
(/proc/self/statm) and the interpreter's count of allocated blocks after a
warm-up with their values at the end. Exits non-zero when either grew by
more than its tolerance. Run by scripts/test-stages/reliability.sh.
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import call_model as cm  # noqa: E402
from test_leaks import blocks_and_resident, mixed_calls, run_mixed  # noqa: E402

MIB = 2 ** 20


def soak(label, calls, total, resident_tolerance):
    run_mixed(calls, max(1, total // len(calls) // 20))  # warm-up: caches, free lists, arenas
    blocks, resident = blocks_and_resident()
    rounds = total // len(calls) + 1
    start = time.perf_counter()
    run_mixed(calls, rounds)
    elapsed = time.perf_counter() - start
    blocks_after, resident_after = blocks_and_resident()
    made = rounds * len(calls)
    grew_blocks, grew_resident = blocks_after - blocks, resident_after - resident
    print(f"{label}: {made} calls in {elapsed:.1f} s; allocated blocks {blocks} -> {blocks_after} "
          f"({grew_blocks:+d}); resident {resident / MIB:.1f} MiB -> {resident_after / MIB:.1f} MiB "
          f"({grew_resident / MIB:+.2f} MiB, tolerance {resident_tolerance / MIB:.0f} MiB)")
    return grew_blocks < 1000 and grew_resident < resident_tolerance


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scalar-calls", type=int, default=1_000_000)
    parser.add_argument("--array-calls", type=int, default=10_000)
    options = parser.parse_args()
    scalar = mixed_calls([n for n in cm.NAMES if not cm.is_array_function(n)], 5)
    arrays = mixed_calls([n for n in cm.NAMES if cm.is_array_function(n)], 2000)
    ok = soak("scalar calls", scalar, options.scalar_calls, 4 * MIB)
    # A leaked result would be 16 kB a call.
    ok = soak("array calls", arrays, options.array_calls, 8 * MIB) and ok
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
