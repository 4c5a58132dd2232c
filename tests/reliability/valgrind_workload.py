"""A small run of every function, for valgrind memcheck: each call variant
of test_leaks (successful calls and calls failing at every step of the
protocol, by position, by keyword and through the C API) a few times.

    PYTHONMALLOC=malloc valgrind --leak-check=full ... python tests/reliability/valgrind_workload.py

check_valgrind.py reads the report. Run by scripts/test-stages/reliability.sh.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import call_model as cm  # noqa: E402
from test_leaks import attempt, variants  # noqa: E402

import _kestrelfin as kf  # noqa: E402

REPEAT = int(sys.argv[1]) if len(sys.argv) > 1 else 3
calls = 0
for name in cm.NAMES:
    for _, args, kwargs in variants(name):
        for through_c_api in (False, True):
            for _ in range(REPEAT):
                attempt(getattr(kf, name), args, kwargs, through_c_api)
                calls += 1
print(f"{calls} calls")
