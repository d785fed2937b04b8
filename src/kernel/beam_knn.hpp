// k-nearest search of breadth `ef` (approximate; `exact_knn.hpp` is the exact one): one
// best-first search over the target graph per query point, keeping the `ef` best points
// found so far, warm-started at the nearest point reported for the query neighbour that
// discovered it.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

#include "descent.hpp"
#include "graph.hpp"

namespace plov {

// Row-major (rows, cols) results of a k-nearest search.
template <class T, class Index = std::uint64_t>
struct KnnResult {
    Buffer<T> dists;
    Buffer<Index> idx;
    std::size_t rows = 0;
    std::size_t cols = 0;
};

// One search candidate: squared distance from the current query point and target vertex.
template <class T>
struct HeapItem {
    T dist;
    std::size_t index;
};
static_assert(sizeof(HeapItem<float>) == 16 && sizeof(HeapItem<double>) == 16);

// A signed integer that orders like the IEEE totalOrder of `v`: the bit pattern read
// as sign-magnitude (-NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN). The mapping is
// its own inverse (see `from_order_key`).
template <class T>
using OrderKey = std::conditional_t<sizeof(T) == 4, std::int32_t, std::int64_t>;

template <class T>
inline OrderKey<T> order_key(T v) noexcept {
    using S = OrderKey<T>;
    using U = std::make_unsigned_t<S>;
    S s = std::bit_cast<S>(v);
    return s ^ static_cast<S>(static_cast<U>(s >> (8 * sizeof(S) - 1)) >> 1);
}

template <class T>
inline T from_order_key(OrderKey<T> key) noexcept {
    using S = OrderKey<T>;
    using U = std::make_unsigned_t<S>;
    return std::bit_cast<T>(static_cast<S>(key ^ static_cast<S>(static_cast<U>(key >> (8 * sizeof(S) - 1)) >> 1)));
}

// A candidate as the heap stores it: the distance as its totalOrder key, so that the
// heap compares integers.
template <class T>
struct HeapSlot {
    OrderKey<T> key;
    std::size_t index;
};

// Binary min-heap operations on slots [0, n), children of slot i at 2i + 1 and 2i + 2.
// Equal keys are not broken by index; their order follows these mechanics.
namespace heap_ops {

// Appends `item` at slot n (which must exist) and lets it rise past every parent
// with a greater key.
template <class T>
inline void push(HeapSlot<T>* a, std::size_t& n, HeapSlot<T> item) noexcept {
    std::size_t pos = n++;
    while (pos > 0) {
        std::size_t parent = (pos - 1) / 2;
        if (!(a[parent].key > item.key)) break;
        a[pos] = a[parent];
        pos = parent;
    }
    a[pos] = item;
}

// Removes the minimum (n > 0): the hole left at the root sinks to the bottom level
// along the preferred children (the right one when its key is not greater), then the
// former last item rises from there.
template <class T>
inline HeapSlot<T> pop(HeapSlot<T>* a, std::size_t& n) noexcept {
    HeapSlot<T> top = a[0];
    HeapSlot<T> last = a[--n];
    const std::size_t end = n;
    if (end == 0) return top;
    std::size_t hole = 0;
    std::size_t child = 1;
    while (end >= 2 && child <= end - 2) {
        child += a[child + 1].key <= a[child].key ? 1 : 0;
        a[hole] = a[child];
        hole = child;
        child = 2 * hole + 1;
    }
    if (child == end - 1) {
        a[hole] = a[child];
        hole = child;
    }
    while (hole > 0) {
        std::size_t parent = (hole - 1) / 2;
        if (!(a[parent].key > last.key)) break;
        a[hole] = a[parent];
        hole = parent;
    }
    a[hole] = last;
    return top;
}

}  // namespace heap_ops

// Position after every entry of the ascending list [0, n) whose dist <= d.
template <class T>
inline std::size_t upper_bound_pos(const HeapItem<T>* a, std::size_t n, T d) noexcept {
    if (n == 0) return 0;
    std::size_t base = 0;
    while (n > 1) {
        std::size_t half = n / 2;
        if (a[base + half].dist <= d) base += half;
        n -= half;
    }
    return base + (a[base].dist <= d ? 1 : 0);
}

namespace knn_detail {

inline constexpr std::uint64_t kMaxShape = (std::uint64_t{1} << 63) - 1;
// Largest `ef` whose heap reservation (4 * ef items of 16 bytes) fits the address space.
inline constexpr std::uint64_t kMaxEf = (kMaxBytes - 16) / 16 / 4;

// Neighbour range [start, end) of vertex `v` as an array slice: `indptr` must hold
// entry v + 1, and both offsets must lie within the neighbour list. An inverted pair
// within the list is an empty range.
template <class Ids>
inline std::pair<std::uint32_t, std::uint32_t> slice_range(const Ids& indptr, std::size_t neighbours_len,
                                                           std::size_t v) {
    if (v + 1 >= indptr.len) [[unlikely]]
        fail("ndarray: index out of bounds");
    std::uint32_t a = indptr[v], b = indptr[v + 1];
    if (a > neighbours_len) [[unlikely]]
        fail("assertion failed: start <= axis_len");
    if (b > neighbours_len) [[unlikely]]
        fail("assertion failed: end <= axis_len");
    return {a, b};
}

// Grows a full scratch list (`used` items kept) by doubling, to at least four items.
template <class E>
E* grow(Vec<E>& v, std::size_t used) {
    v.resize_uninit(used);
    v.reserve(used < 2 ? 4 : 2 * used);
    return v.data();
}

// Scratch of one call, reused for every query point.
template <class T>
struct Scratch {
    VisitStamps<std::uint32_t> seen;  // target vertices seen by the current search
    Vec<HeapSlot<T>> heap;
    Vec<HeapItem<T>> results;
    std::size_t n_results = 0;  // length of the result list of the last search
    Vec<std::uint32_t> fresh;   // neighbours first seen while expanding one vertex
};

template <class T, class Ids>
struct Target {
    const PackedPoint<T>* points;
    std::size_t n;
    Ids indptr;
    Ids neighbours;
};

// Best-first search from seed `s` for point `p`, breadth `ef`; leaves the best points
// found in sc.results[0, sc.n_results), ascending.
//
// Each expansion first marks the unseen neighbours of the candidate (a tight pass
// over the list), then scores them in list order. Marking does not depend on the
// scores, so this is the same as scoring each neighbour as it is marked.
template <class T, class Ids>
void best_first(Scratch<T>& sc, const Target<T, Ids>& tg, const PackedPoint<T>& p, std::size_t s, std::uint64_t ef) {
    const std::uint32_t gen = sc.seen.next_walk();
    std::uint32_t* const stamps = sc.seen.stamps.data();
    const PackedPoint<T>* const pts = tg.points;
    const std::size_t n = tg.n;
    const Ids indptr = tg.indptr;
    const Ids nbrs = tg.neighbours;

    HeapSlot<T>* heap = sc.heap.data();
    std::size_t heap_cap = sc.heap.capacity(), heap_n = 0;
    HeapItem<T>* res = sc.results.data();
    std::size_t res_cap = sc.results.capacity(), res_n = 0;
    std::uint32_t* fresh = sc.fresh.data();
    std::size_t fresh_cap = sc.fresh.capacity();

    check_index(s, n);
    const T d0 = dist2(p, pts[s]);
    stamps[s] = gen;
    if (heap_cap == 0) {
        heap = grow(sc.heap, 0);
        heap_cap = sc.heap.capacity();
    }
    heap_ops::push<T>(heap, heap_n, {order_key(d0), s});
    if (res_cap == 0) {
        res = grow(sc.results, 0);
        res_cap = sc.results.capacity();
    }
    res[res_n++] = {d0, s};
    // While the list holds no NaN the insertion point is found by scanning back from
    // the end, which is where the upper bound lies for an ordered list.
    bool ordered = !std::isnan(d0);

    while (heap_n != 0) {
        const HeapSlot<T> c = heap_ops::pop(heap, heap_n);
        if (res_n == ef && from_order_key<T>(c.key) > res[ef - 1].dist) break;
        auto [a, b] = slice_range(indptr, nbrs.len, c.index);
        if (a >= b) continue;
        if (b - a > fresh_cap) [[unlikely]] {
            sc.fresh.reserve(b - a);
            fresh = sc.fresh.data();
            fresh_cap = sc.fresh.capacity();
        }
        const std::size_t n_fresh =
            mark_unseen(nbrs, a, b, stamps, gen, fresh, pts, [n](std::uint32_t v) { check_index(v, n); });
        for (std::size_t f = 0; f < n_fresh; ++f) {
            const std::uint32_t v = fresh[f];
            const T d = dist2(p, pts[v]);
            if (res_n >= ef && !(d < res[res_n - 1].dist)) continue;
            if (heap_n == heap_cap) [[unlikely]] {
                heap = grow(sc.heap, heap_n);
                heap_cap = sc.heap.capacity();
            }
            heap_ops::push<T>(heap, heap_n, {order_key(d), v});
            if (res_n == ef) --res_n;
            if (res_n == res_cap) [[unlikely]] {
                res = grow(sc.results, res_n);
                res_cap = sc.results.capacity();
            }
            if (std::isnan(d)) ordered = false;
            std::size_t i = res_n;
            if (ordered) {
                for (; i > 0 && res[i - 1].dist > d; --i) res[i] = res[i - 1];
            } else {
                std::size_t pos = upper_bound_pos(res, res_n, d);
                for (; i > pos; --i) res[i] = res[i - 1];
            }
            res[i] = {d, v};
            ++res_n;
        }
    }
    sc.n_results = res_n;
}

}  // namespace knn_detail

// For every query vertex (len(query.indptr) - 1 of them) the `k` nearest target points
// found by a best-first search of breadth `ef`, in ascending distance; entries not
// found, or beyond the bound, keep the miss marker (+inf, n_target).
template <class T>
KnnResult<T> search_k(const GraphView<T>& query, const GraphView<T>& target, std::uint64_t k, std::uint64_t ef,
                      const std::optional<DistanceBound<T>>& bound) {
    constexpr T inf = std::numeric_limits<T>::infinity();
    const std::size_t nq = query.indptr.len - 1;  // wraps for an empty indptr
    const std::size_t n_target = target.n_points;

    // Outputs, sized before anything else: max(nq, 1) rows of k entries must be
    // countable in a signed size. Without query vertices the result is empty, but an
    // array of shape (0, k) cannot exist either when k 8-byte entries overflow it.
    const std::uint64_t rows = std::max<std::uint64_t>(nq, 1);
    if ((k == 0 ? rows > knn_detail::kMaxShape : rows > knn_detail::kMaxShape / k) ||
        (nq == 0 && k > knn_detail::kMaxShape / 8))
        fail("ndarray: Shape too large, product of non-zero axis lengths overflows isize");
    KnnResult<T> res{Buffer<T>(nq * k, inf), Buffer<std::uint64_t>(nq * k, n_target), nq, k};

    if (bound && nq == 0) return res;
    const BoundPlan<T> plan = plan_bound(bound, query.points, query.n_points);
    if (plan.rejected) return res;
    const BoundMode mode = plan.mode;
    const T r2 = plan.r2;
    const PackedPoint<T> tlo = bound ? bound->tlo : PackedPoint<T>{};
    const PackedPoint<T> thi = bound ? bound->thi : PackedPoint<T>{};
    const bool bounded = mode != BoundMode::Unbounded;

    // Scratch, once per call. Neither list can outgrow the target (every target vertex
    // enters a search at most once), so the reservations are capped by its size.
    knn_detail::Scratch<T> sc;
    sc.seen = VisitStamps<std::uint32_t>::zeros(n_target);
    VisitStamps<std::uint8_t> seen = VisitStamps<std::uint8_t>::zeros(nq);
    Vec<QueryEntry> stack(nq);
    if (ef > knn_detail::kMaxEf) fail_capacity();
    sc.heap.reserve(std::min<std::uint64_t>(4 * ef, n_target));
    sc.results.reserve(std::min<std::uint64_t>(ef, n_target));
    sc.fresh.reserve(64);
    std::uint32_t carried = 0;

    // Unlike the single-nearest walk, a query without an answer hands on the carried
    // seed, not its own.
    auto traverse = [&](const auto& tg) {
        auto visit = [&](std::uint32_t s, std::size_t q) {
            const PackedPoint<T> p = query.points[q];
            if (!(mode == BoundMode::PerPoint && box_point_dist2(tlo, thi, p) > r2)) {
                knn_detail::best_first(sc, tg, p, s, ef);
                const HeapItem<T>* best = sc.results.data();
                T* drow = res.dists.data() + q * k;
                std::uint64_t* irow = res.idx.data() + q * k;
                const std::size_t m = std::min<std::uint64_t>(k, sc.n_results);
                std::size_t j = 0;
                for (; j < m; ++j) {
                    if (bounded && best[j].dist > r2) break;
                    drow[j] = std::sqrt(best[j].dist);
                    irow[j] = best[j].index;
                }
                // A target vertex number: read from a uint32 array, or the seed.
                if (j > 0) carried = static_cast<std::uint32_t>(best[0].index);
            }
            return carried;
        };
        // q < nq, so indptr holds entry q + 1.
        auto range = [&](std::size_t q) { return knn_detail::slice_range(query.indptr, query.neighbours.len, q); };
        auto nbr = [&](std::size_t e) { return query.neighbours[e]; };
        walk_query_graph(nq, query.n_points, stack, seen, carried, range, nbr, visit, [](std::uint32_t) {});
    };

    // Prepared targets are contiguous; a caller's arrays may be strided.
    const U32View& ip = target.indptr;
    const U32View& nb = target.neighbours;
    if (ip.stride == sizeof(std::uint32_t) && nb.stride == sizeof(std::uint32_t)) {
        traverse(knn_detail::Target<T, DenseU32>{target.points, n_target, DenseU32::of(ip), DenseU32::of(nb)});
    } else {
        traverse(knn_detail::Target<T, U32View>{target.points, n_target, ip, nb});
    }
    return res;
}

}  // namespace plov
