// exp and log on 2, 4 or 8 doubles at a time that return the same bits as the
// system libm (glibc 2.28 and later on x86-64, whose exp and log are Arm's
// optimized-routines algorithms).
//
// glibc ships each function twice in effect: a build compiled with FMA, which
// the dynamic loader picks on CPUs with FMA and AVX2, and a build without it
// (its SSE2 and AVX copies compute identically). The two differ in the last
// bit of a few results in ten thousand, so each has its replica here:
//
//   LibmVariant::Fused    the FMA build: every multiply-add that the compiler
//                         fused there is an explicit fused multiply-add here.
//   LibmVariant::Unfused  the build without FMA: every operation rounded on
//                         its own.
//
// Every step is the libm's, in its order and grouping, as read in the
// disassembly of __exp_fma / __exp_sse2 and __log_fma / __log_sse2 of glibc
// 2.36; the tables and constants are in libm_exp_log_data.hpp. Lanes that the
// libm sends down a special branch (exp: |x| >= 512, infinities, NaN; log:
// zero, subnormals, negatives, infinities, NaN) are finished by calling the
// libm itself out of line, so their results are the libm's by definition.
// The rest, including exp of tiny |x| and log near 1, is computed on lanes.
//
// Which build the running libm is, and whether a compiled replica reproduces
// it, is decided at run time by exp_log_self_check.hpp; a kernel uses a
// replica only after that check passed in its process.
//
// Instruction sets: the functions are always inlined into the kernel and
// compiled with its target (see raw_lanes.hpp for why no intrinsics).
// RegisterBytes tells the width of the kernel's vector registers; wider
// vectors are computed in halves of that width.
//   Fused, 2 or 4 lanes:   the kernel's target must include "fma", e.g.
//                          target("avx2,fma").
//   Fused, 8 lanes:        "avx2,fma" with RegisterBytes 32 (the default: two
//                          ymm halves), or "avx512f" with RegisterBytes 64.
//   Unfused:               any target, the SSE2 baseline included
//                          (RegisterBytes 16 there for 4 or 8 lanes).
// Compiled without FMA, a Fused replica still returns the right bits, through
// a call to the C library's fma() per operation: correct but slow.
// Every translation unit must be compiled with -ffp-contract=off (the
// project's CMake does so): a contracted Unfused multiply-add would change
// bits, which the run-time check would then reject.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/libm_branch_bounds.hpp"
#include "core/libm_exp_log_data.hpp"
#include "core/raw_lanes.hpp"

namespace kestrelfin::core {

enum class LibmVariant : unsigned char { Fused, Unfused };

namespace libm_replica_detail {

namespace data = libm_exp_log;

// Out of line and cold: the lanes that took a special branch of the libm get
// the libm's own result. Called through the library's exp and log, so a
// process that interposes another exp (LD_PRELOAD) gets that one here too.
[[gnu::noinline, gnu::cold]] inline void exp_by_libm(const double* x, double* y, int lanes,
                                                     const std::uint64_t* special) noexcept {
    for (int i = 0; i < lanes; ++i) {
        if (special[i] != 0) {
            y[i] = std::exp(x[i]);
        }
    }
}

[[gnu::noinline, gnu::cold]] inline void log_by_libm(const double* x, double* y, int lanes,
                                                     const std::uint64_t* special) noexcept {
    for (int i = 0; i < lanes; ++i) {
        if (special[i] != 0) {
            y[i] = std::log(x[i]);
        }
    }
}

// y with the lanes set in `special` replaced by scalar(x) of the libm.
template <class V>
KESTRELFIN_LANE_INLINE V finished_by_libm(V x, V y, BitsOf<V> special,
                                          void (*scalar)(const double*, double*, int,
                                                         const std::uint64_t*) noexcept) noexcept {
    // Lane by lane rather than by memcpy: taking the vectors' addresses
    // would keep them in memory on the common path too.
    double xs[lane_count<V>];
    double ys[lane_count<V>];
    std::uint64_t flags[lane_count<V>];
    for (int i = 0; i < lane_count<V>; ++i) {
        xs[i] = x[i];
        ys[i] = y[i];
        flags[i] = special[i];
    }
    scalar(xs, ys, lane_count<V>, flags);
    for (int i = 0; i < lane_count<V>; ++i) {
        y[i] = ys[i];
    }
    return y;
}

// ---- exp ----------------------------------------------------------------------
// exp(x) = 2^(k/128) exp(r) with k = round(x 128/ln2), r = x - k ln2/128;
// 2^(k/128) = 2^(k >> 7) H (1 + T) from the table, exp(r) - 1 by a
// polynomial: exp(x) = scale + scale tmp, scale = 2^(k >> 7) H,
// tmp = T + r + r^2 (C2 + r C3) + r^4 (C4 + r C5).
template <LibmVariant Variant, class V>
KESTRELFIN_LANE_INLINE V exp_main_path(V x) noexcept {
    using Bits = BitsOf<V>;
    constexpr bool fused = Variant == LibmVariant::Fused;

    V kd;
    if constexpr (fused) {
        // k rounded from the unrounded product: fma(x, 128/ln2, shift)
        kd = fused_multiply_add(x, splat<V>(data::exp_inv_ln2_n), splat<V>(data::exp_shift));
    } else {
        const V z = data::exp_inv_ln2_n * x;
        // Adding 1.5 2^52 rounds z to an integer, held in the low mantissa bits.
        kd = z + data::exp_shift;
    }
    // k as an unsigned integer in the low bits (two's complement for k < 0).
    const Bits ki = bits_of(kd);
    // k as a double, exactly.
    kd = kd - data::exp_shift;

    V r;
    if constexpr (fused) {
        // r = x - k ln2/128 in two fused steps, the high part first.
        r = fused_multiply_add(kd, splat<V>(data::exp_neg_ln2_hi_n), x);
        r = fused_multiply_add(kd, splat<V>(data::exp_neg_ln2_lo_n), r);
    } else {
        // (x + kd hi) + kd lo; kd hi is exact (hi has 17 trailing zero bits).
        const V with_hi = x + kd * data::exp_neg_ln2_hi_n;
        r = with_hi + kd * data::exp_neg_ln2_lo_n;
    }

    // k mod 128 taken on the unsigned bits, so negative k index correctly.
    const Bits index = ki & 127;
    // k >> 7 lands in the exponent field; the shift wraps modulo 2^64 and
    // the bits above k's are cancelled by the table's biased words.
    const Bits top = ki << 45;
    V tail;
    V scale_base;
    load_pairs(reinterpret_cast<const double*>(data::exp_table), index, tail, scale_base);
    const Bits sbits = bits_of(scale_base) + top;

    const V r2 = r * r;
    V tmp;
    if constexpr (fused) {
        // The FMA build's contraction of tail + r + r2 (C2 + r C3) + r2 r2 (C4 + r C5):
        // fma(r2 r2, fma(r, C5, C4), fma(fma(r, C3, C2), r2, tail + r)).
        const V c23 = fused_multiply_add(r, splat<V>(data::exp_c3), splat<V>(data::exp_c2));
        const V c45 = fused_multiply_add(r, splat<V>(data::exp_c5), splat<V>(data::exp_c4));
        const V tail_r = tail + r;
        const V low = fused_multiply_add(c23, r2, tail_r);
        const V r4 = r2 * r2;
        tmp = fused_multiply_add(r4, c45, low);
    } else {
        // Left to right: ((tail + r) + r2 (C2 + r C3)) + (r2 r2) (C4 + r C5).
        const V c23 = data::exp_c2 + r * data::exp_c3;
        const V c45 = data::exp_c4 + r * data::exp_c5;
        const V tail_r = tail + r;
        const V low = tail_r + r2 * c23;
        const V r4 = r2 * r2;
        tmp = low + r4 * c45;
    }

    const V scale = doubles_of<V>(sbits);
    if constexpr (fused) {
        // scale + scale tmp, fused.
        return fused_multiply_add(scale, tmp, scale);
    } else {
        return scale + scale * tmp;
    }
}

// ---- log ----------------------------------------------------------------------
// x = 2^k z with z in [0x1.6p-1, 0x1.6p0) in one of 128 subintervals with
// centre c: log(x) = k ln2 + log(c) + log1p(r), r = z/c - 1, |r| < 2^-8.
template <LibmVariant Variant, class V>
KESTRELFIN_LANE_INLINE V log_main_path(V x) noexcept {
    using Bits = BitsOf<V>;
    constexpr bool fused = Variant == LibmVariant::Fused;

    const Bits ix = bits_of(x);
    // Subtracting the bits of 0x1.6p-1 puts k in the top 12 bits (as a
    // signed number) and the subinterval in bits 45..51.
    const Bits tmp = ix - data::log_offset;
    const Bits i = (tmp >> 45) & 127;
    // k = tmp >> 52, arithmetic, as a double: the 12-bit two's complement k
    // plus 2048, placed in the mantissa of 2^52, minus 2^52 + 2048; exact.
    // (Equal to the libm's integer conversion of k.)
    const Bits k_offset = ((tmp >> 52) ^ 0x800) | 0x4330000000000000;
    const V kd = doubles_of<V>(k_offset) - 0x1.0000000000800p52;
    // z = x / 2^k: x with k taken out of its exponent.
    const Bits iz = ix - (tmp & 0xfff0000000000000);
    const V z = doubles_of<V>(iz);

    V invc;
    V logc;
    load_pairs(data::log_table, i, invc, logc);

    V r;
    if constexpr (fused) {
        // z invc - 1 with one rounding; tiny relative error since invc ~ 1/z.
        r = fused_multiply_add(z, invc, splat<V>(-1.0));
    } else {
        // ((z - chi) - clo) invc, with chi + clo = 1/invc to ~2^-106.
        V chi;
        V clo;
        load_pairs(data::log_table2, i, chi, clo);
        const V z_minus_chi = z - chi;
        const V z_minus_c = z_minus_chi - clo;
        r = z_minus_c * invc;
    }

    // hi + lo = r + log(c) + k ln2.
    V w;
    if constexpr (fused) {
        w = fused_multiply_add(kd, splat<V>(data::log_ln2_hi), logc);
    } else {
        // kd ln2hi is exact (ln2hi has 11 trailing zero bits).
        w = kd * data::log_ln2_hi + logc;
    }
    const V hi = w + r;
    // The rounding error of hi, plus the low part of k ln2.
    const V w_minus_hi = w - hi;
    const V hi_error = w_minus_hi + r;
    V lo;
    if constexpr (fused) {
        lo = fused_multiply_add(kd, splat<V>(data::log_ln2_lo), hi_error);
    } else {
        lo = hi_error + kd * data::log_ln2_lo;
    }

    // log(x) = lo + (log1p(r) - r) + hi,
    // log1p(r) - r ~ A0 r2 + r r2 (A1 + r A2 + r2 (A3 + r A4)).
    const V r2 = r * r;
    const V r3 = r * r2;
    if constexpr (fused) {
        // The FMA build's grouping:
        // fma(r r2, fma(fma(r, A4, A3), r2, fma(r, A2, A1)), fma(r2, A0, lo)) + hi.
        const V a12 = fused_multiply_add(r, splat<V>(data::log_a2), splat<V>(data::log_a1));
        const V a34 = fused_multiply_add(r, splat<V>(data::log_a4), splat<V>(data::log_a3));
        const V poly = fused_multiply_add(a34, r2, a12);
        const V lo_a0 = fused_multiply_add(r2, splat<V>(data::log_a0), lo);
        const V sum = fused_multiply_add(r3, poly, lo_a0);
        return sum + hi;
    } else {
        // Left to right: ((lo + r2 A0) + (r r2) ((A1 + r A2) + r2 (A3 + r A4))) + hi.
        const V a12 = data::log_a1 + r * data::log_a2;
        const V a34 = data::log_a3 + r * data::log_a4;
        const V poly = a12 + r2 * a34;
        const V lo_a0 = lo + r2 * data::log_a0;
        const V sum = lo_a0 + r3 * poly;
        return sum + hi;
    }
}

// log(x) for x in [1 - 2^-4, 1 + 0x1.09p-4): r = x - 1 exactly;
// log(1 + r) = r + B0 r^2 + r^3 (B1 + ... ), with r + B0 r^2 split into
// hi + lo so that the leading terms are nearly exact.
template <LibmVariant Variant, class V>
KESTRELFIN_LANE_INLINE V log_near_one(V x) noexcept {
    constexpr bool fused = Variant == LibmVariant::Fused;
    const V r = x - 1.0;
    const V r2 = r * r;
    const V r3 = r * r2;

    if constexpr (fused) {
        // The FMA build evaluates the polynomial of B1..B10 as
        // fma(fma(p7, r3, p456), r3, p123).
        const V b12 = fused_multiply_add(r, splat<V>(data::log_b2), splat<V>(data::log_b1));
        const V p123 = fused_multiply_add(r2, splat<V>(data::log_b3), b12);
        const V b45 = fused_multiply_add(r, splat<V>(data::log_b5), splat<V>(data::log_b4));
        const V p456 = fused_multiply_add(r2, splat<V>(data::log_b6), b45);
        const V b78 = fused_multiply_add(r, splat<V>(data::log_b8), splat<V>(data::log_b7));
        const V b789 = fused_multiply_add(r2, splat<V>(data::log_b9), b78);
        const V p7 = fused_multiply_add(r3, splat<V>(data::log_b10), b789);
        const V p4 = fused_multiply_add(p7, r3, p456);
        const V poly = fused_multiply_add(p4, r3, p123);

        // rhi = r rounded to its top 26 bits: (r + r 2^27) - r 2^27, the
        // first sum fused, the subtraction of the exact product fused too.
        const V r_scaled_sum = fused_multiply_add(r, splat<V>(0x1p27), r);
        const V rhi = negated_fused_multiply_add(splat<V>(0x1p27), r, r_scaled_sum);
        const V rlo = r - rhi;
        // hi + lo = r + B0 rhi^2, exactly but for lo's rounding.
        const V rhi2 = rhi * rhi;
        const V hi = fused_multiply_add(rhi2, splat<V>(data::log_b0), r);
        const V r_minus_hi = r - hi;
        V lo = fused_multiply_add(rhi2, splat<V>(data::log_b0), r_minus_hi);
        // B0 (r^2 - rhi^2) = B0 rlo (rhi + r).
        const V b0_rlo = data::log_b0 * rlo;
        const V rhi_plus_r = r + rhi;
        lo = fused_multiply_add(b0_rlo, rhi_plus_r, lo);
        // y = r3 poly + lo, fused, then + hi.
        const V y = fused_multiply_add(poly, r3, lo);
        return hi + y;
    } else {
        // r3 (B1 + r B2 + r2 B3 + r3 (B4 + r B5 + r2 B6 + r3 (B7 + r B8 + r2 B9 + r3 B10))),
        // each sum left to right.
        const V p7 = ((data::log_b7 + r * data::log_b8) + r2 * data::log_b9) + r3 * data::log_b10;
        const V p4 = ((data::log_b4 + r * data::log_b5) + r2 * data::log_b6) + r3 * p7;
        const V p1 = ((data::log_b1 + r * data::log_b2) + r2 * data::log_b3) + r3 * p4;
        V y = r3 * p1;

        // rhi = r rounded to its top 26 bits.
        const V w = r * 0x1p27;
        const V rhi = (r + w) - w;
        const V rlo = r - rhi;
        // hi + lo = r + B0 rhi^2.
        const V b0_rhi2 = (rhi * rhi) * data::log_b0;
        const V hi = r + b0_rhi2;
        V lo = (r - hi) + b0_rhi2;
        // B0 (r^2 - rhi^2) = B0 rlo (rhi + r).
        lo = lo + (data::log_b0 * rlo) * (rhi + r);
        y = y + lo;
        return y + hi;
    }
}

// A lane vector of half the length, and the halves of a vector. Eight lanes
// under AVX2 are computed as two halves of four: GCC vectorises a 64-byte
// vector's lane-wise fma badly where no register holds it (it falls back to
// scalar code), but the halves fit ymm registers exactly.
template <class V>
struct HalfOf {
    using Type = RawLanes<lane_count<V> / 2>;
};

template <class V>
KESTRELFIN_LANE_INLINE void split(V x, typename HalfOf<V>::Type& low, typename HalfOf<V>::Type& high) noexcept {
    std::memcpy(&low, &x, sizeof low);
    std::memcpy(&high, reinterpret_cast<const char*>(&x) + sizeof low, sizeof high);
}

template <class V>
KESTRELFIN_LANE_INLINE V joined(typename HalfOf<V>::Type low, typename HalfOf<V>::Type high) noexcept {
    V x;
    std::memcpy(&x, &low, sizeof low);
    std::memcpy(reinterpret_cast<char*>(&x) + sizeof low, &high, sizeof high);
    return x;
}

// exp and log on one register's worth of lanes: the libm's main path, its
// other branches selected lane by lane.
template <LibmVariant Variant>
struct ExpInRegister {
    template <class V>
    static KESTRELFIN_LANE_INLINE V apply(V x) noexcept {
        V y = exp_main_path<Variant>(x);

        const V magnitude = doubles_of<V>(bits_of(x) & 0x7fffffffffffffff);
        // |x| < 2^-54 (the libm's abstop < 0x3c9): the libm returns 1 + x.
        const BitsOf<V> tiny = mask_of<V>(magnitude < libm_bounds::kExpTiny);
        y = select(tiny, x + 1.0, y);
        // |x| >= 512 (abstop >= 0x408), infinite or NaN: the libm's special
        // branches, taken by the libm itself. (False comparisons catch NaN.)
        const BitsOf<V> special = ~mask_of<V>(magnitude < libm_bounds::kExpSpecial);
        if (__builtin_expect(any_lane(special), 0)) {
            y = finished_by_libm(x, y, special, exp_by_libm);
        }
        return y;
    }
};

template <LibmVariant Variant>
struct LogInRegister {
    template <class V>
    static KESTRELFIN_LANE_INLINE V apply(V x) noexcept {
        V y = log_main_path<Variant>(x);

        // bits(x) - bits(1 - 2^-4) < bits(1 + 0x1.09p-4) - bits(1 - 2^-4),
        // unsigned: for doubles, 1 - 2^-4 <= x < 1 + 0x1.09p-4.
        const BitsOf<V> near_one =
            mask_of<V>(x >= libm_bounds::kLogNearOneLow) & mask_of<V>(x < libm_bounds::kLogNearOneHigh);
        // Top 16 bits minus 0x0010 >= 0x7fe0, unsigned: zero, subnormal,
        // negative, infinite or NaN; the libm's special branches, taken by
        // the libm itself. For doubles: not 2^-1022 <= x < inf.
        const BitsOf<V> ordinary = mask_of<V>(x >= libm_bounds::kLogSmallestNormal) & mask_of<V>(x < __builtin_inf());
        const BitsOf<V> special = ~ordinary;
        // One test for the common case that every lane is on the main path.
        if (any_lane(near_one | special)) {
            if (any_lane(near_one)) {
                V y_near_one = log_near_one<Variant>(x);
                // The libm returns +0 for x = 1 before any arithmetic.
                y_near_one = select(mask_of<V>(x == 1.0), splat<V>(0.0), y_near_one);
                y = select(near_one, y_near_one, y);
            }
            if (__builtin_expect(any_lane(special), 0)) {
                y = finished_by_libm(x, y, special, log_by_libm);
            }
        }
        return y;
    }
};

// InRegister::apply over x in pieces of RegisterBytes, the width of the
// kernel's vector registers: a wider V is computed in halves (the default,
// 32, computes 8 lanes as two ymm halves; an AVX-512 kernel passes 64 to
// compute them in one zmm).
template <class InRegister, int RegisterBytes, class V>
KESTRELFIN_LANE_INLINE V by_register(V x) noexcept {
    static_assert(RawVector<V>, "a lane vector of 2, 4 or 8 doubles");
    static_assert(RegisterBytes == 16 || RegisterBytes == 32 || RegisterBytes == 64);
    if constexpr (sizeof(V) > RegisterBytes) {
        using Half = typename HalfOf<V>::Type;
        Half low;
        Half high;
        split(x, low, high);
        return joined<V>(by_register<InRegister, RegisterBytes>(low), by_register<InRegister, RegisterBytes>(high));
    } else {
        return InRegister::apply(x);
    }
}

}  // namespace libm_replica_detail

// exp(x) in every lane, bit for bit the libm build named by Variant, in
// pieces of RegisterBytes (by_register).
template <LibmVariant Variant, class V, int RegisterBytes = 32>
KESTRELFIN_LANE_INLINE V exp_lanes(V x) noexcept {
    using namespace libm_replica_detail;
    return by_register<ExpInRegister<Variant>, RegisterBytes>(x);
}

// log(x) in every lane, bit for bit the libm build named by Variant;
// RegisterBytes as for exp_lanes.
template <LibmVariant Variant, class V, int RegisterBytes = 32>
KESTRELFIN_LANE_INLINE V log_lanes(V x) noexcept {
    using namespace libm_replica_detail;
    return by_register<LogInRegister<Variant>, RegisterBytes>(x);
}

// The replicas in the shape of a lane math policy (as core/lanes.hpp's
// LibmCalls): exp and log of a raw lane vector, with no call per lane.
template <LibmVariant Variant, int RegisterBytes = 32>
struct LibmReplicaMath {
    static constexpr bool calls_per_lane = false;
    static constexpr LibmVariant variant = Variant;

    template <class Raw>
    static KESTRELFIN_LANE_INLINE Raw exp(Raw x) noexcept {
        return exp_lanes<Variant, Raw, RegisterBytes>(x);
    }
    template <class Raw>
    static KESTRELFIN_LANE_INLINE Raw log(Raw x) noexcept {
        return log_lanes<Variant, Raw, RegisterBytes>(x);
    }
};

}  // namespace kestrelfin::core
