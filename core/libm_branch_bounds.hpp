// Where the C library's exp and log (glibc 2.28 and later: Arm's
// optimized-routines algorithms) change branch, as doubles. Named once, here,
// for the three places that must agree on them: the replicas
// (vector_exp_log.hpp), which send a lane down the libm's own branch at
// these bounds; the inputs of the run-time check (exp_log_check_inputs.hpp);
// and the input streams of the tests (tests/core/exp_log_test_inputs.hpp),
// both of which sit inputs on every bound.
#pragma once

namespace kestrelfin::core {

// The two functions of the libm that the replicas reproduce.
enum class LibmFunction : unsigned char { Exp, Log };

}  // namespace kestrelfin::core

namespace kestrelfin::core::libm_bounds {

// ---- exp ------------------------------------------------------------------------
// exp works on |x| through the top 12 bits of its bit pattern (abstop).

// |x| below this (abstop < 0x3c9): exp returns 1 + x.
inline constexpr double kExpTiny = 0x1p-54;
// |x| from here (abstop >= 0x408), infinities and NaN: the special branch,
// which scales the result to reach the overflow and underflow ranges.
inline constexpr double kExpSpecial = 512.0;
// |x| from here (abstop >= 0x409): overflow or underflow without scaling.
inline constexpr double kExpHuge = 1024.0;
// ln(DBL_MAX), ln(2^-1022) and ln(2^-1075), rounded: where the result
// overflows, turns subnormal, and rounds to zero.
inline constexpr double kExpOverflow = 0x1.62e42fefa39efp9;
inline constexpr double kExpSubnormal = -0x1.6232bdd7abcd2p9;
inline constexpr double kExpZero = -0x1.74910d52d3052p9;
// ln 2 / 128, the step of k = round(x 128/ln2); k changes from 0 to +-1 at
// half a step, and k mod 128 wraps at x = 127.5 and -128.5 steps (the two
// doubles where the rounding of x 128/ln2 crosses those values).
inline constexpr double kExpIndexStep = 0x1.62e42fefa39efp-8;
inline constexpr double kExpFirstIndexEdge = 0x1.62e42fefa39efp-9;
inline constexpr double kExpIndexWrapAbove = 0x1.61814bbfb3fb5p-1;
inline constexpr double kExpIndexWrapBelow = -0x1.6447141f93429p-1;

// ---- log ------------------------------------------------------------------------

// [1 - 2^-4, 1 + 0x1.09p-4): log's branch near 1, where r = x - 1 exactly.
inline constexpr double kLogNearOneLow = 0x1.ep-1;
inline constexpr double kLogNearOneHigh = 0x1.109p0;
// Below the smallest normal (zero, subnormals, negatives), infinities and
// NaN: the special branch.
inline constexpr double kLogSmallestNormal = 0x1p-1022;
// The main path writes x = 2^k z with z in [0x1.6p-1, 0x1.6p0): z wraps at
// this value in every binade.
inline constexpr double kLogTableStart = 0x1.6p-1;

}  // namespace kestrelfin::core::libm_bounds
