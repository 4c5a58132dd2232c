#!/usr/bin/env python3
"""Checks the machine code of the replica batch functions (exp_log_batches.cpp)
in the built shared object:

* every fused batch compiled for FMA holds vector fused multiply-adds of its
  register width (xmm for 2 lanes, ymm for 4 and 8 under AVX2, zmm for 8
  under AVX-512), no scalar ones (a lane-wise fma the compiler did not
  vectorise) and no call to the C library's fma();
* no unfused batch holds a fused multiply-add of any kind (a contraction the
  build let through would change bits);
* no batch uses a gather instruction (the table lookups are loads).

The replicas write each fusion as a lane-wise __builtin_fma, so these
properties are the compiler's doing, and this test is where they are pinned.

    check_replica_code.py OBJDUMP LIBRARY
"""

import re
import subprocess
import sys

FMA = re.compile(r"^vf(n?m(add|sub)(sub|add)?)(132|213|231)?(p|s)d$")


def functions(objdump: str, library: str) -> dict[str, list[str]]:
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", "-C", library],
                          check=True, capture_output=True, text=True).stdout
    bodies: dict[str, list[str]] = {}
    current = None
    for line in text.splitlines():
        header = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if header:
            name = header.group(1)
            match = re.match(r"kestrelfin::test::((exp|log)_[a-z0-9_]+)\(", name)
            current = match.group(1) if match else None
            if current:
                bodies.setdefault(current, [])
            continue
        if current and "\t" in line:
            bodies[current].append(line.split("\t")[-1].strip())
    return bodies


def main() -> int:
    objdump, library = sys.argv[1:3]
    bodies = functions(objdump, library)
    problems = []
    checked = 0
    for name, body in sorted(bodies.items()):
        variant = re.search(r"_(fused|unfused)$", name)
        if not variant:
            continue
        checked += 1
        mnemonics = [instruction.split()[0] for instruction in body if instruction]
        fmas = [i for i in body if FMA.match(i.split()[0])]
        vector_fmas = [i for i in fmas if i.split()[0].endswith("pd")]
        scalar_fmas = [i for i in fmas if i.split()[0].endswith("sd")]
        fma_calls = [i for i in body if re.match(r"(call|jmp)\s.*<fma(@plt)?>", i)]
        gathers = [m for m in mnemonics if m.startswith("vgather")]
        if gathers:
            problems.append(f"{name}: gathers {gathers[:3]}")
        if variant.group(1) == "unfused":
            if fmas:
                problems.append(f"{name}: fused multiply-adds in an unfused replica: {fmas[:3]}")
            continue
        register = "zmm" if "avx512" in name else "xmm" if name.endswith("_2_fused") else "ymm"
        if not vector_fmas or any(register not in i for i in vector_fmas):
            problems.append(f"{name}: expected {register} vector FMAs, found {vector_fmas[:3]}")
        if scalar_fmas:
            problems.append(f"{name}: {len(scalar_fmas)} scalar FMAs (lanes not vectorised)")
        if fma_calls:
            problems.append(f"{name}: calls fma(): {fma_calls[:2]}")
    if checked < 18:
        problems.append(f"found only {checked} replica batch functions in {library}")
    for problem in problems:
        print(problem)
    print(f"{checked} batch functions checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
