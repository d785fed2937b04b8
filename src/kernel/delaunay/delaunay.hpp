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
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../buffer.hpp"
#include "../errors.hpp"
#include "../morton.hpp"
#include "../packed.hpp"
#include "../parallel.hpp"
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
    // With `threads` above 1, the points are inserted on that many threads; the
    // triangulation, the graph and the tetrahedra do not depend on it.
    explicit Delaunay(const View2D<double>& points, const Poll& poll = {}, std::size_t threads = 1)
        : n_(points.rows), threads_(std::max<std::size_t>(threads, 1)) {
        if (n_ >= kInf - 1) fail("too many points for one triangulation");
        if (n_ && points.cols < 3) fail("points must have three columns");
        Buffer<double> xyz(3 * n_);
        std::vector<std::size_t> bad(threads_, n_);  // each share's first row that is not finite
        in_shares(n_, [&](std::size_t t, std::size_t lo, std::size_t hi) {
            for (std::size_t i = lo; i < hi; ++i) {
                bool finite = true;
                for (std::size_t a = 0; a < 3; ++a) finite &= std::isfinite(xyz[3 * i + a] = points.at(i, a));
                if (!finite && bad[t] == n_) bad[t] = i;
            }
        });
        const std::size_t first_bad = *std::min_element(bad.begin(), bad.end());
        if (first_bad < n_) fail("row " + std::to_string(first_bad) + " has a non-finite coordinate");
        if (n_ == 0) return;
        deduplicate(xyz.data());
        triangulate(poll);
    }

    // The graph in the caller's numbering, or, when `ordered`, in the builder's Morton
    // order (every copy of a point right after it), with that order as `perm`.
    Graph graph(const Poll& poll = {}, bool ordered = false) const {
        std::size_t m = uniq_.size();
        // neighbour lists in the internal numbering: vertex v's is list[first[v]] and
        // the deg[v] - 1 entries after it
        Lists lists;
        lists.first.assign(m + 1, 0);
        lists.deg.assign(m, 0);
        if (dim_ == 1) {
            lists.list = Buffer<std::uint32_t>(2 * m);
            std::vector<std::uint32_t> pos(m);
            for (std::size_t k = 0; k < m; ++k) pos[chain_[k]] = static_cast<std::uint32_t>(k);
            std::uint32_t w = 0;
            for (std::size_t v = 0; v < m; ++v) {
                std::size_t k = pos[v];
                lists.first[v] = w;
                if (k > 0) lists.list[w++] = chain_[k - 1];
                if (k + 1 < m) lists.list[w++] = chain_[k + 1];
                lists.deg[v] = static_cast<std::uint32_t>(w - lists.first[v]);
            }
            lists.first[m] = w;
        } else if (dim_ >= 2) {
            adjacency(lists, poll);
        }
        if (!ordered) return assemble(lists, nullptr);
        std::vector<std::uint32_t> rename(n_);
        for (std::size_t k = 0; k < n_; ++k) rename[order_[k]] = static_cast<std::uint32_t>(k);
        Graph g = assemble(lists, rename.data());
        g.perm = Buffer<std::int64_t>(n_);
        for (std::size_t k = 0; k < n_; ++k) g.perm[k] = order_[k];
        return g;
    }

    // The finite tetrahedra as rows of four original indices, positively oriented;
    // none when the points span less than three dimensions. The order depends on the
    // points alone: each row starts at its point first in the builder's (Morton)
    // order, then the one first of the other three (an even permutation of the cell);
    // the rows are grouped by their first point in that order, and each group sorted.
    Buffer<std::uint64_t> tetrahedra(std::size_t& count) const {
        count = 0;
        if (dim_ != 3) return Buffer<std::uint64_t>(0);
        const std::size_t slots = tri_->cell_slots(), m = uniq_.size();
        const std::size_t parts = shares(slots);
        // rows bucketed by their first point: per share of cells, its count per point,
        // then its offset inside each bucket
        std::vector<std::vector<std::uint32_t>> at(parts, std::vector<std::uint32_t>(m, 0));
        in_shares(slots, [&](std::size_t t, std::size_t lo, std::size_t hi) {
            for (std::size_t c = lo; c < hi; ++c) {
                const std::uint32_t* v = tri_->cell(c);
                if (finite(v)) ++at[t][std::min(std::min(v[0], v[1]), std::min(v[2], v[3]))];
            }
        });
        std::vector<std::uint64_t> first(m + 1, 0);
        for (std::size_t v = 0; v < m; ++v) {
            std::uint64_t end = first[v];
            for (std::size_t t = 0; t < parts; ++t) {
                const std::uint32_t here = at[t][v];
                at[t][v] = static_cast<std::uint32_t>(end - first[v]);
                end += here;
            }
            first[v + 1] = end;
        }
        count = first[m];
        Buffer<std::uint64_t> out(4 * count);
        in_shares(slots, [&](std::size_t t, std::size_t lo, std::size_t hi) {
            // Rows land anywhere in `out`: each is held back a few cells while its place
            // is fetched.
            constexpr std::size_t kLag = 16;
            struct Held {
                std::uint64_t* to;
                std::uint64_t row[4];
            } held[kLag];
            std::size_t made = 0;
            for (std::size_t c = lo; c < hi; ++c) {
                const std::uint32_t* v = tri_->cell(c);
                if (!finite(v)) continue;
                // the even permutations that bring slot k first
                static constexpr int kFront[4][4] = {{0, 1, 2, 3}, {1, 0, 3, 2}, {2, 3, 0, 1}, {3, 2, 1, 0}};
                int k = 0;
                for (int j = 1; j < 4; ++j) k = v[j] < v[k] ? j : k;
                std::uint32_t r[4] = {v[kFront[k][0]], v[kFront[k][1]], v[kFront[k][2]], v[kFront[k][3]]};
                // the other three turned so that their first comes second
                if (r[2] < r[1] && r[2] < r[3])
                    r[1] = std::exchange(r[2], std::exchange(r[3], r[1]));
                else if (r[3] < r[1] && r[3] < r[2])
                    r[1] = std::exchange(r[3], std::exchange(r[2], r[1]));
                Held& h = held[made++ % kLag];
                if (made > kLag) std::memcpy(h.to, h.row, sizeof h.row);
                h.to = out.data() + 4 * (first[r[0]] + at[t][r[0]]++);
                __builtin_prefetch(h.to, 1);
                for (int j = 0; j < 4; ++j) h.row[j] = uniq_[r[j]];
            }
            for (std::size_t i = made > kLag ? made - kLag : 0; i < made; ++i)
                std::memcpy(held[i % kLag].to, held[i % kLag].row, sizeof held[i % kLag].row);
        });
        at = {};
        // each bucket sorted by the rest of its rows
        in_shares(m, [&](std::size_t, std::size_t lo, std::size_t hi) {
            // (few rows to a bucket: an insertion sort, in place)
            auto before = [](const std::uint64_t* a, const std::uint64_t* b) {
                return a[1] != b[1] ? a[1] < b[1] : a[2] != b[2] ? a[2] < b[2] : a[3] < b[3];
            };
            for (std::size_t v = lo; v < hi; ++v) {
                std::uint64_t* bucket = out.data() + 4 * first[v];
                const std::size_t rows = first[v + 1] - first[v];
                for (std::size_t i = 1; i < rows; ++i) {
                    std::uint64_t row[4];
                    std::memcpy(row, bucket + 4 * i, sizeof row);
                    std::size_t j = i;
                    for (; j > 0 && before(row, bucket + 4 * (j - 1)); --j)
                        std::memcpy(bucket + 4 * j, bucket + 4 * (j - 1), sizeof row);
                    std::memcpy(bucket + 4 * j, row, sizeof row);
                }
            }
        });
        return out;
    }

    // The parallel insertion's rounds (none for a build on one thread).
    std::vector<Triangulation::Round> rounds() const {
        return tri_ ? tri_->rounds() : std::vector<Triangulation::Round>{};
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
            in_shares(3 * n_, [&](std::size_t, std::size_t lo, std::size_t hi) {
                for (std::size_t i = lo; i < hi; ++i) {
                    double x = std::ldexp(xyz[i], shift);
                    xyz[i] = std::fabs(x) < 0x1p-130 ? 0.0 : x;
                }
            });
        }
        const auto* tri = reinterpret_cast<const Triple*>(xyz);
        const morton_detail::Frame box = morton_detail::frame_of(morton_detail::bounds(tri, n_));

        // Sorted by the top 32 bits of the code in counting passes, then every run of
        // equal top bits by the whole order (few runs: points sharing a cell of about
        // 2^-10 of the box per axis).
        Buffer<std::uint64_t> code(n_), keys(n_);
        in_shares(n_, [&](std::size_t, std::size_t lo, std::size_t hi) {
            for (std::size_t i = lo; i < hi; ++i) {
                code[i] = morton_code(tri[i], box.lo, box.extent);
                keys[i] = code[i] >> 31 << 32 | i;
            }
        });
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
        if (threads_ > 1) {
            tri_->insert_parallel(
                insertion_order(c, d), threads_, [&poll] { ask(poll); }, kPollEvery);
            return;
        }
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

    struct Lists {
        std::vector<std::uint64_t> first;  // m + 1 bucket bounds
        std::vector<std::uint32_t> deg;    // distinct entries at the start of each bucket
        Buffer<std::uint32_t> list;
    };

    // How many shares `count` items are cut into: one per thread, or one when they are
    // too few to be worth a thread.
    std::size_t shares(std::size_t count) const { return count < (std::size_t{1} << 14) ? 1 : threads_; }

    // Runs `body(t, lo, hi)` on the shares of `count` items, one per thread.
    template <class F>
    void in_shares(std::size_t count, F&& body) const {
        const std::size_t parts = shares(count);
        std::atomic<bool> stop{false};
        run_parallel(parts, stop,
                     [&](std::size_t t) { body(t, share_begin(count, parts, t), share_begin(count, parts, t + 1)); });
    }

    // Neighbour lists (internal numbering, apex left out) from the cells. The cells
    // around an edge form a ring (a path on the hull, where the infinite cells are left
    // out); the edge is entered, in the buckets of both its ends, by every cell of that
    // ring whose number is below those of its two ring neighbours (the cells across the
    // two faces holding the edge). Every ring has such a cell, and few have more than
    // two, so the buckets stay small; each is then reduced to its distinct entries.
    // Every step runs in shares of the cells or of the points.
    void adjacency(Lists& out, const Poll& poll) const {
        const std::size_t m = uniq_.size();
        const std::size_t slots = tri_->cell_slots();
        const std::uint32_t apex = apex_;
        // Per cell: whether it is finite (apex cells included: the planar triangles of
        // a flat cloud), then the edges of kPairs it enters (bits 0-5). The bits are
        // computed without a branch per edge: whether a ring neighbour has a smaller
        // number is a coin toss.
        static constexpr int kPairs[6][4] = {{0, 1, 2, 3}, {0, 2, 1, 3}, {0, 3, 1, 2},
                                             {1, 2, 0, 3}, {1, 3, 0, 2}, {2, 3, 0, 1}};
        std::vector<std::uint8_t> finite(slots), own(slots);
        in_shares(slots, [&](std::size_t, std::size_t lo, std::size_t hi) {
            for (std::size_t c = lo; c < hi; ++c) {
                const std::uint32_t* v = tri_->cell(c);
                finite[c] = v[0] != kDead && v[0] != kInf && v[1] != kInf && v[2] != kInf && v[3] != kInf;
            }
        });
        in_shares(slots, [&](std::size_t, std::size_t lo, std::size_t hi) {
            for (std::size_t c = lo; c < hi; ++c) {
                if (!finite[c]) {
                    own[c] = 0;
                    continue;
                }
                const std::uint32_t* v = tri_->cell(c);
                unsigned mask = 0;
                for (int e = 0; e < 6; ++e) {
                    const auto& pr = kPairs[e];
                    const std::uint32_t x = tri_->neighbour(c, pr[2]), y = tri_->neighbour(c, pr[3]);
                    const bool below = (finite[x] & (x < c)) | (finite[y] & (y < c));
                    mask |= static_cast<unsigned>((v[pr[0]] < apex) & (v[pr[1]] < apex) & !below) << e;
                }
                own[c] = static_cast<std::uint8_t>(mask);
            }
        });
        // calls `enter(a, b)` for every edge a cell of [lo, hi) is responsible for
        auto edges = [&](std::size_t lo, std::size_t hi, auto&& enter) {
            for (std::size_t c = lo; c < hi; ++c) {
                unsigned mask = own[c];
                if (!mask) continue;
                const std::uint32_t* v = tri_->cell(c);
                do {
                    const auto& pr = kPairs[std::countr_zero(mask)];
                    enter(v[pr[0]], v[pr[1]]);
                    mask &= mask - 1;
                } while (mask);
            }
        };
        // Each share of cells counts its entries per point; a bucket holds the entries
        // of the first share, then of the second, and so on.
        const std::size_t parts = shares(slots);
        std::vector<std::vector<std::uint32_t>> count(parts, std::vector<std::uint32_t>(m, 0));
        in_shares(slots, [&](std::size_t t, std::size_t lo, std::size_t hi) {
            std::uint32_t* mine = count[t].data();
            edges(lo, hi, [mine](std::uint32_t a, std::uint32_t b) {
                ++mine[a];
                ++mine[b];
            });
        });
        std::vector<std::uint64_t>& first = out.first;
        for (std::size_t v = 0; v < m; ++v) {
            std::uint64_t at = first[v];
            for (std::size_t t = 0; t < parts; ++t) {
                const std::uint32_t here = count[t][v];
                count[t][v] = static_cast<std::uint32_t>(at - first[v]);  // the share's offset in the bucket
                at += here;
            }
            first[v + 1] = at;
        }
        ask(poll);
        Buffer<std::uint32_t> bucket(first[m]);  // every slot is written below
        in_shares(slots, [&](std::size_t t, std::size_t lo, std::size_t hi) {
            std::uint32_t* at = count[t].data();
            edges(lo, hi, [&](std::uint32_t a, std::uint32_t b) {
                bucket[first[a] + at[a]++] = b;
                bucket[first[b] + at[b]++] = a;
            });
        });
        count = {};
        // each bucket reduced to its distinct entries, at its start
        in_shares(m, [&](std::size_t, std::size_t lo, std::size_t hi) {
            std::vector<std::uint32_t> seen(m, kInf);
            for (std::size_t v = lo; v < hi; ++v) {
                std::uint64_t w = first[v];
                for (std::uint64_t e = first[v]; e < first[v + 1]; ++e) {
                    const std::uint32_t u = bucket[e];
                    bucket[w] = u;
                    w += seen[u] != v;
                    seen[u] = static_cast<std::uint32_t>(v);
                }
                out.deg[v] = static_cast<std::uint32_t>(w - first[v]);
            }
        });
        out.list = std::move(bucket);
    }

    // The graph with every point i numbered `rename[i]` (i itself without `rename`):
    // internal lists mapped, copies joined to their smallest-index copy.
    Graph assemble(const Lists& lists, const std::uint32_t* rename) const {
        const std::size_t m = uniq_.size();
        auto id = [rename](std::uint32_t i) { return rename ? rename[i] : i; };
        std::vector<std::uint32_t> kept(m);  // final number of each kept point
        for (std::size_t v = 0; v < m; ++v) kept[v] = id(uniq_[v]);
        std::vector<std::uint64_t> deg(n_, 1);
        for (std::size_t v = 0; v < m; ++v) deg[kept[v]] = lists.deg[v];
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
        // the first copy of each share of the kept points (copies_ follows their order)
        const std::size_t parts = shares(m);
        std::vector<std::size_t> first_copy(parts + 1, copies_.size());
        for (std::size_t t = 0, v = 0, cp = 0; t < parts; ++t) {
            for (const std::size_t lo = share_begin(m, parts, t); v < lo; ++v)
                while (cp < copies_.size() && copies_[cp].rep == uniq_[v]) ++cp;
            first_copy[t] = cp;
        }
        // Each kept point's list is written as one run: its neighbours mapped to the
        // final numbering, then its copies, sorted while the run is in cache. A copy's
        // list holds only its representative. In the caller's numbering the runs lie
        // anywhere, so the run a few points ahead is fetched early.
        in_shares(m, [&](std::size_t t, std::size_t lo, std::size_t hi) {
            constexpr std::size_t kAhead = 8;
            std::size_t cp = first_copy[t];
            for (std::size_t v = lo; v < hi; ++v) {
                if (v + 2 * kAhead < m) __builtin_prefetch(g.indptr.data() + kept[v + 2 * kAhead]);
                if (v + kAhead < m) __builtin_prefetch(g.indices.data() + g.indptr[kept[v + kAhead]], 1);
                std::uint32_t* run = g.indices.data() + g.indptr[kept[v]];  // (no list at all: null + 0)
                std::size_t w = 0;
                const std::uint32_t* list = lists.list.data() + lists.first[v];
                for (std::uint32_t e = 0; e < lists.deg[v]; ++e) run[w++] = kept[list[e]];
                for (; cp < copies_.size() && copies_[cp].rep == uniq_[v]; ++cp) {
                    const std::uint32_t copy = id(copies_[cp].copy);
                    run[w++] = copy;
                    g.indices[g.indptr[copy]] = kept[v];
                }
                sort_distinct(run, w);
            }
        });
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
    std::size_t threads_;
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
