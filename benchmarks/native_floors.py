"""ctypes access to the two floors built from benchmarks/floors/floors.cpp.

* `Floors.run(name, flag, arrays, r, q, out)`: the scalar floor, the core
  operation in a plain C++ loop;
* `Floors.record(...)`: the same loop once through the exp/log-recording
  build, giving the exact sequence of libm calls the formula makes;
* `Floors.replay(recording)`: the libm floor, those calls alone, in order.

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

    @property
    def exps_per_option(self) -> float:
        return float(np.count_nonzero(self.ops == 0)) / self.n

    @property
    def logs_per_option(self) -> float:
        return float(np.count_nonzero(self.ops == 1)) / self.n


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
        self.ids = {self.plain.kf_name(i).decode(): i for i in range(self.plain.kf_count())}

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
