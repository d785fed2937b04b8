// The points of a cloud inside a ball, by breadth-first expansion over its Delaunay graph.
//
// The points inside any ball are connected in the Delaunay graph: lifted to the
// paraboloid, inside the ball is below a plane, and the vertices of a convex polytope
// below a plane are joined through its edges. So an expansion from the nearest point,
// through points inside the ball only, meets every one of them.
//
// A point is reported when its computed distance, sqrt((dx*dx + dy*dy) + dz*dz) rounded
// in `T`, is at most the radius; the set of such points is not exactly a ball. The
// expansion therefore runs through a slightly larger ball, large enough to hold every
// point that rounding can report and the nearest point found by the descent, and then
// filters by the computed distance.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

#include "descent.hpp"
#include "exact_knn.hpp"

namespace plov {

// What a ball search collects, query after query in walk order: the number of points
// each query found and, unless only counts are wanted, their labels (and distances).
template <class T>
struct BallResults {
    Buffer<std::int64_t> counts;
    Vec<std::int64_t> labels;
    Vec<T> dists;
};

struct BallOptions {
    bool by_distance = false;  // each query's points by (distance, label); else by label
    bool counts_only = false;
    bool with_dists = false;
    // The most points a call may list: beyond it the search ends with std::bad_alloc,
    // before the memory runs out (where the system might end the process instead).
    std::size_t max_found = std::numeric_limits<std::size_t>::max();
};

namespace ball_detail {

// The squared computed distance up to which the expansion goes on for radius `r`. Each
// of the five roundings of the squared distance and the rounding of sqrt move it by a
// relative error of at most eps (an underflowing square by less than the smallest
// subnormal, absolutely), and the radius itself is rounded to `T`; a margin of 64 eps
// and 16 subnormals covers these twice over, once for the points to report and once for
// the descent's nearest point, which may be a rounding step farther than the true one.
template <class T>
T expansion_limit(double r) {
    constexpr T eps = std::numeric_limits<T>::epsilon();
    const T rt = static_cast<T>(r);
    return rt * rt * (T(1) + T(64) * eps) + T(16) * std::numeric_limits<T>::denorm_min();
}

template <class T>
struct Hit {
    PairKey<T> key;  // what the query's points are ordered by
    T dist;
};

}  // namespace ball_detail

// For each of the `nq` query points `query(q)` (PackedPoint<T>), in that order, the
// target points whose computed distance is at most `radius(q)` (a double; inclusive),
// appended to `out`. The first descent starts at `seed`, every later one at the previous
// query's nearest point; returns the last of them. `poll()` is asked now and then and
// the search ends with `Cancelled` when it answers false.
template <class T, class Queries, class Radius, class Poll>
std::uint32_t ball_search(const ExactTarget<T>& target, const Queries& query, const Radius& radius, std::size_t nq,
                          std::uint32_t seed, BallOptions opt, BallResults<T>& out, const Poll& poll) {
    const GraphView<T>& g = target.graph;
    const std::size_t n = g.n_points;
    out.counts = Buffer<std::int64_t>::zeros(nq);
    if (n == 0 || nq == 0) return seed;
    if (!g.consistent) fail("ball search: the target graph is not a consistent CSR graph");
    check_index(seed, n);
    auto label = [&](std::uint32_t v) -> std::int64_t { return target.labels ? target.labels[v] : v; };

    const DescentTarget<T> dt(g);
    StampPool::Lease lease = StampPool::lend_or_make(target.stamps, n);
    VisitStamps<std::uint32_t>& seen = *lease;
    std::uint32_t* const stamps = seen.stamps.data();
    Vec<std::uint32_t> queue(64);
    Vec<std::uint32_t> fresh(64);  // neighbours first seen while expanding one vertex
    // A query's points, as labels alone when they are ordered by label and listed
    // without distances, otherwise with their keys and distances.
    const bool labels_only = !opt.by_distance && !opt.with_dists;
    Vec<std::int64_t> ids(64);
    Vec<ball_detail::Hit<T>> hits(64);
    constexpr std::size_t kPollEvery = std::size_t{1} << 20;  // distance evaluations
    std::size_t since_poll = 0;

    std::uint32_t carried = seed;
    for (std::size_t q = 0; q < nq; ++q) {
        const PackedPoint<T> p = query(q);
        const double r = radius(q);
        const T limit = ball_detail::expansion_limit<T>(r);
        if (!(box_point_dist2(target.box.lo, target.box.hi, p) <= limit)) continue;  // a NaN query too
        const auto [d0, v0] = greedy_descent<false>(dt, p, carried);
        carried = v0;
        if (!(d0 <= limit)) continue;

        const std::uint32_t generation = seen.next_walk();
        queue.clear();
        hits.clear();
        ids.clear();
        std::int64_t count = 0;
        auto reached = [&](std::uint32_t u, T d2) {
            queue.push_back(u);
            const T d = std::sqrt(d2);
            if (!(static_cast<double>(d) <= r)) return;
            ++count;
            if (opt.counts_only) return;
            if (out.labels.size() + hits.size() + ids.size() >= opt.max_found) throw std::bad_alloc();
            const std::int64_t l = label(u);
            if (labels_only) return ids.push_back(l);
            hits.push_back({opt.by_distance ? pair_key(d, static_cast<std::uint32_t>(l)) : PairKey<T>(l), d});
        };
        stamps[v0] = generation;
        reached(v0, d0);
        for (std::size_t head = 0; head < queue.size(); ++head) {
            const std::uint32_t v = queue[head];
            const std::uint32_t a = dt.indptr[v];
            const std::uint32_t b = dt.indptr[std::size_t{v} + 1];
            since_poll += b - a;
            // Mark first, branch-free (whether a neighbour was seen is unpredictable),
            // fetching the unseen ones' points, then score them.
            fresh.reserve(b - a);
            std::uint32_t* f = fresh.data();
            std::size_t n_fresh = 0;
            for (std::uint32_t e = a; e < b; ++e) {
                const std::uint32_t u = dt.neighbour(e);
                f[n_fresh] = u;
                __builtin_prefetch(g.points + u);
                n_fresh += stamps[u] != generation;
                stamps[u] = generation;
            }
            for (std::size_t j = 0; j < n_fresh; ++j) {
                const T d2 = dist2(g.points[f[j]], p);
                if (d2 <= limit) reached(f[j], d2);
            }
            if (since_poll >= kPollEvery) {
                since_poll = 0;
                if (!poll()) throw Cancelled();
            }
        }
        out.counts[q] = count;
        if (opt.counts_only) continue;
        if (labels_only) {
            std::sort(ids.begin(), ids.end());
            const std::size_t from = out.labels.size();
            out.labels.resize_uninit(from + ids.size());
            std::copy(ids.begin(), ids.end(), out.labels.begin() + from);
            continue;
        }
        std::sort(hits.begin(), hits.end(), [](const auto& x, const auto& y) { return x.key < y.key; });
        const std::size_t from = out.labels.size();
        out.labels.resize_uninit(from + hits.size());
        for (std::size_t j = 0; j < hits.size(); ++j)
            out.labels[from + j] =
                opt.by_distance ? key_vertex<T>(hits[j].key) : static_cast<std::int64_t>(hits[j].key);
        if (!opt.with_dists) continue;
        out.dists.resize_uninit(from + hits.size());
        for (std::size_t j = 0; j < hits.size(); ++j) out.dists[from + j] = hits[j].dist;
    }
    return carried;
}

}  // namespace plov
