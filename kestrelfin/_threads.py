"""How many threads the package's ufuncs use, and the ways to change it.

A ufunc call over a long array shares its loop between the calling thread
and a process-wide pool of native threads (kestrelfin._ufuncs). The limit
counts every thread that works on kestrelfin's loops at once, the callers'
own threads included: two Python threads calling at once share it rather
than each taking it whole.

The default is the number of CPUs this process may use: its affinity mask,
lowered to a cgroup's CPU quota where one is set (a container limited to
two CPUs' time gets two threads however many the host has). The environment
variable KESTRELFIN_NUM_THREADS, read once when the package is imported,
replaces it; a value that is not a positive integer is ignored with a
RuntimeWarning.
"""

import contextlib
import math
import operator
import os
import warnings
from collections.abc import Iterator

from kestrelfin import _ufuncs

ENVIRONMENT_VARIABLE = "KESTRELFIN_NUM_THREADS"
MAX_THREADS = 4096


def _cgroup_v2_quota(path: str) -> float | None:
    """The CPUs of a cgroup v2 cpu.max ("max 100000" or "QUOTA PERIOD")."""
    with open(path, encoding="ascii") as file:
        fields = file.read().split()
    if len(fields) != 2 or fields[0] == "max":
        return None
    return int(fields[0]) / int(fields[1])


def _cgroup_v1_quota(directory: str) -> float | None:
    with open(os.path.join(directory, "cpu.cfs_quota_us"), encoding="ascii") as file:
        quota = int(file.read())
    with open(os.path.join(directory, "cpu.cfs_period_us"), encoding="ascii") as file:
        period = int(file.read())
    if quota <= 0 or period <= 0:
        return None
    return quota / period


def _cgroup_cpu_quota() -> float | None:
    """The CPU time this process's cgroup may take, in CPUs, or None where no
    quota is set or none can be read. Both the process's own cgroup (from
    /proc/self/cgroup) and the root of the mounted hierarchy (what a
    container sees of its own cgroup) are tried."""
    try:
        with open("/proc/self/cgroup", encoding="ascii") as file:
            lines = file.read().splitlines()
    except OSError:
        return None
    quotas = []
    for line in lines:
        _, controllers, path = line.split(":", 2)
        relative = path.lstrip("/")
        if controllers == "":  # cgroup v2
            candidates = [(_cgroup_v2_quota, os.path.join("/sys/fs/cgroup", relative, "cpu.max")),
                          (_cgroup_v2_quota, "/sys/fs/cgroup/cpu.max")]
        elif "cpu" in controllers.split(","):
            candidates = [(_cgroup_v1_quota, os.path.join("/sys/fs/cgroup", name, relative))
                          for name in ("cpu", "cpu,cpuacct")]
            candidates += [(_cgroup_v1_quota, os.path.join("/sys/fs/cgroup", name)) for name in ("cpu", "cpu,cpuacct")]
        else:
            continue
        for read, path_to_read in candidates:
            try:
                quota = read(path_to_read)
            except (OSError, ValueError):
                continue
            if quota is not None:
                quotas.append(quota)
            break
    return min(quotas) if quotas else None


def default_num_threads() -> int:
    """The CPUs this process may use: its affinity mask, capped by its cgroup's
    CPU quota (rounded up) where one is set."""
    cpus = _ufuncs.affinity_cpu_count()
    quota = _cgroup_cpu_quota()
    if quota is not None:
        cpus = min(cpus, max(1, math.ceil(quota)))
    return max(1, cpus)


def _checked(n: object) -> int:
    if isinstance(n, bool):
        raise TypeError(f"the number of threads must be an int, not {type(n).__name__}")
    try:
        count = operator.index(n)
    except TypeError:
        raise TypeError(f"the number of threads must be an int, not {type(n).__name__}") from None
    if not 1 <= count <= MAX_THREADS:
        raise ValueError(f"the number of threads must be from 1 to {MAX_THREADS}, not {count}")
    return count


def set_num_threads(n: int) -> int:
    """Lets at most n threads work on kestrelfin's ufunc loops at once (the
    calling threads included), from the next call on, in the whole process.
    Returns the previous limit, so that ``set_num_threads(previous)`` undoes
    it. n = 1 runs every loop on the calling thread, as before the pool.

    Results do not depend on it: every element is bit for bit the same for
    any number of threads."""
    return int(_ufuncs.set_num_threads(_checked(n)))


def get_num_threads() -> int:
    """The current limit of the threads that work on kestrelfin's loops at
    once (see set_num_threads)."""
    return int(_ufuncs.get_num_threads())


@contextlib.contextmanager
def num_threads(n: int) -> Iterator[int]:
    """Sets the thread limit for a block and restores the previous one on
    leaving it, also on an exception::

        with kestrelfin.num_threads(1):
            prices = kestrelfin.bsm.price(...)

    The limit is the process's: other threads' calls made meanwhile use it
    too (as with threadpoolctl's limits)."""
    previous = set_num_threads(n)
    try:
        yield n
    finally:
        set_num_threads(previous)


def _limit_from_environment() -> int | None:
    value = os.environ.get(ENVIRONMENT_VARIABLE)
    if value is None or value.strip() == "":
        return None
    try:
        count = int(value.strip())
    except ValueError:
        count = 0
    if not 1 <= count <= MAX_THREADS:
        warnings.warn(f"{ENVIRONMENT_VARIABLE} must be an integer from 1 to {MAX_THREADS}, not {value!r}; "
                      "kestrelfin uses the default number of threads", RuntimeWarning, stacklevel=3)
        return None
    return count


def _register_threadpoolctl_controller() -> None:
    """Lets threadpoolctl's threadpool_limits and threadpool_info see and
    limit the pool (user_api "kestrelfin"), where threadpoolctl is installed."""
    try:
        import threadpoolctl
    except ImportError:
        return
    if not hasattr(threadpoolctl, "register") or not hasattr(threadpoolctl, "LibController"):
        return  # threadpoolctl before 3.5 has no registry of controllers

    class KestrelfinController(threadpoolctl.LibController):
        user_api = "kestrelfin"
        internal_api = "kestrelfin"
        # The package's native module; the symbols below tell it from other
        # packages' modules of the same name.
        filename_prefixes = ("_ufuncs",)
        check_symbols = ("kestrelfin_get_num_threads", "kestrelfin_set_num_threads")

        def get_num_threads(self):
            return self.dynlib.kestrelfin_get_num_threads()

        def set_num_threads(self, num_threads):
            return self.dynlib.kestrelfin_set_num_threads(int(num_threads))

        def get_version(self):
            from kestrelfin import __version__
            return __version__

    threadpoolctl.register(KestrelfinController)


def configure_at_import() -> None:
    limit = _limit_from_environment()
    _ufuncs.set_num_threads(default_num_threads() if limit is None else limit)
    _register_threadpoolctl_controller()
