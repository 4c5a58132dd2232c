// The borrow registry shared through NumPy's multiarray module
// (borrow_registry.hpp): finding the record another module published, or
// publishing this module's own, and the registry behind it.
#include "lowlevel/borrow_registry.hpp"

#include "lowlevel/compatibility_texts.hpp"
#include "lowlevel/errors.hpp"
#include "lowlevel/numpy_headers.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace kestrelfin::lowlevel {
namespace {

// The attribute of the multiarray module, and the name of the capsule in it.
constexpr const char* kRegistryAttribute = texts::kBorrowRegistryAttribute;

// The registry this module publishes when no other module has. Borrows are
// grouped by the object that owns the memory, so that different views of one
// buffer meet; two borrows conflict when their byte ranges overlap.
class BorrowRegistry {
public:
    int acquire(PyObject* array, bool write) {
        if (write && !PyArray_ISWRITEABLE(reinterpret_cast<PyArrayObject*>(array))) {
            return -2;
        }
        const Span span = span_of(array);
        std::vector<Borrow>& borrows = by_owner_[owner_of(array)];
        for (const Borrow& borrow : borrows) {
            if ((write || borrow.writer) && borrow.span.overlaps(span)) {
                return -1;
            }
        }
        borrows.push_back({array, span, write});
        return 0;
    }

    void release(PyObject* array, bool write) {
        auto owner = by_owner_.find(owner_of(array));
        if (owner != by_owner_.end() && erase_one(owner->second, array, write)) {
            if (owner->second.empty()) {
                by_owner_.erase(owner);
            }
            return;
        }
        // The array's owner changed since it was borrowed (a resize): look
        // it up everywhere.
        for (auto it = by_owner_.begin(); it != by_owner_.end(); ++it) {
            if (erase_one(it->second, array, write)) {
                if (it->second.empty()) {
                    by_owner_.erase(it);
                }
                return;
            }
        }
    }

private:
    struct Span {
        const char* begin;
        const char* end;
        bool overlaps(const Span& other) const noexcept { return begin < other.end && other.begin < end; }
    };
    struct Borrow {
        PyObject* array;
        Span span;
        bool writer;
    };

    static bool erase_one(std::vector<Borrow>& borrows, PyObject* array, bool write) {
        auto it = std::find_if(borrows.begin(), borrows.end(),
                               [&](const Borrow& b) { return b.array == array && b.writer == write; });
        if (it == borrows.end()) {
            return false;
        }
        borrows.erase(it);
        return true;
    }

    // The first base that is not an ndarray, or the last ndarray of the chain.
    static PyObject* owner_of(PyObject* array) {
        PyObject* owner = array;
        while (true) {
            PyObject* base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(owner));
            if (base == nullptr) {
                return owner;
            }
            if (!PyArray_Check(base)) {
                return base;
            }
            owner = base;
        }
    }

    // The bytes an array can touch: from its lowest to its highest element.
    static Span span_of(PyObject* object) {
        auto* array = reinterpret_cast<PyArrayObject*>(object);
        const char* data = PyArray_BYTES(array);
        npy_intp low = 0;
        npy_intp high = 0;
        for (int axis = 0; axis < PyArray_NDIM(array); ++axis) {
            const npy_intp extent = PyArray_DIM(array, axis);
            if (extent == 0) {
                return {data, data};
            }
            const npy_intp reach = (extent - 1) * PyArray_STRIDE(array, axis);
            (reach < 0 ? low : high) += reach;
        }
        return {data + low, data + high + PyArray_ITEMSIZE(array)};
    }

    std::unordered_map<PyObject*, std::vector<Borrow>> by_owner_;
};

// The entry points never let a C++ exception out: an allocation failure is
// reported as a return code no caller mistakes for success.
int acquire_read(void* registry, PyObject* array) {
    try {
        return static_cast<BorrowRegistry*>(registry)->acquire(array, false);
    } catch (...) {
        return -3;
    }
}
int acquire_write(void* registry, PyObject* array) {
    try {
        return static_cast<BorrowRegistry*>(registry)->acquire(array, true);
    } catch (...) {
        return -3;
    }
}
void release_read(void* registry, PyObject* array) {
    static_cast<BorrowRegistry*>(registry)->release(array, false);
}
void release_write(void* registry, PyObject* array) {
    static_cast<BorrowRegistry*>(registry)->release(array, true);
}

void destroy_record(PyObject* capsule) {
    auto* record = static_cast<SharedBorrowRecord*>(PyCapsule_GetPointer(capsule, kRegistryAttribute));
    if (record == nullptr) {
        PyErr_Clear();
        return;
    }
    delete static_cast<BorrowRegistry*>(record->registry);
    delete record;
}

[[noreturn]] void fault_registry(std::string_view description) {
    std::string message = texts::kBorrowCheckingApiError;
    message += ": ";
    message += description;
    fault(std::move(message));
}

[[noreturn]] void fault_registry_with_pending() {
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    fault_registry(error ? describe_exception(error.get()) : std::string("no exception was set"));
}

// Publishes a new record of version 1 on the multiarray module.
// The capsule is kept for the life of the process. The pointer is never
// read, and an optimiser drops stores to a variable nobody reads: the
// capsule would then be held by a reference count alone, with no pointer to
// it anywhere, which is what a leak checker reports as a definite leak.
PyObject* volatile g_capsule = nullptr;

const SharedBorrowRecord* publish_record(PyObject* multiarray) {
    auto record = std::make_unique<SharedBorrowRecord>(
        SharedBorrowRecord{1, new BorrowRegistry(), &acquire_read, &acquire_write, &release_read, &release_write});
    PyRef capsule = PyRef::steal(PyCapsule_New(record.get(), kRegistryAttribute, &destroy_record));
    if (!capsule) {
        delete static_cast<BorrowRegistry*>(record->registry);
        fault_registry_with_pending();
    }
    // The capsule now owns the record and its registry.
    const SharedBorrowRecord* published = record.release();
    if (PyObject_SetAttrString(multiarray, kRegistryAttribute, capsule.get()) < 0) {
        fault_registry_with_pending();
    }
    g_capsule = capsule.release();
    return published;
}

const SharedBorrowRecord* find_or_publish_record() {
    PyRef multiarray = PyRef::steal(PyImport_ImportModule(numpy_multiarray_name()));
    if (!multiarray) {
        fault_registry_with_pending();
    }
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), kRegistryAttribute));
    if (!capsule) {
        PyErr_Clear();
        return publish_record(multiarray.get());
    }
    if (!PyCapsule_CheckExact(capsule.get())) {
        fault_registry(texts::cannot_convert(type_name_of(capsule.get()), texts::kPyCapsule));
    }
    // Every module sharing the registry names its capsule like the
    // attribute. A capsule of another name holds some other module's
    // pointer, and calling through it as a borrow record would crash: the
    // interpreter refuses it (ValueError, incorrect name), and that is the
    // fault's description.
    auto* record = static_cast<const SharedBorrowRecord*>(PyCapsule_GetPointer(capsule.get(), kRegistryAttribute));
    if (record == nullptr) {
        fault_registry_with_pending();
    }
    if (record->version < 1) {
        std::string description = "the shared borrow record has version ";
        description += std::to_string(record->version);
        description += ", at least 1 is needed";
        fault_registry(description);
    }
    // Kept for the life of the process, so the record outlives any change
    // to the module attribute.
    g_capsule = capsule.release();
    return record;
}

const SharedBorrowRecord* g_record = nullptr;

}  // namespace

const SharedBorrowRecord& shared_borrow_record() {
    if (g_record == nullptr) {
        g_record = find_or_publish_record();
    }
    return *g_record;
}

}  // namespace kestrelfin::lowlevel
