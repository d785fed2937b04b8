// Exact k-nearest search over a Delaunay graph.
//
// Every query is answered in two phases. A greedy descent, started at the answer of the
// query before it (queries arrive in Morton order), reaches a nearest point. From there
// a best-first expansion visits points in order of distance and stops as soon as no
// point on its frontier can enter the k best. On a Delaunay graph this is exact: each
// of the k nearest points of a query is joined to a point at most as far from the query
// (shrink the ball centred at the query through that point towards it until it touches
// a closer point: the empty ball makes the two Delaunay neighbours), and the nearest
// points themselves share one empty sphere, so they are joined among themselves. A
// point farther than the current k-th best can therefore be skipped together with
// everything reached only through it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "descent.hpp"
#include "knn.hpp"

namespace plov {

// Results of an exact search, indices as the caller's labels, and the target vertex
// reached by the last descent (the seed of the next call).
template <class T>
struct ExactKnnResult : KnnResult<T, std::int64_t> {
    std::uint32_t last = 0;
};

// The target of an exact search: a consistent graph (see `is_consistent`), its box,
// and optionally one label per vertex that replaces the vertex number in the results
// and in the tie rule (a cloud renumbered for speed keeps its caller's numbering).
template <class T>
struct ExactTarget {
    GraphView<T> graph;
    Box<T> box;
    const std::int64_t* labels = nullptr;
};

namespace exact_detail {

// Greedy descent over a consistent target, as `greedy_descent<false>`, that also
// reports whether the vertex where it stopped has a neighbour at the same distance.
// Without such a tie the stopping vertex is the only nearest point of a Delaunay graph.
template <class T>
std::pair<T, std::uint32_t> descend(const DescentTarget<T>& t, const PackedPoint<T>& p, std::uint32_t s, bool& tie) {
    PairKey<T> best = pair_key(dist2(t.points[s], p), s);
    for (;;) {
        const std::uint32_t from = key_vertex<T>(best);
        const T here = key_dist<T>(best);
        const std::uint32_t a = t.indptr[from];
        const std::uint32_t b = t.indptr[std::size_t{from} + 1];
        bool equal = false;
        for (std::uint32_t e = a; e < b; ++e) {
            const std::uint32_t j = t.neighbour(e);
            const T d = dist2(t.points[j], p);
            equal |= d == here;
            best = std::min(best, pair_key(d, j));
        }
        if (key_vertex<T>(best) == from) {
            tie = equal;
            return {here, from};
        }
    }
}

// A point found by the expansion: its (distance, label) key and its vertex.
template <class T>
struct Entry {
    PairKey<T> key;
    std::uint32_t vertex;
    bool expanded;
};

// Scratch of one call, reused for every query: visit stamps over the target (a vertex
// is seen when its stamp equals the generation) and the pool of the expansion.
//
// The pool lists, in ascending (distance, label) order, every point seen so far that
// may still be among the k nearest: all of them while fewer than k are known, then
// those not farther than the k-th (ties with it kept, as one may yet lead to a smaller
// label). Its unexpanded entries are the frontier: a point that leaves the pool is
// farther than k known points, and so is everything reached only through it.
template <class T>
struct Scratch {
    Buffer<std::uint32_t> stamps;
    std::uint32_t generation = 0;
    Vec<Entry<T>> pool;
    Vec<std::uint32_t> fresh;  // neighbours first seen while expanding one vertex

    std::uint32_t next_generation() {
        if (++generation == 0) {
            std::fill(stamps.begin(), stamps.end(), 0u);
            generation = 1;
        }
        return generation;
    }

    // Squared distance of the k-th entry, or +inf while there are fewer.
    T limit(std::size_t k) const noexcept {
        return pool.size() >= k ? key_dist<T>(pool[k - 1].key) : std::numeric_limits<T>::infinity();
    }

    // Inserts a point (d <= limit(k)) and drops the entries that fall beyond the k-th;
    // returns its position.
    std::size_t insert(PairKey<T> key, std::uint32_t vertex, std::size_t k) {
        pool.push_back({});
        Entry<T>* e = pool.data();
        std::size_t i = pool.size() - 1;
        for (; i > 0 && key < e[i - 1].key; --i) e[i] = e[i - 1];
        e[i] = {key, vertex, false};
        if (pool.size() > k) {
            const T kth = key_dist<T>(e[k - 1].key);
            while (key_dist<T>(pool.back().key) > kth) pool.pop_back();
        }
        return i;
    }
};

}  // namespace exact_detail

// For each of the `nq` query points, in the order given, the `k` nearest target points
// as (distance, label) pairs in ascending order, ties to the smaller label. With a
// bound `r` (a distance; compared squared in `T`, inclusive) only points within it are
// reported. Entries left empty hold the miss marker (+inf, number of target points).
// The first descent starts at vertex `seed`, every later one at the previous answer.
template <class T>
ExactKnnResult<T> exact_knn(const ExactTarget<T>& target, const PackedPoint<T>* queries, std::size_t nq, std::size_t k,
                            std::optional<T> r, std::uint32_t seed) {
    constexpr T inf = std::numeric_limits<T>::infinity();
    const GraphView<T>& g = target.graph;
    const std::size_t n = g.n_points;
    if (k == 0 || nq > kMaxBytes / 16 / k) fail_capacity();
    ExactKnnResult<T> res{{Buffer<T>(nq * k, inf), Buffer<std::int64_t>(nq * k, static_cast<std::int64_t>(n)), nq, k},
                          0};
    if (n == 0 || nq == 0) return res;
    if (!g.consistent) fail("exact search: the target graph is not a consistent CSR graph");
    check_index(seed, n);

    const bool bounded = r.has_value();
    const T r2 = bounded ? *r * *r : inf;
    auto label = [&](std::uint32_t v) -> std::uint32_t {
        return target.labels ? static_cast<std::uint32_t>(target.labels[v]) : v;
    };

    exact_detail::Scratch<T> sc;
    sc.stamps = Buffer<std::uint32_t>::zeros(n);
    sc.pool.reserve(std::min<std::size_t>(k, n) + 16);
    sc.fresh.reserve(64);
    const DescentTarget<T> dt(g);

    std::uint32_t carried = seed;
    for (std::size_t q = 0; q < nq; ++q) {
        const PackedPoint<T>& p = queries[q];
        T* drow = res.dists.data() + q * k;
        std::int64_t* irow = res.idx.data() + q * k;
        if (bounded && box_point_dist2(target.box.lo, target.box.hi, p) > r2) continue;

        bool tie = false;
        const auto [d0, v0] = exact_detail::descend(dt, p, carried, tie);
        carried = v0;
        if (!(d0 <= r2)) continue;  // also a NaN distance: nothing can be reported
        if (k == 1 && !tie) {
            drow[0] = std::sqrt(d0);
            irow[0] = label(v0);
            continue;
        }

        const std::uint32_t gen = sc.next_generation();
        std::uint32_t* stamps = sc.stamps.data();
        stamps[v0] = gen;
        sc.pool.clear();
        sc.insert(pair_key(d0, label(v0)), v0, k);
        // Expand the nearest unexpanded entry until none is left; entries before
        // `next` are expanded.
        for (std::size_t next = 0;;) {
            while (next < sc.pool.size() && sc.pool[next].expanded) ++next;
            if (next == sc.pool.size()) break;
            sc.pool[next].expanded = true;
            const std::uint32_t v = sc.pool[next].vertex;
            const std::uint32_t a = dt.indptr[v];
            const std::uint32_t b = dt.indptr[std::size_t{v} + 1];
            if (a >= b) continue;
            sc.fresh.reserve(b - a);
            std::uint32_t* fresh = sc.fresh.data();
            // Mark first, branch-free (whether a neighbour was seen is unpredictable),
            // then score the unseen ones.
            std::size_t n_fresh = 0;
            for (std::uint32_t e = a; e < b; ++e) {
                const std::uint32_t u = dt.neighbour(e);
                fresh[n_fresh] = u;
                __builtin_prefetch(g.points + u);
                n_fresh += stamps[u] != gen;
                stamps[u] = gen;
            }
            T lim = std::min(r2, sc.limit(k));
            for (std::size_t f = 0; f < n_fresh; ++f) {
                const std::uint32_t u = fresh[f];
                const T d = dist2(g.points[u], p);
                if (!(d <= lim)) continue;
                next = std::min(next, sc.insert(pair_key(d, label(u)), u, k));
                lim = std::min(r2, sc.limit(k));
            }
        }
        const std::size_t found = std::min(k, sc.pool.size());
        for (std::size_t j = 0; j < found; ++j) {
            drow[j] = std::sqrt(key_dist<T>(sc.pool[j].key));
            irow[j] = key_vertex<T>(sc.pool[j].key);
        }
    }
    res.last = carried;
    return res;
}

}  // namespace plov
