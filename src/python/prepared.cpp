// The prepared target classes PreparedF32 / PreparedF64: construction, properties and
// every query method.
#include "prepared.hpp"

#include <new>
#include <string>

#include "docs.hpp"
#include "grouped.hpp"
#include "kernel/beam_knn.hpp"
#include "kernel/blocked.hpp"
#include "kernel/descent.hpp"
#include "ops.hpp"

namespace plov::py {

namespace {

template <class T>
PyObject* prepared_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {{"points", true}, {"indptr", true}, {"indices", true}};
        static const Signature sig{Names<T>::prepared, "__new__", params};
        Args a(sig, args, kwargs);
        auto cloud = cloud_args<T>(a, 0);
        // Packing runs with the lock held.
        auto* graph = new PreparedGraph<T>(prepare_graph(cloud.points.view, cloud.indptr.view, cloud.indices.view));
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) {
            delete graph;
            throw_error();
        }
        auto* obj = reinterpret_cast<PreparedObject<T>*>(self);
        new (&obj->borrow) std::atomic<std::int64_t>(0);
        obj->graph = graph;
        return Ref::steal(self);
    });
}

template <class T>
void prepared_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<PreparedObject<T>*>(self);
    PyTypeObject* type = Py_TYPE(self);
    delete obj->graph;
    obj->graph = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

template <class T>
PyObject* prepared_repr(PyObject* self) {
    return guarded([&] {
        auto me = PreparedRef<T>::take(self);
        std::string s = std::string(Names<T>::prepared) + "(n=" + std::to_string(me.graph().n) + ")";
        return Ref::check(PyUnicode_FromString(s.c_str()));
    });
}

template <class T>
PyObject* prepared_get_n(PyObject* self, void*) {
    return guarded([&] {
        auto me = PreparedRef<T>::take(self);
        return Ref::check(PyLong_FromSize_t(me.graph().n));
    });
}

template <class T>
PyObject* prepared_get_data(PyObject* self, void*) {
    return guarded([&] {
        auto me = PreparedRef<T>::take(self);
        const PreparedGraph<T>& g = me.graph();
        return make_array(g.unpack(), {static_cast<npy_intp>(g.n), 3});
    });
}

template <class T>
PyObject* create_prepared_type() {
    static PyMethodDef methods[] = {
        {"query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prepared_query<T>)),
         METH_FASTCALL | METH_KEYWORDS, doc::query},
        {"query_k", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prepared_query_k<T>)),
         METH_FASTCALL | METH_KEYWORDS, doc::query_k},
        {"query_prepared", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prepared_query_prepared<T>)),
         METH_FASTCALL | METH_KEYWORDS, doc::query_prepared},
        {"query_prepared_k", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prepared_query_prepared_k<T>)),
         METH_FASTCALL | METH_KEYWORDS, doc::query_prepared_k},
        {"query_prepared_blocked",
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prepared_query_prepared_blocked<T>)),
         METH_FASTCALL | METH_KEYWORDS, doc::query_prepared_blocked},
        {"query_grouped", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prepared_query_grouped<T>)),
         METH_FASTCALL | METH_KEYWORDS, doc::query_grouped},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"n", prepared_get_n<T>, nullptr, doc::prop_n, nullptr},
        {"data", prepared_get_data<T>, nullptr, doc::prop_data, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(prepared_new<T>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(prepared_dealloc<T>)},
        {Py_tp_repr, reinterpret_cast<void*>(prepared_repr<T>)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char*>(std::is_same_v<T, float> ? doc::prepared_f32 : doc::prepared_f64)},
        {0, nullptr},
    };
    static const std::string qualified = std::string("builtins.") + Names<T>::prepared;
    static PyType_Spec spec = {qualified.c_str(), static_cast<int>(sizeof(PreparedObject<T>)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return PyType_FromSpec(&spec);
}

// Results of query_grouped in the set's Morton order mapped to per-cloud original order
// and to the target's original numbering.
template <class T>
NearestResult<T> finalize_results(const GroupedQuerySet<T>& set, const NearestResult<T>& raw, std::size_t n_t,
                                  const std::optional<PermArray>& target_perm) {
    const std::size_t n = set.n_points();
    Buffer<T> dists_cat = Buffer<T>::zeros(n);
    Buffer<std::uint64_t> idx_cat = Buffer<std::uint64_t>::zeros(n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t j = set.perm[k];
        check_index(j, n);
        dists_cat[j] = raw.dists[k];
        idx_cat[j] = raw.idx[k];
    }

    NearestResult<T> fin{Buffer<T>::zeros(n), Buffer<std::uint64_t>::zeros(n)};
    const std::int64_t* tp = target_perm ? target_perm->data() : nullptr;
    const std::size_t tp_len = target_perm ? target_perm->len() : 0;
    // A query permutation must map its cloud onto itself, one to one: a repeated entry
    // would leave a slot at its zero fill, which reads as an exact match, and an entry
    // into another cloud would overwrite that cloud's results. The first cloud whose
    // permutation is not one fails the call, after the index checks of every cloud.
    Buffer<std::uint8_t> written;
    for (std::size_t c = 0; c < set.n_clouds() && c < set.query_perms.size(); ++c)
        if (set.query_perms[c] && set.offsets[c] != set.offsets[c + 1]) {
            written = Buffer<std::uint8_t>::zeros(n);
            break;
        }
    std::size_t not_permutation = set.n_clouds();
    for (std::size_t c = 0; c < set.n_clouds(); ++c) {
        const std::size_t start = set.offsets[c], end = set.offsets[c + 1];
        if (start == end) continue;
        const Buffer<std::int64_t>* qp =
            c < set.query_perms.size() && set.query_perms[c] ? &*set.query_perms[c] : nullptr;
        for (std::size_t k = 0; k < end - start; ++k) {
            const std::size_t src = start + k;
            std::size_t dst = src;
            if (qp) {
                check_index(k, qp->size());
                dst = start + static_cast<std::uint64_t>((*qp)[k]);
                check_index(dst, n);
                if (dst < start || dst >= end || written[dst]) not_permutation = std::min(not_permutation, c);
                written[dst] = 1;
            }
            std::uint64_t v = idx_cat[src];
            if (tp) {
                if (v >= n_t) {
                    v = n_t;
                } else {
                    check_index(v, tp_len);
                    v = static_cast<std::uint64_t>(tp[v]);
                }
            }
            fin.dists[dst] = dists_cat[src];
            fin.idx[dst] = v;
        }
    }
    if (not_permutation < set.n_clouds()) {
        const std::size_t c = not_permutation;
        fail("query_perms[" + std::to_string(c) + "] is not a permutation of the cloud's " +
             std::to_string(set.offsets[c + 1] - set.offsets[c]) + " points");
    }
    return fin;
}

}  // namespace

template <class T>
PyTypeObject* prepared_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = create_prepared_type<T>();
        if (!type) {
            PyErr_Clear();
            PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", Names<T>::prepared);
        }
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

template <class T>
PyObject* prepared_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {
            {"x_points", true}, {"x_indptr", true}, {"x_indices", true}, {"distance_upper_bound", false}};
        static const Signature sig{Names<T>::prepared, "query", params};
        Args a(sig, args, nargs, kwnames);
        auto target = PreparedRef<T>::take(self);
        auto x = cloud_args<T>(a, 0);
        auto r = a.convert(3, real_arg);
        auto res = without_gil([&] {
            PackedBuffer<T> packed = pack_points(x.points.view);
            GraphView<T> q{packed.data(), packed.size(), x.indptr.view, x.indices.view};
            return search_pruned(q, target.graph().view(), make_bound(r, target.graph(), std::optional<Box<T>>()));
        });
        return result_pair(std::move(res));
    });
}

template <class T>
PyObject* prepared_query_prepared(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {{"other", true}, {"distance_upper_bound", false}};
        static const Signature sig{Names<T>::prepared, "query_prepared", params};
        Args a(sig, args, nargs, kwnames);
        auto target = PreparedRef<T>::take(self);
        auto other = a.convert(0, prepared_arg<T>);
        auto r = a.convert(1, real_arg);
        auto res = without_gil([&] {
            const PreparedGraph<T>& t = target.graph();
            const PreparedGraph<T>& q = other.graph();
            return search_pruned(q.view(), t.view(), make_bound(r, t, std::optional<Box<T>>(q.box())));
        });
        return result_pair(std::move(res));
    });
}

template <class T>
PyObject* prepared_query_k(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {{"x_points", true}, {"x_indptr", true}, {"x_indices", true},
                                           {"k", true},        {"ef", true},       {"distance_upper_bound", false}};
        static const Signature sig{Names<T>::prepared, "query_k", params};
        Args a(sig, args, nargs, kwnames);
        auto target = PreparedRef<T>::take(self);
        auto x = cloud_args<T>(a, 0);
        std::uint64_t k = a.convert(3, u64_arg);
        std::uint64_t ef = a.convert(4, u64_arg);
        auto r = a.convert(5, real_arg);
        auto res = without_gil([&] {
            PackedBuffer<T> packed = pack_points(x.points.view);
            GraphView<T> q{packed.data(), packed.size(), x.indptr.view, x.indices.view};
            const PreparedGraph<T>& t = target.graph();
            return search_k(q, t.view(), k, ef, make_bound(r, t, std::optional<Box<T>>()));
        });
        return knn_pair(std::move(res));
    });
}

template <class T>
PyObject* prepared_query_prepared_k(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {{"other", true}, {"k", true}, {"ef", true}, {"distance_upper_bound", false}};
        static const Signature sig{Names<T>::prepared, "query_prepared_k", params};
        Args a(sig, args, nargs, kwnames);
        auto target = PreparedRef<T>::take(self);
        auto other = a.convert(0, prepared_arg<T>);
        std::uint64_t k = a.convert(1, u64_arg);
        std::uint64_t ef = a.convert(2, u64_arg);
        auto r = a.convert(3, real_arg);
        auto res = without_gil([&] {
            const PreparedGraph<T>& t = target.graph();
            const PreparedGraph<T>& q = other.graph();
            return search_k(q.view(), t.view(), k, ef, make_bound(r, t, std::optional<Box<T>>(q.box())));
        });
        return knn_pair(std::move(res));
    });
}

template <class T>
PyObject* prepared_query_grouped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {{"grouped", true},
                                           {"target_perm", true},
                                           {"block", false},
                                           {"distance_upper_bound", false},
                                           {"finalize", false}};
        static const Signature sig{Names<T>::prepared, "query_grouped", params};
        Args a(sig, args, nargs, kwnames);
        auto target = PreparedRef<T>::take(self);
        Ref grouped = a.convert(0, grouped_arg<T>);
        auto target_perm = a.convert(1, perm_arg);
        std::uint64_t block = a.given(2) ? a.convert(2, u64_arg) : 32;
        auto r = a.convert(3, real_arg);
        bool finalize = a.given(4) ? a.convert(4, bool_arg) : true;
        if (target_perm && !target_perm->contiguous()) fail("contiguous target perm");

        const GroupedQuerySet<T>& set = set_of<T>(grouped.get());
        auto res = without_gil([&] {
            const PreparedGraph<T>& t = target.graph();
            const std::size_t n = set.n_points();
            if (n == 0) return NearestResult<T>();
            NearestResult<T> raw =
                search_blocked(set.points.data(), n, n, t.view(), block, make_bound(r, t, std::optional<Box<T>>()));
            if (!finalize) return raw;
            return finalize_results(set, raw, t.n, target_perm);
        });
        return result_pair(std::move(res));
    });
}

template <class T>
PyObject* prepared_query_prepared_blocked(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {{"other", true}, {"block", false}, {"distance_upper_bound", false}};
        static const Signature sig{Names<T>::prepared, "query_prepared_blocked", params};
        Args a(sig, args, nargs, kwnames);
        auto target = PreparedRef<T>::take(self);
        auto other = a.convert(0, prepared_arg<T>);
        std::uint64_t block = a.given(1) ? a.convert(1, u64_arg) : 8;
        auto r = a.convert(2, real_arg);
        auto res = without_gil([&] {
            const PreparedGraph<T>& t = target.graph();
            const PreparedGraph<T>& q = other.graph();
            // One result per query vertex: len(indptr) - 1, wrapping for an empty indptr.
            return search_blocked(q.points.data(), q.n, q.indptr.size() - 1, t.view(), block,
                                  make_bound(r, t, std::optional<Box<T>>(q.box())));
        });
        return result_pair(std::move(res));
    });
}

template PyTypeObject* prepared_type<float>();
template PyTypeObject* prepared_type<double>();
#define PLOV_INSTANTIATE(fn)                                                          \
    template PyObject* fn<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*); \
    template PyObject* fn<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PLOV_INSTANTIATE(prepared_query)
PLOV_INSTANTIATE(prepared_query_k)
PLOV_INSTANTIATE(prepared_query_prepared)
PLOV_INSTANTIATE(prepared_query_prepared_k)
PLOV_INSTANTIATE(prepared_query_prepared_blocked)
PLOV_INSTANTIATE(prepared_query_grouped)
#undef PLOV_INSTANTIATE

}  // namespace plov::py
