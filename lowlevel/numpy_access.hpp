// NumPy access: the API table found at the first array call, read views of
// one-dimensional float64 arrays under borrows shared with other extension
// modules, and result arrays that adopt a filled buffer.
//
// NumPy's own headers are confined to numpy_api.cpp; nothing here needs them.
#pragma once

#include "lowlevel/errors.hpp"

#include <cstddef>
#include <memory>

namespace kestrelfin::lowlevel {

struct SharedBorrowRecord;

// An input array, read in place under a registered read borrow. The borrow
// and the reference are released when the view is destroyed.
class Float64ArrayView {
public:
    // Fails with the type-mismatch TypeError (prefixed with the parameter's
    // name) unless `object` is a one-dimensional float64 ndarray in native
    // byte order; faults when NumPy or the borrow registry is unusable, or
    // when another module holds the array for writing.
    Float64ArrayView(PyObject* object, const char* parameter);
    Float64ArrayView(const Float64ArrayView&) = delete;
    Float64ArrayView& operator=(const Float64ArrayView&) = delete;
    ~Float64ArrayView();

    // Reads the array's current data pointer, length and flags. Called once
    // all arguments have converted, so that Python code run by a conversion
    // (an argument's __float__) cannot leave a stale pointer behind; an array
    // that is no longer a one-dimensional float64 array by then is refused
    // as at conversion. If that code moved or resized the array's memory
    // (ndarray.resize), the read borrow moves with it: it is released and
    // registered again over the memory the element loop will read, which
    // faults like the first registration when another module now holds that
    // memory for writing.
    void settle();

    bool contiguous() const noexcept { return contiguous_; }
    std::size_t size() const noexcept { return size_; }
    // The first element, at any byte offset: NumPy accepts float64 arrays at
    // odd byte offsets (views into byte buffers), which the element loop
    // reads with unaligned loads (kernels/operands.hpp).
    const char* data() const noexcept { return data_; }

private:
    // Registers a read borrow of the array's memory as it is now; faults
    // when it is refused.
    void acquire_borrow();
    // Drops the read borrow, if one is held.
    void release_borrow() noexcept;

    PyRef array_;
    const char* parameter_;
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    bool contiguous_ = false;
    // The registry holding the view's read borrow, and the memory that
    // borrow was registered over; null while no borrow is held (before the
    // first registration, and after a release whose re-registration failed),
    // so that every borrow is released exactly once.
    const SharedBorrowRecord* borrow_record_ = nullptr;
    const char* borrowed_data_ = nullptr;
    std::size_t borrowed_size_ = 0;
};

// The result buffer of one array call: n doubles from one allocation.
struct FreeDeleter {
    void operator()(double* data) const noexcept;
};
using ResultBuffer = std::unique_ptr<double[], FreeDeleter>;

// Allocates the result buffer. Exhausted memory fails cleanly with
// MemoryError; nothing is half-built.
ResultBuffer allocate_result(std::size_t n);

// The allocation routine behind allocate_result, replaceable by tests that
// need an allocation to fail.
using RawAllocator = void* (*)(std::size_t bytes);
extern RawAllocator g_result_allocator;

// Wraps a filled buffer of n doubles into a new one-dimensional float64
// ndarray (exactly ndarray, never a subclass) without copying; the buffer is
// owned by the array's base object, a "PySliceContainer".
PyObject* new_result_array(ResultBuffer buffer, std::size_t n);

}  // namespace kestrelfin::lowlevel
