"""Both modules call the exp and log that a program built on the running
system would call: the default version of each symbol in its C library (or a
preloaded library's, see test_kernel_paths.py). The wheel is linked to load
on older glibc too, so these are looked up when the module loads instead of
being bound at link time (linkage/system_exp_log.cpp).

The C library's old entries stay in glibc 2.29 and later as compatibility
symbols (log@GLIBC_2.2.5) and differ from the default ones in one visible
way: log of a negative number is +NaN there and -NaN in the default one. A
negative spot or forward sends a negative ratio to log in every model's d1,
and that NaN, sign included, is what gamma and vega return (through the
density of d1); had a module been bound to the old entry, its sign would
differ."""

import ctypes
import os
import subprocess
import sys

import numpy as np
import pytest

import _kestrelfin as kf
import kestrelfin
from shared import SINGLE_VALUES, bits, parameters

LIBM = ctypes.CDLL("libm.so.6")


def libm_function(symbol):
    function = ctypes.cast(symbol, ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_double))
    return lambda x: function(x)


def default_function(name):
    """What dlsym finds in libm, the version a program built here links."""
    return libm_function(getattr(LIBM, name))


def compatibility_function(name):
    """The libm's oldest entry of a symbol (GLIBC_2.2.5), or None if its
    libm has no second version of it (glibc before 2.29)."""
    dlvsym = ctypes.CDLL("libdl.so.2").dlvsym
    dlvsym.restype = ctypes.c_void_p
    dlvsym.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]
    old = dlvsym(LIBM._handle, name.encode(), b"GLIBC_2.2.5")
    new = ctypes.cast(getattr(LIBM, name), ctypes.c_void_p).value
    return None if old is None or old == new else libm_function(old)


# Each model's arguments after the flag, with a negative spot or forward.
ARGUMENTS = {"bs": (-100.0, 95.0, 0.5, 0.03, 0.25), "bsm": (-100.0, 95.0, 0.5, 0.03, 0.25, 0.01),
             "black76": (-100.0, 95.0, 0.5, 0.03, 0.25)}


def results(model, greek, flag):
    """By the scalar function, the array function and the package's ufunc
    (whose kernels send a negative lane to the libm's own log)."""
    arguments = ARGUMENTS[model]
    scalar = getattr(kf, f"{model}_{greek}")(flag, *arguments)
    names = parameters(f"{model}_{greek}")[1:]
    columns = [value if name in SINGLE_VALUES else np.full(19, value) for name, value in zip(names, arguments)]
    array = getattr(kf, f"{model}_{greek}_array")(flag, *columns)
    package = getattr(getattr(kestrelfin, model), greek)(np.array([flag] * 19), *columns)
    return scalar, array, package


@pytest.mark.parametrize("flag", ["c", "p"])
@pytest.mark.parametrize("greek", ["gamma", "vega"])
@pytest.mark.parametrize("model", sorted(ARGUMENTS))
def test_log_of_a_negative_ratio_is_the_default_logs_nan(model, greek, flag):
    expected = bits(default_function("log")(-100.0 / 95.0))
    assert np.isnan(float(np.uint64(expected).view(np.float64)))
    scalar, array, package = results(model, greek, flag)
    assert bits(scalar) == expected, f"{bits(scalar):#x} != {expected:#x}"
    assert (bits(array) == expected).all(), [hex(b) for b in set(bits(array).tolist())]
    assert (bits(package) == expected).all(), [hex(b) for b in set(bits(package).tolist())]


def test_the_compatibility_log_would_be_told_apart():
    """The check above can fail: where the old entry exists, its NaN is the
    other sign."""
    old = compatibility_function("log")
    if old is None:
        pytest.skip("this libm has one version of log")
    assert bits(old(-100.0 / 95.0)) != bits(default_function("log")(-100.0 / 95.0))


def test_exp_and_log_follow_the_libm_build_that_glibc_picks():
    """Under GLIBC_TUNABLES the loader picks glibc's exp and log built
    without FMA, which differ from the FMA build in the last bit of a few
    results in ten thousand: the modules' scalar results follow, as the
    interpreter's own math.exp does, so the lookup resolves glibc's choice
    rather than one fixed build."""
    child = r"""
import math, struct, sys
import numpy as np
import _kestrelfin as kf
rng = np.random.default_rng(11)
spots = rng.uniform(50, 150, 40000)
out = [struct.pack("<d", kf.bsm_black_scholes_merton("c", s, 100.0, 0.7, 0.03, 0.3, 0.01)) for s in spots]
out += [struct.pack("<d", math.exp(x)) for x in rng.uniform(-5, 5, 40000)]
sys.stdout.write(b"".join(out).hex())
"""
    here = os.path.dirname(os.path.abspath(__file__))

    def run(tunables):
        environment = {k: v for k, v in os.environ.items() if k != "GLIBC_TUNABLES"}
        if tunables:
            environment["GLIBC_TUNABLES"] = tunables
        completed = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=120,
                                   env=environment, cwd=here, check=True)
        values = np.frombuffer(bytes.fromhex(completed.stdout), dtype=np.float64)
        return values[:40000], values[40000:]

    with_fma, exp_with_fma = run(None)
    without_fma, exp_without_fma = run("glibc.cpu.hwcaps=-FMA,-AVX2")
    if (bits(exp_with_fma) == bits(exp_without_fma)).all():
        pytest.skip("glibc runs the same exp either way on this CPU")
    # The prices differ exactly where the libm's builds lead them apart,
    # and the child's prices are the parent's for its own build.
    assert (bits(with_fma) != bits(without_fma)).any()
    own = with_fma if "GLIBC_TUNABLES" not in os.environ else without_fma
    rng = np.random.default_rng(11)
    spots = rng.uniform(50, 150, 40000)
    here_prices = np.array([kf.bsm_black_scholes_merton("c", s, 100.0, 0.7, 0.03, 0.3, 0.01) for s in spots])
    assert (bits(here_prices) == bits(own)).all()
