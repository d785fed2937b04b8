// Grouped query sets GroupedQueriesF32 / GroupedQueriesF64 and the blocked-descent
// methods of the prepared classes. A grouped set concatenates many query clouds and
// puts them into Morton order once; query_grouped then descends the whole set against
// one target and maps the results back to each cloud's original order.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "docs.hpp"
#include "kernel/blocked.hpp"
#include "kernel/morton.hpp"
#include "ops.hpp"
#include "prepared.hpp"

namespace plov::py {

namespace {

// The content of a grouped object; immutable once built.
template <class T>
struct GroupedQuerySet {
    PackedBuffer<T> points;                                        // Morton order
    Buffer<std::uint64_t> perm;                                    // sorted position -> concatenated index
    Buffer<std::uint64_t> offsets;                                 // n_clouds + 1 cloud starts
    std::vector<std::optional<Buffer<std::int64_t>>> query_perms;  // new -> original, per cloud

    std::size_t n_points() const noexcept { return points.size(); }
    std::size_t n_clouds() const noexcept { return offsets.size() - 1; }
};

template <class T>
struct GroupedObject {
    PyObject_HEAD
    GroupedQuerySet<T>* set;  // owned
};

template <class T>
const GroupedQuerySet<T>& set_of(PyObject* o) {
    return *reinterpret_cast<GroupedObject<T>*>(o)->set;
}

// Concatenates the clouds, Morton-sorts the concatenation and copies the permutations.
template <class T>
GroupedQuerySet<T> build_set(const std::vector<PreparedRef<T>>& clouds,
                             const std::vector<std::optional<PermArray>>& perms) {
    GroupedQuerySet<T> set;
    set.offsets = Buffer<std::uint64_t>(clouds.size() + 1);
    std::size_t total = 0;
    set.offsets[0] = 0;
    for (std::size_t c = 0; c < clouds.size(); ++c) {
        std::size_t len = clouds[c].graph().points.size();
        if (len > std::numeric_limits<std::size_t>::max() - total) fail_capacity();
        total += len;
        set.offsets[c + 1] = total;
    }

    if (total > 0) {
        PackedBuffer<T> concat(total);
        for (std::size_t c = 0; c < clouds.size(); ++c) {
            const PackedBuffer<T>& pts = clouds[c].graph().points;
            if (!pts.empty())
                std::memcpy(static_cast<void*>(concat.data() + set.offsets[c]), pts.data(),
                            pts.size() * sizeof(PackedPoint<T>));
        }
        {
            Buffer<Triple> triples(total);
            for (std::size_t i = 0; i < total; ++i)
                triples[i] = {double(concat[i].x), double(concat[i].y), double(concat[i].z)};
            set.perm = morton_perm(triples.data(), total);
        }
        set.points = PackedBuffer<T>(total);
        for (std::size_t k = 0; k < total; ++k) set.points[k] = concat[set.perm[k]];
    }

    set.query_perms.reserve(perms.size());
    for (const auto& p : perms) {
        if (!p) {
            set.query_perms.emplace_back();
            continue;
        }
        Buffer<std::int64_t> copy(p->len());
        if (p->len()) std::memcpy(copy.data(), p->data(), p->len() * sizeof(std::int64_t));
        set.query_perms.emplace_back(std::move(copy));
    }
    return set;
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

// Instance kind of a grouped set: a plain reference, no borrow bookkeeping.
template <class T>
Ref grouped_arg(PyObject* o) {
    PyTypeObject* type = grouped_type<T>();
    if (!type) throw_error();
    check_instance(o, type, Names<T>::grouped);
    return Ref::borrow(o);
}

template <class T>
PyObject* grouped_prepare(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {{"queries", true}, {"query_perms", true}};
        static const Signature sig{Names<T>::grouped, "prepare", params};
        Args a(sig, args, nargs, kwnames);
        auto clouds = a.convert(0, [](PyObject* o) { return sequence_arg(o, prepared_arg<T>); });
        auto perms = a.convert(1, [](PyObject* o) { return sequence_arg(o, perm_arg); });
        for (const auto& p : perms)
            if (p && !p->contiguous()) fail("contiguous perm");

        PyTypeObject* type = grouped_type<T>();
        if (!type) throw_error();
        auto set = without_gil([&] { return std::make_unique<GroupedQuerySet<T>>(build_set<T>(clouds, perms)); });
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) throw_error();
        reinterpret_cast<GroupedObject<T>*>(self)->set = set.release();
        return Ref::steal(self);
    });
}

template <class T>
void grouped_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<GroupedObject<T>*>(self);
    PyTypeObject* type = Py_TYPE(self);
    delete obj->set;
    obj->set = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

template <class T>
PyObject* grouped_repr(PyObject* self) {
    return guarded([&] {
        const GroupedQuerySet<T>& s = set_of<T>(self);
        std::string text = std::string(Names<T>::grouped) + "(n_clouds=" + std::to_string(s.n_clouds()) +
                           ", n_points=" + std::to_string(s.n_points()) + ")";
        return Ref::check(PyUnicode_FromString(text.c_str()));
    });
}

template <class T>
PyObject* grouped_get_n_points(PyObject* self, void*) {
    return guarded([&] { return Ref::check(PyLong_FromSize_t(set_of<T>(self).n_points())); });
}

template <class T>
PyObject* grouped_get_n_clouds(PyObject* self, void*) {
    return guarded([&] { return Ref::check(PyLong_FromSize_t(set_of<T>(self).n_clouds())); });
}

Ref copy_u64(const Buffer<std::uint64_t>& b) {
    Buffer<std::uint64_t> out(b.size());
    if (!b.empty()) std::memcpy(out.data(), b.data(), b.size() * sizeof(std::uint64_t));
    return make_array(std::move(out));
}

template <class T>
PyObject* grouped_get_offsets(PyObject* self, void*) {
    return guarded([&] { return copy_u64(set_of<T>(self).offsets); });
}

template <class T>
PyObject* grouped_get_perm(PyObject* self, void*) {
    return guarded([&] { return copy_u64(set_of<T>(self).perm); });
}

template <class T>
PyObject* create_grouped_type() {
    static PyMethodDef methods[] = {
        {"prepare", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(grouped_prepare<T>)),
         METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc::prepare},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"n_points", grouped_get_n_points<T>, nullptr, doc::prop_n_points, nullptr},
        {"n_clouds", grouped_get_n_clouds<T>, nullptr, doc::prop_n_clouds, nullptr},
        {"offsets", grouped_get_offsets<T>, nullptr, doc::prop_offsets, nullptr},
        {"perm", grouped_get_perm<T>, nullptr, doc::prop_perm, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(grouped_dealloc<T>)},
        {Py_tp_repr, reinterpret_cast<void*>(grouped_repr<T>)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char*>(std::is_same_v<T, float> ? doc::grouped_f32 : doc::grouped_f64)},
        {0, nullptr},
    };
    static const std::string qualified = std::string("builtins.") + Names<T>::grouped;
    static PyType_Spec spec = {qualified.c_str(), static_cast<int>(sizeof(GroupedObject<T>)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               slots};
    return PyType_FromSpec(&spec);
}

}  // namespace

template <class T>
PyTypeObject* grouped_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = create_grouped_type<T>();
        if (!type) {
            PyErr_Clear();
            PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", Names<T>::grouped);
        }
    }
    return reinterpret_cast<PyTypeObject*>(type);
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

template PyTypeObject* grouped_type<float>();
template PyTypeObject* grouped_type<double>();
#define PLOV_INSTANTIATE(fn)                                                          \
    template PyObject* fn<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*); \
    template PyObject* fn<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PLOV_INSTANTIATE(prepared_query_grouped)
PLOV_INSTANTIATE(prepared_query_prepared_blocked)
#undef PLOV_INSTANTIATE

}  // namespace plov::py
