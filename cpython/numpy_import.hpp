// The one way both modules find NumPy's C API: which core package the
// interpreter's NumPy has, and the table behind one of its API capsules. Each
// module stores the tables in its own NumPy API symbols and words its own
// failures (_kestrelfin faults, kestrelfin._ufuncs fails its import).
#pragma once

#include "cpython/py_ref.hpp"

namespace kestrelfin::cpython {

// The modules of NumPy's core package that hold the API capsules.
struct NumpyCore {
    const char* multiarray;        // numpy.core.multiarray or numpy._core.multiarray
    const char* multiarray_umath;  // numpy.core._multiarray_umath or numpy._core._multiarray_umath
};

// NumPy's core in the NumPy the interpreter imports: NumPy 2 moved it from
// numpy.core to numpy._core (the old name still imports, with a deprecation
// warning, so it is chosen by NumPy's major version, not by trial). Null with
// the interpreter's exception set when NumPy cannot be imported or tell its
// version.
const NumpyCore* numpy_core();

// The table behind the capsule attribute `attribute` of the module
// `module_name`, a capsule without a name, as NumPy's are (a capsule of
// another name holds some other module's pointer, which read as NumPy's
// table would crash: the interpreter refuses it with ValueError). NumPy
// keeps the capsule, and the table, for the life of the process.
struct ApiTable {
    void** table = nullptr;
    // When the attribute is there but is no capsule: the attribute (and no
    // exception is set). Otherwise a null table means the interpreter's
    // exception is set.
    PyRef not_a_capsule;
};
ApiTable numpy_api_table(const char* module_name, const char* attribute);

}  // namespace kestrelfin::cpython
