"""Summarises `perf annotate --stdio --percent-type local-period` of the
hottest function: the share of samples by kind of instruction, and the
share on divisions and square roots.

    perf annotate -i perf.data --stdio --percent-type local-period > annotate.txt
    python benchmarks/profile/annotate_summary.py annotate.txt

Only the first function of the listing is read (perf lists the hottest
first). The samples are cpu-clock samples (this machine's virtual CPU has no
hardware counters), which land on the instruction after a slow one; so a
division's share is counted as its own samples plus those of the next
instruction, and the shares by kind are indicative only.
"""

import collections
import re
import sys


def first_function(path: str) -> list[str]:
    lines, sections = [], 0
    for line in open(path):
        if line.startswith(" Percent |"):
            sections += 1
            if sections > 1:
                break
        if re.match(r"^ +[0-9]+\.[0-9]+ :", line):
            lines.append(line)
    return lines


def kind(op: str) -> str:
    if op == "vbroadcastsd":
        return "constant broadcasts (vbroadcastsd)"
    if op.startswith(("vmovsd", "vmovq", "vpextrq", "vpinsrq", "vunpck", "vperm", "vinsert", "vextract",
                      "vmovhpd", "vmovlpd", "vshuf", "vblend")):
        return "lane moves, shuffles, blends"
    if re.match(r"v?(div|sqrt)", op):
        return "divisions and square roots"
    if op.startswith("v") and op.endswith("pd"):
        return "packed double arithmetic, logic, loads"
    if op.startswith("v") and op.endswith("sd"):
        return "scalar double arithmetic"
    if op.startswith(("vp", "vand", "vor", "vxor")):
        return "packed integer and bit operations"
    if op.startswith(("j", "cmp", "test", "set", "call", "ret")):
        return "branches, compares, calls"
    return "integer and other"


def main() -> None:
    lines = first_function(sys.argv[1])
    shares = collections.Counter()
    division = 0.0
    divisions = 0
    for i, line in enumerate(lines):
        percent = float(line.split(":")[0])
        instruction = line.split(":", 2)[2].strip()
        op = instruction.split()[0] if instruction else ""
        shares[kind(op)] += percent
        if re.match(r"v?(div|sqrt)[sp]d", op):
            divisions += 1
            following = float(lines[i + 1].split(":")[0]) if i + 1 < len(lines) else 0.0
            division += percent + following
    for name, percent in shares.most_common():
        print(f"{percent:6.1f} %  {name}")
    print(f"{division:6.1f} %  on the {divisions} division and square-root instructions and the instruction after each")


if __name__ == "__main__":
    main()
