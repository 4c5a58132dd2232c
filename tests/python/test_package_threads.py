"""The package's ufuncs on several threads.

Long loops are shared between the calling thread and a native pool. Every
element must keep its bits for any number of threads: each result is
compared with the one-thread result and with _kestrelfin's scalar function,
for 1, 2, 3 and 8 threads, over odd lengths, strided, reversed and broadcast
operands, out= and where=. The control API, the environment variable,
threadpoolctl, fork, concurrent callers and Ctrl-C are checked here too.
"""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import numpy as np
import pytest

import _kestrelfin as kf
import kestrelfin
from kestrelfin import _threads, _ufuncs

THREAD_COUNTS = [1, 2, 3, 8]
# Above every sharing threshold of the ufuncs, odd, and not a multiple of
# any lane width or chunk size.
LONG = 40_001
# Enough for the implied volatilities (their threshold is lower).
LONG_IV = 6_007


@pytest.fixture(autouse=True)
def restore_thread_limit():
    previous = kestrelfin.get_num_threads()
    yield
    kestrelfin.set_num_threads(previous)


def inputs(parameters, n, seed=7):
    """Ordinary inputs by parameter name: a mix of calls and puts, prices
    inside their bounds, so that every implied volatility has a solution
    for most elements and NaN for some."""
    rng = np.random.default_rng(seed)
    values = {"S": rng.uniform(60, 140, n), "F": rng.uniform(60, 140, n), "K": rng.uniform(60, 140, n),
              "t": rng.uniform(0.02, 3.0, n), "r": rng.uniform(-0.01, 0.08, n),
              "sigma": rng.uniform(0.05, 0.9, n), "q": rng.uniform(0.0, 0.05, n),
              "price": rng.uniform(0.5, 30.0, n)}
    is_call = rng.random(n) < 0.5
    return is_call, [values[p] for p in parameters if p != "flag"]


def bits(array):
    return np.ascontiguousarray(array, dtype=np.float64).view(np.uint64)


def at_threads(count, function, *args, **kwargs):
    with kestrelfin.num_threads(count):
        return function(*args, **kwargs)


def scalar_results(name, parameters, is_call, numbers, indices):
    """_kestrelfin's scalar function element by element, its arguments in
    its own parameter order (the flag is last for implied volatilities)."""
    scalar = getattr(kf, name)
    values = []
    for i in indices:
        remaining = iter(numbers)
        args = [("c" if is_call[i] else "p") if p == "flag" else float(next(remaining)[i]) for p in parameters]
        try:
            values.append(scalar(*args))
        except Exception:  # an implied volatility without a solution: NaN in the ufunc
            values.append(float("nan"))
    return np.array(values)


def sample_indices(n):
    """Indices around every multiple of 64 near the chunk boundaries the
    pool may use, and the ends."""
    chosen = {0, 1, n - 2, n - 1}
    for boundary in range(64, n, 64 * 37):
        chosen.update({boundary - 1, boundary})
    return sorted(i for i in chosen if 0 <= i < n)


SCALAR_NAME = {(model, quantity): name for model, quantity, name, _, _ in _ufuncs.FUNCTIONS}
FUNCTIONS = [pytest.param(entry, id=entry[2]) for entry in _ufuncs.FUNCTIONS]


@pytest.mark.parametrize("entry", FUNCTIONS)
def test_every_function_gives_the_same_bits_on_any_number_of_threads(entry):
    _model, _quantity, name, parameters, ufunc = entry
    n = LONG_IV if name.endswith("implied_volatility") else LONG
    is_call, numbers = inputs(parameters, n)
    one = at_threads(1, ufunc, is_call, *numbers)
    for count in THREAD_COUNTS[1:]:
        assert np.array_equal(bits(at_threads(count, ufunc, is_call, *numbers)), bits(one)), count
    indices = sample_indices(n)
    expected = scalar_results(name, parameters, is_call, numbers, indices)
    assert np.array_equal(bits(one[indices]), bits(expected))


@pytest.mark.parametrize("model", [record[0] for record in _ufuncs.GREEKS])
def test_greeks_give_the_same_bits_on_any_number_of_threads(model):
    _, parameters, ufunc = next(record for record in _ufuncs.GREEKS if record[0] == model)
    is_call, numbers = inputs(parameters, LONG)
    one = at_threads(1, ufunc, is_call, *numbers)
    for count in THREAD_COUNTS[1:]:
        many = at_threads(count, ufunc, is_call, *numbers)
        for quantity, a, b in zip(_ufuncs.GREEK_NAMES, many, one):
            assert np.array_equal(bits(a), bits(b)), (count, quantity)
    indices = sample_indices(LONG)
    for quantity, result in zip(_ufuncs.GREEK_NAMES, one):
        expected = scalar_results(SCALAR_NAME[model, quantity], parameters, is_call, numbers, indices)
        assert np.array_equal(bits(result[indices]), bits(expected)), quantity


def test_the_pool_is_really_used_and_bounded():
    # 8 threads allowed: the 8-thread runs above and here start pool threads,
    # never more than the limit leaves to the caller.
    is_call, numbers = inputs(["S", "K", "t", "r", "sigma", "q"], LONG)
    at_threads(8, kestrelfin.bsm.delta, is_call, *numbers)
    assert 1 <= _ufuncs.pool_threads() <= 7


@pytest.mark.parametrize("count", THREAD_COUNTS)
def test_strided_reversed_broadcast_out_and_where(count):
    n = 3 * LONG
    is_call, (S, K, t, r, sigma, q) = inputs(["S", "K", "t", "r", "sigma", "q"], n, seed=11)
    cases = {
        "strided": lambda: kestrelfin.bsm.gamma(is_call[::3], S[::3], K[1::3], t[2::3], r[::3], sigma[::3],
                                                q[::3]),
        "reversed": lambda: kestrelfin.bsm.price(is_call[::-1], S[::-1], K, t, r, sigma[::-1], 0.01),
        "broadcast": lambda: kestrelfin.bsm.vega("c", S[:257, None], K[None, :301], 0.5, 0.03, sigma[:301], 0.0),
        "float32 inputs (buffered)": lambda: kestrelfin.bsm.theta(is_call, S.astype(np.float32), K, t, r, sigma, q),
        "iv strided": lambda: kestrelfin.bsm.implied_volatility(price=np.full(n, 8.0)[::7], S=S[::7], K=K[::7],
                                                                t=t[::7], r=r[::7], q=q[::7], flag=is_call[::7]),
    }
    for label, compute in cases.items():
        one = at_threads(1, compute)
        many = at_threads(count, compute)
        assert np.array_equal(bits(many), bits(one)), label
    # Spot checks of the strided case against the scalar function.
    strided = at_threads(count, cases["strided"])
    for i in (0, 1, 4096, len(strided) - 1):
        j = 3 * i
        expected = kf.bsm_gamma("c" if is_call[j] else "p", S[j], K[j + 1], t[j + 2], r[j], sigma[j], q[j])
        assert bits(strided[i]) == bits(np.float64(expected))


@pytest.mark.parametrize("count", THREAD_COUNTS)
def test_out_strided_and_where_keep_the_untouched_elements(count):
    n = LONG
    is_call, (F, K, t, r, sigma) = inputs(["F", "K", "t", "r", "sigma"], n, seed=3)
    where = np.random.default_rng(5).random(n) < 0.6
    expected_one = np.full(2 * n, -7.0)
    at_threads(1, kestrelfin.black76.rho, is_call, F, K, t, r, sigma, out=expected_one[::2], where=where)
    got = np.full(2 * n, -7.0)
    at_threads(count, kestrelfin.black76.rho, is_call, F, K, t, r, sigma, out=got[::2], where=where)
    assert np.array_equal(bits(got), bits(expected_one))
    assert np.all(got[1::2] == -7.0) and np.all(got[::2][~where] == -7.0)
    i = int(np.flatnonzero(where)[-1])
    assert got[2 * i] == kf.black76_rho("c" if is_call[i] else "p", F[i], K[i], t[i], r[i], sigma[i])


@pytest.mark.parametrize("count", [2, 8])
def test_a_result_of_stride_zero_keeps_the_last_element(count):
    n = LONG
    is_call, (S, K, t, r, sigma, q) = inputs(["S", "K", "t", "r", "sigma", "q"], n, seed=9)
    target = np.zeros(1)
    out = np.broadcast_to(target, (n,))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            out.flags.writeable = True
        except ValueError:
            pytest.skip("this NumPy makes broadcast views read-only for good")
    with kestrelfin.num_threads(count):
        _ufuncs.bsm_delta(is_call, S, K, t, r, sigma, q, out=out)
    expected = kf.bsm_delta("c" if is_call[-1] else "p", S[-1], K[-1], t[-1], r[-1], sigma[-1], q[-1])
    assert bits(target[0]) == bits(np.float64(expected))


# ----- the control API ------------------------------------------------------

def test_set_returns_the_previous_limit_and_the_context_manager_restores_it():
    start = kestrelfin.get_num_threads()
    assert kestrelfin.set_num_threads(3) == start
    assert kestrelfin.get_num_threads() == 3
    assert kestrelfin.set_num_threads(1) == 3
    with kestrelfin.num_threads(5) as value:
        assert value == 5 and kestrelfin.get_num_threads() == 5
    assert kestrelfin.get_num_threads() == 1
    with pytest.raises(ZeroDivisionError):
        with kestrelfin.num_threads(2):
            1 / 0
    assert kestrelfin.get_num_threads() == 1


@pytest.mark.parametrize("bad, error, message", [
    (0, ValueError, "the number of threads must be from 1 to 4096, not 0"),
    (-2, ValueError, "the number of threads must be from 1 to 4096, not -2"),
    (4097, ValueError, "the number of threads must be from 1 to 4096, not 4097"),
    (2.0, TypeError, "the number of threads must be an int, not float"),
    ("2", TypeError, "the number of threads must be an int, not str"),
    (True, TypeError, "the number of threads must be an int, not bool"),
])
def test_bad_limits_are_refused_and_change_nothing(bad, error, message):
    before = kestrelfin.get_num_threads()
    with pytest.raises(error) as info:
        kestrelfin.set_num_threads(bad)
    assert str(info.value) == message
    assert kestrelfin.get_num_threads() == before
    with pytest.raises(ValueError):
        _ufuncs.set_num_threads(0)  # the native module checks on its own
    assert kestrelfin.get_num_threads() == before


def run_child(code, env_update=None, timeout=120):
    env = dict(os.environ)
    env.pop("KESTRELFIN_NUM_THREADS", None)
    env.update(env_update or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=timeout)


def cgroup_quota_cpus():
    return _threads._cgroup_cpu_quota()


def test_default_is_the_cpus_this_process_may_use():
    quota = cgroup_quota_cpus()
    expected = len(os.sched_getaffinity(0))
    if quota is not None:
        expected = min(expected, max(1, int(-(-quota // 1))))
    child = run_child("import kestrelfin; print(kestrelfin.get_num_threads())")
    assert child.returncode == 0, child.stderr
    assert int(child.stdout) == expected
    # A process limited to one CPU by its affinity gets one thread.
    child = run_child("import os; os.sched_setaffinity(0, {min(os.sched_getaffinity(0))}); import kestrelfin; "
                      "print(kestrelfin.get_num_threads(), kestrelfin._ufuncs.pool_threads())")
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["1", "0"]


def test_no_thread_is_started_before_a_long_loop():
    child = run_child("""
        import numpy as np, kestrelfin
        from kestrelfin import _ufuncs
        kestrelfin.set_num_threads(4)
        kestrelfin.bsm.delta("c", np.full(1000, 100.0), 100.0, 0.5, 0.03, 0.2, 0.0)
        short = _ufuncs.pool_threads()
        kestrelfin.bsm.delta("c", np.full(100_000, 100.0), 100.0, 0.5, 0.03, 0.2, 0.0)
        print(short, _ufuncs.pool_threads())
    """)
    assert child.returncode == 0, child.stderr
    short, long = map(int, child.stdout.split())
    assert short == 0 and 1 <= long <= 3


@pytest.mark.parametrize("value, expected", [("3", "3"), (" 2 ", "2"), ("1", "1")])
def test_the_environment_variable_sets_the_limit_at_import(value, expected):
    child = run_child("import kestrelfin; print(kestrelfin.get_num_threads())", {"KESTRELFIN_NUM_THREADS": value})
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == expected


@pytest.mark.parametrize("value", ["zero", "0", "-1", "2.5", "5000"])
def test_a_bad_environment_variable_warns_and_keeps_the_default(value):
    child = run_child("""
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import kestrelfin
        from kestrelfin import _threads
        print(kestrelfin.get_num_threads() == _threads.default_num_threads())
        for warning in caught:
            print(warning.category.__name__, warning.message)
    """, {"KESTRELFIN_NUM_THREADS": value})
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert lines[0] == "True"
    assert lines[1:] == [f"RuntimeWarning KESTRELFIN_NUM_THREADS must be an integer from 1 to 4096, not "
                         f"{value!r}; kestrelfin uses the default number of threads"]


@pytest.mark.parametrize("text, cpus", [("max 100000\n", None), ("150000 100000\n", 1.5), ("400000 100000", 4.0)])
def test_cgroup_v2_quota(tmp_path, text, cpus):
    path = tmp_path / "cpu.max"
    path.write_text(text)
    assert _threads._cgroup_v2_quota(str(path)) == cpus


@pytest.mark.parametrize("quota, period, cpus", [("-1", "100000", None), ("250000", "100000", 2.5),
                                                 ("50000", "100000", 0.5)])
def test_cgroup_v1_quota(tmp_path, quota, period, cpus):
    (tmp_path / "cpu.cfs_quota_us").write_text(quota + "\n")
    (tmp_path / "cpu.cfs_period_us").write_text(period + "\n")
    assert _threads._cgroup_v1_quota(str(tmp_path)) == cpus


def test_a_quota_caps_the_default(monkeypatch):
    monkeypatch.setattr(_threads, "_cgroup_cpu_quota", lambda: 0.5)
    assert _threads.default_num_threads() == 1
    monkeypatch.setattr(_threads, "_cgroup_cpu_quota", lambda: 1000.0)
    assert _threads.default_num_threads() == len(os.sched_getaffinity(0))


# ----- threadpoolctl ---------------------------------------------------------

def test_threadpoolctl_sees_and_limits_kestrelfin():
    threadpoolctl = pytest.importorskip("threadpoolctl")
    if not hasattr(threadpoolctl, "register"):
        pytest.skip("this threadpoolctl has no registry of controllers")
    kestrelfin.set_num_threads(2)
    entries = [info for info in threadpoolctl.threadpool_info() if info["user_api"] == "kestrelfin"]
    assert len(entries) == 1
    assert entries[0]["num_threads"] == 2 and entries[0]["version"] == kestrelfin.__version__
    assert os.path.samefile(entries[0]["filepath"], _ufuncs.__file__)
    with threadpoolctl.threadpool_limits(limits=1):
        assert kestrelfin.get_num_threads() == 1
    assert kestrelfin.get_num_threads() == 2
    with threadpoolctl.threadpool_limits(limits=1, user_api="kestrelfin"):
        assert kestrelfin.get_num_threads() == 1
    assert kestrelfin.get_num_threads() == 2
    # A limit for BLAS alone leaves kestrelfin as it is.
    with threadpoolctl.threadpool_limits(limits=1, user_api="blas"):
        assert kestrelfin.get_num_threads() == 2


# ----- the interpreter lock, concurrent callers, fork ------------------------

def test_numpy_releases_the_interpreter_lock_around_the_loops():
    kestrelfin.set_num_threads(1)
    n = 2_000_000
    is_call, numbers = inputs(["S", "K", "t", "r", "sigma", "q"], n)
    done = threading.Event()
    call_time = []

    def long_call():
        start = time.perf_counter()
        kestrelfin.bsm.greeks(is_call, *numbers)
        call_time.append(time.perf_counter() - start)
        done.set()

    worker = threading.Thread(target=long_call)
    gaps = []
    worker.start()
    last = time.perf_counter()
    while not done.is_set():
        now = time.perf_counter()
        gaps.append(now - last)
        last = now
    worker.join()
    # With the lock held through the loop this thread would stop for the
    # whole call; with it released it only waits for switches.
    assert call_time[0] > 0.2
    assert max(gaps) < 0.5 * call_time[0]


def test_python_code_never_runs_on_a_pool_thread():
    kestrelfin.set_num_threads(8)
    seen = set()

    class Number:
        def __init__(self, value):
            self.value = value

        def __float__(self):
            seen.add(threading.get_ident())
            return self.value

    n = 30_000
    strikes = np.array([Number(90.0 + i % 20) for i in range(n)], dtype=object)
    # The package refuses object arrays; the ufunc casts them when told to,
    # calling __float__ for each element, buffer by buffer.
    price = getattr(_ufuncs, SCALAR_NAME["bsm", "price"])
    result = price(True, 100.0, strikes, 0.5, 0.03, 0.2, 0.0, casting="unsafe", signature="?dddddd->d")
    assert seen == {threading.get_ident()}
    assert result[5] == getattr(kf, SCALAR_NAME["bsm", "price"])("c", 100.0, 95.0, 0.5, 0.03, 0.2, 0.0)


def test_concurrent_callers_get_the_single_thread_bits_and_do_not_oversubscribe():
    is_call, numbers = inputs(["S", "K", "t", "r", "sigma", "q"], LONG)
    ufunc = {quantity: u for model, quantity, _, _, u in _ufuncs.FUNCTIONS if model == "bsm"}
    greeks = next(u for model, _, u in _ufuncs.GREEKS if model == "bsm")
    calls = [ufunc["delta"], ufunc["vanna"], ufunc["price"], greeks]
    expected = [at_threads(1, call, is_call, *numbers) for call in calls]
    started_before = _ufuncs.pool_threads()
    kestrelfin.set_num_threads(3)
    failures = []

    def caller(index):
        for repeat in range(6):
            call = calls[(index + repeat) % len(calls)]
            try:
                result = call(is_call, *numbers)
                want = expected[calls.index(call)]
                same = (all(np.array_equal(bits(a), bits(b)) for a, b in zip(result, want, strict=True))
                        if call is greeks else np.array_equal(bits(result), bits(want)))
            except Exception as error:  # reported below: an exception in a thread would pass unseen
                same = repr(error)
            if same is not True:
                failures.append((index, call.__name__, same))

    threads = [threading.Thread(target=caller, args=(i,)) for i in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    # Six callers at once with a limit of 3 add no pool thread beyond the
    # two the limit leaves (or beyond those an earlier, higher limit made).
    assert _ufuncs.pool_threads() <= max(2, started_before)


FORK_CHILD = """
import os, sys, threading, warnings
import numpy as np
import kestrelfin
from kestrelfin import _ufuncs
warnings.simplefilter("ignore", DeprecationWarning)  # fork() in a process with threads
kestrelfin.set_num_threads(3)
rng = np.random.default_rng(1)
n = 200_001
S, K = rng.uniform(80, 120, n), rng.uniform(80, 120, n)
with kestrelfin.num_threads(1):
    expected = kestrelfin.bsm.delta("c", S, K, 0.5, 0.03, 0.2, 0.0)
assert _ufuncs.pool_threads() == 0
first = kestrelfin.bsm.delta("c", S, K, 0.5, 0.03, 0.2, 0.0)  # starts the pool
assert _ufuncs.pool_threads() >= 1
busy = threading.Event()
stop = threading.Event()
def keep_busy():  # the pool is in use while the process forks
    while not stop.is_set():
        kestrelfin.bsm.delta("c", S, K, 0.5, 0.03, 0.2, 0.0)
        busy.set()
other = threading.Thread(target=keep_busy)
other.start()
busy.wait()
statuses = []
for trial in range(5):
    pid = os.fork()
    if pid == 0:
        before = _ufuncs.pool_threads()
        result = kestrelfin.bsm.delta("c", S, K, 0.5, 0.03, 0.2, 0.0)
        same = np.array_equal(result.view(np.uint64), expected.view(np.uint64))
        os._exit(0 if before == 0 and same and _ufuncs.pool_threads() >= 1 else 3)
    statuses.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
stop.set()
other.join()
print(statuses, np.array_equal(first.view(np.uint64), expected.view(np.uint64)))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform")
def test_a_forked_child_rebuilds_the_pool():
    child = run_child(FORK_CHILD, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split("\n")[0] == "[0, 0, 0, 0, 0] True"


def test_the_interpreter_exits_cleanly_with_the_pool_alive():
    child = run_child("""
        import numpy as np, kestrelfin, threading
        kestrelfin.set_num_threads(4)
        x = np.full(100_000, 100.0)
        kestrelfin.bsm.price("c", x, 100.0, 0.5, 0.03, 0.2, 0.0)
        # A daemon thread still calling while the interpreter exits.
        threading.Thread(target=lambda: [kestrelfin.bsm.price("c", x, 100.0, 0.5, 0.03, 0.2, 0.0)
                                         for _ in range(10**6)], daemon=True).start()
        print("ok")
    """, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout == "ok\n" and child.stderr == ""


# ----- Ctrl-C ------------------------------------------------------------------

CTRL_C_CHILD = """
import sys, time
import numpy as np
import kestrelfin
threads = int(sys.argv[1])
dtype = np.dtype(sys.argv[2])
kestrelfin.set_num_threads(threads)
if sys.argv[3] == "own handler":
    import signal

    def handler(signum, frame):
        raise RuntimeError("the program's own handler")

    signal.signal(signal.SIGINT, handler)
# As many options as take about three seconds (at least 10^7, at most 10^8
# so that the arrays stay near a gigabyte): long enough to interrupt on a
# quiet machine too. The Newton solver, the slower of the two; where the
# signal is checked does not depend on the solver.
rng = np.random.default_rng(0)
sample = 100_000
S = rng.uniform(80, 120, sample).astype(dtype)
price = np.full(sample, 6.0)
start = time.perf_counter()
kestrelfin.bsm.implied_volatility(price, S, 100.0, 1.0, 0.03, 0.0, "c", method="newton")
per_option = (time.perf_counter() - start) / sample
n = int(min(10**8, max(10**7, 3.0 / per_option)))
S = rng.uniform(80, 120, n).astype(dtype)
price = np.full(n, 6.0)
estimate = per_option * n
print("estimate", estimate, flush=True)
try:
    kestrelfin.bsm.implied_volatility(price, S, 100.0, 1.0, 0.03, 0.0, "c", method="newton")
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
except RuntimeError as error:
    print("interrupted:", error, flush=True)
"""


@pytest.mark.parametrize("threads, dtype, handler", [
    (1, "float64", "default"),
    (2, "float64", "default"),
    (1, "float32", "default"),  # float32 S: NumPy casts it and calls the loop once per buffer
    (2, "float32", "default"),
    (2, "float64", "own handler"),  # the handler's own exception comes out of the call
])
def test_ctrl_c_stops_a_long_call_quickly(threads, dtype, handler):
    process = subprocess.Popen([sys.executable, "-c", CTRL_C_CHILD, str(threads), dtype, handler],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = process.stdout.readline().split()
        assert line[0] == "estimate", process.stderr.read()
        estimate = float(line[1])
        if estimate < 1.0:
            pytest.skip(f"the whole call would take {estimate:.2f} s: too short to show an interruption")
        time.sleep(0.5)
        sent = time.perf_counter()
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=max(30, 2 * estimate))
        elapsed = time.perf_counter() - sent
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    expected = "interrupted" if handler == "default" else "interrupted: the program's own handler"
    assert out.strip() == expected, err
    assert process.returncode == 0
    assert elapsed < min(1.0, 0.5 * estimate), (elapsed, estimate)


def test_dask_threaded_scheduler_gives_the_single_thread_bits():
    da = pytest.importorskip("dask.array")
    import dask

    is_call, (S, K, t, r, sigma, q) = inputs(["S", "K", "t", "r", "sigma", "q"], 200_001, seed=13)
    with kestrelfin.num_threads(1):
        expected = kestrelfin.bsm.vomma(is_call, S, K, t, r, sigma, q)
    kestrelfin.set_num_threads(2)
    lazy = [da.from_array(x, chunks=30_000) for x in (is_call, S, K, t, r, sigma, q)]
    with dask.config.set(scheduler="threads", num_workers=4):
        result = kestrelfin.bsm.vomma(*lazy).compute()
    assert np.array_equal(bits(result), bits(expected))
