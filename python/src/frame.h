// The call frame shared by every function and method of the module:
// argument parsing against the text signature, integer and path conversion,
// the claim guard, release of the interpreter lock, results handed to NumPy
// without a copy, and the mapping of failures to Python exceptions.
#pragma once

#include "numpy_api.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kwivel::py {

// Thrown once a Python exception has been set; the frame returns NULL.
struct PyErrorSet {};

[[noreturn]] void raise(PyObject* type, const std::string& msg);
[[noreturn]] void raise_current();  // a Python error is already set

// Loads NumPy's C API table; 0 on success, -1 with an exception set.
int import_numpy();
// PanicException, created on first use; derives directly from BaseException.
PyObject* panic_exception();

// ----- argument parsing ------------------------------------------------------

// Parameter names and the displayed name, read from a docstring whose first
// line is the text signature, e.g. "search($self, queries, k)\n--\n\n...".
// A parameter written "name=default" may be left out (its slot stays null).
class Signature {
public:
    static constexpr std::size_t kMaxParams = 12;
    Signature(const char* qualifier, const char* doc);

    const char* doc() const { return doc_; }
    const std::string& display() const { return display_; }  // "Rank.search()"
    std::size_t size() const { return names_.size(); }
    const std::string& name(std::size_t i) const { return names_[i]; }
    bool optional(std::size_t i) const { return optional_[i]; }

private:
    const char* doc_;
    std::string display_;
    std::vector<std::string> names_;
    std::vector<bool> optional_;
};

// The bound arguments of one call, in signature order (borrowed references).
class Args {
public:
    PyObject* operator[](std::size_t i) const { return v_[i]; }
    PyObject** data() { return v_; }

private:
    PyObject* v_[Signature::kMaxParams] = {};
};

// Vectorcall form and (tuple, dict) form.
Args parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Args parse_args(const Signature& sig, PyObject* args, PyObject* kwargs);

// ----- conversions (failures carry the note "while processing '<name>'") -----

std::uint64_t to_u64(PyObject* obj, const char* name);
std::uint16_t to_u16(PyObject* obj, const char* name);
std::uint8_t to_u8(PyObject* obj, const char* name);
std::string to_path(PyObject* obj, const char* name);

// Called with a Python error set by a failed conversion of argument `name`:
// adds the note "while processing '<name>'" to the exception (where it takes
// notes) and throws PyErrorSet, leaving the error set.
[[noreturn]] void raise_with_note(const char* name);

// ----- claims ------------------------------------------------------------------

enum class Claim { none, shared, exclusive };

// Per-object claim counter: 0 free, n > 0 shared readers, -1 one mutator.
using ClaimCounter = std::atomic<std::intptr_t>;

class ClaimGuard {
public:
    ClaimGuard(ClaimCounter* counter, Claim claim);
    ~ClaimGuard();
    ClaimGuard(const ClaimGuard&) = delete;
    ClaimGuard& operator=(const ClaimGuard&) = delete;

private:
    ClaimCounter* counter_;
    Claim claim_;
};

// ----- interpreter lock --------------------------------------------------------

// Runs f with the interpreter lock released; the lock is re-acquired before
// anything else happens, and an exception from f is rethrown afterwards.
template <class F>
void run_released(F&& f) {
    std::exception_ptr err;
    PyThreadState* ts = PyEval_SaveThread();
    try {
        f();
    } catch (...) {
        err = std::current_exception();
    }
    PyEval_RestoreThread(ts);
    if (err) std::rethrow_exception(err);
}

// ----- results -----------------------------------------------------------------

namespace detail {
PyObject* wrap_buffer(void* data, int typenum, int nd, const npy_intp* dims, PyObject* holder);
PyObject* make_holder(void* owned, void (*destroy)(void*));

template <class T> constexpr int npy_type();
template <> constexpr int npy_type<float>() { return NPY_FLOAT32; }
template <> constexpr int npy_type<std::int64_t>() { return NPY_INT64; }
template <> constexpr int npy_type<std::uint8_t>() { return NPY_UINT8; }
template <> constexpr int npy_type<std::uint16_t>() { return NPY_UINT16; }
template <> constexpr int npy_type<std::uint32_t>() { return NPY_UINT32; }
template <> constexpr int npy_type<std::uint64_t>() { return NPY_UINT64; }
}  // namespace detail

// Hands a buffer to NumPy without copying: the array's base is a holder
// object that owns the vector and frees it with the array.
template <class T>
PyObject* to_numpy(std::vector<T>&& buf, std::initializer_list<std::size_t> shape) {
    if (buf.capacity() == 0) buf.reserve(1);  // a real pointer even for empty arrays
    auto* owned = new std::vector<T>(std::move(buf));
    PyObject* holder = detail::make_holder(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    if (!holder) {
        delete owned;
        raise_current();
    }
    npy_intp dims[4];
    int nd = 0;
    for (std::size_t s : shape) dims[nd++] = static_cast<npy_intp>(s);
    return detail::wrap_buffer(owned->data(), detail::npy_type<T>(), nd, dims, holder);
}

// An owned (strong) reference, released on scope exit.
class Ref {
public:
    explicit Ref(PyObject* p = nullptr) : p_(p) {}
    Ref(Ref&& o) noexcept : p_(o.release()) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = o.release();
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_;
};

// A new tuple of two results.
PyObject* pair(Ref a, Ref b);

// ----- the frame ---------------------------------------------------------------

// Converts the exception in flight into the matching Python exception.
void set_error_from_exception();

template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_exception();
        return nullptr;
    }
}

// Module function: parse, then body(args).
template <class F>
PyObject* call_function(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, F&& body) noexcept {
    return guarded([&] {
        Args a = parse_args(sig, args, nargs, kwnames);
        return body(a);
    });
}

// Method of an index object: parse, take the claim, then body(self, args);
// the claim is dropped on every path.
template <class Obj, class F>
PyObject* call_method(PyObject* self, Claim claim, const Signature& sig, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, F&& body) noexcept {
    return guarded([&] {
        Args a = parse_args(sig, args, nargs, kwnames);
        Obj& obj = *reinterpret_cast<Obj*>(self);
        ClaimGuard guard(&obj.claim, claim);
        return body(obj, a);
    });
}

// Slot or property of an index object (no arguments), under the given claim.
template <class Obj, class F>
auto call_slot(PyObject* self, Claim claim, F&& body) noexcept -> decltype(body(std::declval<Obj&>())) {
    using R = decltype(body(std::declval<Obj&>()));
    try {
        Obj& obj = *reinterpret_cast<Obj*>(self);
        ClaimGuard guard(&obj.claim, claim);
        return body(obj);
    } catch (...) {
        set_error_from_exception();
        if constexpr (std::is_pointer_v<R>) return nullptr;
        else return static_cast<R>(-1);
    }
}

// ----- index objects -------------------------------------------------------------

// Instance layout shared by the index classes: the claim counter and the
// exclusively owned core index.
template <class Core>
struct IndexObject {
    PyObject_HEAD
    ClaimCounter claim;
    Core* core;
};

// Creates an instance of `type` owning `core`.
template <class Core>
PyObject* new_index_object(PyTypeObject* type, Core&& core) {
    auto* heap_core = new Core(std::move(core));
    auto* obj = reinterpret_cast<IndexObject<Core>*>(type->tp_alloc(type, 0));
    if (!obj) {
        delete heap_core;
        raise_current();
    }
    new (&obj->claim) ClaimCounter(0);
    obj->core = heap_core;
    return reinterpret_cast<PyObject*>(obj);
}

template <class Core>
void dealloc_index_object(PyObject* self) {
    auto* obj = reinterpret_cast<IndexObject<Core>*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    delete obj->core;
    obj->core = nullptr;
    tp->tp_free(self);
    Py_DECREF(tp);
}

}  // namespace kwivel::py
