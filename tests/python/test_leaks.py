"""No reference and no memory is left behind by any call, successful or not.

- Reference counts of every argument object (and of the result and its
  owner) are the same after calls of every function, in each way a call can
  succeed or fail, as before them.
- Memory stays flat over many calls, failing ones included: the interpreter's
  count of allocated blocks (exact for Python objects, 0 when PYTHONMALLOC=
  malloc) and the process's resident memory (for the native side).

The long runs (10^6 scalar calls, and valgrind memcheck) are in
scripts/test-stages/reliability.sh, with tests/reliability/soak.py.
"""

import gc
import sys

import numpy as np
import pytest

import _kestrelfin as kf
import call_model as cm


class Boom(Exception):
    pass


class RaisingNumber:
    """Raises a new exception at each conversion, so that no exception (and
    no traceback holding the caller's frames) outlives the call."""

    def __init__(self, error_class):
        self.error_class = error_class

    def __float__(self):
        raise self.error_class("conversion refused")


class IndexNumber:
    def __index__(self):
        return 3


def fresh(x):
    return cm.fresh_float(x)


ORDINARY = {"S": 101.0, "F": 101.0, "K": 95.0, "t": 0.5, "r": 0.03, "sigma": 0.25, "q": 0.01, "price": 10.0}


def arguments(name, n=5):
    """Ordinary arguments of a successful call, each a distinct object."""
    arrays = cm.array_parameters(name)
    out = {}
    for p in cm.parameters(name):
        if p == "flag":
            out[p] = "".join(["c", "all"])
        elif p in arrays:
            out[p] = ORDINARY[p] * (1.0 + 0.01 * np.arange(n))
        else:
            out[p] = fresh(ORDINARY[p])
    return out


def variants(name):
    """(label, args, kwargs) of calls that succeed and of calls that fail at
    every step of the protocol."""
    params = cm.parameters(name)
    arrays = cm.array_parameters(name)
    first_number = next(p for p in params if p not in arrays and p != "flag")
    base = arguments(name)

    def positional(**changes):
        values = dict(base, **changes)
        return [values[p] for p in params], None

    out = [("positional", *positional()),
           ("keywords", [], {p: base[p] for p in reversed(params)}),
           ("mixed", [base[p] for p in params[:2]], {p: base[p] for p in params[2:]}),
           ("index and int numbers", *positional(**{first_number: IndexNumber()})),
           ("flag value", *positional(flag="".join(["x", "yz"]))),
           ("empty flag", *positional(flag="")),
           ("flag type", *positional(flag=fresh(1.0))),
           ("flag surrogate", *positional(flag="c\ud800")),
           ("number raises", *positional(**{first_number: RaisingNumber(Boom)})),
           ("number raises TypeError", *positional(**{first_number: RaisingNumber(TypeError)})),
           ("number is a str", *positional(**{first_number: "".join(["1", ".5"])})),
           ("number overflows", *positional(**{first_number: 10 ** 400})),
           ("surplus", [base[p] for p in params] + [fresh(1.0)], None),
           ("unknown keyword", [base[p] for p in params], {"sigma_": fresh(1.0)}),
           ("repeated", [base[p] for p in params[:3]], {p: base[p] for p in params[1:]}),
           ("missing", [base[p] for p in params[:-2]], None)]
    if arrays:
        first, last = arrays[0], arrays[-1]
        wide = np.repeat(base[last], 2)
        out += [("float32 array", *positional(**{last: base[last].astype(np.float32)})),
                ("list", *positional(**{first: base[first].tolist()})),
                ("not contiguous", *positional(**{last: wide[::2]})),
                ("lengths", *positional(**{last: base[last][:-1]})),
                ("empty", *positional(**{p: base[p][:0] for p in arrays})),
                ("one array for all", *positional(**{p: base[first] for p in arrays}))]
    elif cm.is_iv(name):
        out.append(("below intrinsic", *positional(price=fresh(-1.0))))
    return out


def objects_of(args, kwargs):
    objects = list(args) + list((kwargs or {}).values())
    unique = []
    for obj in objects:
        if all(obj is not o for o in unique):
            unique.append(obj)
    return unique


def attempt(function, args, kwargs, through_c_api):
    try:
        if through_c_api:
            result = cm.call_through_c_api(function, args, kwargs)
        else:
            result = function(*args, **(kwargs or {}))
    except BaseException as error:  # noqa: BLE001 - any class; refcounts are the point
        return type(error).__name__
    # The caller gets the only reference to the result (this frame's and
    # getrefcount's own aside), and the result array the only one to its owner.
    # (Counted before asserting: pytest's rewritten asserts keep references.)
    counts = [sys.getrefcount(result)]
    if isinstance(result, np.ndarray):
        counts.append(sys.getrefcount(result.base))  # the array's, and the argument's
    assert counts == [2] * len(counts)
    return "result"


@pytest.mark.parametrize("name", cm.NAMES)
def test_reference_counts_unchanged(name):
    function = getattr(kf, name)
    seen = set()
    for label, args, kwargs in variants(name):
        for through_c_api in (False, True):
            tracked = objects_of(args, kwargs) + ([kwargs] if kwargs is not None else [])
            before = [sys.getrefcount(o) for o in tracked]
            outcomes = {attempt(function, args, kwargs, through_c_api) for _ in range(3)}
            after = [sys.getrefcount(o) for o in tracked]
            assert after == before, (label, through_c_api, outcomes)
            assert len(outcomes) == 1, (label, outcomes)
            seen |= outcomes
    # Both sides of the protocol were exercised.
    assert "result" in seen and "TypeError" in seen and "ValueError" in seen and "Boom" in seen


def blocks_and_resident():
    gc.collect()
    with open("/proc/self/statm") as statm:
        resident = int(statm.read().split()[1]) * 4096
    return sys.getallocatedblocks(), resident


def run_mixed(calls, count):
    for _ in range(count):
        for function, args in calls:
            try:
                function(*args)
            except (TypeError, ValueError, RuntimeError, Boom):
                pass


def mixed_calls(names, n):
    calls = []
    for name in names:
        for label, args, kwargs in variants(name):
            if kwargs is None and label in ("positional", "flag value", "number raises",
                                            "number raises TypeError", "lengths", "below intrinsic"):
                if n != 5:
                    args = [np.resize(a, n) if isinstance(a, np.ndarray) else a for a in args]
                calls.append((getattr(kf, name), args))
    return calls


def test_memory_flat_over_many_scalar_calls():
    calls = mixed_calls([n for n in cm.NAMES if not cm.is_array_function(n)], 5)
    run_mixed(calls, 200)
    blocks, resident = blocks_and_resident()
    rounds = 200_000 // len(calls) + 1
    run_mixed(calls, rounds)
    blocks_after, resident_after = blocks_and_resident()
    # One object leaked per call would be 200,000 blocks and several MB.
    assert blocks_after - blocks < 200, (blocks, blocks_after)
    assert resident_after - resident < 2 * 2 ** 20, (resident, resident_after)


def test_memory_flat_over_many_array_calls():
    # Arrays of 2,000 elements: a leaked result is 16 kB a call, 160 MB in all.
    calls = mixed_calls([n for n in cm.NAMES if cm.is_array_function(n)], 2000)
    run_mixed(calls, 20)
    blocks, resident = blocks_and_resident()
    run_mixed(calls, 10_000 // len(calls) + 1)
    blocks_after, resident_after = blocks_and_resident()
    assert blocks_after - blocks < 200, (blocks, blocks_after)
    assert resident_after - resident < 8 * 2 ** 20, (resident, resident_after)
