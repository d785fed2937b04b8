// Incremental Delaunay tetrahedralisation (Bowyer-Watson) of distinct points.
//
// Cells live in flat arrays: four vertex ids and four neighbour links per cell, a link
// being (cell << 2 | face) with face i opposite vertex i. Every finite cell is
// positively oriented (see predicates.hpp). The hull is closed by cells that hold the
// infinite vertex `kInf`; such a cell becomes positively oriented when its infinite
// vertex is replaced by any point strictly beyond its finite face.
//
// Degenerate configurations are decided by a symbolic perturbation: point v is lifted
// to |v|^2 - eps^(rank(v) + 1), so among cospherical points the one of smallest rank
// counts as the most "inside". The result is the Delaunay triangulation of the points
// in which ties between equal distances go to the smaller rank, which is what the graph
// descent needs for its own tie rule.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../buffer.hpp"
#include "../errors.hpp"
#include "predicates.hpp"

namespace plov::delaunay {

using exact::Vec3;

inline constexpr std::uint32_t kInf = 0xffffffffu;
inline constexpr std::uint32_t kDead = 0xfffffffeu;
// The apex of a flat cloud when there is none: above every vertex id, below kInf.
inline constexpr std::uint32_t kNoApex = kDead;
inline constexpr std::uint32_t kMaxCells = std::uint32_t{1} << 30;

// One tetrahedron: vertex ids and neighbour links, in one 32-byte record.
struct alignas(32) Cell {
    std::uint32_t v[4];
    std::uint32_t n[4];
};

class Triangulation {
public:
    // `pts` and `rank` (of `count` points) must outlive the triangulation; ranks are
    // distinct.
    Triangulation(const Vec3* pts, const std::uint32_t* rank, std::size_t count) : pts_(pts), rank_(rank) {
        std::size_t want = 7 * count + 64;
        if (want > kMaxCells) want = kMaxCells;
        cells_.reserve(want);
        mark_.reserve(want);
    }

    // Declares point `apex` the only point off the plane of all others (a flat cloud
    // lifted by one point), which spares the exact arithmetic of many orientations.
    void set_apex(std::uint32_t apex) noexcept { apex_ = apex; }

    // Starts with the tetrahedron of four affinely independent points.
    void init(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
        if (pred_.orient3d(pts_[a], pts_[b], pts_[c], pts_[d]) < 0) std::swap(c, d);
        std::uint32_t t[4] = {a, b, c, d};
        std::uint32_t cells[5];
        cells[0] = alloc();
        for (int k = 0; k < 4; ++k) cells_[cells[0]].v[k] = t[k];
        for (int i = 0; i < 4; ++i) {
            std::uint32_t c_inf = cells[i + 1] = alloc();
            std::uint32_t* v = cells_[c_inf].v;
            for (int k = 0; k < 4; ++k) v[k] = t[k];
            v[i] = kInf;
            // replacing vertex i by a point beyond face i flips the orientation
            int p = (i + 1) & 3, q = (i + 2) & 3;
            std::swap(v[p], v[q]);
        }
        // link equal faces
        for (int x = 0; x < 5; ++x)
            for (int fx = 0; fx < 4; ++fx)
                for (int y = x + 1; y < 5; ++y)
                    for (int fy = 0; fy < 4; ++fy)
                        if (same_face(cells[x], fx, cells[y], fy)) {
                            cells_[cells[x]].n[fx] = cells[y] << 2 | fy;
                            cells_[cells[y]].n[fy] = cells[x] << 2 | fx;
                        }
        last_ = cells[0];
    }

    // Inserts point `p`, which must differ from every point inserted so far.
    void insert(std::uint32_t p) {
        std::uint32_t start = locate(p);
        constexpr std::uint8_t in = 1, out = 2;
        cavity_.clear();
        tested_.clear();
        boundary_.clear();
        stack_.clear();
        stack_.push_back(std::uint64_t{start} << 3 | 4);  // no face leads back
        mark_[start] = in;
        // Which neighbours are in the cavity, outside it or still to be tested, and the
        // outcome of a test, are coin tosses; no branch depends on them but the one
        // loop over the cells to test. A cell is written to every list it might go to,
        // and a list it does not go to takes it back by not advancing. The face a cell
        // was reached through leads into the cavity, which needs no look.
        while (!stack_.empty()) {
            const std::uint64_t top = stack_.back();
            stack_.pop_back();
            const std::uint32_t c = static_cast<std::uint32_t>(top >> 3), back = top & 7;
            cavity_.push_back(c);
            const Cell& cell = cells_[c];
            for (std::uint32_t i = 0; i < 4; ++i) __builtin_prefetch(&cells_[cell.n[i] >> 2]);
            std::size_t s = stack_.size(), b = boundary_.size(), t = tested_.size();
            stack_.resize_uninit(s + 4);
            boundary_.resize_uninit(b + 4);
            tested_.resize_uninit(t + 4);
            std::uint32_t todo[4], count = 0;
#pragma GCC unroll 4
            for (std::uint32_t i = 0; i < 4; ++i) {
                const std::uint8_t m = mark_[cell.n[i] >> 2] | static_cast<std::uint8_t>(i == back);
                boundary_[b] = c << 2 | i;  // tested before, outside
                b += m == out;
                todo[count] = i;
                count += m == 0;
            }
            for (std::uint32_t k = 0; k < count; ++k) {
                const std::uint32_t i = todo[k], n = cell.n[i] >> 2;
                const bool hit = conflicts(n, p);
                mark_[n] = hit ? in : out;
                tested_[t] = n;
                t += !hit;
                stack_[s] = std::uint64_t{n} << 3 | (cell.n[i] & 3);
                s += hit;
                boundary_[b] = c << 2 | i;
                b += !hit;
            }
            stack_.resize_uninit(s);
            boundary_.resize_uninit(b);
            tested_.resize_uninit(t);
        }
        fill_cavity(p);
    }

    std::size_t cell_slots() const noexcept { return cells_.size(); }
    // Vertex ids of cell `c` (kDead in the first slot for a freed cell).
    const std::uint32_t* cell(std::size_t c) const noexcept { return cells_[c].v; }
    // Cell across face k of cell `c`.
    std::uint32_t neighbour(std::size_t c, int k) const noexcept { return cells_[c].n[k] >> 2; }

private:
    static bool contains(const std::uint32_t* v, std::uint32_t x) noexcept {
        return v[0] == x || v[1] == x || v[2] == x || v[3] == x;
    }

    bool same_face(std::uint32_t c1, int f1, std::uint32_t c2, int f2) const noexcept {
        const std::uint32_t* a = cells_[c1].v;
        const std::uint32_t* b = cells_[c2].v;
        for (int k = 0; k < 4; ++k)
            if (k != f1 && !(contains(b, a[k]) && b[f2] != a[k])) return false;
        return true;
    }

    std::uint32_t alloc() {
        if (!free_.empty()) {
            std::uint32_t c = free_.back();
            free_.pop_back();
            return c;
        }
        std::size_t c = cells_.size();
        if (c >= kMaxCells) fail("too many points for one triangulation");
        cells_.push_back(Cell{});
        mark_.push_back(0);
        return static_cast<std::uint32_t>(c);
    }

    int inf_slot(std::uint32_t c) const noexcept {
        const std::uint32_t* v = cells_[c].v;
        for (int k = 0; k < 4; ++k)
            if (v[k] == kInf) return k;
        return -1;
    }

    // Orientation of cell `c` with its vertex in slot `i` replaced by point `p`.
    int orient_with(std::uint32_t c, int i, std::uint32_t p) {
        // a flat cloud: the three vertices besides the apex lie on the plane, and so does p
        if (cells_[c].v[i] == apex_) return 0;
        std::uint32_t v[4] = {cells_[c].v[0], cells_[c].v[1], cells_[c].v[2], cells_[c].v[3]};
        v[i] = p;  // a store, not a branch per slot
        return pred_.orient3d(pts_[v[0]], pts_[v[1]], pts_[v[2]], pts_[v[3]]);
    }

    // Whether `p` lies inside the (perturbed) circumsphere of cell `c`.
    bool conflicts(std::uint32_t c, std::uint32_t p) {
        int j = inf_slot(c);
        if (j >= 0) {
            // (a hull face on the plane of a flat cloud holds p's plane too)
            int s = apex_ == kNoApex || contains(cells_[c].v, apex_) ? orient_with(c, j, p) : 0;
            if (s != 0) return s > 0;
            // on the plane of the hull face: the circle of that face decides, which is
            // the sphere of the finite cell behind it
            return conflicts_finite(cells_[c].n[j] >> 2, p);
        }
        return conflicts_finite(c, p);
    }

    bool conflicts_finite(std::uint32_t c, std::uint32_t p) {
        const std::uint32_t* v = cells_[c].v;
        int s = pred_.insphere(pts_[v[0]], pts_[v[1]], pts_[v[2]], pts_[v[3]], pts_[p]);
        if (s != 0) [[likely]]
            return s > 0;
        return conflicts_cospherical(c, p);
    }

    [[gnu::noinline]] bool conflicts_cospherical(std::uint32_t c, std::uint32_t p) {
        const std::uint32_t* v = cells_[c].v;
        // Cospherical: the perturbation term of smallest rank with a non-zero
        // coefficient decides. p's own coefficient is never zero (the cell is not flat)
        // and puts p inside; a vertex's coefficient is p's barycentric coordinate for it.
        int slot[4] = {0, 1, 2, 3};
        std::sort(slot, slot + 4, [&](int x, int y) { return rank_[v[x]] < rank_[v[y]]; });
        for (int k = 0; k < 4; ++k) {
            if (rank_[p] < rank_[v[slot[k]]]) return true;
            int o = orient_with(c, slot[k], p);
            if (o != 0) return o < 0;
        }
        return true;
    }

    std::uint32_t next_random() noexcept {
        rng_ ^= rng_ << 13;
        rng_ ^= rng_ >> 17;
        rng_ ^= rng_ << 5;
        return rng_;
    }

    // A cell in conflict with `p`: the finite cell whose closure holds p, or an
    // infinite cell whose finite face p lies strictly beyond. Visibility walk from the
    // last cell made, trying the faces from a random one on.
    std::uint32_t locate(std::uint32_t p) {
        std::uint32_t c = last_;
        int j = inf_slot(c);
        if (j >= 0) c = cells_[c].n[j] >> 2;
        std::uint32_t prev = kInf;
        for (std::size_t steps = 0;; ++steps) {
            if (steps > 64 + 16 * cells_.size()) fail("point location did not terminate");
            std::uint32_t r = next_random();
            bool moved = false;
            for (std::uint32_t k = 0; k < 4; ++k) {
                int i = static_cast<int>((r + k) & 3);
                std::uint32_t n = cells_[c].n[i] >> 2;
                if (n == prev) continue;
                if (orient_with(c, i, p) < 0) {
                    prev = c;
                    c = n;
                    moved = true;
                    break;
                }
            }
            if (!moved || inf_slot(c) >= 0) return c;
        }
    }

    static constexpr std::uint64_t kLinked = ~std::uint64_t{0};  // the key of no edge

    struct Slot {
        std::uint64_t key;  // an edge: (smaller id << 32 | larger id)
        std::uint32_t link;
        std::uint32_t stamp;
    };

    // Whether `slot` is taken by another key. Computed without a branch per test:
    // whether the slot is this key's is a coin toss (the first or the second face of
    // an edge), and a mispredicted branch costs more than the arithmetic.
    bool probe_on(const Slot& slot, std::uint64_t key) const noexcept {
        const std::uint64_t diff = slot.key ^ key;
        const std::uint64_t other = (diff | (0 - diff)) >> 63;  // diff != 0
        return (other & static_cast<std::uint64_t>(slot.stamp == tstamp_)) != 0;
    }

    // Replaces the cavity by the cells joining `p` to its boundary faces.
    void fill_cavity(std::uint32_t p) {
        std::size_t faces = boundary_.size();
        std::size_t want = 64;
        while (want < 16 * faces) want *= 2;
        if (table_.size() < want) {
            table_.assign(want, Slot{0, 0, 0});
            tstamp_ = 0;
        }
        if (++tstamp_ == 0) {
            for (Slot& s : table_) s.stamp = 0;
            tstamp_ = 1;
        }
        const std::size_t mask = table_.size() - 1;
        // In a new cell whose slot i holds p, the faces holding p are kFaces[i][j][0]
        // (j = 0, 1, 2), each made of p and the edge between slots kFaces[i][j][1] and
        // kFaces[i][j][2]. The new cell across such a face holds the same edge, so the
        // first of the two to be made enters its face under the edge, and the second
        // finds it there and links both. No branch depends on which comes first: they
        // mispredict half the time.
        static constexpr std::uint8_t kFaces[4][3][3] = {
            {{1, 3, 2}, {2, 1, 3}, {3, 2, 1}},
            {{0, 2, 3}, {2, 3, 0}, {3, 0, 2}},
            {{0, 3, 1}, {1, 0, 3}, {3, 1, 0}},
            {{0, 1, 2}, {1, 2, 0}, {2, 0, 1}},
        };
        auto hash = [mask](std::uint64_t key) {
            return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 40) & mask;
        };
        std::ptrdiff_t open = 0;  // faces entered and not yet linked
        for (std::uint32_t b : boundary_) {
            std::uint32_t c = b >> 2, i = b & 3;
            std::uint32_t nc = alloc();
            Cell& cell = cells_[nc];
            cell = cells_[c];
            cell.v[i] = p;
            std::uint32_t outer = cell.n[i];
            cells_[outer >> 2].n[outer & 3] = nc << 2 | i;
            last_ = nc;
#pragma GCC unroll 3
            for (const auto& face : kFaces[i]) {
                const std::uint32_t k = face[0], x = cell.v[face[1]], y = cell.v[face[2]];
                const std::uint32_t swap = (x ^ y) & (0u - (x > y));  // ends in order
                const std::uint64_t key = std::uint64_t{x ^ swap} << 32 | (y ^ swap);
                std::size_t h = hash(key);
                // probe to the slot of this key or to a free one; a slot is taken when
                // it carries the current stamp
                while (probe_on(table_[h], key)) h = (h + 1) & mask;
                Slot& slot = table_[h];
                const std::uint32_t found = 0u - static_cast<std::uint32_t>(slot.stamp == tstamp_);  // all ones or 0
                const std::uint32_t here = nc << 2 | k, other = slot.link;
                // found: link both ways; else enter this face, with a placeholder link
                // that its partner overwrites
                cell.n[k] = other;
                const std::uint32_t to = (other & found) | (here & ~found);
                cells_[to >> 2].n[to & 3] = here;
                const std::uint64_t wide = std::uint64_t{0} - (found & 1u);
                slot = Slot{(kLinked & wide) | (key & ~wide), here, tstamp_};  // kLinked keeps probe chains intact
                open += 1 - 2 * static_cast<std::ptrdiff_t>(found & 1u);
            }
        }
        if (open != 0) fail("the triangulation became inconsistent");
        for (std::uint32_t c : cavity_) {
            cells_[c].v[0] = kDead;
            mark_[c] = 0;
            free_.push_back(c);
        }
        for (std::uint32_t c : tested_) mark_[c] = 0;
    }

    const Vec3* pts_;
    const std::uint32_t* rank_;
    exact::Predicates pred_;
    Vec<Cell, 32> cells_;     // large buffers of the kernel ask for huge pages: fewer TLB misses
    Vec<std::uint8_t> mark_;  // 1: in the cavity, 2: tested and outside it
    std::vector<std::uint32_t> free_;
    std::vector<std::uint32_t> cavity_;
    Vec<std::uint32_t> boundary_, tested_;
    Vec<std::uint64_t> stack_;  // cell << 3 | the face leading back to where it was reached from
    std::vector<Slot> table_;
    std::uint32_t tstamp_ = 0, last_ = 0, rng_ = 2463534242u;
    std::uint32_t apex_ = kNoApex;
};

}  // namespace plov::delaunay
