// Exact arithmetic on floating-point expansions: a value is held as a sum of doubles
// whose bits do not overlap, listed by increasing magnitude, so that sums and products
// of doubles are represented without rounding. The sign of an expansion is the sign
// of its last (largest) component. Every routine here assumes round-to-nearest-even
// double arithmetic without extended precision or fused multiply-add, and operands
// far enough from overflow and underflow that no product leaves the normal range.
// Double-doubles (Twofold), values to about twice double precision with known error
// bounds, are built from the same error-free transformations.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace plov::exact {

// The error-free transformations below work on a double or on a vector of doubles (T,
// lane by lane).

// x + y == a + b exactly, x the rounded sum.
template <class T>
inline void two_sum(T a, T b, T& x, T& y) noexcept {
    x = a + b;
    T bv = x - a;
    T av = x - bv;
    y = (a - av) + (b - bv);
}

// As two_sum, for |a| >= |b| (or a == 0).
template <class T>
inline void fast_two_sum(T a, T b, T& x, T& y) noexcept {
    x = a + b;
    y = b - (x - a);
}

// x + y == a - b exactly.
template <class T>
inline void two_diff(T a, T b, T& x, T& y) noexcept {
    x = a - b;
    T bv = a - x;
    T av = x + bv;
    y = (a - av) + (bv - b);
}

// a == hi + lo with hi and lo of at most 26 significant bits each.
template <class T>
inline void split(T a, T& hi, T& lo) noexcept {
    T c = 134217729.0 * a;  // 2^27 + 1
    T big = c - a;
    hi = c - big;
    lo = a - hi;
}

// x + y == a * b exactly, with b already split into bhi + blo.
template <class T>
inline void two_product_split(T a, T b, T bhi, T blo, T& x, T& y) noexcept {
    x = a * b;
    T ahi, alo;
    split(a, ahi, alo);
    T e1 = x - ahi * bhi;
    T e2 = e1 - alo * bhi;
    T e3 = e2 - ahi * blo;
    y = alo * blo - e3;
}

// x + y == a * b exactly.
template <class T>
inline void two_product(T a, T b, T& x, T& y) noexcept {
    T bhi, blo;
    split(b, bhi, blo);
    two_product_split(a, b, bhi, blo, x, y);
}

// A double-double: the value hi + lo, with |lo| <= u |hi| (u = 2^-53; lo == 0 when
// hi == 0), T a double or a vector of them. The operations below are not exact; for
// such operands, and no product near underflow or overflow, each is within
//   a + b, a - b:  4 u^2 (|a| + |b|),
//   a * b:         9 u^2 |a| |b|
// of the exact result of its operands, and returns a double-double again.
template <class T>
struct Twofold {
    T hi, lo;

    // a - b with its rounding error: exact
    static Twofold diff(T a, T b) noexcept {
        Twofold r;
        two_diff(a, b, r.hi, r.lo);
        return r;
    }

    friend Twofold operator+(const Twofold& a, const Twofold& b) noexcept {
        T s, e;
        two_sum(a.hi, b.hi, s, e);
        return renormalised(s, e + (a.lo + b.lo));
    }

    friend Twofold operator-(const Twofold& a, const Twofold& b) noexcept {
        T s, e;
        two_diff(a.hi, b.hi, s, e);
        return renormalised(s, e + (a.lo - b.lo));
    }

    // (|e| <= 3u |p|: fast_two_sum is exact)
    friend Twofold operator*(const Twofold& a, const Twofold& b) noexcept {
        T p, e;
        two_product(a.hi, b.hi, p, e);
        Twofold r;
        fast_two_sum(p, e + (a.hi * b.lo + a.lo * b.hi), r.hi, r.lo);
        return r;
    }

private:
    static Twofold renormalised(T s, T e) noexcept {
        Twofold r;
        two_sum(s, e, r.hi, r.lo);
        return r;
    }
};

// An expansion stored in an Arena: `n >= 1` components, zero only as the single
// component 0.0.
struct Exp {
    const double* v;
    std::size_t n;
    int sign() const noexcept { return v[n - 1] > 0.0 ? 1 : (v[n - 1] < 0.0 ? -1 : 0); }
};

// Bump allocator for the components of the expansions of one predicate evaluation.
// Blocks are never moved, so every Exp stays valid until `reset`.
class Arena {
public:
    double* take(std::size_t n) {
        if (used_ + n > cap_) grow(n);
        double* p = blocks_[current_].get() + used_;
        used_ += n;
        return p;
    }
    void reset() noexcept {
        current_ = 0;
        used_ = 0;
        cap_ = blocks_.empty() ? 0 : sizes_[0];
    }

private:
    void grow(std::size_t n) {
        while (++current_ < blocks_.size())
            if (sizes_[current_] >= n) {
                used_ = 0;
                cap_ = sizes_[current_];
                return;
            }
        std::size_t size = n < (std::size_t{1} << 14) ? (std::size_t{1} << 14) : n;
        blocks_.emplace_back(new double[size]);
        sizes_.push_back(size);
        current_ = blocks_.size() - 1;
        used_ = 0;
        cap_ = size;
    }

    std::vector<std::unique_ptr<double[]>> blocks_;
    std::vector<std::size_t> sizes_;
    std::size_t current_ = 0;
    std::size_t used_ = 0;
    std::size_t cap_ = 0;
};

// Expansion operations whose results live in one Arena.
class Calc {
public:
    explicit Calc(Arena& arena) : a_(arena) {}

    Exp value(double x) {
        double* h = a_.take(1);
        h[0] = x;
        return {h, 1};
    }

    // a - b, exactly.
    Exp diff(double a, double b) {
        double x, y;
        two_diff(a, b, x, y);
        double* h = a_.take(2);
        if (y == 0.0) {
            h[0] = x;
            return {h, 1};
        }
        h[0] = y;
        h[1] = x;
        return {h, 2};
    }

    Exp neg(Exp e) {
        double* h = a_.take(e.n);
        for (std::size_t i = 0; i < e.n; ++i) h[i] = -e.v[i];
        return {h, e.n};
    }

    // e + f, zero components removed.
    Exp sum(Exp e, Exp f) {
        double* h = a_.take(e.n + f.n);
        std::size_t ei = 0, fi = 0, hn = 0;
        auto next = [&]() -> double {
            // the smaller-magnitude head of e and f
            if (fi >= f.n || (ei < e.n && ((f.v[fi] > e.v[ei]) == (f.v[fi] > -e.v[ei])))) return e.v[ei++];
            return f.v[fi++];
        };
        double q = next();
        std::size_t left = e.n + f.n - 1;
        if (left) {
            double x, y;
            fast_two_sum(next(), q, x, y);
            q = x;
            if (y != 0.0) h[hn++] = y;
            while (--left) {
                two_sum(q, next(), x, y);
                q = x;
                if (y != 0.0) h[hn++] = y;
            }
        }
        if (q != 0.0 || hn == 0) h[hn++] = q;
        return {h, hn};
    }

    Exp sub(Exp e, Exp f) { return sum(e, neg(f)); }

    // e * b, zero components removed.
    Exp scale(Exp e, double b) {
        double* h = a_.take(2 * e.n);
        std::size_t hn = 0;
        double bhi, blo;
        split(b, bhi, blo);
        double q, y;
        two_product_split(e.v[0], b, bhi, blo, q, y);
        if (y != 0.0) h[hn++] = y;
        for (std::size_t i = 1; i < e.n; ++i) {
            double p1, p0, s;
            two_product_split(e.v[i], b, bhi, blo, p1, p0);
            two_sum(q, p0, s, y);
            if (y != 0.0) h[hn++] = y;
            fast_two_sum(p1, s, q, y);
            if (y != 0.0) h[hn++] = y;
        }
        if (q != 0.0 || hn == 0) h[hn++] = q;
        return {h, hn};
    }

    // e * f, compressed.
    Exp mul(Exp e, Exp f) {
        if (e.n < f.n) std::swap(e, f);
        Exp acc = scale(e, f.v[0]);
        for (std::size_t j = 1; j < f.n; ++j) acc = sum(acc, scale(e, f.v[j]));
        return compress(acc);
    }

    // The same value in fewer components: adjacent components are merged wherever a
    // sum is exact.
    Exp compress(Exp e) {
        if (e.n < 3) return e;
        double* h = a_.take(e.n);
        std::size_t bottom = e.n - 1;
        double q = e.v[bottom];
        for (std::size_t i = e.n - 1; i-- > 0;) {
            double qn, lo;
            fast_two_sum(q, e.v[i], qn, lo);
            if (lo != 0.0) {
                h[bottom--] = qn;
                q = lo;
            } else {
                q = qn;
            }
        }
        std::size_t top = 0;
        for (std::size_t i = bottom + 1; i < e.n; ++i) {
            double qn, lo;
            fast_two_sum(h[i], q, qn, lo);
            if (lo != 0.0) h[top++] = lo;
            q = qn;
        }
        h[top++] = q;
        return {h, top};
    }

private:
    Arena& a_;
};

}  // namespace plov::exact
