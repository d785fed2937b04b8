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

// A point found by the expansion, and whether its neighbours have been looked at.
template <class T>
struct Entry {
    T dist;
    std::uint32_t vertex;
    bool expanded;
};

// Scratch of one call, reused for every query: visit stamps over the target (a vertex
// is seen when its stamp equals the generation) and the pool of the expansion.
//
// The pool lists, in ascending order of distance, every point seen so far that may
// still be among the k nearest: all of them while fewer than k are known, then those
// not farther than the k-th (ties with it kept, as one may yet have a smaller label).
// Its unexpanded entries are the frontier: a point that leaves the pool is farther
// than k known points, and so is everything reached only through it. Equal distances
// stay in the order found; the answers are put in label order at the end.
template <class T>
struct Scratch {
    Buffer<std::uint32_t> stamps;
    std::uint32_t generation = 0;
    Vec<Entry<T>> pool;
    Vec<std::uint32_t> fresh;  // neighbours first seen while expanding one vertex
    Vec<PairKey<T>> labelled;  // the answers as (distance, label) keys

    // `n`: the number of target points. The stamps are made on first use: most
    // nearest-point queries need none.
    std::uint32_t next_generation(std::size_t n) {
        if (stamps.size() != n) stamps = Buffer<std::uint32_t>::zeros(n);
        if (++generation == 0) {
            std::fill(stamps.begin(), stamps.end(), 0u);
            generation = 1;
        }
        return generation;
    }

    // Squared distance of the k-th entry, or +inf while there are fewer.
    T limit(std::size_t k) const noexcept {
        return pool.size() >= k ? pool[k - 1].dist : std::numeric_limits<T>::infinity();
    }

    // Inserts a point (d <= limit(k)) and drops the entries that fall beyond the k-th;
    // returns its position.
    std::size_t insert(T d, std::uint32_t vertex, std::size_t k) {
        pool.push_back({});
        Entry<T>* e = pool.data();
        std::size_t i = pool.size() - 1;
        for (; i > 0 && d < e[i - 1].dist; --i) e[i] = e[i - 1];
        e[i] = {d, vertex, false};
        if (pool.size() > k) {
            const T kth = e[k - 1].dist;
            while (pool.back().dist > kth) pool.pop_back();
        }
        return i;
    }
};

}  // namespace exact_detail

// For each of the `nq` query points `query(0)`, ..., `query(nq - 1)` (PackedPoint<T>
// values, read one at a time), in that order, the `k` nearest target points
// as (distance, label) pairs in ascending order, ties to the smaller label, written to
// `out`. With a bound `r` (a distance; compared squared in `T`, inclusive) only points
// within it are reported. Entries without an answer get the miss marker (+inf, number
// of target points). The first descent starts at vertex `seed`, every later one at the
// previous answer, or, with `starts`, each at the start vertex of its row (indexed like
// the rows of `out`; vertices checked by the caller); returns the vertex reached by the
// last descent (the seed of a call that goes on from here).
//
// Only points strictly closer than the k-th best (or the bound) are expanded, besides
// the nearest ones: each answer other than a nearest point has a strictly closer
// Delaunay neighbour, itself an answer, so a point at the k-th distance or beyond
// leads to nothing that is not reached otherwise. The nearest points are reached from
// each other.
template <class T, class Queries>
std::uint32_t exact_knn(const ExactTarget<T>& target, const Queries& query, std::size_t nq, std::size_t k,
                        std::optional<T> r, std::uint32_t seed, const ExactOutput<T>& out,
                        const std::int64_t* starts = nullptr) {
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
    auto flush = [&](std::size_t q) {  // after query q
        if (!staged || ((q + 1) % kBlock && q + 1 != nq)) return;
        for (std::size_t j = q - q % kBlock; j <= q; ++j) {
            const std::size_t row = static_cast<std::size_t>(out.rows[j]);
            std::copy_n(block_d.data() + j % kBlock * k, k, out.dists + row * k);
            std::copy_n(block_i.data() + j % kBlock * k, k, out.idx + row * k);
        }
    };
    if (n == 0) {
        for (std::size_t q = 0; q < nq; ++q) {
            miss(row_d(q), row_i(q), 0);
            flush(q);
        }
        return seed;
    }
    if (!g.consistent) fail("exact search: the target graph is not a consistent CSR graph");
    check_index(seed, n);

    const bool bounded = r.has_value();
    const T r2 = bounded ? *r * *r : inf;
    auto label = [&](std::uint32_t v) -> std::int64_t { return target.labels ? target.labels[v] : v; };

    exact_detail::Scratch<T> sc;
    sc.pool.reserve(std::min<std::size_t>(k, n) + 16);
    sc.fresh.reserve(64);
    const DescentTarget<T> dt(g);

    std::uint32_t carried = seed;
    for (std::size_t q = 0; q < nq; ++q) {
        const PackedPoint<T> p = query(q);
        T* drow = row_d(q);
        std::int64_t* irow = row_i(q);
        if (bounded && box_point_dist2(target.box.lo, target.box.hi, p) > r2) {
            miss(drow, irow, 0);
            flush(q);
            continue;
        }

        bool tie = false;
        if (starts) carried = static_cast<std::uint32_t>(starts[out.rows ? out.rows[q] : q]);
        const auto [d0, v0] = exact_detail::descend(dt, p, carried, tie);
        carried = v0;
        if (!(d0 <= r2)) {  // also a NaN distance: nothing can be reported
            miss(drow, irow, 0);
            flush(q);
            continue;
        }
        if (k == 1 && !tie) {
            drow[0] = std::sqrt(d0);
            irow[0] = label(v0);
            flush(q);
            continue;
        }

        const std::uint32_t gen = sc.next_generation(n);
        std::uint32_t* stamps = sc.stamps.data();
        stamps[v0] = gen;
        sc.pool.clear();
        sc.insert(d0, v0, k);
        // The nearest point is expanded first, whatever its distance: with a tie, its
        // equals are among its neighbours.
        sc.pool[0].expanded = true;
        {
            T lim = std::min(r2, sc.limit(k));
            for (std::uint32_t e = dt.indptr[v0]; e < dt.indptr[std::size_t{v0} + 1]; ++e) {
                const std::uint32_t u = dt.neighbour(e);
                if (stamps[u] == gen) continue;
                stamps[u] = gen;
                const T d = dist2(g.points[u], p);
                if (!(d <= lim)) continue;
                sc.insert(d, u, k);
                lim = std::min(r2, sc.limit(k));
            }
        }
        // Expand the nearest unexpanded entry while it may lead to an answer; entries
        // before `next` are expanded.
        for (std::size_t next = 0;;) {
            while (next < sc.pool.size() && sc.pool[next].expanded) ++next;
            if (next == sc.pool.size()) break;
            T lim = std::min(r2, sc.limit(k));
            const T here = sc.pool[next].dist;
            if (!(here < lim) && here != d0) break;  // so is every entry after it
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
            for (std::size_t f = 0; f < n_fresh; ++f) {
                const std::uint32_t u = fresh[f];
                const T d = dist2(g.points[u], p);
                if (!(d <= lim)) continue;
                next = std::min(next, sc.insert(d, u, k));
                lim = std::min(r2, sc.limit(k));
            }
        }
        // The pool holds every point not farther than the k-th, ties included: order
        // them by (distance, label) and keep k.
        const std::size_t pooled = sc.pool.size();
        sc.labelled.reserve(pooled);
        PairKey<T>* keys = sc.labelled.data();
        for (std::size_t j = 0; j < pooled; ++j) {
            const exact_detail::Entry<T>& e = sc.pool[j];
            keys[j] = pair_key(e.dist, static_cast<std::uint32_t>(label(e.vertex)));
        }
        for (std::size_t j = 1; j < pooled; ++j)  // sorted by distance already
            for (std::size_t i = j; i > 0 && keys[i] < keys[i - 1]; --i) std::swap(keys[i], keys[i - 1]);
        const std::size_t found = std::min(k, pooled);
        for (std::size_t j = 0; j < found; ++j) {
            drow[j] = std::sqrt(key_dist<T>(keys[j]));
            irow[j] = key_vertex<T>(keys[j]);
        }
        miss(drow, irow, found);
        flush(q);
    }
    return carried;
}

}  // namespace plov
