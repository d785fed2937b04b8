#include "prepared.hpp"

#include <new>
#include <string>

#include "docs.hpp"
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
        auto points = a.convert(0, array2d_arg<T>);
        auto indptr = a.convert(1, graph_arg);
        auto indices = a.convert(2, graph_arg);
        // Packing runs with the lock held.
        auto* graph = new PreparedGraph<T>(prepare_graph(points.view, indptr.view, indices.view));
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
        auto x = a.convert(0, array2d_arg<T>);
        auto xi = a.convert(1, graph_arg);
        auto xn = a.convert(2, graph_arg);
        auto r = a.convert(3, real_arg);
        auto res = without_gil([&] {
            PackedBuffer<T> packed = pack_points(x.view);
            GraphView<T> q{packed.data(), packed.size(), xi.view, xn.view};
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

template PyTypeObject* prepared_type<float>();
template PyTypeObject* prepared_type<double>();
template PyObject* prepared_query<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query_prepared<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query_prepared<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace plov::py
