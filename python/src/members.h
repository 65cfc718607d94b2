// Member bodies that several index classes share in the same shape.
#pragma once

#include "frame.h"
#include "gates.h"
#include "index/rank.h"

namespace kwivel::py {

// (scores, indices) arrays of shape (nq, k_eff) over the result's buffers.
PyObject* search_result(SearchResult&& r);

// The common frame of the top-k searches taking (queries, k): converts k,
// gates the queries against the index dimension, copies them, and runs
// `run(queries, k)` with the interpreter lock released.
template <class Run>
PyObject* topk_search(std::size_t dim, const Args& a, Run&& run) {
    const std::uint64_t k = to_u64(a[1], "k");
    F32View view = as_f32_2d(a[0], dim);
    require_dense_rows(view);
    std::vector<float> queries = view.to_vector();
    view.owner = Ref();
    SearchResult result;
    run_released([&] { result = run(queries, k); });
    return search_result(std::move(result));
}

// The common frame of `add`: gates the rows, checks capacity, copies them
// and runs `append(values, n_floats)` with the interpreter lock released.
template <class Append>
PyObject* add_rows(std::size_t dim, std::size_t n_vectors, std::size_t elems_per_vec,
                   std::size_t elem_bytes, PyObject* vectors, Append&& append) {
    F32View view = as_f32_2d(vectors, dim);
    require_dense_rows(view);
    check_add_capacity(n_vectors, view.rows, elems_per_vec, elem_bytes);
    const std::size_t n = view.size();
    const std::unique_ptr<float[]> values = view.copy();
    view.owner = Ref();
    run_released([&] { append(values.get(), n); });
    Py_RETURN_NONE;
}

}  // namespace kwivel::py

namespace kwivel::py {

// Members every index class has in the same form.  `Traits` names the class
// (`name`), its core type (`Core`) and the docstring of its `swap_remove`
// (`swap_remove_doc`); the core provides size(), dim() and swap_remove().
template <class Traits>
struct CommonMembers {
    using Core = typename Traits::Core;
    using Object = IndexObject<Core>;

    static constexpr const char* is_empty_doc = "is_empty($self)\n--\n\n";
    static constexpr const char* swap_remove_doc = Traits::swap_remove_doc;
    static constexpr const char* write_doc = Traits::write_doc;
    static constexpr const char* load_doc = Traits::load_doc;

    static PyObject* is_empty(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const Signature sig{Traits::name, is_empty_doc};
        return call_method<Object>(self, Claim::shared, sig, args, nargs, kwnames,
                                   [](Object& o, const Args&) { return PyBool_FromLong(o.core->size() == 0); });
    }

    static PyObject* swap_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const Signature sig{Traits::name, swap_remove_doc};
        return call_method<Object>(self, Claim::exclusive, sig, args, nargs, kwnames,
                                   [](Object& o, const Args& a) {
            const std::uint64_t idx = to_u64(a[0], "idx");
            if (idx >= o.core->size())
                raise(PyExc_IndexError, "index " + std::to_string(idx) + " out of range (index holds " +
                                            std::to_string(o.core->size()) + " vectors)");
            return PyLong_FromSize_t(o.core->swap_remove(idx));
        });
    }

    // write(path) and the class method load(path), through the class's file
    // format (Traits::write_file, Traits::load_file).
    static PyObject* write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const Signature sig{Traits::name, write_doc};
        return call_method<Object>(self, Claim::shared, sig, args, nargs, kwnames, [](Object& o, const Args& a) {
            const std::string path = to_path(a[0], "path");
            Traits::write_file(*o.core, path);
            Py_RETURN_NONE;
        });
    }

    static PyObject* load(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const Signature sig{Traits::name, load_doc};
        return call_function(sig, args, nargs, kwnames, [&](const Args& a) {
            const std::string path = to_path(a[0], "path");
            return new_index_object(reinterpret_cast<PyTypeObject*>(cls), Traits::load_file(path));
        });
    }

    static Py_ssize_t len(PyObject* self) {
        return call_slot<Object>(self, Claim::shared, [](Object& o) { return static_cast<Py_ssize_t>(o.core->size()); });
    }

    static PyObject* get_dim(PyObject* self, void*) {
        return call_slot<Object>(self, Claim::shared, [](Object& o) { return PyLong_FromSize_t(o.core->dim()); });
    }
};

// A method table entry for a fast-call member with the given docstring.
#define KW_METHOD(name, fn, doc, flags)                                                                       \
    {                                                                                                         \
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS | (flags), \
            (doc)                                                                                             \
    }

}  // namespace kwivel::py
