#!/usr/bin/env python3
"""Writes or checks core/libm_exp_log_data.hpp, the constants and tables of
the system libm's exp and log that the lane replicas use.

Everything is taken from two independent places and must agree:

* the read-only data of the libm that this very process runs (loaded with
  ctypes, its mappings found in /proc/self/maps and read in place), and
* mpmath at 300 bits, for everything that a formula determines: the exp
  table (2^(k/128) = H * (1 + T), H and T rounded to nearest), the
  relations of the log tables (logc = RN(log c), chi = RN(c),
  clo = RN(c - chi), with c = 1/invc), 128/ln2, and the ln2 splits.

The polynomial coefficients and the choice of each invc (a search over
candidates near the centre of its subinterval) come from the algorithm's
authors and cannot be regenerated; they are read from the libm, and the
script checks what it can of them (each 1/invc lies in its subinterval).

Where the data sits in glibc 2.36's libm was read in the disassembly of
__exp_fma / __exp_sse2 and __log_fma / __log_sse2: exp's struct holds
invln2N, negln2hiN, negln2loN, C2..C5, shift, then (after exp2's data) the
table at +0x70; log's holds ln2hi, ln2lo, A0..A4, B0..B10, the {invc, logc}
table at +0x90 and the {chi, clo} table at +0x890. The script finds both
structs by content (the generated exp table; the ln2 split), so it does not
depend on addresses.

    python scripts/libm_exp_log_tables.py --check core/libm_exp_log_data.hpp
    python scripts/libm_exp_log_tables.py --write core/libm_exp_log_data.hpp

Without mpmath, --check still compares every value of the header with the
running libm's data (the header's exp table and ln2 split serve to find the
structs) and says that the mpmath checks were left out; --write needs mpmath.

Exit status: 0 agreed / written, 1 a difference, 77 --write without mpmath.
"""

import argparse
import ctypes
import ctypes.util
import struct
import sys

import re

try:
    import mpmath
    from mpmath import mpf

    mpmath.mp.prec = 300
except ImportError:  # the build environment may lack it
    mpmath = None

N = 128


def bits_of(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def double_of(word: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", word))[0]


def rn(x) -> float:
    """mpf -> double, rounded to nearest (mpmath converts that way)."""
    return float(x)


class RunningLibm:
    """The readable memory of the libm loaded into this process."""

    def __init__(self):
        name = ctypes.util.find_library("m") or "libm.so.6"
        self.handle = ctypes.CDLL(name)
        self.path = None
        self.regions = []
        with open("/proc/self/maps") as maps:
            for line in maps:
                fields = line.split()
                if len(fields) < 6 or "libm.so" not in fields[5] or not fields[1].startswith("r"):
                    continue
                self.path = fields[5]
                start, end = (int(v, 16) for v in fields[0].split("-"))
                self.regions.append((start, ctypes.string_at(start, end - start)))
        if not self.regions:
            sys.exit("libm is not mapped into this process")

    def find(self, needle: bytes) -> int:
        hits = self.find_all(needle)
        if len(hits) != 1:
            sys.exit(f"expected one copy of the searched data in {self.path}, found {len(hits)}")
        return hits[0]

    def find_all(self, needle: bytes) -> list[int]:
        hits = []
        for start, data in self.regions:
            at = data.find(needle)
            while at >= 0:
                hits.append(start + at)
                at = data.find(needle, at + 1)
        return hits

    def word(self, address: int) -> int:
        for start, data in self.regions:
            if start <= address and address + 8 <= start + len(data):
                return struct.unpack_from("<Q", data, address - start)[0]
        sys.exit(f"address {address:#x} is outside the libm's readable mappings")

    def double(self, address: int) -> float:
        return double_of(self.word(address))


def generated_exp_table() -> list[int]:
    """tab[2k] = bits(T), tab[2k+1] = bits(H) - (k << 45): 2^(k/N) = H (1 + T)."""
    words = []
    for k in range(N):
        exact = mpf(2) ** (mpf(k) / N)
        h = rn(exact)
        t = rn(exact / mpf(h) - 1)
        words += [bits_of(t), (bits_of(h) - (k << 45)) % 2**64]
    return words


def fail(message: str):
    sys.exit("mismatch: " + message)


def read_exp(libm: RunningLibm, table: list[int]) -> dict:
    at = libm.find(struct.pack(f"<{len(table)}Q", *table))
    base = at - 0x70
    names = ["inv_ln2_n", "neg_ln2_hi_n", "neg_ln2_lo_n", "c2", "c3", "c4", "c5", "shift"]
    values = {name: libm.double(base + 8 * i) for i, name in enumerate(names)}
    ln2 = mpmath.log(2)
    if values["inv_ln2_n"] != rn(N / ln2):
        fail("exp's N/ln2")
    hi = values["neg_ln2_hi_n"]
    if bits_of(hi) & ((1 << 17) - 1):
        fail("exp's -ln2/N high part keeps k * hi exact only with 17 trailing zero bits")
    if values["neg_ln2_lo_n"] != rn(-ln2 / N - mpf(hi)):
        fail("exp's -ln2/N low part")
    if values["shift"] != float.fromhex("0x1.8p52"):
        fail("exp's rounding shift")
    return values


def read_log(libm: RunningLibm) -> tuple[dict, list, list]:
    ln2 = mpmath.log(2)
    # ln2 with its last 11 bits cleared, so that k * ln2hi is exact for |k| < 2^11.
    ln2_hi = double_of(bits_of(rn(ln2)) & ~((1 << 11) - 1))
    ln2_lo = rn(ln2 - mpf(ln2_hi))
    # pow's data starts with the same split: keep the copy whose tables at
    # log's offsets pass log's checks.
    found = []
    problems = []
    for base in libm.find_all(struct.pack("<2d", ln2_hi, ln2_lo)):
        table = [libm.double(base + 0x90 + 8 * i) for i in range(2 * N)]
        table2 = [libm.double(base + 0x890 + 8 * i) for i in range(2 * N)]
        problem = log_table_problem(table, table2)
        if problem:
            problems.append(f"{base:#x}: {problem}")
        else:
            found.append((base, table, table2))
    if len(found) != 1:
        fail(f"{len(found)} copies of log's data pass its checks; the others: {problems}")
    base, table, table2 = found[0]
    names = ["ln2_hi", "ln2_lo"] + [f"a{i}" for i in range(5)] + [f"b{i}" for i in range(11)]
    values = {name: libm.double(base + 8 * i) for i, name in enumerate(names)}
    return values, table, table2


def log_table_problem(table: list, table2: list) -> str:
    """What is wrong with a candidate pair of log tables, or ''."""
    offset = 0x3FE6000000000000
    for i in range(N):
        invc, logc = table[2 * i], table[2 * i + 1]
        chi, clo = table2[2 * i], table2[2 * i + 1]
        if not 0.5 < invc < 2:
            return f"entry {i}: invc = {invc} is no inverse of a centre"
        c = 1 / mpf(invc)
        if logc != rn(mpmath.log(c)):
            return f"entry {i}: logc is not log(1/invc) rounded"
        if chi != rn(c) or clo != rn(c - mpf(chi)):
            return f"entry {i}: chi + clo is not 1/invc"
        # z = double_of(OFF + (tmp mod 2^52)) and i = (tmp mod 2^52) >> 45, so
        # subinterval i is the z with bits in [OFF + i 2^45, OFF + (i+1) 2^45).
        low = double_of(offset + (i << 45))
        high = double_of(offset + ((i + 1) << 45))
        if not low <= c <= high:
            return f"entry {i}: 1/invc = {float(c)} is outside [{low}, {high}]"
    return ""


def hex_double(x: float) -> str:
    text = float.hex(x)
    return text.replace("0x1.0p", "0x1p").replace("-0x1.0p", "-0x1p")


def header_text(libm_path: str, exp_values: dict, exp_table: list[int], log_values: dict,
                log_table: list, log_table2: list) -> str:
    out = []
    emit = out.append
    emit("""// Constants and tables of the system libm's exp and log (glibc 2.28 and later,
// sysdeps/ieee754/dbl-64/e_exp_data.c and e_log_data.c, whose algorithms come
// from Arm's optimized-routines, MIT / Apache-2.0), for the lane replicas in
// vector_exp_log.hpp.
//
// Written by scripts/libm_exp_log_tables.py; do not edit by hand. The script
// reads every value from the read-only data of the running libm and checks it
// against mpmath wherever a formula determines it:
//   exp_table      generated: 2^(k/128) = H * (1 + T), H and T rounded to
//                  nearest; word 2k is T, word 2k+1 is bits(H) - (k << 45).
//                  Found byte for byte in the libm.
//   log_table      read: {invc, logc} per subinterval; logc = RN(log(1/invc))
//                  checked. invc was chosen by the authors' search and is
//                  only checked to lie in its subinterval.
//   log_table2     read: {chi, clo}, checked as chi = RN(1/invc),
//                  clo = RN(1/invc - chi). Used by the variant without FMA.
//   N/ln2, the ln2 splits and the shift are checked; the polynomial
//   coefficients are read only.
// Run `python scripts/libm_exp_log_tables.py --check core/libm_exp_log_data.hpp`
// on a machine to confirm that its libm still holds these values.""")
    emit(f"// Last written from {libm_path}.")
    emit("""#pragma once

#include <cstdint>

namespace kestrelfin::core::libm_exp_log {

// ---- exp --------------------------------------------------------------------
// x = k ln2/128 + r with k = round(x 128/ln2); exp(x) = 2^(k/128) exp(r).
""")
    comments = {
        "inv_ln2_n": "128/ln2, rounded",
        "neg_ln2_hi_n": "-ln2/128, high part: 17 trailing zero bits keep k * hi exact",
        "neg_ln2_lo_n": "-ln2/128 - neg_ln2_hi_n, rounded",
        "c2": "exp(r) - 1 - r = r^2 (C2 + r C3) + r^4 (C4 + r C5): minimax coefficients",
        "c3": "",
        "c4": "",
        "c5": "",
        "shift": "1.5 * 2^52: adding it rounds to an integer held in the low bits",
    }
    for name, value in exp_values.items():
        if comments[name]:
            emit(f"// {comments[name]}")
        emit(f"inline constexpr double exp_{name} = {hex_double(value)};")
    emit("""
// 128 pairs {bits of T, bits of H minus (k << 45)} for k = 0..127.
alignas(64) inline constexpr std::uint64_t exp_table[256] = {""")
    for k in range(N):
        emit(f"    0x{exp_table[2 * k]:016x}, 0x{exp_table[2 * k + 1]:016x},")
    emit("""};

// ---- log --------------------------------------------------------------------
// x = 2^k z, z in [OFF, 2 OFF) falls in one of 128 subintervals with a centre
// c: log(x) = k ln2 + log(c) + log1p(z/c - 1).
// Bits of 0x1.6p-1: subtracting them from bits(x) yields k and the
// subinterval.
inline constexpr std::uint64_t log_offset = 0x3fe6000000000000;
""")
    for name in ("ln2_hi", "ln2_lo"):
        note = {"ln2_hi": "ln2 with its last 11 bits cleared: k * ln2_hi is exact",
                "ln2_lo": "ln2 - ln2_hi, rounded"}[name]
        emit(f"// {note}")
        emit(f"inline constexpr double log_{name} = {hex_double(log_values[name])};")
    emit("// log1p(r) - r ~ A0 r^2 + A1 r^3 + ... + A4 r^6 for r = z/c - 1 (main path)")
    for i in range(5):
        emit(f"inline constexpr double log_a{i} = {hex_double(log_values[f'a{i}'])};")
    emit("// log(1 + r) - r ~ B0 r^2 + ... + B10 r^12 near 1 (B0 = -0.5)")
    for i in range(11):
        emit(f"inline constexpr double log_b{i} = {hex_double(log_values[f'b{i}'])};")
    emit("""
// 128 pairs {invc, logc}: 1/c and log(c), rounded.
alignas(64) inline constexpr double log_table[256] = {""")
    for i in range(N):
        emit(f"    {hex_double(log_table[2 * i])}, {hex_double(log_table[2 * i + 1])},")
    emit("""};

// 128 pairs {chi, clo}: c = chi + clo to about 2^-106, for z - c without FMA.
alignas(64) inline constexpr double log_table2[256] = {""")
    for i in range(N):
        emit(f"    {hex_double(log_table2[2 * i])}, {hex_double(log_table2[2 * i + 1])},")
    emit("""};

}  // namespace kestrelfin::core::libm_exp_log""")
    return "\n".join(out) + "\n"


def header_values(text: str) -> dict[str, list[int]]:
    """The header's constants and tables, by name, as 64-bit words."""
    values: dict[str, list[int]] = {}
    for match in re.finditer(r"inline constexpr (?:std::uint64_t|double) (\w+)(\[\d+\])? = \{?([^;]*?)\}?;", text,
                             re.S):
        words = []
        for item in re.findall(r"-?0x[0-9a-fA-F.]+(?:p[-+]?\d+)?", match.group(3)):
            if "p" in item or "." in item:
                words.append(bits_of(float.fromhex(item)))
            else:
                words.append(int(item, 16))
        values[match.group(1)] = words
    return values


def check_without_mpmath(libm: RunningLibm, path: str) -> int:
    """Every value of the header against the running libm's data."""
    with open(path) as header:
        values = header_values(header.read())
    exp_table = values["exp_table"]
    table_at = libm.find(struct.pack(f"<{len(exp_table)}Q", *exp_table))
    exp_names = ["exp_inv_ln2_n", "exp_neg_ln2_hi_n", "exp_neg_ln2_lo_n", "exp_c2", "exp_c3", "exp_c4", "exp_c5",
                 "exp_shift"]
    differing = [name for i, name in enumerate(exp_names) if libm.word(table_at - 0x70 + 8 * i) != values[name][0]]
    log_names = ["log_ln2_hi", "log_ln2_lo"] + [f"log_a{i}" for i in range(5)] + [f"log_b{i}" for i in range(11)]
    found = 0
    for base in libm.find_all(struct.pack("<2Q", values["log_ln2_hi"][0], values["log_ln2_lo"][0])):
        table = [libm.word(base + 0x90 + 8 * i) for i in range(2 * N)]
        table2 = [libm.word(base + 0x890 + 8 * i) for i in range(2 * N)]
        if table == values["log_table"] and table2 == values["log_table2"]:
            found += 1
            differing += [name for i, name in enumerate(log_names) if libm.word(base + 8 * i) != values[name][0]]
    if found != 1:
        differing.append(f"log's tables ({found} matching copies)")
    if differing:
        print(f"{path} differs from {libm.path}: {differing}", file=sys.stderr)
        return 1
    print(f"{path} agrees with {libm.path} (mpmath is not installed: the formula checks were left out)")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--write", metavar="HEADER")
    mode.add_argument("--check", metavar="HEADER")
    args = parser.parse_args()

    libm = RunningLibm()
    if mpmath is None:
        if args.check:
            return check_without_mpmath(libm, args.check)
        print("mpmath is not installed: cannot regenerate the tables", file=sys.stderr)
        return 77
    exp_table = generated_exp_table()
    exp_values = read_exp(libm, exp_table)
    log_values, log_table, log_table2 = read_log(libm)
    text = header_text(libm.path, exp_values, exp_table, log_values, log_table, log_table2)

    if args.write:
        with open(args.write, "w") as header:
            header.write(text)
        print(f"wrote {args.write} from {libm.path}")
        return 0
    with open(args.check) as header:
        committed = header.read()
    # The line naming the libm file may differ between machines.
    strip = lambda t: [line for line in t.splitlines() if not line.startswith("// Last written from")]
    if strip(committed) != strip(text):
        differing = [i for i, (a, b) in enumerate(zip(strip(committed), strip(text))) if a != b]
        print(f"{args.check} differs from {libm.path} + mpmath (first differing line "
              f"{differing[0] + 1 if differing else 'count'})", file=sys.stderr)
        return 1
    print(f"{args.check} agrees with {libm.path} and mpmath")
    return 0


if __name__ == "__main__":
    sys.exit(main())
