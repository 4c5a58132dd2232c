"""Compares the result files two builds wrote with dump_results.py.

    python tests/reliability/compare_results.py FOLDER_A FOLDER_B

Every element must have the same bits in both, with one allowance: where
both builds give NaN, the NaN's sign and payload may differ (which of two
NaN operands an instruction passes on is the compiler's choice of operand
order; the sanitizer build orders some commutative operations differently).
Such elements are counted and reported. Exits non-zero on any other
difference, or when the folders do not hold the same files.
"""

import os
import sys

import numpy as np


def main():
    a_dir, b_dir = sys.argv[1], sys.argv[2]
    names = sorted(f for f in os.listdir(a_dir) if f.endswith(".npy"))
    assert names and names == sorted(f for f in os.listdir(b_dir) if f.endswith(".npy")), "different files"
    elements = identical = nan_only = 0
    failures = []
    for name in names:
        a, b = np.load(os.path.join(a_dir, name)), np.load(os.path.join(b_dir, name))
        a_bits, b_bits = a.view(np.uint64), b.view(np.uint64)
        if a_bits.shape != b_bits.shape:
            failures.append(f"{name}: shapes {a_bits.shape} and {b_bits.shape}")
            continue
        elements += a_bits.size
        differ = a_bits != b_bits
        both_nan = np.isnan(a_bits.view(np.float64)) & np.isnan(b_bits.view(np.float64))
        identical += int((~differ).sum())
        nan_only += int((differ & both_nan).sum())
        wrong = np.flatnonzero(differ & ~both_nan)
        if wrong.size:
            failures.append(f"{name}: {wrong.size} elements differ, first at {wrong[0]}: "
                            f"{a_bits[wrong[0]]:#018x} and {b_bits[wrong[0]]:#018x}")
    print(f"{len(names)} files, {elements} results: {identical} bit-identical, {nan_only} NaN in both builds "
          f"with another sign or payload, {elements - identical - nan_only} different")
    for failure in failures:
        print("DIFFERENT:", failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
