// Single-nearest search by greedy descent over the target graph, with every descent
// warm-started at the answer of the query neighbour that discovered it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <tuple>
#include <type_traits>
#include <utility>

#include "graph.hpp"

#ifdef PLOV_COUNT_EVALS
#include <atomic>
#include <cstdio>
namespace plov {
// Distance evaluations and descents of the process (instrumented builds only).
struct EvalCounter {
    std::atomic<unsigned long long> evals{0}, descents{0}, steps{0}, pairs{0};
    ~EvalCounter() {
        std::fprintf(stderr, "descents %llu evals %llu steps %llu pairs %llu\n", descents.load(), evals.load(),
                     steps.load(), pairs.load());
    }
};
inline EvalCounter eval_counter;
}  // namespace plov
#define PLOV_COUNT(field, n) (::plov::eval_counter.field.fetch_add((n), std::memory_order_relaxed))
#else
#define PLOV_COUNT(field, n) ((void)0)
#endif

namespace plov {

// Neighbour range [start, end) of a vertex, checked against the list length the way
// a bounds-checked slice is: a start beyond the list, then an inverted range, then
// an end beyond the list.
inline void check_range(std::uint64_t start, std::uint64_t end, std::uint64_t len) {
    if (start <= end && end <= len) [[likely]]
        return;
    if (start > len) fail_range_start(start, len);
    if (end < start) fail_range_order(start, end);
    fail_range_end(end, len);
}

inline void check_contiguous(const U32View& indptr, const U32View& neighbours) {
    if (!indptr.contiguous()) fail("contiguous CSR indptr");
    if (!neighbours.contiguous()) fail("contiguous CSR neighbours");
}

// A target graph whose views are known to be contiguous, read with bounds checks at
// every access.
template <class T>
struct DescentTarget {
    const PackedPoint<T>* points;
    std::size_t n;
    DenseU32 indptr;
    DenseU32 neighbours;

    explicit DescentTarget(const GraphView<T>& g)
        : points(g.points), n(g.n_points), indptr(DenseU32::of(g.indptr)), neighbours(DenseU32::of(g.neighbours)) {}

    // Neighbour range of `v`, checked.
    std::pair<std::uint32_t, std::uint32_t> range(std::uint32_t v) const {
        std::uint64_t next = std::uint64_t{v} + 1;
        if (next >= indptr.len) [[unlikely]]
            fail_index(indptr.len, next);
        std::uint32_t a = indptr[v], b = indptr[next];
        check_range(a, b, neighbours.len);
        return {a, b};
    }
    std::uint32_t neighbour(std::size_t k) const noexcept { return neighbours[k]; }
};

// Order key of a (squared distance, vertex) pair: the distance's bit pattern above
// the vertex number. Squared distances are +0, positive, +inf or NaN (never -0), and
// on the non-NaN ones the IEEE order is the unsigned order of the bit patterns, with
// every NaN pattern above +inf. So as long as the running minimum is not NaN (a descent
// whose start distance is NaN stops at once, as nothing compares below NaN), the
// lexicographic rule "smaller distance, or equal distance and smaller vertex" is one
// unsigned comparison of keys, which compiles to a branch-free minimum. The bits sit
// in the upper half of a key twice their width, so no shift is needed for doubles.
template <class T>
struct KeyTraits;
template <>
struct KeyTraits<float> {
    using Bits = std::uint32_t;
    using Key = std::uint64_t;
};
template <>
struct KeyTraits<double> {
    using Bits = std::uint64_t;
    using Key = unsigned __int128;
};
template <class T>
using PairKey = typename KeyTraits<T>::Key;

template <class T>
inline PairKey<T> pair_key(T d, std::uint32_t j) noexcept {
    typename KeyTraits<T>::Bits bits;
    std::memcpy(&bits, &d, sizeof bits);
    return PairKey<T>{bits} << (8 * sizeof bits) | j;
}
template <class T>
inline T key_dist(PairKey<T> k) noexcept {
    using Bits = typename KeyTraits<T>::Bits;
    const Bits bits = static_cast<Bits>(k >> (8 * sizeof(Bits)));
    T d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}
template <class T>
inline std::uint32_t key_vertex(PairKey<T> k) noexcept {
    return static_cast<std::uint32_t>(k);
}

// Greedy descent from seed `s`: moves to the smallest (squared distance, vertex) pair
// among the current vertex and its neighbours until no neighbour improves on it.
// Returns (squared distance, vertex). `s` must already be checked below `t.n`. With
// `Checked` false the target must be consistent (`is_consistent`), and no access is
// tested: every range and neighbour number is then known to be in bounds.
template <bool Checked, class T>
std::pair<T, std::uint32_t> greedy_descent(const DescentTarget<T>& t, const PackedPoint<T>& p, std::uint32_t s) {
    const T start = dist2(t.points[s], p);
    PLOV_COUNT(descents, 1);
    PLOV_COUNT(evals, 1);
    if (start != start) {
        // Nothing compares below NaN, so the walk stays at its seed; a checked walk
        // still reads the seed's list, and fails where that list is malformed.
        if constexpr (Checked) {
            const auto [a, b] = t.range(s);
            PLOV_COUNT(evals, b > a ? b - a : 0);
            PLOV_COUNT(steps, 1);
            for (std::uint32_t k = a; k < b; ++k) check_index(t.neighbour(k), t.n);
        }
        return {start, s};
    }
    PairKey<T> best = pair_key(start, s);
    for (;;) {
        const std::uint32_t from = key_vertex<T>(best);
        std::uint32_t a, b;
        if constexpr (Checked) {
            std::tie(a, b) = t.range(from);
        } else {
            a = t.indptr[from];
            b = t.indptr[std::size_t{from} + 1];
        }
        PLOV_COUNT(evals, b > a ? b - a : 0);
        PLOV_COUNT(steps, 1);
        for (std::uint32_t k = a; k < b; ++k) {
            const std::uint32_t j = t.neighbour(k);
            if constexpr (Checked) check_index(j, t.n);
            best = std::min(best, pair_key(dist2(t.points[j], p), j));
        }
        if (key_vertex<T>(best) == from) return {key_dist<T>(best), from};
    }
}

// Two independent greedy descents over a consistent target, advanced in turns: each
// gives the same result as `greedy_descent<false>` alone, and the memory accesses of
// the two are in flight together. Seeds must be below `t.n`.
template <class T>
std::pair<std::pair<T, std::uint32_t>, std::pair<T, std::uint32_t>> greedy_descent_pair(
    const DescentTarget<T>& t, const PackedPoint<T>& p1, std::uint32_t s1, const PackedPoint<T>& p2, std::uint32_t s2) {
    struct Walk {
        const PackedPoint<T>* p;
        PairKey<T> best;
        bool done;
    };
    const T d1 = dist2(t.points[s1], p1), d2 = dist2(t.points[s2], p2);
    // A NaN start distance ends its walk at once.
    Walk w[2] = {{&p1, pair_key(d1, s1), d1 != d1}, {&p2, pair_key(d2, s2), d2 != d2}};
    PLOV_COUNT(descents, 2);
    PLOV_COUNT(pairs, 1);
    PLOV_COUNT(evals, 2);
    while (!(w[0].done && w[1].done)) {
        for (Walk& x : w) {
            if (x.done) continue;
            const std::uint32_t from = key_vertex<T>(x.best);
            const std::uint32_t a = t.indptr[from];
            const std::uint32_t b = t.indptr[std::size_t{from} + 1];
            PLOV_COUNT(evals, b > a ? b - a : 0);
            PLOV_COUNT(steps, 1);
            PairKey<T> best = x.best;
            for (std::uint32_t k = a; k < b; ++k) {
                const std::uint32_t j = t.neighbour(k);
                best = std::min(best, pair_key(dist2(t.points[j], *x.p), j));
            }
            x.best = best;
            x.done = key_vertex<T>(best) == from;
        }
    }
    return {{key_dist<T>(w[0].best), key_vertex<T>(w[0].best)}, {key_dist<T>(w[1].best), key_vertex<T>(w[1].best)}};
}

// Marks the unseen neighbours `nbrs[e]`, e in [a, b), of a vertex as seen (stamp `gen`)
// and lists them in `fresh` (room for b - a), in list order; returns how many. `check`
// sees every neighbour first. Branch-free: whether a neighbour was seen before is
// unpredictable. The point of every neighbour is prefetched, to be scored next.
template <class T, class Nbrs, class Check>
inline std::size_t mark_unseen(const Nbrs& nbrs, std::uint32_t a, std::uint32_t b, std::uint32_t* stamps,
                               std::uint32_t gen, std::uint32_t* fresh, const PackedPoint<T>* points, Check check) {
    std::size_t n_fresh = 0;
    for (std::uint32_t e = a; e < b; ++e) {
        const std::uint32_t v = nbrs[e];
        check(v);
        fresh[n_fresh] = v;
        __builtin_prefetch(points + v);
        n_fresh += stamps[v] != gen;
        stamps[v] = gen;
    }
    return n_fresh;
}

// A query vertex on the stack of a query-graph walk, with the seed it was handed.
struct QueryEntry {
    std::uint32_t seed;
    std::size_t vertex;
};

// The walk along the query graph that warm-starts every graph-guided search. Each
// unvisited vertex in ascending order roots a depth-first walk with the seed
// `carried`. A vertex taken from the stack is checked below `n_points` and answered
// by `visit(seed, q)`, which returns the seed it hands on (and may update `carried`);
// its neighbour range `range(q)` (checked as the search requires) is then read with
// `nbr(k)`, each neighbour checked below `nq`, and every unvisited one is marked and
// pushed with the handed seed, then passed to `pushed` (for prefetches). `visit` may
// look at the stack (`stack.back()` is the vertex taken next).
template <class Range, class Nbr, class Visit, class Pushed>
void walk_query_graph(std::size_t nq, std::size_t n_points, Vec<QueryEntry>& stack, VisitStamps<std::uint8_t>& seen,
                      const std::uint32_t& carried, Range range, Nbr nbr, Visit visit, Pushed pushed) {
    // The stamps in locals: the compiler cannot tell that stores through the stack
    // (or any one-byte store of `visit`) leave them alone.
    const std::uint8_t gen = seen.next_walk();
    std::uint8_t* const stamps = seen.stamps.data();
    stack.clear();
    for (std::size_t root = 0; root < nq; ++root) {
        if (stamps[root] == gen) continue;
        stamps[root] = gen;
        stack.push_back({carried, root});
        while (!stack.empty()) {
            const QueryEntry e = stack.back();
            stack.pop_back();
            check_index(e.vertex, n_points);
            const std::uint32_t handed = visit(e.seed, e.vertex);
            const auto [a, b] = range(e.vertex);
            for (std::uint32_t k = a; k < b; ++k) {
                const std::uint32_t w = nbr(k);
                check_index(w, nq);
                if (stamps[w] == gen) continue;
                stamps[w] = gen;
                stack.push_back({handed, w});
                pushed(w);
            }
        }
    }
}

enum class BoundMode { Unbounded, PerPoint, PostFilter };

// Mode of a bounded search: per-point when the query box pokes out of the target box
// grown by `r` on some axis, post-filter otherwise (NaN comparisons are false).
template <class T>
BoundMode choose_mode(const Box<T>& q, const PackedPoint<T>& tlo, const PackedPoint<T>& thi, T r) {
    bool out = q.lo.x < tlo.x - r || q.lo.y < tlo.y - r || q.lo.z < tlo.z - r || q.hi.x > thi.x + r ||
               q.hi.y > thi.y + r || q.hi.z > thi.z + r;
    return out ? BoundMode::PerPoint : BoundMode::PostFilter;
}

// The bound pre-pass shared by every search: r2 = r * r in `T`, the query box (the
// supplied one, or the fold over the `n` query points), cloud rejection when the two
// boxes are farther apart than the bound, and the mode.
template <class T>
struct BoundPlan {
    BoundMode mode = BoundMode::Unbounded;
    T r2 = 0;
    bool rejected = false;
};

template <class T>
BoundPlan<T> plan_bound(const std::optional<DistanceBound<T>>& bound, const PackedPoint<T>* points, std::size_t n) {
    BoundPlan<T> plan;
    if (!bound) return plan;
    plan.r2 = bound->r * bound->r;
    Box<T> qbox;
    if (bound->query_box) {
        qbox = *bound->query_box;
    } else {
        if (n == 0) fail_index(0, 0);
        qbox = bounding_box(points, n);
    }
    if (box_box_dist2(qbox.lo, qbox.hi, bound->tlo, bound->thi) > plan.r2) {
        plan.rejected = true;
        return plan;
    }
    plan.mode = choose_mode(qbox, bound->tlo, bound->thi, bound->r);
    return plan;
}

template <class T>
void fill_miss(NearestResult<T>& res, std::uint64_t marker) {
    for (std::size_t i = 0; i < res.dists.size(); ++i) {
        res.dists[i] = std::numeric_limits<T>::infinity();
        res.idx[i] = marker;
    }
}

// For every query vertex (len(query.indptr) - 1 of them) the nearest target point
// reached by greedy descent, or the miss marker (+inf, n_target) under a bound.
template <class T>
NearestResult<T> search_pruned(const GraphView<T>& query, const GraphView<T>& target,
                               const std::optional<DistanceBound<T>>& bound) {
    const std::size_t nq = query.indptr.len - 1;  // wraps for an empty indptr
    if (nq > (kMaxBytes - 8) / 16) fail_capacity();
    Vec<QueryEntry> stack(nq);
    VisitStamps<std::uint8_t> seen = VisitStamps<std::uint8_t>::zeros(nq);
    NearestResult<T> res{Buffer<T>::zeros(nq), Buffer<std::uint64_t>::zeros(nq)};
    const std::size_t n_target = target.n_points;

    if (bound && nq == 0) return res;
    const BoundPlan<T> plan = plan_bound(bound, query.points, query.n_points);
    if (plan.rejected) {
        fill_miss(res, n_target);
        return res;
    }
    const BoundMode mode = plan.mode;
    const T r2 = plan.r2;

    check_contiguous(query.indptr, query.neighbours);
    DescentTarget<T> tgt(target);
    bool target_checked = false;

    auto descend = [&](const PackedPoint<T>& p, std::uint32_t s) {
        if (!target_checked) {
            check_contiguous(target.indptr, target.neighbours);
            target_checked = true;
        }
        check_index(s, n_target);
        return target.consistent ? greedy_descent<false>(tgt, p, s) : greedy_descent<true>(tgt, p, s);
    };
    // Per-point mode skips the descent of a point whose box distance exceeds the bound.
    auto needs_descent = [&](const PackedPoint<T>& p) {
        return mode != BoundMode::PerPoint || !(box_point_dist2(bound->tlo, bound->thi, p) > r2);
    };
    auto miss = [&](std::size_t q) {
        res.dists[q] = std::numeric_limits<T>::infinity();
        res.idx[q] = n_target;
    };
    // Result of query q from a descent ending at j with squared distance d2; per-point
    // mode drops an answer beyond the bound (post-filter mode does so at the end).
    auto record = [&](std::size_t q, T d2, std::uint32_t j) {
        T d = std::sqrt(d2);
        if (mode == BoundMode::PerPoint && d * d > r2) {
            miss(q);
        } else {
            res.dists[q] = d;
            res.idx[q] = j;
        }
    };

    // A query's answer depends only on its point and its seed, and a descent over a
    // consistent target cannot fail. So the query below the top of the stack, whose seed
    // is already fixed, can be solved early, in turns with the top one: two descents in
    // flight hide much of the memory latency of a large target. `early` marks queries
    // solved that way; the order of visits, seeds and results stay those of one-by-one.
    const bool pairs = target.consistent && n_target > 0;
    Buffer<std::uint8_t> early = pairs ? Buffer<std::uint8_t>::zeros(nq) : Buffer<std::uint8_t>();

    const DenseU32 qindptr = DenseU32::of(query.indptr), qnbrs = DenseU32::of(query.neighbours);
    std::uint32_t carried = 0;
    auto visit = [&](std::uint32_t s, std::size_t q) {
        if (!pairs || !early[q]) {
            const PackedPoint<T>& p = query.points[q];
            if (!needs_descent(p)) {
                miss(q);
            } else {
                bool paired = false;
                if (pairs && !stack.empty()) {
                    auto [s2, q2] = stack.back();
                    if (!early[q2] && q2 < query.n_points && needs_descent(query.points[q2])) {
                        check_index(s, n_target);
                        check_index(s2, n_target);
                        auto [r1, r2nd] = greedy_descent_pair(tgt, p, s, query.points[q2], s2);
                        record(q, r1.first, r1.second);
                        record(q2, r2nd.first, r2nd.second);
                        early[q2] = 1;
                        paired = true;
                    }
                }
                if (!paired) {
                    auto [d2, j] = descend(p, s);
                    record(q, d2, j);
                }
            }
        }
        // A hit hands its answer on and becomes the carried seed; a per-point miss
        // hands on its own seed and leaves the carried seed alone.
        if (res.idx[q] == n_target) return s;
        carried = static_cast<std::uint32_t>(res.idx[q]);
        return carried;
    };
    // q < nq, so both offsets exist.
    auto range = [&](std::size_t q) {
        const std::uint32_t a = qindptr[q], b = qindptr[q + 1];
        check_range(a, b, qnbrs.len);
        return std::pair{a, b};
    };
    // A pushed vertex's point and offsets are read soon, when it leaves the stack.
    auto pushed = [&](std::uint32_t w) {
        if (w < query.n_points) __builtin_prefetch(query.points + w);
        __builtin_prefetch(qindptr.data + std::size_t{w} * sizeof(std::uint32_t));
    };
    walk_query_graph(
        nq, query.n_points, stack, seen, carried, range, [&](std::size_t k) { return qnbrs[k]; }, visit, pushed);

    if (mode == BoundMode::PostFilter) {
        for (std::size_t i = 0; i < nq; ++i) {
            if (res.dists[i] * res.dists[i] > r2) {
                res.dists[i] = std::numeric_limits<T>::infinity();
                res.idx[i] = n_target;
            }
        }
    }
    return res;
}

}  // namespace plov
