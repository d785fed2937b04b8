// The module plov._native: the native operations behind the plov package's own layer,
// built from the same kernel and binding code as _plov. Its targets are _plov's
// prepared objects, so one packed cloud serves both modules. Add an operation by
// writing it below and adding a line to `functions`.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "kernel/adjacency.hpp"
#include "kernel/ball.hpp"
#include "kernel/exact_knn.hpp"
#include "kernel/morton.hpp"
#include "module_def.hpp"
#include "ops.hpp"
#include "prepared.hpp"

namespace plov::py {

namespace {

constexpr const char* kModuleDoc = "Native operations of the plov package (not a public interface).";

constexpr const char* kKnnExactDoc =
    "knn_exact(target, points, dists, idx, distance_upper_bound=None, labels=None, seed=0, rows=None, work=None,\n"
    "          starts=None)\n--\n\n"
    "Exact k nearest points of a prepared target (a _plov.PreparedF64 or PreparedF32 over a\n"
    "Delaunay graph) for each row of `points` (same precision), or for the rows listed in\n"
    "`rows` (int64), taken in the order given: a greedy descent from where the previous one\n"
    "stopped, then a best-first expansion through every point that can be reported among the\n"
    "k best. The answers of row i go to row i of `dists` and `idx`, writeable C-contiguous\n"
    "(len(points), k) arrays of the points' precision and of int64: the k smallest distances\n"
    "computed in the points' precision, ascending, ties to the smaller label; misses as\n"
    "(inf, target.n). `labels` (int64, a permutation of range(target.n)) replace the vertex\n"
    "numbers in the results and the tie rule. `distance_upper_bound`: only points at that distance or\n"
    "below are reported. With `work`, the call stops after the first query that brings the\n"
    "distances it computed to `work`. Returns (queries answered, the vertex where the last\n"
    "descent stopped): the next call goes on from there with the rest, seeded with that\n"
    "vertex. The search runs with the interpreter lock released; calls on disjoint rows may\n"
    "run at once.";

constexpr const char* kKnnSelfDoc =
    "knn_self(target, dists, idx, distance_upper_bound=None, labels=None, first=0, end=None, work=None)\n"
    "--\n\n"
    "As knn_exact with the target's own points as the queries: vertex v, from `first` up to\n"
    "`end` (target.n without), is searched from itself (no descent) and its answers go to row\n"
    "labels[v] (row v without `labels`) of `dists` and `idx`, writeable C-contiguous\n"
    "(target.n, k) arrays. The answers include the point itself (or copies of it with\n"
    "smaller labels before it). With `work`, the call stops after the first query that\n"
    "brings the distances it computed to `work`. Returns the number of vertices searched:\n"
    "the next call goes on from `first` plus that. Runs with the interpreter lock released;\n"
    "calls on disjoint vertices may run at once.";

constexpr const char* kMortonPermDoc =
    "morton_perm(points, axis=0, lo=None, hi=None, coarse=False)\n--\n\n"
    "The rows (int64) of a float64 or float32 (n, 3) array in Morton order: by ascending\n"
    "63-bit Morton code in the rows' own box, the order of a grouped query set's `perm`.\n"
    "With `coarse`, by cell of a grid over the box with a few points per cell (at most\n"
    "1024^3 cells), cells in Morton order, rows of one cell ascending: several times\n"
    "faster, and as good for walking queries. With `lo` or `hi`, only the rows with\n"
    "lo <= points[row, axis] < hi, in their own box. Runs with the interpreter lock released.";

constexpr const char* kDelaunayGraphDoc =
    "delaunay_graph(points, ordered=False, threads=1)\n--\n\n"
    "The vertex adjacency of the Delaunay triangulation of a float64 (n, 3) array of finite\n"
    "points, as a CSR pair (indptr, indices) of uint32 arrays: symmetric, each list ascending.\n"
    "Exact duplicates are triangulated once (their smallest-index copy, which lists every other\n"
    "copy; each other copy lists only it); flat and collinear clouds get their 2-D and 1-D\n"
    "Delaunay graphs. Ties are broken by index. Coordinates below 2^-130 times the largest\n"
    "count as zero.\n"
    "With `ordered`, returns (indptr, indices, perm): the graph renumbered in the builder's\n"
    "Morton order (each copy right after its point), perm (int64) new vertex -> row.\n"
    "Built on `threads` threads; the result does not depend on it. Runs with the interpreter\n"
    "lock released.";

constexpr const char* kDelaunayTetrahedraDoc =
    "delaunay_tetrahedra(points, ordered=False, threads=1)\n--\n\n"
    "The tetrahedra of the Delaunay triangulation of a float64 (n, 3) array of finite points,\n"
    "as an (m, 4) uint64 array of row numbers, each row positively oriented\n"
    "(det[b - a, c - a, d - a] > 0); duplicates appear as their smallest-index copy, and a\n"
    "cloud spanning fewer than three dimensions has none. Each row starts at its point first\n"
    "in the builder's Morton order, then the first of the other three; rows are grouped by\n"
    "their first point in that order. Built on `threads` threads; the result does not depend\n"
    "on it (`ordered` is ignored). Runs with the interpreter lock released.";

constexpr const char* kDelaunayRoundsDoc =
    "delaunay_rounds(points, ordered=False, threads=1)\n--\n\n"
    "How a build on `threads` threads went: an (r, 2) int64 array, for each round of the\n"
    "parallel insertion the points tried and the points put off to the next round (none for\n"
    "one thread). The rounds do not depend on timing, only on the points and `threads`, so\n"
    "they are the same on any machine. Runs with the interpreter lock released.";

constexpr const char* kPreparedGraphDoc =
    "prepared_graph(target, labels=None)\n--\n\n"
    "The graph a prepared target (a _plov.PreparedF64 or PreparedF32) holds, as a CSR pair\n"
    "(indptr, indices) of read-only uint32 arrays over the target's own memory: no copy;\n"
    "the arrays keep the target alive. With `labels` (int64, a permutation: vertex v is\n"
    "renamed labels[v]), new arrays of the graph in that numbering, each list ascending,\n"
    "made with the interpreter lock released.";

constexpr const char* kStartOrderDoc =
    "start_order(starts, n)\n--\n\n"
    "The rows (uint64) of `starts` (int64 vertices below `n`) in ascending order of their\n"
    "vertex, coarsely: vertices that differ only in their low bits keep the rows' order.\n"
    "Runs with the interpreter lock released.";

constexpr const char* kBallPointsDoc =
    "ball_points(target, points, radii, labels=None, seed=0, rows=None, sort=False, counts_only=False,\n"
    "            with_dists=False, max_found=None)\n--\n\n"
    "The target points (of a prepared target over a Delaunay graph) whose distance, computed\n"
    "in the points' precision, is at most the radius, for each row of `points` (or each row\n"
    "listed in `rows`, int64, in that order). `radii` (float64, 1-D) holds one radius for\n"
    "all rows or one per row of `points`. Returns (counts, found, dists, vertex): int64\n"
    "counts in the order walked, the labels found, query after query, each query's by\n"
    "label or with `sort` by (distance, label) (None with `counts_only`), their distances\n"
    "(None unless `with_dists`), and the vertex the last descent reached, to seed the next\n"
    "call. `labels` as for knn_exact. MemoryError when more than `max_found` points would be\n"
    "listed. Runs with the interpreter lock released and stops on Ctrl-C.";

constexpr const char* kScatterRunsDoc =
    "scatter_runs(src, rows, counts, indptr, out)\n--\n\n"
    "Copies runs of `src` to rows of a CSR array: run q, counts[q] entries long and starting\n"
    "where the runs before it end, goes to out[indptr[rows[q]]:], for q in order. `src` and\n"
    "`out` are contiguous 1-D arrays of one dtype (int64, float64 or float32), `out`\n"
    "writeable; `rows`, `counts` and `indptr` contiguous int64 arrays. Every run is checked\n"
    "to lie within both arrays first. Runs with the interpreter lock released.";

// A _plov class by name; plov imports _plov before this module.
Ref plov_class(const char* name) {
    Ref module = Ref::check(PyImport_ImportModule("_plov"));
    return Ref::check(PyObject_GetAttrString(module.get(), name));
}

bool is_instance(PyObject* o, const char* class_name) {
    Ref cls = plov_class(class_name);
    return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(cls.get()));
}

// `op(T{}, target)` for the prepared target in parameter 0, with T its scalar type;
// the instance error otherwise.
template <class Op>
Ref on_target(const Args& a, Op&& op) {
    PyObject* target = a.get(0);
    if (is_instance(target, "PreparedF64")) return op(double{}, target);
    if (is_instance(target, "PreparedF32")) return op(float{}, target);
    a.convert(0, [](PyObject* o) -> int {
        raise(PyExc_TypeError, "'" + type_qualname(o) + "' object is not an instance of 'PreparedF64'");
    });
    return Ref();
}

// A writeable, aligned, C-contiguous 2-D array of `T` that answers are written into.
template <class T>
Array2D<T> out_arg(PyObject* o) {
    Array2D<T> a = array2d_arg<T>(o);
    const int need = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE;
    if (!PyArray_CHKFLAGS(reinterpret_cast<PyArrayObject*>(o), need))
        raise(PyExc_ValueError, "must be a writeable, aligned, C-contiguous array");
    return a;
}

// The data of an output array.
template <class T>
T* out_data(const Array2D<T>& a) {
    return reinterpret_cast<T*>(const_cast<unsigned char*>(a.borrow.data));
}

// The bound of an exact search: a distance of T is reported when it is at most r, that
// is at most the largest T not above r.
template <class T>
std::optional<T> exact_bound(std::optional<double> r) {
    if (!r) return std::nullopt;
    constexpr T top = std::numeric_limits<T>::max();
    T rt = *r >= static_cast<double>(top) ? top : static_cast<T>(*r);
    if (static_cast<double>(rt) > *r) rt = std::nextafter(rt, T(0));
    return rt;
}

template <class T>
Ref knn_exact_impl(PyObject* target_obj, const Args& a) {
    auto target = PreparedRef<T>::take(target_obj);
    auto x = a.convert(1, array2d_arg<T>);
    auto dists = a.convert(2, out_arg<T>);
    auto idx = a.convert(3, out_arg<std::int64_t>);
    const auto r = a.convert(4, real_arg);
    std::optional<PermArray> labels;
    if (a.given(5)) labels = a.convert(5, perm_arg);
    const std::uint64_t seed = a.given(6) ? a.convert(6, u64_arg) : 0;
    std::optional<PermArray> listed;
    if (a.given(7)) listed = a.convert(7, perm_arg);
    const std::uint64_t work = a.given(8) ? a.convert(8, u64_arg) : ~std::uint64_t{0};
    std::optional<PermArray> starts;
    if (a.given(9)) starts = a.convert(9, perm_arg);

    const PreparedGraph<T>& t = target.graph();
    const std::size_t k = dists.view.cols;
    if (x.view.rows && x.view.cols != 3) raise(PyExc_ValueError, "points must have 3 columns");
    if (k == 0 || dists.view.rows != x.view.rows || idx.view.rows != x.view.rows || idx.view.cols != k)
        raise(PyExc_ValueError, "dists and idx must both have shape (len(points), k) with k at least 1");
    if (labels && (labels->len() != t.n || !labels->contiguous()))
        raise(PyExc_ValueError, "labels must be a contiguous array with one entry per target point");
    if (t.n && seed >= t.n) raise(PyExc_ValueError, "seed must be a target vertex");
    if (listed && !listed->contiguous()) raise(PyExc_ValueError, "rows must be contiguous");
    if (starts && (starts->len() != x.view.rows || !starts->contiguous()))
        raise(PyExc_ValueError, "starts must be a contiguous array with one entry per row of points");

    const ExactProgress progress = without_gil([&] {
        const std::int64_t* rows = listed ? listed->data() : nullptr;
        const std::size_t nq = listed ? listed->len() : x.view.rows;
        if (rows)
            for (std::size_t i = 0; i < nq; ++i) check_index(static_cast<std::uint64_t>(rows[i]), x.view.rows);
        // The starts of the rows walked, checked and laid out in walk order in one pass
        // (whose scattered reads overlap), so that the walk reads them in order.
        Buffer<std::uint32_t> walk_starts(starts ? nq : 0);
        for (std::size_t i = 0; i < walk_starts.size(); ++i) {
            const auto v = static_cast<std::uint64_t>(starts->data()[rows ? rows[i] : i]);
            check_index(v, t.n);
            walk_starts[i] = static_cast<std::uint32_t>(v);
        }
        const RowGather<T> query(x.view, rows, nq);
        const ExactTarget<T> et{t.view(), t.box(), labels ? labels->data() : nullptr, t.stamps.get()};
        const ExactOutput<T> out{out_data<T>(dists), out_data<std::int64_t>(idx), rows};
        const std::size_t budget = static_cast<std::size_t>(std::min<std::uint64_t>(work, SIZE_MAX));
        if (!starts)
            return exact_knn(et, query, nq, k, exact_bound<T>(r), static_cast<std::uint32_t>(seed), out, budget);
        auto start_of = [&](std::size_t q) { return walk_starts[q]; };
        return exact_knn(et, query, nq, k, exact_bound<T>(r), static_cast<std::uint32_t>(seed), out, budget, start_of);
    });
    Ref done = Ref::check(PyLong_FromSize_t(progress.done));
    Ref start = Ref::check(PyLong_FromUnsignedLong(progress.start));
    return make_tuple(std::move(done), std::move(start));
}

PyObject* knn_exact(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {
            {"target", true},  {"points", true}, {"dists", true}, {"idx", true},   {"distance_upper_bound", false},
            {"labels", false}, {"seed", false},  {"rows", false}, {"work", false}, {"starts", false}};
        static const Signature sig{nullptr, "knn_exact", params};
        Args a(sig, args, nargs, kwnames);
        return on_target(a, [&](auto scalar, PyObject* target) { return knn_exact_impl<decltype(scalar)>(target, a); });
    });
}

template <class T>
Ref knn_self_impl(PyObject* target_obj, const Args& a) {
    auto target = PreparedRef<T>::take(target_obj);
    auto dists = a.convert(1, out_arg<T>);
    auto idx = a.convert(2, out_arg<std::int64_t>);
    const auto r = a.convert(3, real_arg);
    std::optional<PermArray> labels;
    if (a.given(4)) labels = a.convert(4, perm_arg);
    const PreparedGraph<T>& t = target.graph();
    const std::uint64_t first = a.given(5) ? a.convert(5, u64_arg) : 0;
    const std::uint64_t end = a.given(6) && a.get(6) != Py_None ? a.convert(6, u64_arg) : t.n;
    const std::uint64_t work = a.given(7) ? a.convert(7, u64_arg) : ~std::uint64_t{0};

    const std::size_t k = dists.view.cols;
    if (k == 0 || dists.view.rows != t.n || idx.view.rows != t.n || idx.view.cols != k)
        raise(PyExc_ValueError, "dists and idx must both have shape (target.n, k) with k at least 1");
    if (labels && (labels->len() != t.n || !labels->contiguous()))
        raise(PyExc_ValueError, "labels must be a contiguous array with one entry per target point");
    if (first > end || end > t.n) raise(PyExc_ValueError, "first and end must satisfy first <= end <= target.n");

    const ExactProgress progress = without_gil([&] {
        const std::size_t from = static_cast<std::size_t>(first);
        const ExactTarget<T> et{t.view(), t.box(), labels ? labels->data() : nullptr, t.stamps.get()};
        T* d = out_data<T>(dists);
        std::int64_t* i = out_data<std::int64_t>(idx);
        const ExactOutput<T> out =
            labels ? ExactOutput<T>{d, i, labels->data() + from} : ExactOutput<T>{d + from * k, i + from * k, nullptr};
        auto query = [&](std::size_t q) { return t.points[from + q]; };
        auto start_of = [&](std::size_t q) { return static_cast<std::uint32_t>(from + q); };
        const std::size_t budget = static_cast<std::size_t>(std::min<std::uint64_t>(work, SIZE_MAX));
        return exact_knn(et, query, static_cast<std::size_t>(end) - from, k, exact_bound<T>(r), 0, out, budget,
                         start_of);
    });
    return Ref::check(PyLong_FromSize_t(progress.done));
}

PyObject* knn_self(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {
            {"target", true},  {"dists", true},  {"idx", true},  {"distance_upper_bound", false},
            {"labels", false}, {"first", false}, {"end", false}, {"work", false}};
        static const Signature sig{nullptr, "knn_self", params};
        Args a(sig, args, nargs, kwnames);
        return on_target(a, [&](auto scalar, PyObject* target) { return knn_self_impl<decltype(scalar)>(target, a); });
    });
}

// A Vec's contents as a 1-D array that adopts its memory.
template <class T>
Ref vec_array(Vec<T>& v) {
    const auto n = static_cast<npy_intp>(v.size());
    return make_array(v.take_buffer(), {n});
}

template <class T>
Ref ball_points_impl(PyObject* target_obj, const Args& a) {
    auto target = PreparedRef<T>::take(target_obj);
    auto x = a.convert(1, array2d_arg<T>);
    auto radii = a.convert(2, [](PyObject* o) { return array_arg(o, NPY_FLOAT64, 1); });
    std::optional<PermArray> labels;
    if (a.given(3)) labels = a.convert(3, perm_arg);
    const std::uint64_t seed = a.given(4) ? a.convert(4, u64_arg) : 0;
    std::optional<PermArray> listed;
    if (a.given(5)) listed = a.convert(5, perm_arg);
    BallOptions opt;
    opt.by_distance = a.given(6) && a.convert(6, bool_arg);
    opt.counts_only = a.given(7) && a.convert(7, bool_arg);
    opt.with_dists = a.given(8) && a.convert(8, bool_arg);
    if (a.given(9) && a.get(9) != Py_None) opt.max_found = a.convert(9, u64_arg);

    const PreparedGraph<T>& t = target.graph();
    if (x.view.rows && x.view.cols != 3) raise(PyExc_ValueError, "points must have 3 columns");
    const std::size_t nr = radii.shape[0];
    if (nr != 1 && nr != x.view.rows) raise(PyExc_ValueError, "radii must hold one radius or one per row of points");
    if (labels && (labels->len() != t.n || !labels->contiguous()))
        raise(PyExc_ValueError, "labels must be a contiguous array with one entry per target point");
    if (t.n && seed >= t.n) raise(PyExc_ValueError, "seed must be a target vertex");
    if (listed && !listed->contiguous()) raise(PyExc_ValueError, "rows must be contiguous");

    BallResults<T> res;
    std::uint32_t last = 0;
    try {
        last = without_gil_polled([&](auto& poll) {
            const std::int64_t* rows = listed ? listed->data() : nullptr;
            const std::size_t nq = listed ? listed->len() : x.view.rows;
            if (rows)
                for (std::size_t i = 0; i < nq; ++i) check_index(static_cast<std::uint64_t>(rows[i]), x.view.rows);
            auto row = [&](std::size_t q) { return rows ? static_cast<std::size_t>(rows[q]) : q; };
            const RowGather<T> query(x.view, rows, nq);
            auto radius = [&](std::size_t q) {
                double r;
                std::memcpy(&r, radii.data + static_cast<std::ptrdiff_t>(nr == 1 ? 0 : row(q)) * radii.strides[0],
                            sizeof r);
                return r;
            };
            const ExactTarget<T> et{t.view(), t.box(), labels ? labels->data() : nullptr, t.stamps.get()};
            return ball_search(et, query, radius, nq, static_cast<std::uint32_t>(seed), opt, res, poll);
        });
    } catch (const Cancelled&) {
        throw_error();
    }
    Ref counts = make_array(std::move(res.counts));
    Ref found = opt.counts_only ? Ref::check(Py_NewRef(Py_None)) : vec_array(res.labels);
    Ref dists = opt.with_dists && !opt.counts_only ? vec_array(res.dists) : Ref::check(Py_NewRef(Py_None));
    Ref vertex = Ref::check(PyLong_FromUnsignedLong(last));
    return Ref::check(PyTuple_Pack(4, counts.get(), found.get(), dists.get(), vertex.get()));
}

PyObject* ball_points(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {
            {"target", true}, {"points", true}, {"radii", true},        {"labels", false},     {"seed", false},
            {"rows", false},  {"sort", false},  {"counts_only", false}, {"with_dists", false}, {"max_found", false}};
        static const Signature sig{nullptr, "ball_points", params};
        Args a(sig, args, nargs, kwnames);
        return on_target(a,
                         [&](auto scalar, PyObject* target) { return ball_points_impl<decltype(scalar)>(target, a); });
    });
}

template <class T>
Ref morton_perm_impl(const Args& a) {
    auto x = a.convert(0, array2d_arg<T>);
    if (x.view.rows && x.view.cols != 3) raise(PyExc_ValueError, "points must have 3 columns");
    if (x.view.rows > 0xFFFFFFFFull) raise(PyExc_ValueError, "points: too many rows");
    const std::uint64_t axis = a.given(1) ? a.convert(1, u64_arg) : 0;
    if (axis > 2) raise(PyExc_ValueError, "axis must be 0, 1 or 2");
    const std::optional<double> lo = a.given(2) ? a.convert(2, real_arg) : std::nullopt;
    const std::optional<double> hi = a.given(3) ? a.convert(3, real_arg) : std::nullopt;
    const bool coarse = a.given(4) && a.convert(4, bool_arg);
    auto perm = without_gil([&] {
        const View2D<T>& v = x.view;
        auto inside = [&](std::size_t i) {
            const double c = static_cast<double>(v.at(i, axis));
            return (!lo || c >= *lo) && (!hi || c < *hi);
        };
        std::size_t n = 0;
        for (std::size_t i = 0; i < v.rows; ++i) n += inside(i);
        Buffer<std::uint64_t> rows(n);
        for (std::size_t i = 0, j = 0; j < n; ++i) {  // no branch on a coin toss
            rows[j] = i;
            j += inside(i);
        }
        auto point = [&](std::uint64_t r) {
            return Triple{static_cast<double>(v.at(r, 0)), static_cast<double>(v.at(r, 1)),
                          static_cast<double>(v.at(r, 2))};
        };
        if (n > 0 && coarse) {
            rows = coarse_morton_rows(std::move(rows), point);
        } else if (n > 0) {
            Buffer<Triple> triples(n);
            for (std::size_t i = 0; i < n; ++i) triples[i] = point(rows[i]);
            const Buffer<std::uint64_t> order = morton_perm(triples.data(), n);
            Buffer<std::uint64_t> sorted(n);
            for (std::size_t k = 0; k < n; ++k) sorted[k] = rows[order[k]];
            rows = std::move(sorted);
        }
        return rows;
    });
    // rows below 2^32: the same bits read as int64, the form of permutations in Python
    const npy_intp n = static_cast<npy_intp>(perm.size());
    return adopt_array(OwnedMemory(perm.release()), NPY_INT64, {n});
}

PyObject* morton_perm(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {
            {"points", true}, {"axis", false}, {"lo", false}, {"hi", false}, {"coarse", false}};
        static const Signature sig{nullptr, "morton_perm", params};
        Args a(sig, args, nargs, kwnames);
        PyObject* o = a.get(0);
        ensure_numpy();
        if (PyArray_Check(o) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(o)) == NPY_FLOAT32)
            return morton_perm_impl<float>(a);
        return morton_perm_impl<double>(a);
    });
}

template <class T>
Ref prepared_graph_impl(PyObject* target_obj, const Args& a) {
    auto target = PreparedRef<T>::take(target_obj);
    const PreparedGraph<T>& t = target.graph();
    if (a.given(1)) {
        auto labels = a.convert(1, perm_arg);
        if (labels && (labels->len() != t.n || !labels->contiguous()))
            raise(PyExc_ValueError, "labels must be a contiguous array with one entry per target point");
        if (labels) {
            Adjacency g = without_gil([&] { return relabel_graph(t.view(), labels->data()); });
            return make_tuple(make_array(std::move(g.indptr)), make_array(std::move(g.neighbours)));
        }
    }
    Ref indptr = view_array(t.indptr.data(), NPY_UINT32, static_cast<npy_intp>(t.indptr.size()), target_obj);
    Ref indices = view_array(t.neighbours.data(), NPY_UINT32, static_cast<npy_intp>(t.neighbours.size()), target_obj);
    return make_tuple(std::move(indptr), std::move(indices));
}

PyObject* prepared_graph(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {{"target", true}, {"labels", false}};
        static const Signature sig{nullptr, "prepared_graph", params};
        Args a(sig, args, nargs, kwnames);
        return on_target(
            a, [&](auto scalar, PyObject* target) { return prepared_graph_impl<decltype(scalar)>(target, a); });
    });
}

PyObject* start_order(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {{"starts", true}, {"n", true}};
        static const Signature sig{nullptr, "start_order", params};
        Args a(sig, args, nargs, kwnames);
        const auto starts = a.convert(0, perm_arg);
        const std::uint64_t n = a.convert(1, u64_arg);
        if (!starts || !starts->contiguous()) raise(PyExc_ValueError, "starts must be a contiguous int64 array");
        if (starts->len() > 0xFFFFFFFFull) raise(PyExc_ValueError, "starts: too many rows");
        auto rows = without_gil([&] {
            const std::size_t m = starts->len();
            const std::int64_t* v = starts->data();
            for (std::size_t i = 0; i < m; ++i) check_index(static_cast<std::uint64_t>(v[i]), n);
            // Keys of at most 16 bits: two counting passes. The vertices of one key are
            // neighbours in a Morton-numbered cloud already.
            const int bits = std::bit_width(n);
            const int shift = std::max(0, bits - 16);
            Buffer<std::uint64_t> entries(m);
            for (std::size_t i = 0; i < m; ++i) entries[i] = (static_cast<std::uint64_t>(v[i]) >> shift) << 32 | i;
            if (m) sort_by_key(entries, std::max(1, bits - shift), true);
            return entries;
        });
        return make_array(std::move(rows));
    });
}

// A contiguous one-dimensional int64 array argument.
PermArray int64_run_arg(const Args& a, std::size_t i, const char* name) {
    auto arr = a.convert(i, perm_arg);
    if (!arr || !arr->contiguous()) raise(PyExc_ValueError, std::string(name) + " must be a contiguous int64 array");
    return std::move(*arr);
}

template <class T>
void scatter_runs_of(const Args& a) {
    auto vector_of_t = [](PyObject* o) { return array_arg(o, npy_type_of<T>(), 1); };
    const ArrayBorrow src = a.convert(0, vector_of_t);
    const PermArray rows = int64_run_arg(a, 1, "rows");
    const PermArray counts = int64_run_arg(a, 2, "counts");
    const PermArray indptr = int64_run_arg(a, 3, "indptr");
    const ArrayBorrow out = a.convert(4, vector_of_t);
    const int need = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE;
    if (!PyArray_CHKFLAGS(reinterpret_cast<PyArrayObject*>(out.array.get()), need) ||
        !PyArray_CHKFLAGS(reinterpret_cast<PyArrayObject*>(src.array.get()), NPY_ARRAY_C_CONTIGUOUS))
        raise(PyExc_ValueError, "src and out must be contiguous and out writeable");
    if (rows.len() != counts.len() || indptr.len() == 0)
        raise(PyExc_ValueError, "rows and counts must have one entry per run and indptr at least one");
    // Each value is read once and checked before its run is copied: the arrays stay
    // the caller's while the lock is released.
    const bool fits = without_gil([&] {
        const std::size_t runs = rows.len(), n_rows = indptr.len() - 1;
        const std::uint64_t n_src = src.shape[0], n_out = out.shape[0];
        const std::int64_t *r = rows.data(), *c = counts.data(), *ip = indptr.data();
        const T* from = reinterpret_cast<const T*>(src.data);
        T* to = reinterpret_cast<T*>(const_cast<unsigned char*>(out.data));
        std::uint64_t taken = 0;
        for (std::size_t q = 0; q < runs; ++q) {
            const std::uint64_t row = static_cast<std::uint64_t>(r[q]), count = static_cast<std::uint64_t>(c[q]);
            if (row >= n_rows) return false;
            const std::uint64_t at = static_cast<std::uint64_t>(ip[row]);
            if (count > n_src - taken || at > n_out || count > n_out - at) return false;
            std::copy_n(from + taken, count, to + at);
            taken += count;
        }
        return true;
    });
    if (!fits) raise(PyExc_ValueError, "scatter_runs: a run does not fit in src or out");
}

PyObject* scatter_runs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {
            {"src", true}, {"rows", true}, {"counts", true}, {"indptr", true}, {"out", true}};
        static const Signature sig{nullptr, "scatter_runs", params};
        Args a(sig, args, nargs, kwnames);
        PyObject* src = a.get(0);
        ensure_numpy();
        const int type = PyArray_Check(src) ? PyArray_TYPE(reinterpret_cast<PyArrayObject*>(src)) : -1;
        if (type == NPY_FLOAT64)
            scatter_runs_of<double>(a);
        else if (type == NPY_FLOAT32)
            scatter_runs_of<float>(a);
        else
            scatter_runs_of<std::int64_t>(a);
        return Ref::check(Py_NewRef(Py_None));
    });
}

PyMethodDef functions[] = {
    {"knn_exact", PLOV_FN(knn_exact), METH_FASTCALL | METH_KEYWORDS, kKnnExactDoc},
    {"knn_self", PLOV_FN(knn_self), METH_FASTCALL | METH_KEYWORDS, kKnnSelfDoc},
    {"morton_perm", PLOV_FN(morton_perm), METH_FASTCALL | METH_KEYWORDS, kMortonPermDoc},
    {"ball_points", PLOV_FN(ball_points), METH_FASTCALL | METH_KEYWORDS, kBallPointsDoc},
    {"start_order", PLOV_FN(start_order), METH_FASTCALL | METH_KEYWORDS, kStartOrderDoc},
    {"scatter_runs", PLOV_FN(scatter_runs), METH_FASTCALL | METH_KEYWORDS, kScatterRunsDoc},
    {"delaunay_graph", PLOV_FN(delaunay_graph), METH_FASTCALL | METH_KEYWORDS, kDelaunayGraphDoc},
    {"prepared_graph", PLOV_FN(prepared_graph), METH_FASTCALL | METH_KEYWORDS, kPreparedGraphDoc},
    {"delaunay_tetrahedra", PLOV_FN(delaunay_tetrahedra), METH_FASTCALL | METH_KEYWORDS, kDelaunayTetrahedraDoc},
    {"delaunay_rounds", PLOV_FN(delaunay_rounds), METH_FASTCALL | METH_KEYWORDS, kDelaunayRoundsDoc},
};

int exec_module(PyObject* module) { return add_functions(module, functions); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "plov._native", kModuleDoc, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace plov::py

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&plov::py::module_def); }
