// Exact k-nearest search over a Delaunay graph.
//
// The answer of a query is the k points of smallest reported distance, the distance
// being dist2 (the squared distance computed in the points' precision) rounded through
// a square root, ties to the smaller label: what a brute-force scan in the same
// arithmetic returns. Computed distances are rounded, so the points reported at or
// below some distance L are not a ball; but they lie within the ball of exact radius
// L enlarged by the rounding bound of the computation (`reach`), and every point of that
// ball is found by expanding the ball's points from any one of them:
//
// - each point of the cloud other than a nearest one has a Delaunay neighbour strictly
//   closer to the query (shrink the ball centred at the query through that point
//   towards it until it touches a closer point: the empty ball makes the two Delaunay
//   neighbours, or both lie on one empty sphere whose hull edges are in the graph);
//   the nearest points share one empty sphere and are joined among themselves; an exact
//   copy of a point is joined to it. So the points of any ball around the query that
//   holds a nearest point are connected through points of the ball.
// - A greedy descent may stop short of the nearest point when rounding hides a closer
//   neighbour; expanding every point whose computed distance may hide an exact one not
//   larger than the stopping point's reaches the nearest points from there.
//
// So the search descends greedily, then expands best-first every point whose computed
// squared distance is within the reach of the current k-th reported distance (or of the
// stopping point's, while nothing is reported), and ranks what it finds by (reported
// distance, label). That bound only shrinks, so a point beyond it when found is never
// needed.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <utility>

#include "descent.hpp"
#include "knn.hpp"

namespace plov {

// Where the answers of a search go: the query at position q of the walk fills row
// `rows[q]` (row q without `rows`) of two row-major arrays of k columns, so a caller
// that walks its queries in another order gets them back in its own.
template <class T>
struct ExactOutput {
    T* dists;
    std::int64_t* idx;
    const std::int64_t* rows = nullptr;
};

// The target of an exact search: a consistent graph (see `is_consistent`), its box,
// and optionally a permutation of the vertex numbers, one label per vertex, that
// replaces the vertex number in the results and in the tie rule (a cloud renumbered
// for speed keeps its caller's numbering).
template <class T>
struct ExactTarget {
    GraphView<T> graph;
    Box<T> box;
    const std::int64_t* labels = nullptr;
};

// How far a call went: the queries answered (a prefix of the walk) and the vertex the
// last descent reached, where the next call starts.
struct ExactProgress {
    std::size_t done;
    std::uint32_t start;
};

namespace exact_detail {

// A squared distance that dist2 computes, from the same query, for every point whose
// exact distance is at most that of some point reported at distance `s` or below.
//
// With u the unit roundoff and t the smallest subnormal of T, dist2 returns
// e^2 (1 + a) + b for a point at exact distance e, |a| <= 5u (two roundings of each
// difference, the square, two sums) and |b| <= 2t (products that underflow; sums of
// subnormals are exact), and the square root adds one rounding. A point reported at
// s or below is then within e^2 <= (s^2 / (1 - u)^2 + 2t) / (1 - u)^5, and a point
// that close computes d2 <= s^2 (1 + 12u + O(u^2)) + 4t (1 + O(u)). The factor and
// the term below cover that with every rounding of their own evaluation. +inf for an
// infinite `s` or one whose square overflows.
template <class T>
inline T reach(T s) noexcept {
    constexpr T unit = std::numeric_limits<T>::epsilon() / 2;
    constexpr T grow = T(1) + 16 * unit;
    constexpr T tiny = 16 * std::numeric_limits<T>::denorm_min();
    return s * s * grow + tiny;
}

// The end of a greedy descent: squared distance and vertex, and the smallest squared
// distance among the vertex's neighbours (+inf without neighbours).
template <class T>
struct Stop {
    T d2;
    std::uint32_t vertex;
    T next;
};

// Greedy descent over a consistent target, as `greedy_descent<false>`, that also
// reports the neighbours' nearest distance at the stop; adds the distances computed
// to `work`.
template <class T>
Stop<T> descend(const DescentTarget<T>& t, const PackedPoint<T>& p, std::uint32_t s, std::size_t& work) {
    PairKey<T> best = pair_key(dist2(t.points[s], p), s);
    for (;;) {
        const std::uint32_t from = key_vertex<T>(best);
        const std::uint32_t a = t.indptr[from];
        const std::uint32_t b = t.indptr[std::size_t{from} + 1];
        T next = std::numeric_limits<T>::infinity();
        work += b - a;
        for (std::uint32_t e = a; e < b; ++e) {
            const std::uint32_t j = t.neighbour(e);
            const T d = dist2(t.points[j], p);
            next = std::min(next, d);
            best = std::min(best, pair_key(d, j));
        }
        if (key_vertex<T>(best) == from) return {key_dist<T>(best), from, next};
    }
}

// The range of squared distances that dist2 can compute from `p` to points of the box:
// rounding is monotone, so every difference, square and sum of the formula lies
// between its values at the box's faces.
template <class T>
std::pair<T, T> dist2_range(const Box<T>& b, const PackedPoint<T>& p) noexcept {
    const T lo = box_point_dist2(b.lo, b.hi, p);
    const T mx = std::max(std::fabs(b.lo.x - p.x), std::fabs(b.hi.x - p.x));
    const T my = std::max(std::fabs(b.lo.y - p.y), std::fabs(b.hi.y - p.y));
    const T mz = std::max(std::fabs(b.lo.z - p.z), std::fabs(b.hi.z - p.z));
    return {lo, (mx * mx + my * my) + mz * mz};
}

// Scratch of one call, reused for every query.
//
// The frontier holds the points found and not yet expanded, as (squared distance,
// vertex) keys in a min-heap; `best` the k best points found, as (reported distance,
// label) keys in a max-heap, so that ties beyond the k-th are never kept.
template <class T>
struct Scratch {
    VisitStamps<std::uint32_t> seen;  // target vertices found by the current query
    Vec<PairKey<T>> frontier;
    Vec<PairKey<T>> best;
    Vec<std::uint32_t> fresh;  // neighbours first seen while expanding one vertex

    // Starts a query; the stamps are made on first use: most nearest-point queries
    // need none.
    std::uint32_t next_query(std::size_t n) {
        if (seen.stamps.size() != n) seen = VisitStamps<std::uint32_t>::zeros(n);
        return seen.next_walk();
    }
};

}  // namespace exact_detail

// For each of the `nq` query points `query(0)`, ..., `query(nq - 1)` (PackedPoint<T>
// values, read one at a time), in that order, the `k` nearest target points as
// (reported distance, label) pairs in ascending order, written to `out`; see the top of
// this file. With a bound `r` only points reported at `r` or below are kept. Entries
// without an answer get the miss marker (+inf, number of target points).
//
// The first descent starts at vertex `start`, every later one where the previous one
// stopped. A call stops after the first query that brings the distances it computed
// to `budget`, so that one call takes a bounded time whatever its queries.
template <class T, class Queries>
ExactProgress exact_knn(const ExactTarget<T>& target, const Queries& query, std::size_t nq, std::size_t k,
                        std::optional<T> r, std::uint32_t start, const ExactOutput<T>& out,
                        std::size_t budget = std::numeric_limits<std::size_t>::max()) {
    constexpr T inf = std::numeric_limits<T>::infinity();
    const GraphView<T>& g = target.graph;
    const std::size_t n = g.n_points;
    if (k == 0) fail("exact search: k must be at least 1");
    // Marks entries [from, k) of a row as misses.
    auto miss = [&](T* drow, std::int64_t* irow, std::size_t from) {
        std::fill(drow + from, drow + k, inf);
        std::fill(irow + from, irow + k, static_cast<std::int64_t>(n));
    };
    // Rows are written in walk order into a small block, copied out to the caller's
    // rows a block at a time: scattered stores one by one would stall the walk. Rows
    // too long to stage are written in place.
    constexpr std::size_t kBlock = 64;
    const bool staged = out.rows && k <= kBlock;
    Buffer<T> block_d(staged ? kBlock * k : 0);
    Buffer<std::int64_t> block_i(staged ? kBlock * k : 0);
    auto row_d = [&](std::size_t q) {
        return staged ? block_d.data() + q % kBlock * k : out.dists + (out.rows ? out.rows[q] : q) * k;
    };
    auto row_i = [&](std::size_t q) {
        return staged ? block_i.data() + q % kBlock * k : out.idx + (out.rows ? out.rows[q] : q) * k;
    };
    auto flush = [&](std::size_t q, bool last) {  // after query q
        if (!staged || ((q + 1) % kBlock && !last)) return;
        for (std::size_t j = q - q % kBlock; j <= q; ++j) {
            const std::size_t row = static_cast<std::size_t>(out.rows[j]);
            std::copy_n(block_d.data() + j % kBlock * k, k, out.dists + row * k);
            std::copy_n(block_i.data() + j % kBlock * k, k, out.idx + row * k);
        }
    };
    if (n == 0) {
        for (std::size_t q = 0; q < nq; ++q) {
            miss(row_d(q), row_i(q), 0);
            flush(q, q + 1 == nq);
        }
        return {nq, start};
    }
    if (!g.consistent) fail("exact search: the target graph is not a consistent CSR graph");
    check_index(start, n);

    const T rt = r ? *r : inf;  // reported distances above it are left out
    auto label = [&](std::uint32_t v) { return static_cast<std::uint32_t>(target.labels ? target.labels[v] : v); };

    exact_detail::Scratch<T> sc;
    sc.fresh.reserve(64);
    const DescentTarget<T> dt(g);
    std::size_t work = 0;

    // Every point of the cloud reported at the same distance `s`: the smallest labels.
    auto all_tied = [&](T s, T* drow, std::int64_t* irow) {
        const std::size_t m = std::min(k, n);
        if (!(s <= rt)) return miss(drow, irow, 0);
        for (std::size_t j = 0; j < m; ++j) {
            drow[j] = s;
            irow[j] = static_cast<std::int64_t>(j);
        }
        miss(drow, irow, m);
    };

    std::uint32_t carried = start;
    std::size_t q = 0;
    while (q < nq) {
        const PackedPoint<T> p = query(q);
        T* drow = row_d(q);
        std::int64_t* irow = row_i(q);
        const auto [lo2, hi2] = exact_detail::dist2_range(target.box, p);
        const T lo = std::sqrt(lo2);
        work += 1;
        if (!(lo <= rt)) {
            miss(drow, irow, 0);
        } else if (hi2 <= lo2 * (T(1) + 4 * std::numeric_limits<T>::epsilon()) && std::sqrt(hi2) == lo) {
            all_tied(lo, drow, irow);  // far from the cloud: every distance rounds alike
        } else {
            const exact_detail::Stop<T> stop = exact_detail::descend(dt, p, carried, work);
            carried = stop.vertex;
            const T s0 = std::sqrt(stop.d2);
            if (stop.next > exact_detail::reach(s0) && (k == 1 || !(s0 <= rt))) {
                // Every other point is reported farther than s0: the stop is the one
                // nearest point.
                if (s0 <= rt) {
                    drow[0] = s0;
                    irow[0] = label(stop.vertex);
                    miss(drow, irow, 1);
                } else {
                    miss(drow, irow, 0);
                }
            } else {
                const std::uint32_t gen = sc.next_query(n);
                std::uint32_t* stamps = sc.seen.stamps.data();
                auto& frontier = sc.frontier;
                auto& best = sc.best;
                frontier.clear();
                best.clear();
                // Expansion bound: the reach of the k-th reported distance (or of the
                // bound while fewer are known), or of the stop's while none is.
                auto bound = [&] {
                    if (best.empty()) return exact_detail::reach(s0);
                    return exact_detail::reach(best.size() < k ? rt : key_dist<T>(best[0]));
                };
                auto offer = [&](T s, std::uint32_t v) {
                    if (!(s <= rt)) return false;
                    const PairKey<T> key = pair_key(s, label(v));
                    if (best.size() == k) {
                        if (!(key < best[0])) return false;
                        std::pop_heap(best.begin(), best.end());
                        best.pop_back();
                    }
                    best.push_back(key);
                    std::push_heap(best.begin(), best.end());
                    return true;
                };
                stamps[stop.vertex] = gen;
                frontier.push_back(pair_key(stop.d2, stop.vertex));
                offer(s0, stop.vertex);
                T lim = bound();
                constexpr std::greater<PairKey<T>> later;
                while (!frontier.empty() && key_dist<T>(frontier[0]) <= lim) {
                    const std::uint32_t v = key_vertex<T>(frontier[0]);
                    std::pop_heap(frontier.begin(), frontier.end(), later);
                    frontier.pop_back();
                    const std::uint32_t a = dt.indptr[v];
                    const std::uint32_t b = dt.indptr[std::size_t{v} + 1];
                    if (a >= b) continue;
                    work += b - a;
                    sc.fresh.reserve(b - a);
                    std::uint32_t* fresh = sc.fresh.data();
                    // Mark first, branch-free (whether a neighbour was seen is
                    // unpredictable), then score the unseen ones.
                    std::size_t n_fresh = 0;
                    for (std::uint32_t e = a; e < b; ++e) {
                        const std::uint32_t u = dt.neighbour(e);
                        fresh[n_fresh] = u;
                        __builtin_prefetch(g.points + u);
                        n_fresh += stamps[u] != gen;
                        stamps[u] = gen;
                    }
                    for (std::size_t f = 0; f < n_fresh; ++f) {
                        const std::uint32_t u = fresh[f];
                        const T d = dist2(g.points[u], p);
                        if (!(d <= lim)) continue;  // and so it stays: `lim` only shrinks
                        frontier.push_back(pair_key(d, u));
                        std::push_heap(frontier.begin(), frontier.end(), later);
                        if (offer(std::sqrt(d), u)) lim = bound();
                    }
                }
                std::sort_heap(best.begin(), best.end());
                const std::size_t found = best.size();
                for (std::size_t j = 0; j < found; ++j) {
                    drow[j] = key_dist<T>(best[j]);
                    irow[j] = key_vertex<T>(best[j]);
                }
                miss(drow, irow, found);
            }
        }
        ++q;
        const bool last = q == nq || work >= budget;
        flush(q - 1, last);
        if (last) break;
    }
    return {q, carried};
}

}  // namespace plov
