#define KWIVEL_OWNS_ARRAY_API
#include "frame.h"

#include <cstring>
#include <new>

#include "base/error.h"
#include "kernels/dispatch.h"

namespace kwivel::py {

void raise(PyObject* type, const std::string& msg) {
    PyErr_SetString(type, msg.c_str());
    throw PyErrorSet{};
}

void raise_current() { throw PyErrorSet{}; }

// ----- NumPy -------------------------------------------------------------------

int import_numpy() {
    PyObject* mod = PyImport_ImportModule("numpy._core.multiarray");
    if (!mod && PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
        mod = PyImport_ImportModule("numpy.core.multiarray");
    }
    if (!mod) return -1;
    PyObject* capsule = PyObject_GetAttrString(mod, "_ARRAY_API");
    Py_DECREF(mod);
    if (!capsule) return -1;
    if (!PyCapsule_CheckExact(capsule)) {
        Py_DECREF(capsule);
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not a capsule");
        return -1;
    }
    KWIVEL_ARRAY_API = static_cast<void**>(PyCapsule_GetPointer(capsule, nullptr));
    Py_DECREF(capsule);
    if (!KWIVEL_ARRAY_API) return -1;
    // NumPy's own compatibility checks: same ABI, and a C API at least as new
    // as the headers this module was compiled against.
    if (PyArray_GetNDArrayCVersion() != NPY_VERSION) {
        PyErr_Format(PyExc_RuntimeError, "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     static_cast<int>(NPY_VERSION), static_cast<int>(PyArray_GetNDArrayCVersion()));
        return -1;
    }
    if (PyArray_GetNDArrayCFeatureVersion() < NPY_FEATURE_VERSION) {
        PyErr_Format(PyExc_RuntimeError, "module compiled against API version 0x%x but this version of numpy is 0x%x",
                     static_cast<int>(NPY_FEATURE_VERSION), static_cast<int>(PyArray_GetNDArrayCFeatureVersion()));
        return -1;
    }
    const int endian = PyArray_GetEndianness();
    if (endian != NPY_CPU_LITTLE) {
        PyErr_SetString(PyExc_RuntimeError, "kwivel requires a little-endian platform");
        return -1;
    }
    return 0;
}

PyObject* panic_exception() {
    static PyObject* cls = PyErr_NewExceptionWithDoc(
        "kwivel.PanicException",
        "An internal consistency check failed inside kwivel's native core.",
        PyExc_BaseException, nullptr);
    return cls;
}

// ----- exceptions ----------------------------------------------------------------

void set_error_from_exception() {
    try {
        throw;
    } catch (const PyErrorSet&) {
        // already set
    } catch (const Panic& e) {
        if (PyObject* cls = panic_exception()) PyErr_SetString(cls, e.what());
    } catch (const IoError& e) {
        PyErr_SetString(PyExc_OSError, e.what());
    } catch (const ConfigError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        if (PyObject* cls = panic_exception()) PyErr_SetString(cls, e.what());
    } catch (...) {
        if (PyObject* cls = panic_exception()) PyErr_SetString(cls, "kwivel: unknown failure in the native core");
    }
}

void raise_with_note(const char* name) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && PyObject_HasAttrString(value, "add_note")) {
        std::string note = std::string("while processing '") + name + "'";
        PyObject* r = PyObject_CallMethod(value, "add_note", "s", note.c_str());
        if (r) Py_DECREF(r);
        else PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
    throw PyErrorSet{};
}

// ----- argument parsing ----------------------------------------------------------

Signature::Signature(const char* qualifier, const char* doc) : doc_(doc) {
    const char* open = std::strchr(doc, '(');
    const char* close = open ? std::strchr(open, ')') : nullptr;
    std::string fname = open ? std::string(doc, open) : std::string(doc);
    display_ = (qualifier && *qualifier) ? std::string(qualifier) + "." + fname + "()" : fname + "()";
    if (!open || !close) return;
    std::string params(open + 1, close);
    std::size_t pos = 0;
    while (pos <= params.size()) {
        std::size_t comma = params.find(',', pos);
        if (comma == std::string::npos) comma = params.size();
        std::string p = params.substr(pos, comma - pos);
        const auto b = p.find_first_not_of(' ');
        const auto e = p.find_last_not_of(' ');
        if (b != std::string::npos) {
            p = p.substr(b, e - b + 1);
            const auto eq = p.find('=');
            if (p[0] != '$') {
                names_.push_back(p.substr(0, eq));
                optional_.push_back(eq != std::string::npos);
            }
        }
        pos = comma + 1;
    }
    if (names_.size() > kMaxParams) kwivel::panic("kwivel: too many parameters in " + display_);
}

namespace {

std::string quoted_list(const std::vector<std::string>& names) {
    std::string s;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) s += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
        s += "'" + names[i] + "'";
    }
    return s;
}

[[noreturn]] void type_error(const std::string& msg) { raise(PyExc_TypeError, msg); }

// Binds one keyword argument; `key` is a str.
void bind_keyword(const Signature& sig, PyObject** out, PyObject* key, PyObject* value) {
    Py_ssize_t len = 0;
    const char* k = PyUnicode_AsUTF8AndSize(key, &len);
    if (!k) raise_current();
    const std::string_view kv(k, static_cast<std::size_t>(len));
    for (std::size_t i = 0; i < sig.size(); ++i) {
        if (sig.name(i) == kv) {
            if (out[i]) type_error(sig.display() + " got multiple values for argument '" + sig.name(i) + "'");
            out[i] = value;
            return;
        }
    }
    type_error(sig.display() + " got an unexpected keyword argument '" + std::string(kv) + "'");
}

void bind_positional(const Signature& sig, PyObject** out, PyObject* const* args, Py_ssize_t nargs) {
    const std::size_t n = static_cast<std::size_t>(nargs);
    if (n > sig.size()) {
        const std::size_t want = sig.size();
        type_error(sig.display() + " takes " + std::to_string(want) + " positional argument" +
                   (want == 1 ? "" : "s") + " but " + std::to_string(n) + (n == 1 ? " was" : " were") + " given");
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = args[i];
}

void check_complete(const Signature& sig, PyObject* const* out) {
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < sig.size(); ++i)
        if (!out[i] && !sig.optional(i)) missing.push_back(sig.name(i));
    if (missing.empty()) return;
    type_error(sig.display() + " missing " + std::to_string(missing.size()) + " required positional argument" +
               (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing));
}

}  // namespace

Args parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a;
    bind_positional(sig, a.data(), args, nargs);
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i)
            bind_keyword(sig, a.data(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
    }
    check_complete(sig, a.data());
    return a;
}

Args parse_args(const Signature& sig, PyObject* args, PyObject* kwargs) {
    Args a;
    bind_positional(sig, a.data(), &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args));
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(sig, a.data(), key, value);
    }
    check_complete(sig, a.data());
    return a;
}

// ----- conversions ---------------------------------------------------------------

namespace {

// Index value of obj (a new reference), or the interpreter's TypeError.
PyObject* index_of(PyObject* obj, const char* name) {
    PyObject* v = PyNumber_Index(obj);
    if (!v) raise_with_note(name);
    return v;
}

// Narrow unsigned conversion; any value outside [0, max] is an OverflowError.
std::uint64_t to_narrow(PyObject* obj, const char* name, std::uint64_t max) {
    PyObject* v = index_of(obj, name);
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    Py_DECREF(v);
    if (x == -1 && PyErr_Occurred()) raise_with_note(name);
    if (overflow || x < 0 || static_cast<unsigned long long>(x) > max) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        raise_with_note(name);
    }
    return static_cast<std::uint64_t>(x);
}

}  // namespace

std::uint64_t to_u64(PyObject* obj, const char* name) {
    PyObject* v = index_of(obj, name);
    const unsigned long long x = PyLong_AsUnsignedLongLong(v);
    Py_DECREF(v);
    if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_with_note(name);
    return x;
}

std::uint16_t to_u16(PyObject* obj, const char* name) {
    return static_cast<std::uint16_t>(to_narrow(obj, name, UINT16_MAX));
}

std::uint8_t to_u8(PyObject* obj, const char* name) {
    return static_cast<std::uint8_t>(to_narrow(obj, name, UINT8_MAX));
}

std::string to_path(PyObject* obj, const char* name) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'str'", Py_TYPE(obj)->tp_name);
        raise_with_note(name);
    }
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!s) raise_with_note(name);
    return std::string(s, static_cast<std::size_t>(len));
}

// ----- claims ----------------------------------------------------------------------

ClaimGuard::ClaimGuard(ClaimCounter* counter, Claim claim) : counter_(counter), claim_(claim) {
    if (claim == Claim::shared) {
        std::intptr_t cur = counter->load(std::memory_order_relaxed);
        for (;;) {
            if (cur == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
            if (counter->compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed))
                break;
        }
    } else if (claim == Claim::exclusive) {
        std::intptr_t expected = 0;
        if (!counter->compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed))
            raise(PyExc_RuntimeError, "Already borrowed");
    }
}

ClaimGuard::~ClaimGuard() {
    if (claim_ == Claim::shared) counter_->fetch_sub(1, std::memory_order_release);
    else if (claim_ == Claim::exclusive) counter_->store(0, std::memory_order_release);
}

// ----- results ---------------------------------------------------------------------

namespace {

void holder_destructor(PyObject* capsule) {
    auto destroy = reinterpret_cast<void (*)(void*)>(PyCapsule_GetContext(capsule));
    void* owned = PyCapsule_GetPointer(capsule, "kwivel.buffer");
    if (destroy && owned) destroy(owned);
}

}  // namespace

PyObject* detail::make_holder(void* owned, void (*destroy)(void*)) {
    PyObject* capsule = PyCapsule_New(owned, "kwivel.buffer", holder_destructor);
    if (!capsule) return nullptr;
    if (PyCapsule_SetContext(capsule, reinterpret_cast<void*>(destroy)) != 0) {
        PyCapsule_SetDestructor(capsule, nullptr);
        Py_DECREF(capsule);
        return nullptr;
    }
    return capsule;
}

PyObject* detail::wrap_buffer(void* data, int typenum, int nd, const npy_intp* dims, PyObject* holder) {
    PyObject* arr = PyArray_New(&PyArray_Type, nd, const_cast<npy_intp*>(dims), typenum, nullptr, data, 0,
                                NPY_ARRAY_CARRAY, nullptr);
    if (!arr) {
        Py_DECREF(holder);
        raise_current();
    }
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr), holder) != 0) {  // steals holder
        Py_DECREF(arr);
        raise_current();
    }
    return arr;
}

PyObject* pair(Ref a, Ref b) {
    PyObject* t = PyTuple_New(2);
    if (!t) raise_current();
    PyTuple_SET_ITEM(t, 0, a.release());
    PyTuple_SET_ITEM(t, 1, b.release());
    return t;
}

}  // namespace kwivel::py
