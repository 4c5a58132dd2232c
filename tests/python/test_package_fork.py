"""A process forked at any moment gets a working kestrelfin: even a child
forked while another thread is inside the process's first array call (which
once chose the kernel path there, under a one-time guard that the child
inherited held and waited for forever). The scenario runs in a subprocess,
with a timeout, so that this test cannot hang itself."""

import subprocess
import sys
from pathlib import Path

import pytest

SCENARIO = Path(__file__).with_name("fork_scenario.py")
TRIALS = 40


@pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="no fork on this platform")
def test_a_child_forked_during_the_first_array_call_works():
    completed = subprocess.run([sys.executable, str(SCENARIO), str(TRIALS)], capture_output=True, text=True,
                               timeout=600, cwd=Path(__file__).parent)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert completed.stdout.strip().splitlines()[-1] == f"0 of {TRIALS} forked children hung"
