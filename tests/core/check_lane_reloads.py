#!/usr/bin/env python3
"""Checks the machine code of the kernels in built objects for vector reloads
that the CPU cannot forward from the stores that wrote them.

A block of lanes that the compiler builds in memory piece by piece (two
16-byte halves of a ymm register, two doubles of an xmm register) and then
reads back whole stalls every such load until the pieces have reached the
cache: a store can be forwarded only to a load that it covers entirely.
GCC produces this for a vector filled through a plain struct copy, through
element-wise writes it does not vectorise, or through an array of vectors it
keeps on the stack, and it cost the array kernels a third of their time
before their loads and stores went straight into the vector registers.

Every function of each file is read (the AVX2 kernels are functions of
their own, run_avx2_fused<...>; the SSE2 ones are mostly inlined into the
array functions and ufunc loops that call them), its instructions in address
order, the stores to each stack slot (addressed from %rsp or %rbp) are
remembered, and a 32-byte load is reported when its bytes were last written
by two 16-byte stores, its halves (or a 16-byte load by two 8-byte ones, on
the SSE2 paths). Four lanes of a ymm register written one at a time and then
reloaded are left alone: those are the rare lane-by-lane paths (a NaN lane
recomputed, the far tail), whose scalar calls cost far more than the stall. A store that covers the slot whole
clears it.

    check_lane_reloads.py OBJDUMP FILE...      (exit status 1 on any finding)
    check_lane_reloads.py --self-test          (the detector on known code)
"""

import re
import subprocess
import sys

# The AVX2 kernels, which every checked file must hold (else it was stripped).
AVX2_KERNEL = re.compile(r"kestrelfin::kernels::run_avx2_fused<")
# Reloads known and accepted, each with its reason. The rational solver's
# SSE2 instances (the path of CPUs without AVX2 and FMA) build their lane
# pairs from 8-byte halves; their time is bound by the solver's dependent
# chain rather than by these loads, and reshaping them is left for a later
# change. Their AVX2 instances are checked like every other kernel.
ACCEPTED = re.compile(r"kestrelfin::kernels::run_sse2_\w+<kestrelfin::kernels::SolverChunk<"
                      r"kestrelfin::kernels::RationalSolver>")
STACK = re.compile(r"^(-?0x[0-9a-f]+|-?\d+)?\(%(rsp|rbp)\)$")
REGISTER_BYTES = {"xmm": 16, "ymm": 32, "zmm": 64}
# Stores that write part of a register: their width does not follow from
# the register's.
PARTIAL_STORES = {
    "movsd": 8, "vmovsd": 8, "movlpd": 8, "vmovlpd": 8, "movhpd": 8, "vmovhpd": 8,
    "movlps": 8, "vmovlps": 8, "movhps": 8, "vmovhps": 8, "movq": 8, "vmovq": 8,
    "vextractf128": 16, "vextracti128": 16, "vextractf64x2": 16, "vextracti64x2": 16,
    "vextractf32x4": 16, "vextracti32x4": 16, "vextractf64x4": 32, "vextracti64x4": 32,
}
# Loads that read less than their register: scalar and half loads, and
# broadcasts of one element.
PARTIAL_LOADS = {
    "movsd": 8, "vmovsd": 8, "movlpd": 8, "vmovlpd": 8, "movhpd": 8, "vmovhpd": 8,
    "movlps": 8, "vmovlps": 8, "movhps": 8, "vmovhps": 8, "movq": 8, "vmovq": 8,
    "vbroadcastsd": 8, "vpbroadcastq": 8, "vmovddup": 8, "movddup": 8,
    "vbroadcastf128": 16, "vbroadcasti128": 16, "vinsertf128": 16, "vinserti128": 16,
    "cvtsi2sd": 8, "vcvtsi2sd": 8, "cvtsi2sdq": 8, "vcvtsi2sdq": 8,
}


def split_operands(text: str) -> list[str]:
    """AT&T operands, split at the commas outside parentheses."""
    operands, depth, current = [], 0, ""
    for char in text:
        if char == "(":
            depth += 1
        elif char == ")":
            depth -= 1
        if char == "," and depth == 0:
            operands.append(current.strip())
            current = ""
        else:
            current += char
    if current.strip():
        operands.append(current.strip())
    return operands


def vector_width(operands: list[str]) -> int:
    widths = [REGISTER_BYTES[m] for o in operands for m in re.findall(r"%([xyz]mm)\d+", o)]
    return max(widths) if widths else 0


def stack_slot(operand: str):
    match = STACK.match(operand)
    if not match:
        return None
    offset = int(match.group(1), 0) if match.group(1) else 0
    return match.group(2), offset


def accesses(instruction: str):
    """(kind, base, offset, size) of an instruction's vector access to the
    stack ("store" or "load"), or None."""
    parts = instruction.split(None, 1)
    if len(parts) < 2:
        return None
    mnemonic, operands = parts[0], split_operands(parts[1].split("#")[0])
    slots = [(i, stack_slot(o)) for i, o in enumerate(operands)]
    slots = [(i, s) for i, s in slots if s]
    if not slots:
        return None
    registers = [o for o in operands if o.startswith("%")]
    width = vector_width(registers)
    if not width:
        return None
    index, (base, offset) = slots[0]
    # AT&T: the destination is the last operand.
    if index == len(operands) - 1 and len(operands) >= 2:
        if mnemonic in PARTIAL_STORES:
            return "store", base, offset, PARTIAL_STORES[mnemonic]
        if re.match(r"v?mov", mnemonic):
            return "store", base, offset, width
        return None
    if mnemonic in PARTIAL_LOADS:
        return "load", base, offset, PARTIAL_LOADS[mnemonic]
    if mnemonic.endswith(("sd", "ss")) and not mnemonic.startswith(("vmovap", "vmovup")):
        return "load", base, offset, 8 if mnemonic.endswith("sd") else 4
    if mnemonic.startswith(("vcvt", "cvt", "vpmov", "pmov")):
        return None  # conversions read a narrower source than their register
    return "load", base, offset, width


def findings(body: list[tuple[str, str]]) -> list[str]:
    """The loads of body (address, instruction pairs) from stack bytes last
    written by narrower stores."""
    written: dict[tuple[str, int], tuple[int, str]] = {}  # byte -> (store size, address)
    found = []
    for address, instruction in body:
        if re.match(r"(sub|add|and|push|pop|lea)\w*\s.*%rsp$", instruction) or instruction.startswith(("push", "pop")):
            written.clear()  # the frame moved: offsets no longer name the same bytes
            continue
        access = accesses(instruction)
        if not access:
            continue
        kind, base, offset, size = access
        if kind == "store":
            for byte in range(offset, offset + size):
                written[(base, byte)] = (size, address)
            continue
        last = [written.get((base, b)) for b in range(offset, offset + size)]
        pieces = set(last)
        # Assembled in memory from two halves: a ymm register from two xmm
        # halves, an xmm register from two doubles.
        if size in (16, 32) and len(pieces) == 2 and None not in pieces and all(p[0] == size // 2 for p in pieces):
            narrower = pieces
            stores = ", ".join(f"{s} bytes at {a}" for s, a in sorted(narrower, key=lambda x: x[1]))
            found.append(f"{address}: {instruction}  reloads {size} bytes stored as {stores}")
    return found


def function_bodies(objdump: str, path: str) -> dict[str, list[tuple[str, str]]]:
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", "-C", path],
                          check=True, capture_output=True, text=True).stdout
    bodies: dict[str, list[tuple[str, str]]] = {}
    current = None
    for line in text.splitlines():
        header = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if header:
            name = header.group(1)
            current = f"{path}: {name}"
            bodies.setdefault(current, [])
            continue
        if current and "\t" in line:
            fields = line.split("\t")
            bodies[current].append((fields[0].strip().rstrip(":"), fields[-1].strip()))
    return bodies


SELF_TEST_STALLS = [
    # Two halves of a ymm register, then the whole (the loads this check exists for).
    [("0", "vmovupd %xmm0,0x40(%rsp)"), ("1", "vmovupd %xmm1,0x50(%rsp)"), ("2", "vmovapd 0x40(%rsp),%ymm2")],
    # The high half extracted, then a ymm register operand of arithmetic.
    [("0", "vmovapd %xmm3,-0x60(%rbp)"), ("1", "vextractf128 $0x1,%ymm4,-0x50(%rbp)"),
     ("2", "vmulpd -0x60(%rbp),%ymm1,%ymm1")],
    # Two doubles written one by one, then read as one xmm register (SSE2).
    [("0", "movsd %xmm0,0x10(%rsp)"), ("1", "movhpd %xmm1,0x18(%rsp)"), ("2", "movapd 0x10(%rsp),%xmm2")],
    # The halves in the other order, the load an operand of a comparison.
    [("0", "vmovdqa %xmm7,-0x120(%rbp)"), ("1", "vmovdqu %xmm1,-0x130(%rbp)"),
     ("2", "vcmpltpd -0x130(%rbp),%ymm0,%ymm0")],
]
SELF_TEST_CLEAN = [
    # A whole store and its reload forward.
    [("0", "vmovapd %ymm0,0x40(%rsp)"), ("1", "vmovapd 0x40(%rsp),%ymm1")],
    # Halves written, then the whole slot rewritten before the load.
    [("0", "vmovupd %xmm0,0x40(%rsp)"), ("1", "vmovupd %xmm1,0x50(%rsp)"), ("2", "vmovapd %ymm5,0x40(%rsp)"),
     ("3", "vaddpd 0x40(%rsp),%ymm1,%ymm1")],
    # Halves reloaded as halves, and one double of a stored vector.
    [("0", "vmovupd %xmm0,0x40(%rsp)"), ("1", "vmovupd 0x40(%rsp),%xmm1"), ("2", "vmovapd %ymm2,0x80(%rsp)"),
     ("3", "vmovsd 0x88(%rsp),%xmm3")],
    # One lane written into a vector stored whole (a rare lane-by-lane path).
    [("0", "vmovapd %ymm0,0x40(%rsp)"), ("1", "vmovsd %xmm1,0x48(%rsp)"), ("2", "vmovapd 0x40(%rsp),%ymm2")],
    # Lanes written one by one on the rare paths (a NaN lane recomputed, a
    # lane in the far tail, the C library's exp lane by lane), then reloaded.
    [("0", "vmovsd %xmm0,-0x1b0(%rbp)"), ("1", "vmovsd %xmm1,-0x1a8(%rbp)"), ("2", "vmovsd %xmm2,-0x1a0(%rbp)"),
     ("3", "vmovsd %xmm3,-0x198(%rbp)"), ("4", "vmovdqa -0x1b0(%rbp),%ymm7")],
    # Other bytes than the ones written in pieces.
    [("0", "vmovupd %xmm0,0x40(%rsp)"), ("1", "vmovupd %xmm1,0x50(%rsp)"), ("2", "vmovapd 0x60(%rsp),%ymm2")],
]


def self_test() -> int:
    failures = [f"missed: {case}" for case in SELF_TEST_STALLS if len(findings(case)) != 1]
    failures += [f"false finding: {case}" for case in SELF_TEST_CLEAN if findings(case)]
    for failure in failures:
        print(failure)
    print(f"{len(SELF_TEST_STALLS) + len(SELF_TEST_CLEAN)} detector cases, {len(failures)} failed")
    return 1 if failures else 0


def main() -> int:
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    objdump, paths = sys.argv[1], sys.argv[2:]
    problems = []
    functions = kernels = accepted = 0
    for path in paths:
        bodies = function_bodies(objdump, path)
        avx2_kernels = sum(1 for name in bodies if AVX2_KERNEL.search(name))
        if not avx2_kernels:
            problems.append(f"{path}: no AVX2 kernel function found (stripped, or renamed?)")
        functions += len(bodies)
        kernels += avx2_kernels
        for name, body in sorted(bodies.items()):
            if ACCEPTED.search(name):
                accepted += len(findings(body))
                continue
            for finding in findings(body):
                problems.append(f"{name}\n    {finding}")
    for problem in problems:
        print(problem)
    print(f"{functions} functions checked ({kernels} AVX2 kernels), {len(problems)} problems"
          f" ({accepted} accepted reloads in the rational solver's SSE2 instances)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
