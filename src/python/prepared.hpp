// The prepared target classes PreparedF32 / PreparedF64: the object layout, the
// shared borrow every use takes, and helpers shared by all operations on them.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "binder.hpp"
#include "kernel/beam_knn.hpp"
#include "kernel/graph.hpp"
#include "results.hpp"

namespace plov::py {

template <class T>
struct Names;
template <>
struct Names<float> {
    static constexpr const char* prepared = "PreparedF32";
    static constexpr const char* grouped = "GroupedQueriesF32";
};
template <>
struct Names<double> {
    static constexpr const char* prepared = "PreparedF64";
    static constexpr const char* grouped = "GroupedQueriesF64";
};

template <class T>
struct PreparedObject {
    PyObject_HEAD
    std::atomic<std::int64_t> borrow;  // shared borrows held; -1 would mark an exclusive one
    PreparedGraph<T>* graph;           // owned; heap-allocated for its 32-byte alignment
};

// The class object, created on first use; nullptr with RuntimeError set on failure.
template <class T>
PyTypeObject* prepared_type();

// A shared borrow of a prepared instance, held for one operation. The counter is
// decremented before the reference is dropped; both happen with the lock held.
template <class T>
class PreparedRef {
public:
    static PreparedRef take(PyObject* o) {
        auto* obj = reinterpret_cast<PreparedObject<T>*>(o);
        std::int64_t cur = obj->borrow.load(std::memory_order_relaxed);
        do {
            if (cur == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
        } while (!obj->borrow.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire));
        return PreparedRef(o);
    }
    PreparedRef(PreparedRef&& o) noexcept = default;
    PreparedRef& operator=(PreparedRef&&) = delete;
    ~PreparedRef() {
        if (ref_) object()->borrow.fetch_sub(1, std::memory_order_release);
    }

    const PreparedGraph<T>& graph() const noexcept { return *object()->graph; }
    PyObject* get() const noexcept { return ref_.get(); }

private:
    explicit PreparedRef(PyObject* o) : ref_(Ref::borrow(o)) {}
    PreparedObject<T>* object() const noexcept { return reinterpret_cast<PreparedObject<T>*>(ref_.get()); }
    Ref ref_;
};

// Instance kind: a PreparedF32 (PreparedF64) or subtype, borrowed shared.
template <class T>
PreparedRef<T> prepared_arg(PyObject* o) {
    PyTypeObject* type = prepared_type<T>();
    if (!type) throw_error();
    check_instance(o, type, Names<T>::prepared);
    return PreparedRef<T>::take(o);
}

// The bound of a search on `target`: none without a value; otherwise the target's box,
// `r` rounded to `T`, and the supplied query box (or none, to be computed).
template <class T>
std::optional<DistanceBound<T>> make_bound(std::optional<double> r, const PreparedGraph<T>& target,
                                           std::optional<Box<T>> query_box) {
    if (!r) return std::nullopt;
    return DistanceBound<T>{target.lo, target.hi, static_cast<T>(*r), query_box};
}

// The (dists, idx) tuple over the (rows, cols) result buffers.
template <class T>
Ref knn_pair(KnnResult<T>&& res) {
    const auto rows = static_cast<npy_intp>(res.rows), cols = static_cast<npy_intp>(res.cols);
    Ref d = make_array(std::move(res.dists), {rows, cols});
    Ref i = make_array(std::move(res.idx), {rows, cols});
    return make_tuple(std::move(d), std::move(i));
}

// The (dists, idx) tuple over a search's result buffers.
template <class T>
Ref result_pair(NearestResult<T>&& res) {
    Ref d = make_array(std::move(res.dists));
    Ref i = make_array(std::move(res.idx));
    return make_tuple(std::move(d), std::move(i));
}

}  // namespace plov::py
