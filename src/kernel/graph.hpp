// Neighbourhood graphs in compressed sparse row form: borrowed views of a caller's
// arrays and the prepared (packed, owned) target.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "packed.hpp"

namespace plov {

// The unsigned 32-bit value at `p`, which need not be aligned.
inline std::uint32_t load_u32(const unsigned char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A read-only view of unsigned 32-bit values: pointer, length and stride in bytes.
struct U32View {
    const unsigned char* data = nullptr;
    std::size_t len = 0;
    std::ptrdiff_t stride = sizeof(std::uint32_t);

    std::uint32_t operator[](std::size_t i) const noexcept {
        return load_u32(data + static_cast<std::ptrdiff_t>(i) * stride);
    }
    // Stride 1 (in elements), or too short for the stride to matter.
    bool contiguous() const noexcept { return len < 2 || stride == static_cast<std::ptrdiff_t>(sizeof(std::uint32_t)); }

    static U32View of(const std::uint32_t* p, std::size_t n) noexcept {
        return {reinterpret_cast<const unsigned char*>(p), n, sizeof(std::uint32_t)};
    }
};

// The same values known to lie at unit stride, read without the stride multiply.
struct DenseU32 {
    const unsigned char* data = nullptr;
    std::size_t len = 0;

    std::uint32_t operator[](std::size_t i) const noexcept { return load_u32(data + i * sizeof(std::uint32_t)); }
    // `v` must be contiguous.
    static DenseU32 of(const U32View& v) noexcept { return {v.data, v.len}; }
};

// The visited set of every walk, over vertices [0, n): v is visited when its stamp
// equals the current generation. Starting a new walk costs one increment, and a full
// clear only when the generation wraps. Query walks use one-byte stamps, so that the
// flags of a large query cloud stay in cache; the k-nearest search, which starts one
// walk per query point, uses wider ones.
template <class Stamp>
struct VisitStamps {
    Buffer<Stamp> stamps;
    Stamp generation = 0;

    static VisitStamps zeros(std::size_t n) { return {Buffer<Stamp>::zeros(n), 0}; }
    // Starts a walk with nothing visited; returns its generation.
    Stamp next_walk() noexcept {
        if (++generation == 0) [[unlikely]] {
            std::fill(stamps.begin(), stamps.end(), Stamp{0});
            generation = 1;
        }
        return generation;
    }
};

// Visit stamps over the vertices of one target, lent to its searches and taken back, so
// that a search split into many calls clears its stamps (and faults their pages in) once
// instead of once per call. A set lent again needs no clearing: every stamp it holds is
// at most its generation, and each walk takes the next one.
class StampPool {
public:
    using Stamps = VisitStamps<std::uint32_t>;

    // A set of stamps, the pool's until the lease ends.
    class Lease {
    public:
        Lease(StampPool* pool, Stamps stamps) noexcept : pool_(pool), stamps_(std::move(stamps)) {}
        Lease(Lease&& o) noexcept : pool_(std::exchange(o.pool_, nullptr)), stamps_(std::move(o.stamps_)) {}
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Lease& operator=(Lease&&) = delete;
        ~Lease() {
            if (pool_) pool_->take_back(std::move(stamps_));
        }
        Stamps& operator*() noexcept { return stamps_; }

    private:
        StampPool* pool_;
        Stamps stamps_;
    };

    // Stamps over `n` vertices from `pool`, or, without a pool, a new set the lease owns.
    static Lease lend_or_make(StampPool* pool, std::size_t n) {
        return pool ? pool->lend(n) : Lease(nullptr, Stamps::zeros(n));
    }

    // Stamps over `n` vertices: a set given back earlier, or a new one.
    Lease lend(std::size_t n) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            while (!idle_.empty()) {
                Stamps s = std::move(idle_.back());
                idle_.pop_back();
                if (s.stamps.size() == n) return {this, std::move(s)};
            }
        }
        return {this, Stamps::zeros(n)};
    }

private:
    // Sets beyond this many are freed when given back (more threads than that rarely
    // search one target at once).
    static constexpr std::size_t kKeep = 8;

    void take_back(Stamps s) noexcept {
        try {
            std::lock_guard<std::mutex> hold(mutex_);
            if (idle_.size() < kKeep) idle_.push_back(std::move(s));
        } catch (...) {  // no room to keep it: it is freed
        }
    }

    std::mutex mutex_;
    std::vector<Stamps> idle_;
};

// The borrowed operand of every search.
template <class T>
struct GraphView {
    const PackedPoint<T>* points = nullptr;
    std::size_t n_points = 0;
    U32View indptr;
    U32View neighbours;
    // Set only for a graph checked once to be a consistent CSR graph over its points
    // (see `is_consistent`): searches may then read it without per-access checks.
    bool consistent = false;
};

// True when `indptr` has at least n + 1 offsets, never decreasing, the last of them
// within `neighbours`, and every neighbour listed for a vertex below n is below n:
// then every neighbour range a search can read is in bounds.
inline bool is_consistent(std::size_t n, const U32View& indptr, const U32View& neighbours) {
    if (!indptr.contiguous() || !neighbours.contiguous() || indptr.len < n + 1 || n > 0xFFFFFFFFull) return false;
    bool ok = true;
    for (std::size_t v = 0; v < n; ++v) ok &= indptr[v] <= indptr[v + 1];
    if (!ok) return false;
    if (n == 0) return true;
    const std::size_t first = indptr[0], last = indptr[n];
    if (last > neighbours.len) return false;
    for (std::size_t k = first; k < last; ++k) ok &= neighbours[k] < n;
    return ok;
}

// The optional distance bound of a search: the target box, the bound `r` (a distance,
// compared squared) and the query box, supplied or computed by the search.
template <class T>
struct DistanceBound {
    PackedPoint<T> tlo, thi;
    T r;
    std::optional<Box<T>> query_box;
};

// Owned results of a single-nearest search: one (distance, index) pair per query vertex.
template <class T>
struct NearestResult {
    Buffer<T> dists;
    Buffer<std::uint64_t> idx;
};

// A packed cloud with its bounding box and contiguous copies of its graph; immutable.
template <class T>
struct PreparedGraph {
    PackedPoint<T> lo{}, hi{};
    std::size_t n = 0;
    PackedBuffer<T> points;
    Buffer<std::uint32_t> indptr;
    Buffer<std::uint32_t> neighbours;
    bool consistent = false;  // checked once, at construction
    // The visit stamps of its searches, kept between calls.
    std::unique_ptr<StampPool> stamps = std::make_unique<StampPool>();

    GraphView<T> view() const noexcept {
        return {points.data(), n, U32View::of(indptr.data(), indptr.size()),
                U32View::of(neighbours.data(), neighbours.size()), consistent};
    }
    Box<T> box() const noexcept { return {lo, hi}; }

    // The points as a row-major (n, 3) array, pad lane dropped.
    Buffer<T> unpack() const {
        Buffer<T> out = Buffer<T>::zeros(3 * n);
        for (std::size_t i = 0; i < n; ++i) {
            out[3 * i] = points[i].x;
            out[3 * i + 1] = points[i].y;
            out[3 * i + 2] = points[i].z;
        }
        return out;
    }
};

inline Buffer<std::uint32_t> copy_u32(const U32View& v) {
    Buffer<std::uint32_t> out(v.len);
    if (v.stride == static_cast<std::ptrdiff_t>(sizeof(std::uint32_t))) {
        if (v.len) std::memcpy(out.data(), v.data, v.len * sizeof(std::uint32_t));
    } else {
        for (std::size_t i = 0; i < v.len; ++i) out[i] = v[i];
    }
    return out;
}

template <class T>
PreparedGraph<T> prepare_graph(const View2D<T>& points, const U32View& indptr, const U32View& indices) {
    PreparedGraph<T> g;
    g.points = pack_points(points);
    Box<T> b = bounding_box(g.points.data(), g.points.size());
    g.lo = b.lo;
    g.hi = b.hi;
    g.indptr = copy_u32(indptr);
    g.neighbours = copy_u32(indices);
    g.n = points.rows;
    g.consistent = is_consistent(g.n, U32View::of(g.indptr.data(), g.indptr.size()),
                                 U32View::of(g.neighbours.data(), g.neighbours.size()));
    return g;
}

}  // namespace plov
