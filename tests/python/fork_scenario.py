"""A child forked while another thread is inside the process's first array
call must work. Run as a script (by test_package_fork.py): prints the number
of hung children out of the trials and exits 0, or 2 on a setup failure.

The process imports kestrelfin but makes no array call, then forks one
trial process per trial; each trial starts a thread whose first array call
is a large one (the loops release the interpreter lock), forks a child from
nothing to three milliseconds after the thread is about to make it, and
waits for the child's own array call to finish. A child that has not finished in a few
seconds is hung: it is killed and counted.
"""

import os
import signal
import sys
import threading
import time
import warnings

import numpy as np

from kestrelfin import bs

TRIALS = int(sys.argv[1]) if len(sys.argv) > 1 else 40
CHILD_TIMEOUT = 3.0
warnings.simplefilter("ignore", DeprecationWarning)  # fork with a thread running: the very point here


def wait(pid: int, timeout: float) -> int | None:
    """The child's exit status, or None when it has not exited in time."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.005)
    return None


def trial(delay: float) -> int:
    """One trial process: 0 when the forked child worked, 1 when it hung."""
    strikes = np.linspace(50.0, 150.0, 300_000)
    calling = threading.Event()

    def first_array_call():
        calling.set()
        bs.price("c", 100.0, strikes, 0.5, 0.03, 0.2)

    thread = threading.Thread(target=first_array_call)
    thread.start()
    calling.wait()
    # The thread needs the interpreter lock to go on into the call: the
    # sleep gives it, and the fork comes `delay` later.
    time.sleep(delay)
    child = os.fork()
    if child == 0:
        value = bs.price("c", 100.0, np.array([95.0, 105.0]), 0.5, 0.03, 0.2)
        os._exit(0 if value.shape == (2,) else 3)
    status = wait(child, CHILD_TIMEOUT)
    thread.join()
    if status is None:
        os.kill(child, signal.SIGKILL)
        os.waitpid(child, 0)
        return 1
    return 0 if status == 0 else 2


def main() -> int:
    hung = 0
    for i in range(TRIALS):
        delay = 0.003 * i / TRIALS  # 0 to 3 ms after the thread is about to call
        pid = os.fork()
        if pid == 0:
            os._exit(trial(delay))
        status = wait(pid, 60.0)
        if status is None or status == 2:
            print(f"trial {i} failed to run (status {status})")
            return 2
        hung += status
    print(f"{hung} of {TRIALS} forked children hung")
    return 0


if __name__ == "__main__":
    sys.exit(main())
