// The grouped query set classes GroupedQueriesF32 / GroupedQueriesF64. A grouped set
// concatenates many query clouds and puts them into Morton order once; the prepared
// classes' query_grouped then descends the whole set against one target.
#include "grouped.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "docs.hpp"
#include "kernel/morton.hpp"

namespace plov::py {

namespace {

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

template PyTypeObject* grouped_type<float>();
template PyTypeObject* grouped_type<double>();

}  // namespace plov::py
