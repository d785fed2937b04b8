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
//
// The work of a query is what its answer needs: the points within that ball. Far from
// the cloud the ball takes in every point whose distance rounds alike; a query so far
// that all of them do (the range of dist2 over the cloud's box says so, rounding being
// monotone) is answered from the box: the smallest labels. Squares that overflow are
// +inf, a distance every such point shares, and the bound of an infinite k-th distance
// is infinite: a query that needs more answers than there are points at a finite
// distance walks every point.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "descent.hpp"

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
// optionally a permutation of the vertex numbers, one label per vertex, that replaces
// the vertex number in the results and in the tie rule (a cloud renumbered for speed
// keeps its caller's numbering), and optionally the pool its visit stamps come from.
template <class T>
struct ExactTarget {
    GraphView<T> graph;
    Box<T> box;
    const std::int64_t* labels = nullptr;
    StampPool* stamps = nullptr;
};

// The start of every descent of a search but the first: where the previous one stopped.
struct CarriedStart {};

// How far a call went: the queries answered (a prefix of the walk) and the vertex the
// last descent reached, where the next call starts.
struct ExactProgress {
    std::size_t done;
    std::uint32_t start;
};

namespace exact_detail {

// The rounding constants of T: unit roundoff and the smallest subnormal.
template <class T>
inline constexpr T kUnit = std::numeric_limits<T>::epsilon() / 2;
template <class T>
inline constexpr T kTiny = std::numeric_limits<T>::denorm_min();

// A squared distance that dist2 computes, from the same query, for every point whose
// exact distance is at most that of some point reported at distance `s` or below.
//
// dist2 returns e^2 (1 + a) + b for a point at exact distance e, with |a| <= 5u (u the
// unit roundoff: two roundings of each difference, the square, two sums) and |b| <= 2t
// (t the smallest subnormal: products that underflow; sums of subnormals are exact),
// and the square root adds one rounding. A point reported at s or below is then
// within e^2 <= (s^2 / (1 - u)^2 + 2t) / (1 - u)^5, and a point that close computes
// d2 <= s^2 (1 + 12u + O(u^2)) + 4t (1 + O(u)). The factor and the term below cover
// that with every rounding of their own evaluation. +inf for an infinite `s` or one
// whose square overflows.
template <class T>
inline T reach(T s) noexcept {
    return s * s * (T(1) + 16 * kUnit<T>)+16 * kTiny<T>;
}

// The same for every point whose exact distance is at most that of some point whose
// computed squared distance is `d2` (a reported distance is at most sqrt(d2) (1 + u)).
template <class T>
inline T reach2(T d2) noexcept {
    return d2 * (T(1) + 32 * kUnit<T>)+16 * kTiny<T>;
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

// The range of squared distances that dist2 can compute from `p` (finite) to points of
// the box: rounding is monotone, so every difference, square and sum of the formula
// lies between its values at the box's faces.
template <class T>
std::pair<T, T> dist2_range(const Box<T>& b, const PackedPoint<T>& p) noexcept {
    auto gap = [](T lo, T hi, T v) { return v < lo ? lo - v : v > hi ? v - hi : T(0); };
    auto span = [](T lo, T hi, T v) { return std::max(std::fabs(lo - v), std::fabs(hi - v)); };
    const T gx = gap(b.lo.x, b.hi.x, p.x), gy = gap(b.lo.y, b.hi.y, p.y), gz = gap(b.lo.z, b.hi.z, p.z);
    const T sx = span(b.lo.x, b.hi.x, p.x), sy = span(b.lo.y, b.hi.y, p.y), sz = span(b.lo.z, b.hi.z, p.z);
    return {(gx * gx + gy * gy) + gz * gz, (sx * sx + sy * sy) + sz * sz};
}

// A point found by the expansion, and whether its neighbours have been looked at.
template <class T>
struct Entry {
    T d2;
    std::uint32_t vertex;
    bool expanded;
};

// Queries of at most this many neighbours keep their candidates in one short sorted
// list (`Expansion::pooled`), as long as it stays short.
inline constexpr std::size_t kPoolK = 64;

// Scratch of one call, reused for every query.
template <class T>
struct Scratch {
    StampPool* pool = nullptr;             // where the visit stamps come from, if anywhere
    std::optional<StampPool::Lease> seen;  // target vertices found by the current query
    Vec<Entry<T>> pool_entries;            // see `Expansion::pooled`
    Vec<PairKey<T>> frontier;              // see `Expansion::heaped`
    Vec<PairKey<T>> best;
    Vec<std::uint32_t> fresh;  // neighbours first seen while expanding one vertex
    Vec<T> fresh_d2;           // and their squared distances

    // Starts a query; the stamps are taken on first use: most nearest-point queries
    // need none.
    std::uint32_t next_query(std::size_t n) {
        if (!seen) seen.emplace(StampPool::lend_or_make(pool, n));
        return (**seen).next_walk();
    }
    std::uint32_t* stamps() noexcept { return (**seen).stamps.data(); }
};

// The expansion of one query from where its descent stopped. It expands every found
// point whose squared distance is within `bound`: the reach of the k-th reported
// distance (of the distance bound while fewer than k are found), and never below the
// reach of the nearest point found (while nothing reportable is found, that is what
// leads to the nearest points). That bound only shrinks.
template <class T>
struct Expansion {
    const DescentTarget<T>& target;
    const std::int64_t* labels;
    Scratch<T>& sc;
    PackedPoint<T> p;
    std::size_t k;
    T rt;        // the distance bound (+inf without)
    T rt_reach;  // reach(rt)
    std::size_t& work;

    std::uint32_t label(std::uint32_t v) const noexcept { return static_cast<std::uint32_t>(labels ? labels[v] : v); }

    // Marks the neighbours of `v` not found before and lists, in `sc.fresh` and
    // `sc.fresh_d2`, those whose squared distance is within `lim`, in list order;
    // returns how many.
    std::size_t score(std::uint32_t v, std::uint32_t gen, T lim) {
        const std::uint32_t a = target.indptr[v];
        const std::uint32_t b = target.indptr[std::size_t{v} + 1];
        if (a >= b) return 0;
        work += b - a;
        sc.fresh.reserve(b - a);
        sc.fresh_d2.reserve(b - a);
        std::uint32_t* fresh = sc.fresh.data();
        T* fresh_d2 = sc.fresh_d2.data();
        const std::size_t n_fresh =
            mark_unseen(target.neighbours, a, b, sc.stamps(), gen, fresh, target.points, [](std::uint32_t) {});
        std::size_t kept = 0;
        for (std::size_t f = 0; f < n_fresh; ++f) {
            const std::uint32_t u = fresh[f];
            const T d = dist2(target.points[u], p);
            fresh[kept] = u;
            fresh_d2[kept] = d;
            kept += d <= lim;
        }
        return kept;
    }

    // Writes the answer from `keys[0, m)`, (reported distance, label) keys of every
    // point that can be among the k best; reorders them.
    std::size_t answer(PairKey<T>* keys, std::size_t m, T* drow, std::int64_t* irow) const {
        for (std::size_t j = 1; j < m; ++j)  // nearly sorted: by squared distance
            for (std::size_t i = j; i > 0 && keys[i] < keys[i - 1]; --i) std::swap(keys[i], keys[i - 1]);
        const std::size_t found = std::min(k, m);
        for (std::size_t j = 0; j < found; ++j) {
            drow[j] = key_dist<T>(keys[j]);
            irow[j] = key_vertex<T>(keys[j]);
        }
        return found;
    }

    // The search for k <= kPoolK: one list, ascending by squared distance, of every
    // found point within the bound (equal distances in the order found); its
    // unexpanded entries are the frontier. Returns the number of answers written, or
    // nothing when the list outgrows `cap` (many points tied after rounding), having
    // written nothing.
    std::optional<std::size_t> pooled(const Stop<T>& stop, std::size_t cap, T* drow, std::int64_t* irow) {
        const std::uint32_t gen = sc.next_query(target.n);
        Vec<Entry<T>>& pool = sc.pool_entries;
        pool.clear();
        pool.push_back({stop.d2, stop.vertex, false});
        sc.stamps()[stop.vertex] = gen;
        auto bound = [&] {
            const T kth = pool.size() < k ? rt_reach : std::min(reach2(pool[k - 1].d2), rt_reach);
            return std::max(kth, reach2(pool[0].d2));
        };
        T lim = bound();
        // Expand the nearest unexpanded entry within the bound; entries before `next`
        // are expanded.
        for (std::size_t next = 0;;) {
            while (next < pool.size() && pool[next].expanded) ++next;
            if (next == pool.size() || !(pool[next].d2 <= lim)) break;  // so is every entry after it
            pool[next].expanded = true;
            // Score every new neighbour first, keeping those within the bound (without
            // a branch: which are is unpredictable), then place them in order.
            const std::size_t kept = score(pool[next].vertex, gen, lim);
            const std::uint32_t* fresh = sc.fresh.data();
            const T* fresh_d2 = sc.fresh_d2.data();
            for (std::size_t j = 0; j < kept; ++j) {
                const T d = fresh_d2[j];
                if (!(d <= lim)) continue;  // and so it stays: the bound only shrinks
                pool.push_back({});
                Entry<T>* e = pool.data();
                std::size_t i = pool.size() - 1;
                for (; i > 0 && d < e[i - 1].d2; --i) e[i] = e[i - 1];
                e[i] = {d, fresh[j], false};
                next = std::min(next, i);
                lim = bound();
                while (pool.back().d2 > lim) pool.pop_back();
                if (pool.size() > cap) return std::nullopt;
            }
        }
        // The candidates: every entry reported at the k-th distance or nearer, and
        // within the bound.
        const T kth = pool.size() < k ? rt : std::min(std::sqrt(pool[k - 1].d2), rt);
        sc.best.reserve(pool.size());
        PairKey<T>* keys = sc.best.data();
        std::size_t m = 0;
        for (; m < pool.size(); ++m) {
            const T s = std::sqrt(pool[m].d2);
            if (!(s <= kth)) break;
            keys[m] = pair_key(s, label(pool[m].vertex));
        }
        return answer(keys, m, drow, irow);
    }

    // The search for any k: the frontier in a min-heap of (squared distance, vertex)
    // keys, the k best in a max-heap of (reported distance, label) keys, so that
    // neither ties beyond the k-th nor any point beyond the bound are kept. Returns the
    // number of answers written.
    std::size_t heaped(const Stop<T>& stop, T* drow, std::int64_t* irow) {
        const std::uint32_t gen = sc.next_query(target.n);
        Vec<PairKey<T>>& frontier = sc.frontier;
        Vec<PairKey<T>>& best = sc.best;
        frontier.clear();
        best.clear();
        T nearest = stop.d2;
        auto bound = [&] {
            const T kth = best.size() < k ? rt_reach : reach(key_dist<T>(best[0]));
            return std::max(kth, reach2(nearest));
        };
        auto offer = [&](T d, std::uint32_t v) {
            const T s = std::sqrt(d);
            if (!(s <= rt)) return;
            const PairKey<T> key = pair_key(s, label(v));
            if (best.size() == k) {
                if (!(key < best[0])) return;
                std::pop_heap(best.begin(), best.end());
                best.pop_back();
            }
            best.push_back(key);
            std::push_heap(best.begin(), best.end());
        };
        constexpr std::greater<PairKey<T>> later;
        sc.stamps()[stop.vertex] = gen;
        frontier.push_back(pair_key(stop.d2, stop.vertex));
        offer(stop.d2, stop.vertex);
        T lim = bound();
        while (!frontier.empty() && key_dist<T>(frontier[0]) <= lim) {
            const std::uint32_t v = key_vertex<T>(frontier[0]);
            std::pop_heap(frontier.begin(), frontier.end(), later);
            frontier.pop_back();
            const std::size_t kept = score(v, gen, lim);
            for (std::size_t j = 0; j < kept; ++j) {
                const T d = sc.fresh_d2[j];
                const std::uint32_t u = sc.fresh[j];
                if (!(d <= lim)) continue;  // and so it stays: the bound only shrinks
                frontier.push_back(pair_key(d, u));
                std::push_heap(frontier.begin(), frontier.end(), later);
                nearest = std::min(nearest, d);
                offer(d, u);
                lim = bound();
            }
        }
        std::sort_heap(best.begin(), best.end());
        return answer(best.data(), best.size(), drow, irow);
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
// stopped, or, with `starts`, the query at position q of the walk at vertex `starts(q)`
// (checked by the caller). A call stops after the first query that brings the distances
// it computed to `budget`, so that one call takes a bounded time whatever its queries.
template <class T, class Queries, class Starts = CarriedStart>
ExactProgress exact_knn(const ExactTarget<T>& target, const Queries& query, std::size_t nq, std::size_t k,
                        std::optional<T> r, std::uint32_t start, const ExactOutput<T>& out,
                        std::size_t budget = std::numeric_limits<std::size_t>::max(), const Starts& starts = {}) {
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

    exact_detail::Scratch<T> sc;
    sc.pool = target.stamps;
    sc.fresh.reserve(64);
    const DescentTarget<T> dt(g);
    std::size_t work = 0;
    const T rt = r ? *r : inf;  // reported distances above it are left out
    auto label = [&](std::uint32_t v) { return target.labels ? target.labels[v] : std::int64_t{v}; };

    std::uint32_t carried = start;
    std::size_t q = 0;
    while (q < nq) {
        const PackedPoint<T> p = query(q);
        T* drow = row_d(q);
        std::int64_t* irow = row_i(q);
        std::size_t found = 0;
        const auto [lo2, hi2] = exact_detail::dist2_range(target.box, p);
        work += 1;
        if (r && !(std::sqrt(lo2) <= rt)) {
            // nothing within the bound
        } else if (!(hi2 > lo2 * (T(1) + 8 * exact_detail::kUnit<T>)) && std::sqrt(hi2) == std::sqrt(lo2)) {
            // So far from the cloud that every distance rounds alike: the smallest labels.
            found = std::min(k, n);
            std::fill(drow, drow + found, std::sqrt(lo2));
            for (std::size_t j = 0; j < found; ++j) irow[j] = static_cast<std::int64_t>(j);
        } else {
            // The vertex the descent starts from: the row's own start, or where the last one stopped.
            std::uint32_t from = carried;
            if constexpr (!std::is_same_v<Starts, CarriedStart>) from = starts(q);
            const exact_detail::Stop<T> stop = exact_detail::descend(dt, p, from, work);
            carried = stop.vertex;
            const T s0 = std::sqrt(stop.d2);
            if (stop.next > exact_detail::reach2(stop.d2) && (k == 1 || !(s0 <= rt))) {
                // Every other point is reported farther: the stop is the one nearest point.
                if (s0 <= rt) {
                    drow[0] = s0;
                    irow[0] = label(stop.vertex);
                    found = 1;
                }
            } else {
                exact_detail::Expansion<T> ex{dt, target.labels, sc, p, k, rt, exact_detail::reach(rt), work};
                std::optional<std::size_t> pooled;
                if (k <= exact_detail::kPoolK) pooled = ex.pooled(stop, 2 * k + 64, drow, irow);
                found = pooled ? *pooled : ex.heaped(stop, drow, irow);
            }
        }
        miss(drow, irow, found);
        ++q;
        const bool last = q == nq || work >= budget;
        flush(q - 1, last);
        if (last) break;
    }
    return {q, carried};
}

}  // namespace plov
