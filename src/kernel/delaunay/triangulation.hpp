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
//
// Since that triangulation is unique, the order of insertion changes its cost but not
// its cells, and points may be inserted by several threads at once
// (`insert_parallel`). In each round space is cut into ranges, one per thread, and a
// thread owns the cells whose points (the infinite vertex and the apex aside) all lie in
// its range. A thread walks, tests and replaces only cells it owns, and tests the cells
// at the edge of its range, which nobody owns, without changing them (but for their
// links to its own cells). An insertion that would need another cell is dropped before
// it changed anything and tried again in the next round, with the ranges cut elsewhere.
// Ownership is a function of the points alone, so what a thread reads is what it wrote
// itself or what does not change during a round: a round's outcome does not depend on
// the threads' timing.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "../buffer.hpp"
#include "../errors.hpp"
#include "../parallel.hpp"
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
    // Asked between insertions, on the calling thread only; throws to stop the work.
    using Ask = std::function<void()>;

    // `pts` and `rank` (of `count` points) must outlive the triangulation; ranks are
    // distinct.
    Triangulation(const Vec3* pts, const std::uint32_t* rank, std::size_t count) : pts_(pts), rank_(rank) {
        std::size_t want = 7 * count + 64;
        if (want > kMaxCells) want = kMaxCells;
        cells_.reserve(want);
        mark_.reserve(want);
        serial_.mark = mark_.data();
        finite_ = count;
    }

    // Declares point `apex` the only point off the plane of all others (a flat cloud
    // lifted by one point), which spares the exact arithmetic of many orientations.
    void set_apex(std::uint32_t apex) noexcept {
        apex_ = apex;
        if (apex < finite_) finite_ = apex;  // the apex is the last point
    }

    // Starts with the tetrahedron of four affinely independent points.
    void init(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
        Worker& w = serial_;
        if (w.pred.orient3d(pts_[a], pts_[b], pts_[c], pts_[d]) < 0) std::swap(c, d);
        std::uint32_t t[4] = {a, b, c, d};
        std::uint32_t cells[5];
        cells[0] = alloc<false>(w);
        for (int k = 0; k < 4; ++k) cells_[cells[0]].v[k] = t[k];
        for (int i = 0; i < 4; ++i) {
            std::uint32_t c_inf = cells[i + 1] = alloc<false>(w);
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
        w.last = cells[0];
        init_[0] = a;
        init_[1] = b;
        init_[2] = c;
        init_[3] = d;
    }

    // Inserts point `p`, which must differ from every point inserted so far.
    void insert(std::uint32_t p) { insert<false, false>(serial_, p); }

    // Inserts the points of `order` (distinct, none inserted yet), on up to `threads`
    // threads: the first few alone, the rest in rounds of ranges, what is left at the
    // end alone again. `ask` is called every `every` insertions of the calling thread.
    void insert_parallel(const std::vector<std::uint32_t>& order, std::size_t threads, const Ask& ask,
                         std::size_t every);

    std::size_t cell_slots() const noexcept { return cells_.size(); }
    // Vertex ids of cell `c` (kDead in the first slot for a freed cell).
    const std::uint32_t* cell(std::size_t c) const noexcept { return cells_[c].v; }
    // Cell across face k of cell `c`.
    std::uint32_t neighbour(std::size_t c, int k) const noexcept { return cells_[c].n[k] >> 2; }

    // What the last parallel insertion did: its rounds and the insertions each round
    // tried and put off.
    struct Round {
        std::size_t tried, put_off;
    };
    const std::vector<Round>& rounds() const noexcept { return rounds_; }

private:
    static constexpr std::uint8_t kMixed = 0xff;  // owner of a cell of several ranges
    static constexpr std::uint32_t kNoCell = 0xffffffffu;

    struct Slot {
        std::uint64_t key;  // an edge: (smaller id << 32 | larger id)
        std::uint32_t link;
        std::uint32_t stamp;
    };

    // What one inserting thread keeps: scratch lists, its hash table, its free cells
    // and, in a parallel round, its range and its block of fresh cells.
    struct alignas(64) Worker {
        exact::Predicates pred;
        std::vector<std::uint32_t> free;
        std::vector<std::uint32_t> cavity;
        Vec<std::uint32_t> boundary, tested;
        Vec<std::uint64_t> stack;  // cell << 3 | the face leading back to where it was reached from
        std::vector<Slot> table;
        std::uint32_t tstamp = 0, last = 0, rng = 2463534242u;
        std::uint8_t* mark = nullptr;   // per cell: 1 in the cavity, 2 tested and outside it
        Buffer<std::uint8_t> own_mark;  // a parallel worker's: every worker marks in memory of its own
        std::uint8_t id = 0;
        std::size_t next = 0, end = 0;  // fresh cells [next, end)
        bool warm = false;              // `last` lies near the next point
        bool made = false;              // `last` is a cell this worker made in this round
        std::uint32_t prev = 0;         // the point inserted last
        std::vector<std::uint32_t> put_off;
    };

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

    template <bool kPar>
    std::uint32_t alloc(Worker& w) {
        if (!w.free.empty()) {
            std::uint32_t c = w.free.back();
            w.free.pop_back();
            return c;
        }
        if constexpr (kPar) {
            // a block holds as many cells as every insertion checks it needs first
            const auto c = static_cast<std::uint32_t>(w.next++);
            owner_[c] = w.id;
            return c;
        } else {
            std::size_t c = cells_.size();
            if (c >= kMaxCells) fail("too many points for one triangulation");
            cells_.push_back(Cell{});
            mark_.push_back(0);
            w.mark = mark_.data();
            return static_cast<std::uint32_t>(c);
        }
    }

    int inf_slot(std::uint32_t c) const noexcept {
        const std::uint32_t* v = cells_[c].v;
        for (int k = 0; k < 4; ++k)
            if (v[k] == kInf) return k;
        return -1;
    }

    // Orientation of cell `c` with its vertex in slot `i` replaced by point `p`.
    int orient_with(Worker& w, std::uint32_t c, int i, std::uint32_t p) {
        // a flat cloud: the three vertices besides the apex lie on the plane, and so does p
        if (cells_[c].v[i] == apex_) return 0;
        std::uint32_t v[4] = {cells_[c].v[0], cells_[c].v[1], cells_[c].v[2], cells_[c].v[3]};
        v[i] = p;  // a store, not a branch per slot
        return w.pred.orient3d(pts_[v[0]], pts_[v[1]], pts_[v[2]], pts_[v[3]]);
    }

    // Whether `p` lies inside the (perturbed) circumsphere of cell `c`.
    [[gnu::always_inline]] bool conflicts(Worker& w, std::uint32_t c, std::uint32_t p) {
        int j = inf_slot(c);
        if (j >= 0) {
            // (a hull face on the plane of a flat cloud holds p's plane too)
            int s = apex_ == kNoApex || contains(cells_[c].v, apex_) ? orient_with(w, c, j, p) : 0;
            if (s != 0) return s > 0;
            // on the plane of the hull face: the circle of that face decides, which is
            // the sphere of the finite cell behind it
            return conflicts_finite(w, cells_[c].n[j] >> 2, p);
        }
        return conflicts_finite(w, c, p);
    }

    [[gnu::always_inline]] bool conflicts_finite(Worker& w, std::uint32_t c, std::uint32_t p) {
        const std::uint32_t* v = cells_[c].v;
        int s = w.pred.insphere(pts_[v[0]], pts_[v[1]], pts_[v[2]], pts_[v[3]], pts_[p]);
        if (s != 0) [[likely]]
            return s > 0;
        return conflicts_cospherical(w, c, p);
    }

    [[gnu::noinline]] bool conflicts_cospherical(Worker& w, std::uint32_t c, std::uint32_t p) {
        const std::uint32_t* v = cells_[c].v;
        // Cospherical: the perturbation term of smallest rank with a non-zero
        // coefficient decides. p's own coefficient is never zero (the cell is not flat)
        // and puts p inside; a vertex's coefficient is p's barycentric coordinate for it.
        int slot[4] = {0, 1, 2, 3};
        std::sort(slot, slot + 4, [&](int x, int y) { return rank_[v[x]] < rank_[v[y]]; });
        for (int k = 0; k < 4; ++k) {
            if (rank_[p] < rank_[v[slot[k]]]) return true;
            int o = orient_with(w, c, slot[k], p);
            if (o != 0) return o < 0;
        }
        return true;
    }

    static std::uint32_t next_random(Worker& w) noexcept {
        w.rng ^= w.rng << 13;
        w.rng ^= w.rng >> 17;
        w.rng ^= w.rng << 5;
        return w.rng;
    }

    // Whether worker `w` may read and change cell `c` in this round: from a table, for
    // any slot (`mine`), or from the cell's points, for a cell next to one of the
    // worker's own, which does not change while the worker reads it (`owns`: the
    // points are at hand, and the table is not).
    bool mine(const Worker& w, std::uint32_t c) const noexcept { return owner_[c] == w.id; }
    bool owns(const Worker& w, std::uint32_t c) const noexcept {
        bool all = true;
        for (std::uint32_t x : cells_[c].v) all &= x >= finite_ || range_[x] == w.id;
        return all;
    }

    // A cell in conflict with `p`: the finite cell whose closure holds p, or an
    // infinite cell whose finite face p lies strictly beyond. Visibility walk from
    // `start`, trying the faces from a random one on. In a parallel round the walk
    // gives up (kNoCell) where it would enter a cell the worker does not own.
    template <bool kPar>
    std::uint32_t locate(Worker& w, std::uint32_t start, std::uint32_t p) {
        std::uint32_t c = start;
        int j = inf_slot(c);
        if (j >= 0) c = cells_[c].n[j] >> 2;
        if constexpr (kPar)
            if (!owns(w, c)) return kNoCell;
        std::uint32_t prev = kInf;
        for (std::size_t steps = 0;; ++steps) {
            if (steps > 64 + 16 * cells_.size()) fail("point location did not terminate");
            std::uint32_t r = next_random(w);
            bool moved = false;
            for (std::uint32_t k = 0; k < 4; ++k) {
                int i = static_cast<int>((r + k) & 3);
                std::uint32_t n = cells_[c].n[i] >> 2;
                if (n == prev) continue;
                if (orient_with(w, c, i, p) < 0) {
                    if constexpr (kPar)
                        if (!owns(w, n)) return kNoCell;
                    prev = c;
                    c = n;
                    moved = true;
                    break;
                }
            }
            if (!moved || inf_slot(c) >= 0) return c;
        }
    }

    // Where a parallel worker may start the walk to `p`, best first, into `out` (at most
    // kStarts): the cell made last when it lies near; cells of points of its range
    // inserted before with ids close to p's (ids follow the curve, which jumps now and
    // then: the nearest points in space first); the cell it made last, however far. A
    // point's home is the first cell made with it, which may have gone since (then its
    // slot holds another cell, or none).
    static constexpr std::size_t kStarts = 4;
    std::size_t starts_of(const Worker& w, std::uint32_t p, std::uint32_t* out) const noexcept {
        constexpr std::uint32_t kLook = 256, kNear = 8;
        if (w.warm && p > w.prev && p - w.prev <= kNear) {
            out[0] = w.last;
            return 1;
        }
        std::pair<double, std::uint32_t> found[kStarts - 1];
        std::size_t count = 0;
        for (std::uint32_t d = 1; d <= kLook && count < kStarts - 1; ++d) {
            for (std::uint32_t q : {p - d, p + d}) {
                if (q >= finite_ || range_[q] != w.id || count == kStarts - 1) continue;  // (p - d wraps below 0)
                const std::uint32_t c = home_[q];
                if (c != kNoCell && mine(w, c) && cells_[c].v[0] != kDead && contains(cells_[c].v, q)) {
                    const double dx = pts_[q].x - pts_[p].x, dy = pts_[q].y - pts_[p].y, dz = pts_[q].z - pts_[p].z;
                    found[count++] = {dx * dx + dy * dy + dz * dz, c};
                }
            }
        }
        std::sort(found, found + count);
        for (std::size_t k = 0; k < count; ++k) out[k] = found[k].second;
        if (w.made && cells_[w.last].v[0] != kDead) out[count++] = w.last;
        return count;
    }

    // Inserts point `p`. A parallel worker returns false, having changed nothing, when
    // the insertion needs a cell it does not own or more fresh cells than it has left.
    // With `kTrack`, p records the first cell made with it as its home (`home_`).
    template <bool kPar, bool kTrack>
    bool insert(Worker& w, std::uint32_t p) {
        std::uint32_t start;
        if constexpr (kPar) {
            std::uint32_t from[kStarts];
            std::size_t count = starts_of(w, p, from);
            start = kNoCell;
            for (std::size_t k = 0; k < count && start == kNoCell; ++k) start = locate<true>(w, from[k], p);
            if (start == kNoCell && w.warm) {  // the cell made last was not near after all
                w.warm = false;
                count = starts_of(w, p, from);
                for (std::size_t k = 0; k < count && start == kNoCell; ++k) start = locate<true>(w, from[k], p);
            }
            if (start == kNoCell) return false;
        } else {
            start = locate<false>(w, w.last, p);
        }
        constexpr std::uint8_t in = 1, out = 2;
        w.cavity.clear();
        w.tested.clear();
        w.boundary.clear();
        w.stack.clear();
        w.stack.push_back(std::uint64_t{start} << 3 | 4);  // no face leads back
        w.mark[start] = in;
        // Which neighbours are in the cavity, outside it or still to be tested, and the
        // outcome of a test, are coin tosses; no branch depends on them but the one
        // loop over the cells to test. A cell is written to every list it might go to,
        // and a list it does not go to takes it back by not advancing. The face a cell
        // was reached through leads into the cavity, which needs no look.
        while (!w.stack.empty()) {
            const std::uint64_t top = w.stack.back();
            w.stack.pop_back();
            const std::uint32_t c = static_cast<std::uint32_t>(top >> 3), back = top & 7;
            w.cavity.push_back(c);
            const Cell& cell = cells_[c];
            for (std::uint32_t i = 0; i < 4; ++i) __builtin_prefetch(&cells_[cell.n[i] >> 2]);
            std::size_t s = w.stack.size(), b = w.boundary.size(), t = w.tested.size();
            w.stack.resize_uninit(s + 4);
            w.boundary.resize_uninit(b + 4);
            w.tested.resize_uninit(t + 4);
            std::uint32_t todo[4], count = 0;
#pragma GCC unroll 4
            for (std::uint32_t i = 0; i < 4; ++i) {
                const std::uint8_t m = w.mark[cell.n[i] >> 2] | static_cast<std::uint8_t>(i == back);
                w.boundary[b] = c << 2 | i;  // tested before, outside
                b += m == out;
                todo[count] = i;
                count += m == 0;
            }
            for (std::uint32_t k = 0; k < count; ++k) {
                const std::uint32_t i = todo[k], n = cell.n[i] >> 2;
                const bool hit = conflicts(w, n, p);
                if constexpr (kPar) {
                    // a cell of the range's edge is tested, never marked: it may only
                    // stay outside
                    if (!owns(w, n)) {
                        if (hit) {
                            w.stack.resize_uninit(s);
                            w.tested.resize_uninit(t);
                            return give_up(w);
                        }
                        w.boundary[b++] = c << 2 | i;
                        continue;
                    }
                }
                w.mark[n] = hit ? in : out;
                w.tested[t] = n;
                t += !hit;
                w.stack[s] = std::uint64_t{n} << 3 | (cell.n[i] & 3);
                s += hit;
                w.boundary[b] = c << 2 | i;
                b += !hit;
            }
            w.stack.resize_uninit(s);
            w.boundary.resize_uninit(b);
            w.tested.resize_uninit(t);
        }
        if constexpr (kPar)
            if (w.free.size() + (w.end - w.next) < w.boundary.size()) {
                return give_up(w);  // out of fresh cells
            }
        fill_cavity<kPar, kTrack>(w, p);
        return true;
    }

    // Forgets an insertion that changed nothing but marks.
    bool give_up(Worker& w) {
        for (std::uint32_t c : w.cavity) w.mark[c] = 0;
        for (std::uint64_t e : w.stack) w.mark[e >> 3] = 0;
        for (std::uint32_t c : w.tested) w.mark[c] = 0;
        w.warm = false;
        return false;
    }

    static constexpr std::uint64_t kLinked = ~std::uint64_t{0};  // the key of no edge

    // Whether `slot` is taken by another key. Computed without a branch per test:
    // whether the slot is this key's is a coin toss (the first or the second face of
    // an edge), and a mispredicted branch costs more than the arithmetic.
    static bool probe_on(const Slot& slot, std::uint64_t key, std::uint32_t stamp) noexcept {
        const std::uint64_t diff = slot.key ^ key;
        const std::uint64_t other = (diff | (0 - diff)) >> 63;  // diff != 0
        return (other & static_cast<std::uint64_t>(slot.stamp == stamp)) != 0;
    }

    // Replaces the cavity by the cells joining `p` to its boundary faces.
    template <bool kPar, bool kTrack>
    void fill_cavity(Worker& w, std::uint32_t p) {
        std::size_t faces = w.boundary.size();
        std::size_t want = 64;
        while (want < 16 * faces) want *= 2;
        if (w.table.size() < want) {
            w.table.assign(want, Slot{0, 0, 0});
            w.tstamp = 0;
        }
        if (++w.tstamp == 0) {
            for (Slot& s : w.table) s.stamp = 0;
            w.tstamp = 1;
        }
        const std::uint32_t tstamp = w.tstamp;
        const std::size_t mask = w.table.size() - 1;
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
        for (std::uint32_t b : w.boundary) {
            std::uint32_t c = b >> 2, i = b & 3;
            std::uint32_t nc = alloc<kPar>(w);
            Cell& cell = cells_[nc];
            cell = cells_[c];
            cell.v[i] = p;
            std::uint32_t outer = cell.n[i];
            cells_[outer >> 2].n[outer & 3] = nc << 2 | i;
            w.last = nc;
#pragma GCC unroll 3
            for (const auto& face : kFaces[i]) {
                const std::uint32_t k = face[0], x = cell.v[face[1]], y = cell.v[face[2]];
                const std::uint32_t swap = (x ^ y) & (0u - (x > y));  // ends in order
                const std::uint64_t key = std::uint64_t{x ^ swap} << 32 | (y ^ swap);
                std::size_t h = hash(key);
                // probe to the slot of this key or to a free one; a slot is taken when
                // it carries the current stamp
                while (probe_on(w.table[h], key, tstamp)) h = (h + 1) & mask;
                Slot& slot = w.table[h];
                const std::uint32_t found = 0u - static_cast<std::uint32_t>(slot.stamp == tstamp);  // all ones or 0
                const std::uint32_t here = nc << 2 | k, other = slot.link;
                // found: link both ways; else enter this face, with a placeholder link
                // that its partner overwrites
                cell.n[k] = other;
                const std::uint32_t to = (other & found) | (here & ~found);
                cells_[to >> 2].n[to & 3] = here;
                const std::uint64_t wide = std::uint64_t{0} - (found & 1u);
                slot = Slot{(kLinked & wide) | (key & ~wide), here, tstamp};  // kLinked keeps probe chains intact
                open += 1 - 2 * static_cast<std::ptrdiff_t>(found & 1u);
            }
        }
        if (open != 0) fail("the triangulation became inconsistent");
        if constexpr (kTrack) home_[p] = w.last;
        for (std::uint32_t c : w.cavity) {
            cells_[c].v[0] = kDead;
            w.mark[c] = 0;
            w.free.push_back(c);
        }
        for (std::uint32_t c : w.tested) w.mark[c] = 0;
        if constexpr (kPar) {
            w.warm = w.made = true;
            w.prev = p;
        }
    }

    // One parallel round: the points of `pending` (in the order given) go to the
    // worker of their range; what a worker puts off is returned, in the same order.
    std::vector<std::uint32_t> round(const std::vector<std::uint32_t>& pending, std::size_t threads, std::size_t r,
                                     bool fresh, const Ask& ask, std::size_t every);

    const Vec3* pts_;
    const std::uint32_t* rank_;
    Vec<Cell, 32> cells_;     // large buffers of the kernel ask for huge pages: fewer TLB misses
    Vec<std::uint8_t> mark_;  // the calling thread's marks
    Worker serial_;           // the calling thread's; its free cells are every free cell between rounds
    std::uint32_t apex_ = kNoApex;
    std::uint32_t finite_ = 0;  // points below this id are the cloud's (the apex is not)
    std::uint32_t init_[4] = {0, 0, 0, 0};
    // parallel rounds
    Vec<std::uint8_t> owner_;          // per cell: the range owning it, or kMixed
    std::vector<std::uint8_t> range_;  // per point: its range in this round
    std::vector<std::uint32_t> home_;  // per point: the first cell made with it, or kNoCell
    std::vector<Round> rounds_;
    std::vector<Worker> par_;
};

inline void Triangulation::insert_parallel(const std::vector<std::uint32_t>& order, std::size_t threads, const Ask& ask,
                                           std::size_t every) {
    rounds_.clear();
    threads = std::min<std::size_t>(threads, kMixed - 1);
    // alone: the first points, while the cells are too few to share
    const std::size_t alone =
        std::min(order.size(), std::max<std::size_t>(4096, std::min(2048 * threads, order.size() / 32)));
    std::vector<Worker>(threads).swap(par_);
    home_.assign(finite_, kNoCell);
    for (std::size_t c = 0; c < cells_.size(); ++c)
        if (cells_[c].v[0] != kDead)
            for (std::uint32_t x : cells_[c].v)
                if (x < finite_) home_[x] = static_cast<std::uint32_t>(c);
    std::size_t done = 0;
    for (std::size_t k = 0; k < alone; ++k) {
        insert<false, true>(serial_, order[k]);
        if (++done % every == 0) ask();
    }
    // Rounds of about as many points as are in: a round that put many points into the
    // cells of a coarse mesh would find most of them in cells spanning several ranges,
    // which nobody may change until the next round. Each round retries what the one
    // before put off.
    std::vector<std::uint32_t> pending;
    std::size_t next = alone, in = alone + 4;
    constexpr std::size_t kRounds = 64;
    for (std::size_t r = 0; r < kRounds; ++r) {
        const std::size_t batch = std::min(order.size() - next, in);
        const bool fresh = batch > pending.size();  // new points, more than those put off
        pending.insert(pending.end(), order.begin() + static_cast<std::ptrdiff_t>(next),
                       order.begin() + static_cast<std::ptrdiff_t>(next + batch));
        next += batch;
        if (next == order.size() && pending.size() < std::max(1024 * threads, in / 64)) break;
        const std::size_t before = pending.size();
        pending = round(pending, threads, r, fresh, ask, every);
        in += before - pending.size();
        if (pending.size() == before && next == order.size()) break;  // no progress: the rest goes in alone
    }
    pending.insert(pending.end(), order.begin() + static_cast<std::ptrdiff_t>(next), order.end());
    // the rest, alone, from a cell that surely exists
    serial_.last = home_[init_[0] < finite_ ? init_[0] : init_[1]];
    for (std::uint32_t p : pending) {
        insert<false, false>(serial_, p);
        if (++done % every == 0) ask();
    }
    home_ = {};
    range_ = {};
    std::vector<Worker>().swap(par_);
}

inline std::vector<std::uint32_t> Triangulation::round(const std::vector<std::uint32_t>& pending, std::size_t threads,
                                                       std::size_t r, bool fresh, const Ask& ask, std::size_t every) {
    // Ranges: the cells of a k-d cut of space by planes through quantiles of the points,
    // so that each range holds about as many of them; the first plane is normal to axis
    // r mod 3, and the next ones turn. The cells that one round could not change, along
    // its planes, lie inside ranges in the next: every round moves each plane by part of
    // a range (up to half a range in a round that only retries what was put off, up to
    // 15% in others, none with two threads, where balance matters more), differently
    // each time.
    const double golden = static_cast<double>(r) * 0.6180339887498949;
    const double shift = (golden - std::floor(golden) - 0.5) * (!fresh ? 1.0 : threads > 2 ? 0.3 : 0.0);
    const std::size_t n = finite_;
    struct Cut {
        int axis;
        double at;  // points below `at` go to the lower ranges
        std::size_t mid;
    };
    std::vector<Cut> cuts(threads);  // the cut of ranges [lo, hi) is cuts[lo + (hi - lo) / 2]
    {
        // quantiles of a sample of every point: cuts that chased the pending points
        // would fall where the last round's cuts left them
        std::vector<double> coord;
        std::vector<std::uint32_t> work;
        const std::size_t stride = std::max<std::size_t>(1, n / (4096 * threads));
        for (std::size_t v = stride / 2; v < n; v += stride) work.push_back(static_cast<std::uint32_t>(v));
        auto split = [&](auto&& self, std::size_t lo, std::size_t hi, std::uint32_t* first, std::uint32_t* last,
                         int depth) -> void {
            if (hi - lo < 2) return;
            const std::size_t mid = lo + (hi - lo) / 2;
            const int axis = static_cast<int>((r + static_cast<std::size_t>(depth)) % 3);
            const auto count = static_cast<std::size_t>(last - first);
            const double share =
                std::clamp((static_cast<double>(mid - lo) + shift) / static_cast<double>(hi - lo), 0.0, 1.0);
            const std::size_t below = std::min(count - (count > 0), static_cast<std::size_t>(share * count));
            double at = 0.0;
            if (count) {
                coord.resize(count);
                for (std::size_t i = 0; i < count; ++i) coord[i] = (&pts_[first[i]].x)[axis];
                std::nth_element(coord.begin(), coord.begin() + static_cast<std::ptrdiff_t>(below), coord.end());
                at = coord[below];
            }
            cuts[mid] = {axis, at, mid};
            std::uint32_t* cut = std::partition(first, last, [&](std::uint32_t p) { return (&pts_[p].x)[axis] < at; });
            self(self, lo, mid, first, cut, depth + 1);
            self(self, mid, hi, cut, last, depth + 1);
        };
        split(split, 0, threads, work.data(), work.data() + work.size(), 0);
    }
    auto range_of = [&](std::uint32_t v) {
        std::size_t lo = 0, hi = threads;
        while (hi - lo > 1) {
            const Cut& c = cuts[lo + (hi - lo) / 2];
            if ((&pts_[v].x)[c.axis] < c.at)
                hi = c.mid;
            else
                lo = c.mid;
        }
        return static_cast<std::uint8_t>(lo);
    };
    range_.resize(n);

    std::vector<Worker>& workers = par_;
    std::vector<std::vector<std::uint32_t>> lists(threads);
    for (std::uint32_t p : pending) lists[range_of(p)].push_back(p);

    // Cells: the free ones shared out in proportion to the workers' points, then a
    // block of fresh ones per worker for the rest of about what its points make (a
    // point adds fewer than seven cells on average; a worker out of cells puts its
    // last points off).
    std::vector<std::uint32_t>& spare = serial_.free;
    const std::size_t used = cells_.size();
    std::size_t total = used, given = 0, listed = 0;
    for (std::size_t t = 0; t < threads; ++t) {
        Worker& w = workers[t];
        w.id = static_cast<std::uint8_t>(t);
        w.warm = w.made = false;
        w.free.clear();
        w.put_off.clear();
        listed += lists[t].size();
        const std::size_t share = spare.size() * listed / pending.size() - given;
        w.free.assign(spare.begin() + static_cast<std::ptrdiff_t>(given),
                      spare.begin() + static_cast<std::ptrdiff_t>(given + share));
        given += share;
        const std::size_t want = 7 * lists[t].size() + 256;
        w.next = std::min<std::size_t>(total, kMaxCells);
        w.end = std::min<std::size_t>(total + want - std::min(want, share), kMaxCells);
        total = w.end;
    }
    spare.clear();
    const std::size_t room = std::min<std::size_t>(total + total / 8, kMaxCells);  // copied less often
    if (total > cells_.capacity()) cells_.reserve(room);
    cells_.resize_uninit(total);
    if (total > mark_.capacity()) mark_.reserve(room);
    for (std::size_t c = mark_.size(); c < total; ++c) mark_.push_back(0);
    serial_.mark = mark_.data();
    if (total > owner_.capacity()) owner_.reserve(room);
    owner_.resize_uninit(total);
    for (Worker& w : workers) {
        for (std::uint32_t c : w.free) owner_[c] = w.id;
        if (w.own_mark.size() < total) {
            w.own_mark = Buffer<std::uint8_t>::zeros(total + total / 4);  // marks are left at 0
            w.mark = w.own_mark.data();
        }
    }

    std::atomic<bool> stop{false};
    constexpr std::size_t kLook = 1024;  // insertions between looks at `stop`
    run_parallel(threads, stop, [&](std::size_t t) {
        for (std::size_t v = share_begin(n, threads, t); v < share_begin(n, threads, t + 1); ++v)
            range_[v] = range_of(static_cast<std::uint32_t>(v));
    });
    // who owns each cell
    run_parallel(threads, stop, [&](std::size_t t) {
        const std::size_t lo = share_begin(used, threads, t), hi = share_begin(used, threads, t + 1);
        for (std::size_t c = lo; c < hi; ++c) {
            const std::uint32_t* v = cells_[c].v;
            if (v[0] == kDead) continue;
            std::uint32_t o = kMixed;
            bool mixed = false;
            for (int k = 0; k < 4; ++k) {
                if (v[k] >= finite_) continue;  // the infinite vertex and the apex are everybody's
                const std::uint32_t x = range_[v[k]];
                mixed |= o != kMixed && o != x;
                o = x;
            }
            owner_[c] = mixed ? kMixed : static_cast<std::uint8_t>(o);
        }
    });
    // the insertions
    run_parallel(threads, stop, [&](std::size_t t) {
        Worker& w = workers[t];
        std::size_t k = 0;
        for (std::uint32_t p : lists[t]) {
            if (!insert<true, true>(w, p)) w.put_off.push_back(p);
            if (++k % kLook == 0) {
                if (t == 0 && k % every < kLook) ask();
                if (stop.load(std::memory_order_relaxed)) return;
            }
        }
        for (std::size_t c = w.next; c < w.end; ++c) {  // fresh cells left unused
            cells_[c].v[0] = kDead;
            w.free.push_back(static_cast<std::uint32_t>(c));
        }
    });

    std::size_t off = 0;
    for (Worker& w : workers) {
        spare.insert(spare.end(), w.free.begin(), w.free.end());
        off += w.put_off.size();
        for (std::uint32_t p : w.put_off) range_[p] = kMixed;  // (range_ is rebuilt next round)
    }
    rounds_.push_back({pending.size(), off});
    std::vector<std::uint32_t> rest;
    rest.reserve(off);
    for (std::uint32_t p : pending)
        if (range_[p] == kMixed) rest.push_back(p);
    return rest;
}

}  // namespace plov::delaunay
