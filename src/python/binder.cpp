#include "binder.hpp"

#include <cstring>

namespace plov::py {

namespace {

// "'{name}'" (built by appending: gcc 12 misreads `"'" + std::string` under -Wrestrict).
std::string quoted(const std::string& name) {
    std::string s;
    s.reserve(name.size() + 2);
    s += '\'';
    s += name;
    s += '\'';
    return s;
}

}  // namespace

std::string Signature::display() const {
    std::string s = owner ? std::string(owner) + "." + op : std::string(op);
    return s + "()";
}

Args::Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) : sig_(sig) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    assign_positional(nargs, args);
    if (kwnames) {
        Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nk; ++k) assign_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
    }
    check_missing();
}

Args::Args(const Signature& sig, PyObject* args, PyObject* kwargs) : sig_(sig) {
    assign_positional(PyTuple_GET_SIZE(args), reinterpret_cast<PyTupleObject*>(args)->ob_item);
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) assign_keyword(key, value);
    }
    check_missing();
}

void Args::assign_positional(Py_ssize_t nargs, PyObject* const* args) {
    const std::size_t max = sig_.params.size();
    if (max > kMaxParams) fail(sig_.display() + " has more parameters than Args can bind");
    if (static_cast<std::size_t>(nargs) > max) {
        std::size_t min = 0;
        for (const Param& p : sig_.params) min += p.required ? 1 : 0;
        std::string msg = sig_.display() + " takes ";
        if (min == max)
            msg += std::to_string(max);
        else
            msg += "from " + std::to_string(min) + " to " + std::to_string(max);
        msg += " positional arguments but " + std::to_string(nargs) + (nargs == 1 ? " was given" : " were given");
        raise(PyExc_TypeError, msg);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots_[static_cast<std::size_t>(i)] = args[i];
}

void Args::assign_keyword(PyObject* name, PyObject* value) {
    for (std::size_t i = 0; i < sig_.params.size(); ++i) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, sig_.params[i].name) == 0) {
            if (slots_[i])
                raise(PyExc_TypeError,
                      sig_.display() + " got multiple values for argument '" + sig_.params[i].name + "'");
            slots_[i] = value;
            return;
        }
    }
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
    if (!text) {
        PyErr_Clear();
        text = "?";
    }
    raise(PyExc_TypeError, sig_.display() + " got an unexpected keyword argument '" + text + "'");
}

void Args::check_missing() const {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig_.params.size(); ++i)
        if (sig_.params[i].required && !slots_[i]) missing.push_back(sig_.params[i].name);
    if (missing.empty()) return;
    std::string msg = sig_.display() + " missing " + std::to_string(missing.size()) + " required positional argument" +
                      (missing.size() == 1 ? "" : "s") + ": ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() > 2) msg += ",";
            msg += i + 1 == missing.size() ? " and " : " ";
        }
        msg += std::string("'") + missing[i] + "'";
    }
    raise(PyExc_TypeError, msg);
}

void Args::add_note(const char* param) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value) {
        std::string note = std::string("while processing '") + param + "'";
        PyObject* r = PyObject_CallMethod(value, "add_note", "s", note.c_str());
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();
        if (tb) PyException_SetTraceback(value, tb);
    }
    PyErr_Restore(type, value, tb);
}

// ---- argument kinds -------------------------------------------------------------

ArrayBorrow array_arg(PyObject* o, int typenum, int ndim) {
    ensure_numpy();
    bool ok = PyArray_Check(o) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(o)) == ndim;
    if (ok) {
        PyArray_Descr* want = PyArray_DescrFromType(typenum);
        if (!want) throw_error();
        ok = PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(o)), want);
        Py_DECREF(want);
    }
    if (!ok) raise(PyExc_TypeError, quoted(type_qualname(o)) + " object is not an instance of 'ndarray'");
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    ArrayBorrow b;
    b.array = Ref::borrow(o);
    b.data = static_cast<const unsigned char*>(PyArray_DATA(a));
    for (int d = 0; d < ndim; ++d) {
        b.shape[d] = static_cast<std::size_t>(PyArray_DIM(a, d));
        b.strides[d] = PyArray_STRIDE(a, d);
    }
    return b;
}

GraphArray graph_arg(PyObject* o) {
    GraphArray g{array_arg(o, NPY_UINT32, 1), {}};
    g.view = {g.borrow.data, g.borrow.shape[0], g.borrow.strides[0]};
    return g;
}

std::optional<PermArray> perm_arg(PyObject* o) {
    if (o == Py_None) return std::nullopt;
    return PermArray{array_arg(o, NPY_INT64, 1)};
}

std::uint64_t u64_arg(PyObject* o) {
    Ref index;
    if (!PyLong_Check(o)) {
        index = Ref::check(PyNumber_Index(o));
        o = index.get();
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error();
    return v;
}

std::optional<double> real_arg(PyObject* o) {
    if (!o || o == Py_None) return std::nullopt;
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw_error();
    return v;
}

bool bool_arg(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    if (o == Py_None) raise(PyExc_TypeError, "'None' is not an instance of 'bool'");
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
    Ref name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
    PyErr_Clear();
    bool numpy_bool = module && name && PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
                      PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
                      (PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0 ||
                       PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0);
    if (!numpy_bool) raise(PyExc_TypeError, quoted(type_qualname(o)) + " object is not an instance of 'bool'");
    if (!Py_TYPE(o)->tp_as_number || !Py_TYPE(o)->tp_as_number->nb_bool)
        raise(PyExc_TypeError, "object of type '" + type_qualname(o) + "' does not define a '__bool__' conversion");
    int v = Py_TYPE(o)->tp_as_number->nb_bool(o);
    if (v < 0) throw_error();
    return v != 0;
}

void check_instance(PyObject* o, PyTypeObject* type, const char* class_name) {
    if (PyObject_TypeCheck(o, type)) return;
    if (o == Py_None) raise(PyExc_TypeError, std::string("'None' is not an instance of '") + class_name + "'");
    raise(PyExc_TypeError, quoted(type_qualname(o)) + " object is not an instance of '" + class_name + "'");
}

void check_sequence(PyObject* o) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (PySequence_Check(o)) return;
    Ref abc = Ref::check(PyImport_ImportModule("collections.abc"));
    Ref seq = Ref::check(PyObject_GetAttrString(abc.get(), "Sequence"));
    int r = PyObject_IsInstance(o, seq.get());
    if (r < 0) throw_error();
    if (r == 0) raise(PyExc_TypeError, quoted(type_qualname(o)) + " object is not an instance of 'Sequence'");
}

void clear_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    PyErr_Clear();
}

}  // namespace plov::py
