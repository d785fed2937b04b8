// The grouped query set classes GroupedQueriesF32 / GroupedQueriesF64: the object
// layout and the instance kind the prepared classes' query_grouped takes.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "ops.hpp"
#include "prepared.hpp"

namespace plov::py {

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

// Instance kind of a grouped set: a plain reference, no borrow bookkeeping.
template <class T>
Ref grouped_arg(PyObject* o) {
    PyTypeObject* type = grouped_type<T>();
    if (!type) throw_error();
    check_instance(o, type, Names<T>::grouped);
    return Ref::borrow(o);
}

}  // namespace plov::py
