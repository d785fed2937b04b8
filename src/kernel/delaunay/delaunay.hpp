// Delaunay graphs and tetrahedra of raw point clouds.
//
// The cloud is read once. Exact duplicates are reduced to their smallest-index copy;
// the remaining points are triangulated in 3-D, or, when they all lie on one plane, as
// the 2-D Delaunay triangulation of that plane (the points are joined by an extra apex
// off the plane, whose cells are exactly the planar Delaunay triangles), or, when they
// all lie on one line, as the chain along it. Points are inserted in a biased
// randomised order over Morton-ordered rounds, each located by a walk from the cell
// made last.
//
// The graph (vertex adjacency, symmetric, every list ascending) is one on which greedy
// descent is exact: ties are resolved by index in the triangulation, every copy of a
// duplicated point lists only its smallest-index copy, and that copy lists all its
// copies besides its Delaunay neighbours.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "../buffer.hpp"
#include "../errors.hpp"
#include "../morton.hpp"
#include "../packed.hpp"
#include "../radix_sort.hpp"
#include "triangulation.hpp"

namespace plov::delaunay {

struct Graph {
    Buffer<std::uint32_t> indptr;   // n + 1 offsets
    Buffer<std::uint32_t> indices;  // the concatenated neighbour lists
    Buffer<std::int64_t> perm;      // ordered graphs: new vertex -> original index
};

class Delaunay {
public:
    // A callback asked now and then whether to go on; on false the work stops by
    // throwing Cancelled.
    using Poll = std::function<bool()>;

    // The first three columns of `points` (which must have at least three) are copied
    // once before any other work, so the caller's memory is read exactly once.
    explicit Delaunay(const View2D<double>& points, const Poll& poll = {}) : n_(points.rows) {
        if (n_ >= kInf - 1) fail("too many points for one triangulation");
        if (n_ && points.cols < 3) fail("points must have three columns");
        std::vector<double> xyz(3 * n_);
        for (std::size_t i = 0; i < n_; ++i)
            for (std::size_t a = 0; a < 3; ++a) xyz[3 * i + a] = points.at(i, a);
        for (std::size_t i = 0; i < 3 * n_; ++i)
            if (!std::isfinite(xyz[i])) fail("row " + std::to_string(i / 3) + " has a non-finite coordinate");
        if (n_ == 0) return;
        deduplicate(xyz.data());
        triangulate(poll);
    }

    // The graph in the caller's numbering, or, when `ordered`, in the builder's Morton
    // order (every copy of a point right after it), with that order as `perm`.
    Graph graph(const Poll& poll = {}, bool ordered = false) const {
        std::size_t m = uniq_.size();
        // neighbour lists in the internal numbering
        std::vector<std::uint32_t> start(m + 1, 0);
        Buffer<std::uint32_t> list;
        if (dim_ == 1) {
            list = Buffer<std::uint32_t>(2 * m);
            std::vector<std::uint32_t> pos(m);
            for (std::size_t k = 0; k < m; ++k) pos[chain_[k]] = static_cast<std::uint32_t>(k);
            std::uint32_t w = 0;
            for (std::size_t v = 0; v < m; ++v) {
                std::size_t k = pos[v];
                start[v] = w;
                if (k > 0) list[w++] = chain_[k - 1];
                if (k + 1 < m) list[w++] = chain_[k + 1];
            }
            start[m] = w;
        } else if (dim_ >= 2) {
            adjacency(start, list, poll);
        }
        if (!ordered) return assemble(start, list, nullptr);
        std::vector<std::uint32_t> rename(n_);
        for (std::size_t k = 0; k < n_; ++k) rename[order_[k]] = static_cast<std::uint32_t>(k);
        Graph g = assemble(start, list, rename.data());
        g.perm = Buffer<std::int64_t>(n_);
        for (std::size_t k = 0; k < n_; ++k) g.perm[k] = order_[k];
        return g;
    }

    // The finite tetrahedra as rows of four original indices, positively oriented;
    // none when the points span less than three dimensions.
    Buffer<std::uint64_t> tetrahedra(std::size_t& count) const {
        count = 0;
        if (dim_ != 3) return Buffer<std::uint64_t>(0);
        for (std::size_t c = 0; c < tri_->cell_slots(); ++c)
            if (finite(tri_->cell(c))) ++count;
        Buffer<std::uint64_t> out(4 * count);
        std::size_t r = 0;
        for (std::size_t c = 0; c < tri_->cell_slots(); ++c) {
            const std::uint32_t* v = tri_->cell(c);
            if (!finite(v)) continue;
            for (int k = 0; k < 4; ++k) out[r++] = uniq_[v[k]];
        }
        return out;
    }

private:
    bool finite(const std::uint32_t* v) const noexcept {
        if (v[0] == kDead) return false;
        for (int k = 0; k < 4; ++k)
            if (v[k] == kInf || v[k] == apex_) return false;
        return true;
    }

    // Scales the cloud by a power of two so that its largest coordinate lies in [1, 2),
    // which changes no predicate, and treats coordinates below 2^-130 (relative to that
    // largest one) as zero: then no product the exact arithmetic forms can overflow or
    // underflow. Sorts the points by (Morton code, x, y, z, index), keeps the first of
    // every run of equal points and records the others as its copies.
    void deduplicate(double* xyz) {
        double top = 0.0;
        for (std::size_t i = 0; i < 3 * n_; ++i) top = std::max(top, std::fabs(xyz[i]));
        if (top > 0.0) {
            const int shift = -std::ilogb(top);
            for (std::size_t i = 0; i < 3 * n_; ++i) {
                double x = std::ldexp(xyz[i], shift);
                xyz[i] = std::fabs(x) < 0x1p-130 ? 0.0 : x;
            }
        }
        const auto* tri = reinterpret_cast<const Triple*>(xyz);
        const morton_detail::Frame box = morton_detail::frame_of(morton_detail::bounds(tri, n_));

        // Sorted by the top 32 bits of the code in counting passes, then every run of
        // equal top bits by the whole order (few runs: points sharing a cell of about
        // 2^-10 of the box per axis).
        std::vector<std::uint64_t> code(n_);
        Buffer<std::uint64_t> keys(n_);
        for (std::size_t i = 0; i < n_; ++i) {
            code[i] = morton_code(tri[i], box.lo, box.extent);
            keys[i] = code[i] >> 31 << 32 | i;
        }
        sort_by_key(keys, 32, false);
        auto before = [&](std::uint64_t p, std::uint64_t q) {
            const std::uint32_t a = static_cast<std::uint32_t>(p), b = static_cast<std::uint32_t>(q);
            if (code[a] != code[b]) return code[a] < code[b];
            for (int c = 0; c < 3; ++c)
                if (xyz[3 * a + c] != xyz[3 * b + c]) return xyz[3 * a + c] < xyz[3 * b + c];
            return a < b;
        };
        for (std::size_t a = 0; a < n_;) {
            std::size_t b = a + 1;
            while (b < n_ && keys[b] >> 32 == keys[a] >> 32) ++b;
            if (b - a > 1) std::sort(keys.begin() + a, keys.begin() + b, before);
            a = b;
        }
        order_.resize(n_);
        for (std::size_t k = 0; k < n_; ++k) order_[k] = static_cast<std::uint32_t>(keys[k]);
        uniq_.reserve(n_);
        pts_.reserve(n_ + 1);
        for (std::size_t k = 0; k < n_; ++k) {
            const double* p = xyz + 3 * std::size_t{order_[k]};
            if (k > 0) {
                const double* q = xyz + 3 * std::size_t{uniq_.back()};
                if (p[0] == q[0] && p[1] == q[1] && p[2] == q[2]) {
                    copies_.push_back({order_[k], uniq_.back()});
                    continue;
                }
            }
            uniq_.push_back(order_[k]);
            pts_.push_back({p[0], p[1], p[2]});
        }
        rank_ = uniq_;
    }

    bool collinear(const Vec3& a, const Vec3& b, const Vec3& c) {
        return pred_.orient2d(a, b, c, 0, 1) == 0 && pred_.orient2d(a, b, c, 1, 2) == 0 &&
               pred_.orient2d(a, b, c, 0, 2) == 0;
    }

    // Every this many insertions (or vertices of the graph pass) the poll is asked.
    static constexpr std::size_t kPollEvery = 1 << 14;

    static void ask(const Poll& poll) {
        if (poll && !poll()) throw Cancelled();
    }

    void triangulate(const Poll& poll) {
        const std::size_t m = pts_.size();
        dim_ = 0;
        if (m < 2) return;
        dim_ = 1;
        std::size_t c = 2;
        while (c < m && collinear(pts_[0], pts_[1], pts_[c])) ++c;
        if (c == m) {
            // along a line the lexicographic order of the coordinates is the line order
            chain_.resize(m);
            for (std::size_t v = 0; v < m; ++v) chain_[v] = static_cast<std::uint32_t>(v);
            std::sort(chain_.begin(), chain_.end(), [&](std::uint32_t p, std::uint32_t q) {
                const Vec3 &a = pts_[p], &b = pts_[q];
                if (a.x != b.x) return a.x < b.x;
                if (a.y != b.y) return a.y < b.y;
                return a.z < b.z;
            });
            return;
        }
        std::size_t d = 2;
        while (d < m && (d == c || pred_.orient3d(pts_[0], pts_[1], pts_[c], pts_[d]) == 0)) ++d;
        dim_ = 3;
        if (d == m) {
            dim_ = 2;
            d = add_apex(pts_[0], pts_[1], pts_[c]);
        }
        tri_.emplace(pts_.data(), rank_.data(), m);
        if (dim_ == 2) tri_->set_apex(static_cast<std::uint32_t>(d));
        tri_->init(0, 1, static_cast<std::uint32_t>(c), static_cast<std::uint32_t>(d));
        std::size_t done = 0;
        for (std::uint32_t v : insertion_order(c, d)) {
            tri_->insert(v);
            if (++done % kPollEvery == 0) ask(poll);
        }
    }

    // Appends a point off the plane of a, b, c (which are not collinear) and returns
    // its id. Any such point serves: the sphere through it and a planar triangle cuts
    // the plane in the triangle's circumcircle.
    std::size_t add_apex(Vec3 a, Vec3 b, Vec3 c) {
        double ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
        double vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
        double nx = uy * vz - uz * vy, ny = uz * vx - ux * vz, nz = ux * vy - uy * vx;
        double len = std::sqrt(nx * nx + ny * ny + nz * nz);
        double size =
            std::max({std::fabs(ux), std::fabs(uy), std::fabs(uz), std::fabs(vx), std::fabs(vy), std::fabs(vz)});
        std::vector<Vec3> tries;
        if (len > 0.0 && std::isfinite(len))
            tries.push_back({a.x + nx / len * size, a.y + ny / len * size, a.z + nz / len * size});
        for (int k = 0; k < 3; ++k) {
            Vec3 x = a;
            double* xk = &x.x + k;
            *xk = *xk + (*xk == 0.0 ? 1.0 : 2.0 * std::fabs(*xk) + size);
            tries.push_back(x);
        }
        for (const Vec3& x : tries)
            if (std::isfinite(x.x) && std::isfinite(x.y) && std::isfinite(x.z) && pred_.orient3d(a, b, c, x) != 0) {
                pts_.push_back(x);
                rank_.push_back(static_cast<std::uint32_t>(n_));
                apex_ = static_cast<std::uint32_t>(pts_.size() - 1);
                return apex_;
            }
        fail("no point off the plane of a flat cloud could be found");
    }

    // Biased randomised insertion order: every point gets a level from a hash of its id
    // (level >= k with probability 2^-k); levels are inserted from the highest down,
    // each in Morton order (the internal ids are Morton-ordered already).
    std::vector<std::uint32_t> insertion_order(std::size_t c, std::size_t d) const {
        const std::size_t m = uniq_.size();
        constexpr int kLevels = 24;
        std::vector<std::uint32_t> count(kLevels + 1, 0), level(m);
        for (std::size_t v = 0; v < m; ++v) {
            std::uint64_t h = (v + 1) * 0x9E3779B97F4A7C15ull;
            h ^= h >> 29;
            h *= 0xBF58476D1CE4E5B9ull;
            h ^= h >> 32;
            int l = std::min(std::countr_zero(h | (std::uint64_t{1} << kLevels)), kLevels);
            level[v] = static_cast<std::uint32_t>(kLevels - l);  // 0 = highest level first
            ++count[level[v]];
        }
        std::vector<std::uint32_t> at(kLevels + 1, 0);
        for (int l = 1; l <= kLevels; ++l) at[l] = at[l - 1] + count[l - 1];
        std::vector<std::uint32_t> order(m);
        for (std::size_t v = 0; v < m; ++v) order[at[level[v]]++] = static_cast<std::uint32_t>(v);
        std::vector<std::uint32_t> out;
        out.reserve(m);
        for (std::uint32_t v : order)
            if (v != 0 && v != 1 && v != c && v != d) out.push_back(v);
        return out;
    }

    // Neighbour lists (internal numbering, apex left out) from the cells. The cells
    // around an edge form a ring (a path on the hull, where the infinite cells are left
    // out); the edge is entered, in the buckets of both its ends, by every cell of that
    // ring whose number is below those of its two ring neighbours (the cells across the
    // two faces holding the edge). Every ring has such a cell, and few have more than
    // two, so the buckets stay small; each is then reduced to its distinct entries.
    void adjacency(std::vector<std::uint32_t>& start, Buffer<std::uint32_t>& list, const Poll& poll) const {
        const std::size_t m = uniq_.size();
        const std::size_t slots = tri_->cell_slots();
        const std::uint32_t apex = apex_;
        // Per cell: bit 7 set for a finite cell (apex cells included: the planar
        // triangles of a flat cloud), bits 0-5 the edges of kPairs it enters. The bits
        // are computed without a branch per edge: whether a ring neighbour has a smaller
        // number is a coin toss.
        static constexpr int kPairs[6][4] = {{0, 1, 2, 3}, {0, 2, 1, 3}, {0, 3, 1, 2},
                                             {1, 2, 0, 3}, {1, 3, 0, 2}, {2, 3, 0, 1}};
        constexpr std::uint8_t kFinite = 0x80;
        std::vector<std::uint8_t> own(slots);
        for (std::size_t c = 0; c < slots; ++c) {
            const std::uint32_t* v = tri_->cell(c);
            own[c] = v[0] != kDead && v[0] != kInf && v[1] != kInf && v[2] != kInf && v[3] != kInf ? kFinite : 0;
        }
        for (std::size_t c = 0; c < slots; ++c) {
            if (!own[c]) continue;
            const std::uint32_t* v = tri_->cell(c);
            unsigned mask = 0;
            for (int e = 0; e < 6; ++e) {
                const auto& pr = kPairs[e];
                const std::uint32_t x = tri_->neighbour(c, pr[2]), y = tri_->neighbour(c, pr[3]);
                const bool below = ((own[x] >> 7) & (x < c)) | ((own[y] >> 7) & (y < c));
                mask |= static_cast<unsigned>((v[pr[0]] < apex) & (v[pr[1]] < apex) & !below) << e;
            }
            own[c] = static_cast<std::uint8_t>(kFinite | mask);
        }
        // calls `enter(a, b)` for every edge a cell is responsible for
        auto edges = [&](auto&& enter) {
            for (std::size_t c = 0; c < slots; ++c) {
                unsigned mask = own[c] & 0x3f;
                if (!mask) continue;
                const std::uint32_t* v = tri_->cell(c);
                do {
                    const auto& pr = kPairs[std::countr_zero(mask)];
                    enter(v[pr[0]], v[pr[1]]);
                    mask &= mask - 1;
                } while (mask);
            }
        };
        std::vector<std::uint64_t> first(m + 2, 0);
        edges([&](std::uint32_t a, std::uint32_t b) {
            ++first[a + 2];
            ++first[b + 2];
        });
        for (std::size_t v = 0; v < m; ++v) first[v + 2] += first[v + 1];
        Buffer<std::uint32_t> bucket(first[m + 1]);  // every slot is written below
        edges([&](std::uint32_t a, std::uint32_t b) {
            bucket[first[a + 1]++] = b;
            bucket[first[b + 1]++] = a;
        });
        // each bucket reduced to its distinct entries, in place
        std::vector<std::uint32_t> seen(m, kInf);
        std::uint64_t w = 0;
        for (std::size_t v = 0; v < m; ++v) {
            if (v % (4 * kPollEvery) == 0) ask(poll);
            start[v] = static_cast<std::uint32_t>(w);
            for (std::uint64_t e = first[v]; e < first[v + 1]; ++e) {
                const std::uint32_t u = bucket[e];
                bucket[w] = u;
                w += seen[u] != v;
                seen[u] = static_cast<std::uint32_t>(v);
            }
        }
        start[m] = static_cast<std::uint32_t>(w);
        list = std::move(bucket);
    }

    // The graph with every point i numbered `rename[i]` (i itself without `rename`):
    // internal lists mapped, copies joined to their smallest-index copy.
    Graph assemble(const std::vector<std::uint32_t>& start, const Buffer<std::uint32_t>& list,
                   const std::uint32_t* rename) const {
        const std::size_t m = uniq_.size();
        auto id = [rename](std::uint32_t i) { return rename ? rename[i] : i; };
        std::vector<std::uint32_t> kept(m);  // final number of each kept point
        for (std::size_t v = 0; v < m; ++v) kept[v] = id(uniq_[v]);
        std::vector<std::uint64_t> deg(n_, 1);
        for (std::size_t v = 0; v < m; ++v) deg[kept[v]] = start[v + 1] - start[v];
        for (const auto& cp : copies_) ++deg[id(cp.rep)];
        Graph g{Buffer<std::uint32_t>(n_ + 1), Buffer<std::uint32_t>(), Buffer<std::int64_t>()};
        std::uint64_t total = 0;
        g.indptr[0] = 0;
        for (std::size_t i = 0; i < n_; ++i) {
            total += deg[i];
            if (total > 0xffffffffull) fail("the graph has too many edges for 32-bit offsets");
            g.indptr[i + 1] = static_cast<std::uint32_t>(total);
        }
        g.indices = Buffer<std::uint32_t>(total);
        // Each kept point's list is written as one run: its neighbours mapped to the
        // final numbering, then its copies (copies_ follows the order of the kept
        // points), sorted while the run is in cache. A copy's list holds only its
        // representative. In the caller's numbering the runs lie anywhere, so the run a
        // few points ahead is fetched early.
        constexpr std::size_t kAhead = 8;
        std::size_t cp = 0;
        for (std::size_t v = 0; v < m; ++v) {
            if (v + 2 * kAhead < m) __builtin_prefetch(g.indptr.data() + kept[v + 2 * kAhead]);
            if (v + kAhead < m) __builtin_prefetch(g.indices.data() + g.indptr[kept[v + kAhead]], 1);
            std::uint32_t* run = g.indices.data() + g.indptr[kept[v]];  // (no list at all: null + 0)
            std::size_t w = 0;
            for (std::size_t e = start[v]; e < start[v + 1]; ++e) run[w++] = kept[list[e]];
            for (; cp < copies_.size() && copies_[cp].rep == uniq_[v]; ++cp) {
                const std::uint32_t copy = id(copies_[cp].copy);
                run[w++] = copy;
                g.indices[g.indptr[copy]] = kept[v];
            }
            sort_distinct(run, w);
        }
        return g;
    }

    // Sorts `count` distinct values. Short lists (nearly all) are sorted without a
    // branch on the data: each value goes to its rank, the number of smaller values,
    // counted four lanes at a time (a coin-toss comparison per step would mispredict).
    static void sort_distinct(std::uint32_t* x, std::size_t count) {
        constexpr std::size_t kShort = 64;
        if (count > kShort) {
            std::sort(x, x + count);
            return;
        }
        using I4 = std::int32_t __attribute__((vector_size(16)));
        // biased by 2^31 for a signed comparison; the padding compares above everything
        alignas(16) std::int32_t key[kShort + 4];
        const std::size_t padded = (count + 3) & ~std::size_t{3};
        for (std::size_t i = 0; i < count; ++i) key[i] = static_cast<std::int32_t>(x[i] ^ 0x80000000u);
        for (std::size_t i = count; i < padded; ++i) key[i] = 0x7fffffff;
        for (std::size_t i = 0; i < count; ++i) {
            const I4 mine = I4{} + key[i];
            I4 smaller = {};
            for (std::size_t j = 0; j < padded; j += 4) {
                I4 other;
                std::memcpy(&other, key + j, sizeof other);
                smaller += other < mine;  // -1 per smaller value
            }
            x[-(smaller[0] + smaller[1] + smaller[2] + smaller[3])] = static_cast<std::uint32_t>(key[i]) ^ 0x80000000u;
        }
    }

    struct Copy {
        std::uint32_t copy, rep;
    };

    std::size_t n_;
    int dim_ = -1;
    std::vector<Vec3> pts_;             // kept points in Morton order, then the apex if any
    std::vector<std::uint32_t> rank_;   // original index of each point (n for the apex)
    std::vector<std::uint32_t> uniq_;   // original index of each kept point
    std::vector<std::uint32_t> order_;  // every original index: kept points in Morton order, copies after theirs
    std::vector<Copy> copies_;
    std::vector<std::uint32_t> chain_;  // collinear clouds: the kept points in line order
    std::uint32_t apex_ = kNoApex;
    exact::Predicates pred_;
    std::optional<Triangulation> tri_;
};

}  // namespace plov::delaunay
