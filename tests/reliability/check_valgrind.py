"""Reads a valgrind memcheck XML report and fails on anything attributed to
the module: a definite leak, or any memory error (invalid read or write, use
of uninitialised memory, bad free), whose stack passes through _kestrelfin.

    python tests/reliability/check_valgrind.py REPORT.xml

The interpreter's own leaks at exit (it does not free everything) and
reports whose stacks never enter the module are counted but not failed, so
the run needs no suppression file.
"""

import sys
import xml.etree.ElementTree as ET


def main():
    root = ET.parse(sys.argv[1]).getroot()
    ours, others = [], 0
    for error in root.iter("error"):
        kind = error.findtext("kind")
        if kind.startswith("Leak_") and kind != "Leak_DefinitelyLost":
            continue
        frames = [(f.findtext("obj") or "", f.findtext("fn") or "?") for f in error.iter("frame")]
        if any("_kestrelfin" in obj for obj, _ in frames):
            text = error.findtext("what") or error.findtext("xwhat/text") or kind
            ours.append(f"{kind}: {text}\n    " + "\n    ".join(f"{fn} ({obj})" for obj, fn in frames[:20]))
        else:
            others += 1
    states = [s.findtext("state") for s in root.iter("status")]
    status = states[-1] if states else "unknown"
    print(f"valgrind memcheck: {len(ours)} reports through _kestrelfin, {others} elsewhere "
          f"(definite leaks and errors of the interpreter and NumPy, not checked); last state {status}")
    for report in ours:
        print(report)
    sys.exit(1 if ours else 0)


if __name__ == "__main__":
    main()
