// Blocked descent: the query points, in the order given, are cut into consecutive
// blocks whose descents all start at one seed, the answer of the last point answered
// before the block. No query graph is used; the order of the points (Morton order for
// grouped sets) provides the locality. Over a target known to be consistent (the usual
// case: every prepared target is checked once) each descent runs on its own, two at a
// time in turns. Over any other target the descents of a block advance together, one
// checked step per pass, and the queries standing on the same vertex share one fetch
// of its neighbourhood; failures then come in the order of those passes. Both ways
// give the same results.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "descent.hpp"

namespace plov {

namespace blocked_detail {

inline constexpr std::uint32_t kPruned = 0xFFFFFFFFu;

// Slot states. A pruned slot is told apart from a live one by its state, never by
// its vertex number, so a target vertex 0xFFFFFFFF stays a valid answer.
enum : std::uint8_t { kActive = 0, kDone = 1, kPrunedSlot = 2 };

// Block sizes from 2^62 on are refused before any scratch exists.
inline constexpr std::uint64_t kMaxBlock = std::uint64_t{1} << 62;

}  // namespace blocked_detail

// For each of the first `n` of the `n_query` points of `query` the nearest target
// point reached by greedy descent, or the miss marker (+inf, n_target) under `bound`.
// `n` may exceed `n_query`: the search then fails at the first point missing.
template <class T>
NearestResult<T> search_blocked(const PackedPoint<T>* query, std::size_t n_query, std::size_t n,
                                const GraphView<T>& target, std::uint64_t block,
                                const std::optional<DistanceBound<T>>& bound) {
    using namespace blocked_detail;
    constexpr T inf = std::numeric_limits<T>::infinity();

    NearestResult<T> res{Buffer<T>::zeros(n), Buffer<std::uint64_t>::zeros(n)};
    Buffer<T>& dists = res.dists;
    Buffer<std::uint64_t>& idx = res.idx;
    if (n == 0) return res;

    const std::size_t n_t = target.n_points;
    auto fill = [&](std::uint64_t marker) {
        for (std::size_t i = 0; i < n; ++i) {
            dists[i] = inf;
            idx[i] = marker;
        }
    };
    if (n_t == 0) {
        fill(0);
        return res;
    }
    check_contiguous(target.indptr, target.neighbours);

    const BoundPlan<T> plan = plan_bound(bound, query, n_query);
    if (plan.rejected) {
        fill(n_t);
        return res;
    }
    const BoundMode mode = plan.mode;
    const T r2 = plan.r2;

    if (block >= kMaxBlock) fail_capacity();
    const std::size_t B = block == 0 ? 1 : static_cast<std::size_t>(block);
    const std::size_t m = std::min<std::size_t>(B, n);  // no block holds more slots

    Buffer<std::uint32_t> cur = Buffer<std::uint32_t>::zeros(m);
    Buffer<T> best = Buffer<T>::zeros(m);
    Buffer<std::uint8_t> state = Buffer<std::uint8_t>::zeros(m);
    Buffer<std::size_t> active(m);
    Vec<PackedPoint<T>, sizeof(PackedPoint<T>)> gather_pts(32);
    Vec<std::uint32_t> gather_ids(32);

    const DescentTarget<T> tgt(target);
    const bool direct = target.consistent;
    const PackedPoint<T>* tpts = target.points;
    std::uint32_t seed = 0;

    for (std::size_t start = 0; start < n;) {
        const std::size_t count = std::min(B, n - start);
        std::size_t live = 0;

        // Seeding: every unpruned query of the block starts at the carried seed.
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t q = start + i;
            check_index(q, n_query);
            const PackedPoint<T>& p = query[q];
            if (mode == BoundMode::PerPoint && box_point_dist2(bound->tlo, bound->thi, p) > r2) {
                cur[i] = kPruned;
                state[i] = kPrunedSlot;
                continue;
            }
            cur[i] = seed;
            state[i] = kActive;
            ++live;
            if (!direct) {  // the direct descents measure their start themselves
                best[i] = dist2(tpts[seed], p);
                PLOV_COUNT(descents, 1);
                PLOV_COUNT(evals, 1);
            }
        }

        // Over a consistent target no access can fail, and a query's steps depend only
        // on its point and its start vertex, not on the passes around it: its descent
        // can run on its own, two at a time in turns to keep more loads in flight. That
        // beats sharing gathered neighbourhoods on small and large targets alike (the
        // sort and the copies of the passes cost more than the fetches they save). Both
        // give the same results; the passes serve every other target, where failures
        // must come in their order.
        if (direct) {
            std::size_t pending = count;  // a slot waiting for a partner
            for (std::size_t i = 0; i < count; ++i) {
                if (state[i] != kActive) continue;
                if (pending == count) {
                    pending = i;
                    continue;
                }
                auto [r1, r2nd] = greedy_descent_pair(tgt, query[start + pending], seed, query[start + i], seed);
                best[pending] = r1.first;
                cur[pending] = r1.second;
                best[i] = r2nd.first;
                cur[i] = r2nd.second;
                pending = count;
            }
            if (pending != count)
                std::tie(best[pending], cur[pending]) = greedy_descent<false>(tgt, query[start + pending], seed);
            live = 0;
        }

        // Passes: each live query moves at most one step; queries on the same vertex
        // share its gathered neighbourhood.
        while (live > 0) {
            std::size_t na = 0;
            for (std::size_t i = 0; i < count; ++i)
                if (state[i] == kActive) active[na++] = i;
            if (na >= 2)
                std::sort(active.data(), active.data() + na,
                          [&](std::size_t a, std::size_t b) { return cur[a] < cur[b]; });

            for (std::size_t r = 0; r < na;) {
                const std::uint32_t v = cur[active[r]];
                std::size_t run_end = r + 1;
                while (run_end < na && cur[active[run_end]] == v) ++run_end;

                auto [a, b] = tgt.range(v);
                const std::size_t deg = b - a;
                gather_pts.clear();
                gather_ids.clear();
                gather_pts.resize_uninit(deg);
                gather_ids.resize_uninit(deg);
                for (std::size_t k = 0; k < deg; ++k) {
                    const std::uint32_t u = tgt.neighbour(a + k);
                    check_index(u, n_t);
                    gather_pts[k] = tpts[u];
                    gather_ids[k] = u;
                }
                const PackedPoint<T>* gp = gather_pts.data();
                const std::uint32_t* gi = gather_ids.data();

                for (; r < run_end; ++r) {
                    const std::size_t slot = active[r];
                    PLOV_COUNT(evals, deg);
                    PLOV_COUNT(steps, 1);
                    if (deg == 0) {
                        state[slot] = kDone;
                        --live;
                        continue;
                    }
                    const PackedPoint<T>& p = query[start + slot];
                    const T bd = best[slot];
                    PairKey<T> key = pair_key(bd, v);
                    // Nothing compares below a NaN distance: such a query never moves.
                    if (bd == bd)
                        for (std::size_t k = 0; k < deg; ++k) key = std::min(key, pair_key(dist2(gp[k], p), gi[k]));
                    if (key_vertex<T>(key) == v) {
                        state[slot] = kDone;
                        --live;
                    } else {
                        cur[slot] = key_vertex<T>(key);
                        best[slot] = key_dist<T>(key);
                    }
                }
            }
        }

        // Finalising: the bound test on squared distances; the last answered query
        // of the block seeds the next one.
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t q = start + i;
            if (state[i] == kPrunedSlot || (mode != BoundMode::Unbounded && best[i] > r2)) {
                dists[q] = inf;
                idx[q] = n_t;
            } else {
                dists[q] = std::sqrt(best[i]);
                idx[q] = cur[i];
                seed = cur[i];
            }
        }
        start += count;
    }
    return res;
}

}  // namespace plov
