// Vertex adjacency of a tetrahedralisation: two vertices are neighbours when they share
// an edge of some tetrahedron. The result is the symmetric CSR graph every search takes,
// each list strictly ascending.
//
// The build never keeps per-vertex growable lists. Every edge of a tetrahedron is stored
// once, in the list of its smaller endpoint (the "upper" lists), in one flat array laid
// out by a counting pass; each upper list is then de-duplicated in place and sorted.
// The full list of v is the ascending run of the vertices u < v whose upper list holds
// v, followed by v's own upper list (which starts with v itself for a degenerate
// tetrahedron). Walking u in ascending order and appending u to the lists of its upper
// neighbours produces those runs already sorted, so the output is written in one pass.
// Scratch is linear in the number of tetrahedra plus the number of points.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "buffer.hpp"
#include "errors.hpp"
#include "graph.hpp"
#include "packed.hpp"

namespace plov {

inline constexpr std::uint64_t kMaxCsr = std::numeric_limits<std::uint32_t>::max();

struct Adjacency {
    Buffer<std::uint32_t> indptr;
    Buffer<std::uint32_t> neighbours;
};

namespace adjacency_detail {

struct Tet {
    std::uint64_t v[4];
};

inline std::uint64_t load_u64(const unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The first four ids of row `i`.
inline Tet row(const View2D<std::uint64_t>& s, std::size_t i) noexcept {
    const unsigned char* p = s.data + static_cast<std::ptrdiff_t>(i) * s.row_stride;
    const std::ptrdiff_t cs = s.col_stride;
    return {{load_u64(p), load_u64(p + cs), load_u64(p + 2 * cs), load_u64(p + 3 * cs)}};
}

// Ids are checked in column order, so the first bad id of the first bad row is the one
// reported, as a build that visits rows one after another would report it.
inline void check_row(const Tet& t, std::uint64_t n) {
    if ((std::max(std::max(t.v[0], t.v[1]), std::max(t.v[2], t.v[3]))) < n) [[likely]]
        return;
    for (std::uint64_t id : t.v) check_index(id, n);
}

inline void cswap(std::uint32_t& a, std::uint32_t& b) noexcept {
    std::uint32_t lo = std::min(a, b), hi = std::max(a, b);
    a = lo;
    b = hi;
}

// The four (checked) ids of a row in ascending order.
inline void sorted4(const Tet& t, std::uint32_t s[4]) noexcept {
    for (int k = 0; k < 4; ++k) s[k] = static_cast<std::uint32_t>(t.v[k]);
    cswap(s[0], s[1]);
    cswap(s[2], s[3]);
    cswap(s[0], s[2]);
    cswap(s[1], s[3]);
    cswap(s[1], s[2]);
}

inline void sort_small(std::uint32_t* first, std::uint32_t* last) noexcept {
    if (last - first > 24) {
        std::sort(first, last);
        return;
    }
    for (std::uint32_t* i = first + 1; i < last; ++i) {
        std::uint32_t v = *i;
        std::uint32_t* j = i;
        for (; j > first && j[-1] > v; --j) *j = j[-1];
        *j = v;
    }
}

[[noreturn]] inline void fail_changed_simplices() { fail("graph_from_simplices: simplices changed during the call"); }

}  // namespace adjacency_detail

inline Adjacency graph_from_simplices(const View2D<std::uint64_t>& simplices, std::uint64_t n) {
    using namespace adjacency_detail;
    if (n > kMaxCsr)
        fail("graph_from_simplices: " + std::to_string(n) + " points exceeds the u32 CSR limit of 4294967295");
    const std::size_t m = simplices.rows;
    const std::size_t nv = static_cast<std::size_t>(n);
    if (m > 0 && simplices.cols < 4) fail("ndarray: index out of bounds");

    Adjacency out;
    if (m == 0) {
        out.indptr = Buffer<std::uint32_t>::zeros(nv + 1);
        return out;
    }

    // Pass 1: check every id in row-major order and count the upper entries of each
    // vertex. In a sorted row s0 <= s1 <= s2 <= s3 the six edges go to s0 (three), s1
    // (two) and s2 (one); a repeated id makes a self-edge, kept like any other.
    Buffer<std::uint64_t> cursor = Buffer<std::uint64_t>::zeros(nv + 1);
    std::uint64_t* cnt = cursor.data() + 1;
    for (std::size_t i = 0; i < m; ++i) {
        Tet t = row(simplices, i);
        check_row(t, n);
        std::uint32_t s[4];
        sorted4(t, s);
        cnt[s[0]] += 3;
        cnt[s[1]] += 2;
        cnt[s[2]] += 1;
    }
    // Run starts, shifted by one: `pos[v]` (= cursor[v + 1]) starts at the beginning of
    // v's run and advances to its end while filling, so that afterwards run v is
    // [cursor[v], cursor[v + 1]).
    std::uint64_t total = 0;
    for (std::size_t v = 0; v <= nv; ++v) {
        std::uint64_t c = cursor[v];
        cursor[v] = total;
        total += c;
    }
    Buffer<std::uint32_t> upper(static_cast<std::size_t>(total));
    std::uint32_t* up = upper.data();
    std::uint64_t* pos = cursor.data() + 1;
    Buffer<std::uint64_t> starts(nv);
    if (nv) std::memcpy(starts.data(), pos, nv * sizeof(std::uint64_t));

    // Pass 2: scatter the edges. The rows are the caller's memory, read again with the
    // interpreter lock released: another thread may have changed them since pass 1. So
    // the ids are checked again and no write may pass the end of the scratch; the runs
    // must come out exactly as counted (checked below), otherwise the call fails.
    for (std::size_t i = 0; i < m; ++i) {
        Tet t = row(simplices, i);
        check_row(t, n);
        std::uint32_t s[4];
        sorted4(t, s);
        if (pos[s[0]] + 3 > total) [[unlikely]]
            fail_changed_simplices();
        std::uint32_t* a = up + pos[s[0]];
        a[0] = s[1];
        a[1] = s[2];
        a[2] = s[3];
        pos[s[0]] += 3;
        if (pos[s[1]] + 2 > total) [[unlikely]]
            fail_changed_simplices();
        std::uint32_t* b = up + pos[s[1]];
        b[0] = s[2];
        b[1] = s[3];
        pos[s[1]] += 2;
        if (pos[s[2]] + 1 > total) [[unlikely]]
            fail_changed_simplices();
        up[pos[s[2]]++] = s[3];
    }
    // Every run filled to its counted end: every scratch entry written, each below n.
    for (std::size_t v = 0; v < nv; ++v)
        if (pos[v] != (v + 1 < nv ? starts[v + 1] : total)) [[unlikely]]
            fail_changed_simplices();
    starts = Buffer<std::uint64_t>();

    // De-duplicate each upper run in place, keeping first occurrences at the front, then
    // sort what is left. The bitmap marks the ids kept for the current vertex; it is
    // small enough to stay in cache and is cleared again through the kept ids.
    Buffer<std::uint64_t> marks = Buffer<std::uint64_t>::zeros(nv / 64 + 1);
    std::uint64_t* bits = marks.data();
    Buffer<std::uint32_t> kept(nv);
    Buffer<std::uint32_t> lower = Buffer<std::uint32_t>::zeros(nv);
    std::uint64_t entries = 0;
    for (std::size_t v = 0; v < nv; ++v) {
        const std::uint32_t vv = static_cast<std::uint32_t>(v);
        std::uint32_t* first = up + cursor[v];
        std::uint32_t* last = up + pos[v];
        std::uint32_t* w = first;
        for (std::uint32_t* r = first; r < last; ++r) {
            const std::uint32_t x = *r;
            const std::uint64_t bit = std::uint64_t{1} << (x & 63);
            std::uint64_t& word = bits[x >> 6];
            *w = x;  // w never passes r, so this only overwrites entries already read
            w += (word & bit) == 0;
            word |= bit;
        }
        for (std::uint32_t* r = first; r < w; ++r) bits[*r >> 6] = 0;
        sort_small(first, w);
        const std::uint32_t k = static_cast<std::uint32_t>(w - first);
        kept[v] = k;
        entries += k;
        for (std::uint32_t* r = first; r < w; ++r) {
            if (*r != vv) {
                ++lower[*r];
                ++entries;  // the reverse direction
            }
        }
    }
    if (entries > kMaxCsr) fail("graph_from_simplices: edge count exceeds u32: TryFromIntError(PosOverflow)");

    out.indptr = Buffer<std::uint32_t>(nv + 1);
    out.neighbours = Buffer<std::uint32_t>(static_cast<std::size_t>(entries));
    std::uint32_t* ip = out.indptr.data();
    // `lower` turns from counts into the write cursor of each list's lower run.
    std::uint32_t* next = lower.data();
    std::uint32_t acc = 0;
    for (std::size_t v = 0; v < nv; ++v) {
        ip[v] = acc;
        acc += next[v] + kept[v];
        next[v] = ip[v];
    }
    ip[nv] = acc;

    std::uint32_t* nb = out.neighbours.data();
    for (std::size_t u = 0; u < nv; ++u) {
        const std::uint32_t uu = static_cast<std::uint32_t>(u);
        const std::uint32_t* first = up + cursor[u];
        const std::uint32_t k = kept[u];
        std::memcpy(nb + (ip[u + 1] - k), first, k * sizeof(std::uint32_t));
        for (std::uint32_t j = 0; j < k; ++j) {
            std::uint32_t x = first[j];
            if (x != uu) nb[next[x]++] = uu;
        }
    }
    return out;
}

// The graph `g` (consistent, see `is_consistent`) in another numbering: vertex v becomes
// labels[v], which must be a permutation of [0, n); each list ascending in the new
// numbering. Fails on labels that are not a permutation.
template <class T>
Adjacency relabel_graph(const GraphView<T>& g, const std::int64_t* labels) {
    const std::size_t n = g.n_points;
    if (!g.consistent) fail("relabel_graph: the graph is not a consistent CSR graph");
    Buffer<std::uint32_t> from(n);  // new vertex -> old vertex
    Buffer<unsigned char> seen = Buffer<unsigned char>::zeros(n);
    for (std::size_t v = 0; v < n; ++v) {
        const std::uint64_t c = static_cast<std::uint64_t>(labels[v]);
        if (c >= n || seen[c]) fail("relabel_graph: the labels are not a permutation");
        seen[c] = 1;
        from[c] = static_cast<std::uint32_t>(v);
    }
    Adjacency out;
    out.indptr = Buffer<std::uint32_t>(n + 1);
    out.neighbours = Buffer<std::uint32_t>(n ? g.indptr[n] - g.indptr[0] : 0);
    std::uint32_t* nb = out.neighbours.data();
    std::uint32_t at = 0;
    for (std::size_t c = 0; c < n; ++c) {
        out.indptr[c] = at;
        const std::uint32_t v = from[c];
        const std::uint32_t first = at;
        for (std::uint32_t k = g.indptr[v]; k < g.indptr[v + 1]; ++k)
            nb[at++] = static_cast<std::uint32_t>(labels[g.neighbours[k]]);
        adjacency_detail::sort_small(nb + first, nb + at);
    }
    out.indptr[n] = at;
    return out;
}

}  // namespace plov
