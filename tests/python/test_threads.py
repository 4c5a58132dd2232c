"""Several Python threads calling the module at once.

The module runs every call under the interpreter lock, but the lock passes
between threads inside a call whenever an argument's __float__ runs Python
code: the other threads then call the module on the same arrays while the
first call holds its read borrows. Results must be exactly the
single-threaded ones, no borrow may be left behind, and the process-wide
objects created lazily (the module object, the PanicException class, the
result owner's type, the borrow registry) must exist once.
"""

import json
import subprocess
import sys
import threading
import time

import numpy as np

import _kestrelfin as kf
import call_model as cm

THREADS = 4


class YieldingNumber:
    """A number whose conversion gives up the interpreter lock, so that other
    threads run in the middle of the call."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


def shared_inputs(n=129):
    rng = np.random.default_rng(2024)
    arrays = {"S": rng.uniform(50, 150, n), "F": rng.uniform(50, 150, n), "K": rng.uniform(50, 150, n),
              "t": rng.uniform(0.01, 2, n), "sigma": rng.uniform(0.05, 0.8, n)}
    arrays["price"] = kf.bs_black_scholes_array("p", arrays["S"], arrays["K"], arrays["t"], 0.02, arrays["sigma"])
    arrays["price"][::7] = -1.0  # solver failures too
    return arrays


def jobs(arrays):
    """Every function, called on the shared arrays (array functions) or on
    elements of them (scalar functions), with plain and yielding rates."""
    out = []
    for name in cm.NAMES:
        for rate in (0.02, YieldingNumber(0.03)):
            singles = {"flag": "p", "r": rate, "q": 0.01}
            if cm.is_array_function(name):
                args = [arrays[p] if p in arrays else singles[p] for p in cm.parameters(name)]
                out.append((getattr(kf, name), args))
            else:
                for i in (0, 3, 7):
                    args = [float(arrays[p][i]) if p in arrays else singles[p] for p in cm.parameters(name)]
                    out.append((getattr(kf, name), args))
    return out


def outcome(function, args):
    try:
        result = function(*args)
    except (ValueError, RuntimeError) as error:
        return type(error).__name__, str(error)
    if isinstance(result, np.ndarray):
        return "array", result.view(np.uint64).tobytes()
    return "float", cm.bits(result)


def test_threads_get_the_single_threaded_results():
    arrays = shared_inputs()
    work = jobs(arrays)
    expected = [outcome(f, args) for f, args in work]
    snapshot = {p: a.tobytes() for p, a in arrays.items()}
    barrier = threading.Barrier(THREADS)
    failures = []

    def worker(index):
        order = list(range(len(work)))
        order = order[index::THREADS] + order  # each thread starts elsewhere
        barrier.wait()
        for _ in range(3):
            for k in order:
                try:
                    got = outcome(*work[k])
                except BaseException as error:  # noqa: BLE001 - reported below
                    got = ("raised", repr(error))
                if got != expected[k]:
                    failures.append((index, work[k][0].__name__, got, expected[k]))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert failures == []
    assert {p: a.tobytes() for p, a in arrays.items()} == snapshot
    registry = cm.BorrowRegistry()
    for array in arrays.values():
        assert registry.free_for_writing(array)


# Run in a fresh interpreter, where nothing has been created yet: the threads
# race for the first array call, the first exception taken from Python code
# and the module's re-initialisation.
FIRST_USE = r"""
import importlib, json, sys, threading, time
import numpy as np
import _kestrelfin

THREADS = 6
original = _kestrelfin
barrier = threading.Barrier(THREADS)
results = {"modules": set(), "owner_types": set(), "registries": set(), "taken": 0}
lock = threading.Lock()
multiarray = importlib.import_module(
    "numpy._core.multiarray" if np.lib.NumpyVersion(np.__version__).major >= 2 else "numpy.core.multiarray")

class Yielding:
    def __float__(self):
        time.sleep(0)
        return 0.02

class Refusing:
    def __float__(self):
        time.sleep(0)
        raise LookupError("refused")

def worker():
    barrier.wait()
    for _ in range(50):
        x = np.linspace(80.0, 120.0, 5)
        owner = type(_kestrelfin.bs_delta_array("c", x, x, x / 100, Yielding(), x / 400).base)
        try:
            _kestrelfin.bsm_vega("c", 100.0, 100.0, 1.0, Refusing(), 0.2, 0.0)
        except LookupError:
            taken = 1
        with lock:  # importlib itself cannot take a module removed in the middle of an import
            sys.modules.pop("_kestrelfin", None)
            module = importlib.import_module("_kestrelfin")
        registry = getattr(multiarray, "_RUST_NUMPY_BORROW_CHECKING_API")
        with lock:
            results["registries"].add(id(registry))
            results["modules"].add(id(module))
            results["owner_types"].add(id(owner))
            results["taken"] += taken

sys.setswitchinterval(1e-6)
threads = [threading.Thread(target=worker) for _ in range(THREADS)]
for t in threads:
    t.start()
for t in threads:
    t.join()
panics = [c for c in BaseException.__subclasses__()
          if c.__module__ == "pyo3_runtime" and c.__qualname__ == "PanicException"]
print(json.dumps({"modules": len(results["modules"]), "same_module": results["modules"] == {id(original)},
                  "owner_types": len(results["owner_types"]), "taken": results["taken"],
                  "panic_classes": len(panics), "registries": len(results["registries"])}))
"""


def test_lazily_created_objects_exist_once():
    completed = subprocess.run([sys.executable, "-c", FIRST_USE], capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    report = json.loads(completed.stdout)
    # hypothesis is not imported there, so the module's PanicException is the
    # only class of that name.
    assert report == {"modules": 1, "same_module": True, "owner_types": 1, "taken": 6 * 50,
                      "panic_classes": 1, "registries": 1}
