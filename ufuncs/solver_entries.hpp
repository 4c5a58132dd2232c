// The one-option implied volatility of kestrelfin._ufuncs, for the package's
// path of one option: for every implied-volatility function of the table,
//   <name>_or_nan(parameters...) -> float
//   <name>_outcome(parameters...) -> (float, int)
// take the _kestrelfin function's parameters, positionally and in its
// order, and give the volatility the _kestrelfin function returns, or NaN
// where that raises a solver failure, and (_outcome) the reason code:
// 0 found, 1 below the intrinsic value, 2 above the maximum, 3 not
// converged; SOLVER_OUTCOMES holds the texts of the codes, as _kestrelfin
// raises them. A flag that is no flag raises _kestrelfin's ValueError; the
// numbers are read as _kestrelfin reads them (through __float__ or
// __index__), before the flag.
// The same pair for the "Let's Be Rational" solver,
//   <name>_rational_or_nan(parameters...) -> float
//   <name>_rational_outcome(parameters...) -> (float, int)
// whose code is the IVReason (kernels/solver_loops.hpp): 0 found, 1 at the
// intrinsic value (volatility 0.0), 2 below it, 3 at or above the maximum,
// 4 invalid input.
#pragma once

#include "cpython/python.hpp"

namespace kestrelfin::ufuncs {

// Adds the entries and SOLVER_OUTCOMES to the module; false with an
// exception set on failure.
bool add_solver_entries(PyObject* module);

}  // namespace kestrelfin::ufuncs
