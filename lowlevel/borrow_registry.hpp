// The borrow registry shared through NumPy's multiarray module.
//
// Extension modules of one process that read or write NumPy arrays in place
// agree, through a capsule attribute of the multiarray module, on one record
// of entry points that register borrows: any number of readers, or one
// writer, of the same memory. This module takes read borrows only.
#pragma once

#include "cpython/python.hpp"

#include <cstdint>

namespace kestrelfin::lowlevel {

// The shared record; the field order is the protocol.
struct SharedBorrowRecord {
    std::uint64_t version;
    void* registry;
    int (*acquire_read)(void* registry, PyObject* array);   // 0, or -1 when held for writing
    int (*acquire_write)(void* registry, PyObject* array);  // 0, -1 on conflict, -2 if read-only
    void (*release_read)(void* registry, PyObject* array);
    void (*release_write)(void* registry, PyObject* array);
};

// The record in use in this process: found on the multiarray module, or
// created and published there. Faults with "Interal borrow checking API
// error: ..." when it cannot be used.
const SharedBorrowRecord& shared_borrow_record();

}  // namespace kestrelfin::lowlevel
