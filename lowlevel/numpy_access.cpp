// NumPy access of _kestrelfin (numpy_access.hpp): the API table found at
// the first array call, the read views of input arrays under borrows, and
// the result arrays that adopt their buffer.
#define KESTRELFIN_DEFINES_NUMPY_API
#include "lowlevel/numpy_access.hpp"

#include "cpython/numpy_import.hpp"
#include "lowlevel/borrow_registry.hpp"
#include "lowlevel/compatibility_texts.hpp"
#include "lowlevel/numpy_headers.hpp"

#include <cstdlib>
#include <limits>
#include <string>

namespace kestrelfin::lowlevel {
namespace {

const char* g_multiarray_name = nullptr;

[[noreturn]] void fault_numpy_api(std::string_view description) {
    std::string message = texts::kNumpyApiError;
    message += ": ";
    message += description;
    fault(std::move(message));
}

PyRef numpy_step(PyObject* result) {
    if (result == nullptr) {
        PyRef error = PyRef::steal(PyErr_GetRaisedException());
        fault_numpy_api(error ? describe_exception(error.get()) : std::string("no exception was set"));
    }
    return PyRef::steal(result);
}

// numpy.core.multiarray (NumPy 1.x) or numpy._core.multiarray (2.x).
const char* find_multiarray_name() {
    const cpython::NumpyCore* core = cpython::numpy_core();
    if (core == nullptr) {
        numpy_step(nullptr);
    }
    return core->multiarray;
}

// The table of the multiarray module's "_ARRAY_API" capsule. A capsule of
// any other name is refused by the interpreter (ValueError, incorrect name),
// and that is the fault's description.
void** find_api_table(const char* multiarray_name) {
    cpython::ApiTable found = cpython::numpy_api_table(multiarray_name, "_ARRAY_API");
    if (found.not_a_capsule) {
        fault_numpy_api(texts::cannot_convert(type_name_of(found.not_a_capsule.get()), texts::kPyCapsule));
    }
    if (found.table == nullptr) {
        numpy_step(nullptr);
    }
    return found.table;
}

// The float64 descriptor, a NumPy singleton.
PyRef float64_descriptor() {
    return PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
}

[[noreturn]] void fail_type_mismatch(PyObject* object, const char* parameter) {
    std::string message = "argument '";
    message += parameter;
    message += "': ";
    message += texts::cannot_convert(type_name_of(object), texts::kPyArray);
    fail(ErrorClass::TypeError, std::move(message));
}

bool is_float64_vector(PyObject* object) {
    if (!PyObject_TypeCheck(object, &PyArray_Type)) {
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 1) {
        return false;
    }
    PyArray_Descr* descriptor = PyArray_DESCR(array);
    PyRef float64 = float64_descriptor();
    if (!float64) {
        fault_python_api_call_failed();
    }
    return reinterpret_cast<PyObject*>(descriptor) == float64.get() ||
           PyArray_EquivTypes(descriptor, reinterpret_cast<PyArray_Descr*>(float64.get()));
}

// ---- The result owner -----------------------------------------------------

// Owns a buffer of doubles on behalf of the result array that points into it.
struct SliceContainer {
    PyObject_HEAD double* data;
    std::size_t length;
    std::size_t capacity;
    void (*drop)(double* data, std::size_t length, std::size_t capacity);
};

void free_buffer(double* data, std::size_t /*length*/, std::size_t capacity) {
    if (capacity != 0) {
        std::free(data);
    }
}

void slice_container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    if (container->drop != nullptr) {
        container->drop(container->data, container->length, container->capacity);
    }
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyType_Slot g_slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Utility type to safely store a buffer of doubles on the Python heap, "
                                  "owned by the NumPy arrays that view it")},
    {0, nullptr},
};

// Named under this module so the interpreter can tell where it comes from;
// it is not added to the module's namespace.
PyType_Spec g_slice_container_spec = {
    texts::kSliceContainerTypeName, sizeof(SliceContainer), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_slice_container_slots,
};

PyTypeObject* g_slice_container_type = nullptr;

PyTypeObject* slice_container_type() {
    if (g_slice_container_type == nullptr) {
        PyObject* type = PyType_FromSpec(&g_slice_container_spec);
        if (type == nullptr) {
            if (PyErr_Occurred() != nullptr) {
                PyErr_Print();
            }
            fault(texts::kSliceContainerTypeFailed);
        }
        g_slice_container_type = reinterpret_cast<PyTypeObject*>(type);
    }
    return g_slice_container_type;
}

double g_empty_result[1];  // the data pointer of empty results: never read or written

// A new container owning the buffer. On failure the buffer is freed.
PyRef new_slice_container(ResultBuffer buffer, std::size_t n) {
    PyTypeObject* type = slice_container_type();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = (alloc != nullptr ? alloc : &PyType_GenericAlloc)(type, 0);
    if (object == nullptr) {
        PyRef error = PyRef::steal(PyErr_GetRaisedException());
        std::string message = texts::kSliceContainerFailed;
        message += ": ";
        message += error ? describe_exception(error.get()) : std::string("no exception was set");
        fault(std::move(message));
    }
    auto* container = reinterpret_cast<SliceContainer*>(object);
    container->length = n;
    container->capacity = buffer ? n : 0;
    container->data = buffer ? buffer.release() : g_empty_result;
    container->drop = &free_buffer;
    return PyRef::steal(object);
}

}  // namespace

// ---- NumPy's API table -------------------------------------------------------

void ensure_numpy_api() {
    if (PyArray_API != nullptr) {
        return;
    }
    const char* multiarray_name = find_multiarray_name();
    void** table = find_api_table(multiarray_name);
    g_multiarray_name = multiarray_name;
    PyArray_API = table;
    // Inline accessors of NumPy's headers pick the 1.x or 2.x layout of the
    // dtype struct by this runtime version.
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
}

const char* numpy_multiarray_name() noexcept {
    return g_multiarray_name;
}

// ---- Views of input arrays -----------------------------------------------------

Float64ArrayView::Float64ArrayView(PyObject* object, const char* parameter) : parameter_(parameter) {
    ensure_numpy_api();
    if (!is_float64_vector(object)) {
        fail_type_mismatch(object, parameter);
    }
    array_ = PyRef::borrow(object);
    acquire_borrow();
}

// The borrow first, then the reference (the member's destructor).
Float64ArrayView::~Float64ArrayView() {
    release_borrow();
}

void Float64ArrayView::acquire_borrow() {
    const SharedBorrowRecord& record = shared_borrow_record();
    const int code = record.acquire_read(record.registry, array_.get());
    if (code == -1) {
        fault(texts::kAlreadyBorrowed);
    }
    if (code != 0) {
        fault(texts::unexpected_return_code(code));
    }
    auto* array = reinterpret_cast<PyArrayObject*>(array_.get());
    borrow_record_ = &record;
    borrowed_data_ = PyArray_BYTES(array);
    borrowed_size_ = static_cast<std::size_t>(PyArray_DIM(array, 0));
}

void Float64ArrayView::release_borrow() noexcept {
    if (borrow_record_ != nullptr) {
        borrow_record_->release_read(borrow_record_->registry, array_.get());
        borrow_record_ = nullptr;
    }
}

void Float64ArrayView::settle() {
    if (!is_float64_vector(array_.get())) {
        fail_type_mismatch(array_.get(), parameter_);
    }
    auto* array = reinterpret_cast<PyArrayObject*>(array_.get());
    data_ = PyArray_BYTES(array);
    size_ = static_cast<std::size_t>(PyArray_DIM(array, 0));
    contiguous_ = PyArray_CHKFLAGS(array, NPY_ARRAY_C_CONTIGUOUS) || PyArray_CHKFLAGS(array, NPY_ARRAY_F_CONTIGUOUS);
    // The borrow covers the bytes the array had when it was registered. If
    // they moved or the length changed, another module could be granted the
    // new bytes for writing while the loop reads them: move the borrow.
    if (data_ != borrowed_data_ || size_ != borrowed_size_) {
        release_borrow();
        acquire_borrow();
    }
}

// ---- Result arrays ----------------------------------------------------------------

RawAllocator g_result_allocator = &std::malloc;

void FreeDeleter::operator()(double* data) const noexcept {
    std::free(data);
}

ResultBuffer allocate_result(std::size_t n) {
    if (n == 0) {
        return ResultBuffer();
    }
    void* memory = nullptr;
    if (n <= std::numeric_limits<std::size_t>::max() / sizeof(double)) {
        memory = g_result_allocator(n * sizeof(double));
    }
    if (memory == nullptr) {
        std::string message = "cannot allocate the result array of ";
        message += std::to_string(n);
        message += " doubles";
        fail(ErrorClass::MemoryError, std::move(message));
    }
    return ResultBuffer(static_cast<double*>(memory));
}

PyObject* new_result_array(ResultBuffer buffer, std::size_t n) {
    PyRef container = new_slice_container(std::move(buffer), n);
    auto* data = reinterpret_cast<SliceContainer*>(container.get())->data;

    PyRef descriptor = float64_descriptor();
    if (!descriptor) {
        fault_python_api_call_failed();
    }
    npy_intp dimensions[1] = {static_cast<npy_intp>(n)};
    npy_intp strides[1] = {static_cast<npy_intp>(sizeof(double))};
    // Steals the descriptor reference, whatever the outcome.
    PyRef array =
        PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, reinterpret_cast<PyArray_Descr*>(descriptor.release()), 1,
                                          dimensions, strides, data, NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) {
        fault_python_api_call_failed();  // the container frees the buffer on the way out
    }
    // Steals the container reference, also on failure.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), container.release()) < 0) {
        fault_python_api_call_failed();
    }
    return array.release();
}

}  // namespace kestrelfin::lowlevel
