"""Runs ``mypy --strict`` with the installed stubs (_kestrelfin's and the
kestrelfin package's) on the scripts beside this file: user_script.py and
package_user_script.py must pass cleanly, and wrong_script.py and
package_wrong_script.py must fail with exactly the errors their comments
mark (line and error code), so that the stubs are shown to accept correct
code and to reject wrong code for the right reasons. Exits non-zero on any difference."""

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


# Each pair: a script that must pass, one that must fail with its marked
# errors; the first pair for _kestrelfin's stub, the second for the
# kestrelfin package's.
PAIRS = [("user_script.py", "wrong_script.py"), ("package_user_script.py", "package_wrong_script.py")]


def check(user, wrong):
    failures = []
    status, output = mypy(user)
    if status != 0:
        failures.append(f"{user} should type-check cleanly, mypy says:\n{output}")

    expected = set()
    for number, line in enumerate((HERE / wrong).read_text().splitlines(), start=1):
        mark = MARK.search(line)
        if mark:
            expected.add((number, mark["code"]))
    status, output = mypy(wrong)
    found = set()
    for line in output.splitlines():
        error = ERROR_LINE.match(line)
        if error:
            found.add((int(error["line"]), error["code"]))
    if status == 0:
        failures.append(f"{wrong} type-checked although it is wrong")
    if found != expected:
        failures.append(f"{wrong}: errors differ from the marked ones\n"
                        f"  missing:    {sorted(expected - found)}\n"
                        f"  unexpected: {sorted(found - expected)}\n{output}")
    if not failures:
        print(f"mypy --strict: {user} clean; {wrong} gave the {len(expected)} marked errors")
    return failures


def main():
    failures = [failure for user, wrong in PAIRS for failure in check(user, wrong)]
    if failures:
        print("\n".join(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
