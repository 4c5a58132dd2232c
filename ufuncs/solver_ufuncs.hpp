// The implied-volatility ufuncs of kestrelfin._ufuncs with a choice of
// solver and a reason code per option. For every implied-volatility function
// of the table (its numbers as float64 after the bool is_call, as the other
// ufuncs take them):
//   <name>_rational         -> float64: "Let's Be Rational";
//   <name>_rational_reason  -> (float64, int8): the same and the reason;
//   <name>_newton_reason    -> (float64, int8): the <name> ufunc's volatility
//                              (the Newton solver of _kestrelfin) and the reason;
// the reason codes are kestrelfin.IVReason's (kernels/solver_loops.hpp).
// IMPLIED_VOLATILITY_METHODS holds, per function and method, the record
//   (name, method, ufunc, reason_ufunc, one_option)
// with method "rational" or "newton", one_option the entry that solves one
// option giving NaN where none gives the price (solver_entries.hpp), and
// REASONS the names of the codes in order.
#pragma once

#include "cpython/python.hpp"

namespace kestrelfin::ufuncs {

// Adds the ufuncs and the tuples to the module, after the table's ufuncs and
// the solver entries; false with an exception set on failure.
bool add_solver_ufuncs(PyObject* module);

}  // namespace kestrelfin::ufuncs
