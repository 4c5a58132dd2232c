"""Which kernel path a process takes, and that its results are the scalar
functions' whichever it takes.

A process whose glibc runs exp and log built with FMA (the CPU has AVX2 and
FMA) takes the AVX2 lanes with that build's replica; one whose glibc runs
the build without FMA (GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA,-AVX2, or a CPU
without them) takes the SSE2 lanes with that build's replica. A process
whose exp and log are neither (a stand-in library, tests/core/standin_libm.c,
preloaded: glibc's results with the last bit flipped for one input in 64)
must call them lane by lane, and every element must still equal the scalar
function's result, which calls them too; had a replica been used, the
elements whose exp or log the stand-in flips would differ."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

STANDIN_SOURCE = Path(__file__).resolve().parents[1] / "core" / "standin_libm.c"

TUNABLES_WITHOUT_FMA = "glibc.cpu.hwcaps=-FMA,-AVX2"


def cpu_has_avx2_and_fma():
    flags = next(line for line in Path("/proc/cpuinfo").read_text().splitlines() if line.startswith("flags"))
    return {"avx2", "fma"} <= set(flags.split(":", 1)[1].split())


def kernel_path_of(environment):
    completed = subprocess.run([sys.executable, "-c", "import kestrelfin._ufuncs as u; print(u.kernel_path())"],
                               capture_output=True, text=True, timeout=120, env=environment, check=True)
    return completed.stdout.strip()


def test_the_path_follows_the_build_of_glibcs_exp_and_log():
    environment = {k: v for k, v in os.environ.items() if k != "GLIBC_TUNABLES"}
    assert kernel_path_of(environment) == ("avx2/fused" if cpu_has_avx2_and_fma() else "sse2/unfused")
    assert kernel_path_of(dict(environment, GLIBC_TUNABLES=TUNABLES_WITHOUT_FMA)) == "sse2/unfused"


CHILD = r"""
import math, struct, sys
import numpy as np
import _kestrelfin as kf
import kestrelfin._ufuncs
from shared import array_parameters, bits, parameters

assert kestrelfin._ufuncs.kernel_path() == "sse2/libm", kestrelfin._ufuncs.kernel_path()

# The stand-in is in force: for some inputs exp differs in the last bit from
# the real library's result, which the parent process passes in.
real = dict(zip(map(float.fromhex, sys.argv[1].split(",")), map(int, sys.argv[2].split(","))))
assert any(bits(math.exp(x)) != b for x, b in real.items()), "the stand-in libm is not in force"

rng = np.random.default_rng(5)
n = 2003
columns = {"S": rng.uniform(40, 250, n), "F": rng.uniform(40, 250, n), "K": rng.uniform(40, 250, n),
           "t": rng.uniform(0.01, 4, n), "sigma": rng.uniform(0.05, 1.2, n)}
columns["price"] = kf.bs_black_scholes_array("c", columns["S"], columns["K"], columns["t"], 0.02, columns["sigma"])
singles = {"r": 0.03, "q": 0.01}
checked = 0
for name in kf.__all__[:-1]:
    if not name.endswith("_array"):
        continue
    scalar = getattr(kf, name[:-len("_array")])
    for flag in ("c", "p"):
        args = [flag if p == "flag" else columns[p] if p in array_parameters(name) else singles[p]
                for p in parameters(name)]
        result = getattr(kf, name)(*args)
        for i in range(n):
            element = [a[i] if isinstance(a, np.ndarray) else a for a in args]
            try:
                expected = scalar(*element)
            except (ValueError, RuntimeError):
                expected = float("nan")
            assert bits(result[i]) == bits(expected), (name, flag, i, result[i], expected)
        checked += n
print(checked)
"""


@pytest.fixture(scope="module")
def standin_library(tmp_path_factory):
    compiler = shutil.which("gcc") or shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler to build the stand-in libm")
    library = tmp_path_factory.mktemp("standin") / "libstandin_libm.so"
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", str(STANDIN_SOURCE), "-o", str(library), "-ldl"],
                   check=True)
    return library


def test_array_functions_call_a_foreign_libm_lane_by_lane(standin_library):
    import math
    import numpy as np
    from shared import bits

    # Inputs whose exp the stand-in flips (one in 64): their real results.
    probes = np.random.default_rng(9).uniform(-20, 5, 2000)
    real = [(float(x).hex(), bits(math.exp(float(x)))) for x in probes]
    # After whatever the run already preloads (the sanitizer runtimes must
    # come first in the library list).
    preload = ":".join(filter(None, [os.environ.get("LD_PRELOAD"), str(standin_library)]))
    environment = dict(os.environ, LD_PRELOAD=preload)
    completed = subprocess.run(
        [sys.executable, "-c", CHILD, ",".join(x for x, _ in real), ",".join(str(b) for _, b in real)],
        capture_output=True, text=True, timeout=600, env=environment, cwd=Path(__file__).resolve().parent)
    assert completed.returncode == 0, completed.stderr[-3000:]
    assert int(completed.stdout) == 51 * 2 * 2003
