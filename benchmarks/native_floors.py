"""ctypes access to the floors built from benchmarks/floors/floors.cpp.

* `Floors.run(name, flag, arrays, r, q, out)`: the scalar floor, the core
  operation in a plain C++ loop;
* `Floors.record(...)`: the same loop once through the exp/log-recording
  build, giving the exact sequence of libm calls the formula makes;
* `Floors.replay(recording)`: the libm floor, those calls alone, in order;
* `Floors.vector_replay(recording, lanes)`: the vector floor, the same exp
  and log arguments through the lane-wise replica that this process's
  run-time check accepts, grouped into lanes of exp and lanes of log;
  `Floors.vector_lanes(name)` is the width the function's kernel uses and
  `Floors.kernel_path` the path the check chose;
* `Floors.kernel_lanes(...)`: the exp and log lanes per option a price's or
  Greek's kernel evaluates (which can exceed the scalar formula's calls);
* `Floors.stream(a, b, c, d, out)`: the memory floor, four arrays read and
  one written;
* `Floors.iv_evaluations(...)`: how many evaluations of the model price the
  implied-volatility solver makes per option (Newton and bisection).

The libraries are built by benchmarks/run.sh into the directory given as
`libdir`; they are not part of the module.
"""

from __future__ import annotations

import ctypes
import dataclasses
from pathlib import Path

import numpy as np

_double_p = ctypes.POINTER(ctypes.c_double)
_u8_p = ctypes.POINTER(ctypes.c_uint8)


def _ptr(a: np.ndarray):
    assert a.dtype == np.float64 and a.flags.c_contiguous
    return a.ctypes.data_as(_double_p)


@dataclasses.dataclass
class Recording:
    """The libm calls of one formula over n options: arguments and ops
    (0 = exp, 1 = log), in call order."""

    args: np.ndarray
    ops: np.ndarray
    n: int

    _split: tuple | None = None

    def split(self) -> tuple[np.ndarray, np.ndarray]:
        """The exp arguments and the log arguments, each contiguous and in
        recorded order."""
        if self._split is None:
            self._split = (np.ascontiguousarray(self.args[self.ops == 0]),
                           np.ascontiguousarray(self.args[self.ops == 1]))
        return self._split

    @property
    def exps_per_option(self) -> float:
        return float(np.count_nonzero(self.ops == 0)) / self.n

    @property
    def logs_per_option(self) -> float:
        return float(np.count_nonzero(self.ops == 1)) / self.n


# binding::KernelPath, by number.
KERNEL_PATHS = ("AVX2+FMA, replica of the libm's FMA build",
                "SSE2, replica of the libm's build without FMA",
                "SSE2, the libm called per lane (no replica accepted)")


class Floors:
    def __init__(self, libdir: Path):
        self.plain = ctypes.CDLL(str(libdir / "libkf_floors.so"))
        self.recorder = ctypes.CDLL(str(libdir / "libkf_record.so"))
        run_args = [ctypes.c_int, ctypes.c_int] + [_double_p] * 4 + [ctypes.c_double] * 2 + [
            _double_p, ctypes.c_size_t]
        for lib in (self.plain, self.recorder):
            lib.kf_count.restype = ctypes.c_int
            lib.kf_name.restype = ctypes.c_char_p
            lib.kf_name.argtypes = [ctypes.c_int]
            lib.kf_run.restype = ctypes.c_int
            lib.kf_run.argtypes = run_args
        self.recorder.kf_record.restype = ctypes.c_longlong
        self.recorder.kf_record.argtypes = run_args
        self.recorder.kf_take_recording.restype = None
        self.recorder.kf_take_recording.argtypes = [_double_p, _u8_p]
        self.plain.kf_replay.restype = ctypes.c_double
        self.plain.kf_replay.argtypes = [_double_p, _u8_p, ctypes.c_size_t]
        self.plain.kf_iv_evaluations.restype = ctypes.c_int
        self.plain.kf_iv_evaluations.argtypes = [ctypes.c_int, ctypes.c_int] + [_double_p] * 4 + [
            ctypes.c_double] * 2 + [ctypes.c_size_t, ctypes.POINTER(ctypes.c_longlong)]
        self.plain.kf_kernel_lanes.restype = ctypes.c_int
        self.plain.kf_kernel_lanes.argtypes = run_args[:-2] + [ctypes.c_size_t, ctypes.c_int,
                                                                ctypes.POINTER(ctypes.c_longlong)]
        self.plain.kf_stream.restype = None
        self.plain.kf_stream.argtypes = [_double_p] * 5 + [ctypes.c_size_t]
        self.plain.kf_kernel_path.restype = ctypes.c_int
        self.plain.kf_kernel_path.argtypes = []
        self.plain.kf_vector_lanes.restype = ctypes.c_int
        self.plain.kf_vector_lanes.argtypes = [ctypes.c_int]
        self.plain.kf_vector_replay.restype = ctypes.c_double
        self.plain.kf_vector_replay.argtypes = [_double_p, ctypes.c_size_t, _double_p, ctypes.c_size_t,
                                                ctypes.c_int]
        self.ids = {self.plain.kf_name(i).decode(): i for i in range(self.plain.kf_count())}
        # The first call runs the replicas' run-time check, as the module's
        # first array call does.
        self.kernel_path = KERNEL_PATHS[self.plain.kf_kernel_path()]

    def _args(self, name, flag, arrays, r, q, out):
        a, b, c, d = arrays
        return (self.ids[name], 0 if flag[0] in "cC" else 1, _ptr(a), _ptr(b), _ptr(c), _ptr(d),
                r, q, _ptr(out), out.size)

    def run(self, name, flag, arrays, r, q, out) -> None:
        if self.plain.kf_run(*self._args(name, flag, arrays, r, q, out)) != 0:
            raise KeyError(name)

    def record(self, name, flag, arrays, r, q, out) -> Recording:
        count = self.recorder.kf_record(*self._args(name, flag, arrays, r, q, out))
        if count < 0:
            raise KeyError(name)
        args = np.empty(count, dtype=np.float64)
        ops = np.empty(count, dtype=np.uint8)
        self.recorder.kf_take_recording(_ptr(args), ops.ctypes.data_as(_u8_p))
        return Recording(args, ops, out.size)

    def replay(self, recording: Recording) -> float:
        return self.plain.kf_replay(_ptr(recording.args), recording.ops.ctypes.data_as(_u8_p),
                                    recording.args.size)

    def iv_evaluations(self, name, flag, arrays, r, q) -> dict:
        """How the core's implied-volatility solver spends its evaluations of
        the model price on these options (price, S or F, K, t), per option."""
        price, S, K, t = arrays
        counts = (ctypes.c_longlong * 5)()
        if self.plain.kf_iv_evaluations(self.ids[name], 0 if flag[0] in "cC" else 1, _ptr(price), _ptr(S),
                                        _ptr(K), _ptr(t), r, q, price.size, counts) != 0:
            raise KeyError(name)
        n = price.size
        return {"newton_per_option": counts[0] / n, "bisection_per_option": counts[1] / n,
                "evaluations_per_option": (counts[0] + counts[1]) / n, "bisected_share": counts[2] / n,
                "decided_by_bounds_share": counts[3] / n, "max_evaluations": counts[4]}

    def kernel_lanes(self, name, flag, arrays, r, q, lanes: int) -> tuple[float, float]:
        """Exp and log lanes per option that the function's kernel evaluates
        on lanes of this width (prices and Greeks only)."""
        a, b, c, d = arrays
        counts = (ctypes.c_longlong * 2)()
        if self.plain.kf_kernel_lanes(self.ids[name], 0 if flag[0] in "cC" else 1, _ptr(a), _ptr(b), _ptr(c),
                                      _ptr(d), r, q, a.size, lanes, counts) != 0:
            raise KeyError(name)
        return counts[0] / a.size, counts[1] / a.size

    def stream(self, a, b, c, d, out) -> None:
        """The memory floor: read four arrays, write one."""
        self.plain.kf_stream(_ptr(a), _ptr(b), _ptr(c), _ptr(d), _ptr(out), out.size)

    def vector_lanes(self, name: str) -> int:
        return self.plain.kf_vector_lanes(self.ids[name])

    def vector_replay(self, recording: Recording, lanes: int) -> float:
        exp_args, log_args = recording.split()
        return self.plain.kf_vector_replay(_ptr(exp_args), exp_args.size, _ptr(log_args),
                                           log_args.size, lanes)
