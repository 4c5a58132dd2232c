"""Runs ``mypy --strict`` with the installed kestrelfin stub on the scripts
beside this file: user_script.py must pass cleanly, and wrong_script.py must
fail with exactly the errors its comments mark (line and error code), so
that the stub is shown to accept correct code and to reject wrong code for
the right reasons. Exits non-zero on any difference."""

import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ERROR_LINE = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$")
MARK = re.compile(r"# error: (?P<code>[a-z-]+)$")


def mypy(script):
    # Run from a scratch directory so that only the installed package, never
    # a source tree, can provide _kestrelfin; no cache, so nothing stale.
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--show-error-codes",
         "--no-color-output", "--no-error-summary", str(HERE / script)],
        capture_output=True, text=True, cwd="/", timeout=300)
    return completed.returncode, completed.stdout + completed.stderr


def main():
    failures = []
    status, output = mypy("user_script.py")
    if status != 0:
        failures.append(f"user_script.py should type-check cleanly, mypy says:\n{output}")

    expected = set()
    for number, line in enumerate((HERE / "wrong_script.py").read_text().splitlines(), start=1):
        mark = MARK.search(line)
        if mark:
            expected.add((number, mark["code"]))
    status, output = mypy("wrong_script.py")
    found = set()
    for line in output.splitlines():
        error = ERROR_LINE.match(line)
        if error:
            found.add((int(error["line"]), error["code"]))
    if status == 0:
        failures.append("wrong_script.py type-checked although it is wrong")
    if found != expected:
        failures.append("wrong_script.py: errors differ from the marked ones\n"
                        f"  missing:    {sorted(expected - found)}\n"
                        f"  unexpected: {sorted(found - expected)}\n{output}")
    if failures:
        print("\n".join(failures))
        return 1
    print(f"mypy --strict: user_script.py clean; wrong_script.py gave the {len(expected)} marked errors")
    return 0


if __name__ == "__main__":
    sys.exit(main())
