// Exact geometric predicates on double coordinates: each is first evaluated in
// floating point with a rigorous bound on its rounding error, and recomputed in exact
// expansion arithmetic only when that bound cannot decide the sign. The in-sphere test
// has a stage between the two, in double-double arithmetic with its own bound, which
// decides the nearly cospherical cases (points scanned on a sphere) at a small fraction
// of the exact cost.
//
// Conventions: orient3d(a, b, c, d) is the sign of det[b - a; c - a; d - a] (positive
// when d lies on the side of plane abc towards which (b - a) x (c - a) points).
// insphere(a, b, c, d, e), for a positively oriented tetrahedron abcd, is positive when
// e lies strictly inside its circumscribed sphere, negative when strictly outside, and
// zero on it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "expansion.hpp"

namespace plov::exact {

struct Vec3 {
    double x, y, z;
};

inline constexpr double kEps = 1.1102230246251565e-16;  // 2^-53
// Error bound factors of the floating-point evaluations below, doubled for margin.
inline constexpr double kOrient2Bound = 2.0 * (3.0 + 16.0 * kEps) * kEps;
inline constexpr double kOrient3Bound = 2.0 * (7.0 + 56.0 * kEps) * kEps;
inline constexpr double kInsphereBound = 2.0 * (16.0 + 224.0 * kEps) * kEps;
inline constexpr double kInsphereNearBound = 2.0 * 64.0 * kEps * kEps;  // double-double stage of insphere

inline int sign_of(double v) noexcept { return (v > 0.0) - (v < 0.0); }

class Predicates {
public:
    // Sign of det[a - c; b - c] for the coordinate pair (i, j) of each point
    // (0 = x, 1 = y, 2 = z).
    int orient2d(const Vec3& a, const Vec3& b, const Vec3& c, int i, int j) {
        const double* pa = &a.x;
        const double* pb = &b.x;
        const double* pc = &c.x;
        double l = (pa[i] - pc[i]) * (pb[j] - pc[j]);
        double r = (pa[j] - pc[j]) * (pb[i] - pc[i]);
        double det = l - r;
        double bound = kOrient2Bound * (std::fabs(l) + std::fabs(r));
        if (std::fabs(det) > bound) return sign_of(det);
        arena_.reset();
        Calc k(arena_);
        Exp e =
            k.sub(k.mul(k.diff(pa[i], pc[i]), k.diff(pb[j], pc[j])), k.mul(k.diff(pa[j], pc[j]), k.diff(pb[i], pc[i])));
        return e.sign();
    }

    int orient3d(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d) {
        double adx = a.x - d.x, bdx = b.x - d.x, cdx = c.x - d.x;
        double ady = a.y - d.y, bdy = b.y - d.y, cdy = c.y - d.y;
        double adz = a.z - d.z, bdz = b.z - d.z, cdz = c.z - d.z;
        double bdxcdy = bdx * cdy, cdxbdy = cdx * bdy;
        double cdxady = cdx * ady, adxcdy = adx * cdy;
        double adxbdy = adx * bdy, bdxady = bdx * ady;
        // det[a - d; b - d; c - d] == -det[b - a; c - a; d - a]
        double det = adz * (bdxcdy - cdxbdy) + bdz * (cdxady - adxcdy) + cdz * (adxbdy - bdxady);
        double perm = (std::fabs(bdxcdy) + std::fabs(cdxbdy)) * std::fabs(adz) +
                      (std::fabs(cdxady) + std::fabs(adxcdy)) * std::fabs(bdz) +
                      (std::fabs(adxbdy) + std::fabs(bdxady)) * std::fabs(cdz);
        double bound = kOrient3Bound * perm;
        if (std::fabs(det) > bound) return -sign_of(det);
        return -orient3d_near(a, b, c, d, det);
    }

    [[gnu::always_inline]] int insphere(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d, const Vec3& e) {
        const V4 x = column(a.x, b.x, c.x, d.x, e.x);
        const V4 y = column(a.y, b.y, c.y, d.y, e.y);
        const V4 z = column(a.z, b.z, c.z, d.z, e.z);
        const V4 lift = (x * x + y * y) + z * z;
        const double det = lifted_det(x, y, z, lift);
        // The published bound multiplies the permanent (the determinant with every term
        // made positive), which is at most 24 * mx * my * mz * max(lift): a looser bound
        // that costs a few maxima instead of forty products.
        const double mx = max_abs(x), my = max_abs(y), mz = max_abs(z), ml = max_abs(lift);
        const double perm = 24.0 * ((mx * my) * (mz * ml));
        const double bound = kInsphereBound * perm;
        // det is negative when e is inside (for positively oriented abcd)
        if (std::fabs(det) > bound) [[likely]]
            return -sign_of(det);
        return insphere_near(a, b, c, d, e, det, perm, mx, my, mz);
    }

private:
    // Four values as two pairs of lanes (two-lane vectors are native on every target);
    // T is a pair of doubles, or a pair of double-doubles.
    using V2 = double __attribute__((vector_size(16)));
    using Mask2 = std::int64_t __attribute__((vector_size(16)));
    template <class T>
    struct Lanes {
        using Scalar = std::conditional_t<std::is_same_v<T, V2>, double, Twofold<double>>;
        T lo, hi;
        Scalar operator[](int k) const noexcept { return k < 2 ? lane(lo, k) : lane(hi, k - 2); }
        friend Lanes operator+(const Lanes& p, const Lanes& q) noexcept { return {p.lo + q.lo, p.hi + q.hi}; }
        friend Lanes operator-(const Lanes& p, const Lanes& q) noexcept { return {p.lo - q.lo, p.hi - q.hi}; }
        friend Lanes operator*(const Lanes& p, const Lanes& q) noexcept { return {p.lo * q.lo, p.hi * q.hi}; }
    };
    using V4 = Lanes<V2>;
    using W2 = Twofold<V2>;
    using W4 = Lanes<W2>;

    static double lane(V2 v, int k) noexcept { return v[k]; }
    static Twofold<double> lane(const W2& v, int k) noexcept { return {v.hi[k], v.lo[k]}; }

    // (a, b, c, d) - e, rounded
    static V4 column(double a, double b, double c, double d, double e) noexcept { return {V2{a, b} - e, V2{c, d} - e}; }
    // (a, b, c, d) - e, exactly
    static W4 wide_column(double a, double b, double c, double d, double e) noexcept {
        const V2 f = {e, e};
        return {W2::diff(V2{a, b}, f), W2::diff(V2{c, d}, f)};
    }
    // (p[1], q[0])
    static V2 join(V2 p, V2 q) noexcept {
#if defined(__clang__)
        return __builtin_shufflevector(p, q, 1, 2);
#else
        return __builtin_shuffle(p, q, Mask2{1, 2});
#endif
    }
    static W2 join(const W2& p, const W2& q) noexcept { return {join(p.hi, q.hi), join(p.lo, q.lo)}; }
    template <class T>
    static Lanes<T> next(const Lanes<T>& v) noexcept {
        return {join(v.lo, v.hi), join(v.hi, v.lo)};
    }
    template <class T>
    static Lanes<T> opposite(const Lanes<T>& v) noexcept {
        return {v.hi, v.lo};
    }
    template <class T>
    static Lanes<T> previous(const Lanes<T>& v) noexcept {
        return {join(v.hi, v.lo), join(v.lo, v.hi)};
    }
    static V2 magnitude(V2 v) noexcept {
        return reinterpret_cast<V2>(reinterpret_cast<Mask2>(v) & std::int64_t{0x7fffffffffffffff});
    }
    static double max_abs(V4 v) noexcept {
        const V2 p = magnitude(v.lo), q = magnitude(v.hi);
        const V2 m = p > q ? p : q;
        return std::max(m[0], m[1]);
    }

    // The lifted determinant of the rows (x, y, z, lift) of a, b, c, d taken relative to
    // e, in four lanes: `next` brings the next row's value into each lane, `opposite`
    // the value two rows on. Every lane does the operations of the scalar formula in
    // its order,
    //   ab = aex * bey - bex * aey, ..., abc = aez * bc - bez * ac + cez * ab, ...,
    //   (alift = (aex * aex + aey * aey) + aez * aez, ..., given),
    //   det = (dlift * abc - clift * dab) + (blift * cda - alift * bcd),
    // up to exact negations, so the value and its error bound are that formula's.
    template <class Q>
    [[gnu::always_inline]] static typename Q::Scalar lifted_det(const Q& x, const Q& y, const Q& z,
                                                                const Q& lift) noexcept {
        const Q m1 = x * next(y) - next(x) * y;                        // ab, bc, cd, da
        const Q m2 = x * opposite(y) - opposite(x) * y;                // ac, bd, ca, db
        const Q t = (z * next(m1) - next(z) * m2) + opposite(z) * m1;  // abc, bcd, cda, dab
        const Q p = t * previous(lift);  // abc * dlift, bcd * alift, cda * blift, dab * clift
        return (p[0] - p[3]) + (p[2] - p[1]);
    }

    // insphere when the floating-point value could not decide: kept out of line, so the
    // common case stays small enough to be inlined where it is called.
    [[gnu::noinline]] int insphere_near(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d, const Vec3& e,
                                        double det, double perm, double mx, double my, double mz) {
        const Vec3* q[4] = {&a, &b, &c, &d};
        if (small_multiples(q, 4, e, std::max(mx, std::max(my, mz)), 8)) return -sign_of(det);
        // The same formula in double-double arithmetic on the exact differences. By the
        // error bounds of Twofold, each computed value is within a multiple of u^2 times
        // its permanent of its exact value: 17 for the lifts, 13 for the xy minors, 30
        // for the 3x3 minors, 56 for their products with the lifts and 64 for det; and
        // the permanent of det is at most perm * (1 + 11u). Nearly cospherical points
        // are decided here; only a computed |det| within twice that bound of zero takes
        // the exact path.
        const Twofold<double> wide = wide_lifted_det(a, b, c, d, e);
        if (std::fabs(wide.hi) > kInsphereNearBound * perm) return -sign_of(wide.hi);
        return -insphere_exact(a, b, c, d, e);
    }

    // (every lane operation inlined: as calls they would cost more than they compute)
    [[gnu::flatten]] static Twofold<double> wide_lifted_det(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d,
                                                            const Vec3& e) noexcept {
        const W4 x = wide_column(a.x, b.x, c.x, d.x, e.x);
        const W4 y = wide_column(a.y, b.y, c.y, d.y, e.y);
        const W4 z = wide_column(a.z, b.z, c.z, d.z, e.z);
        return lifted_det(x, y, z, (x * x + y * y) + z * z);
    }

    // Whether every difference q[r] - e (r < rows) was computed exactly and is an
    // integer multiple, below 2^bits, of one power of two (points of a grid, say), `top`
    // being the largest magnitude among them. With bits 8 for insphere's five-fold
    // products and 16 for orient3d's three-fold ones, every product and sum in their
    // floating-point evaluations is then an integer below 2^53 times a power of two, so
    // the floating-point determinant is exact, zero included.
    static bool small_multiples(const Vec3* const* q, int rows, const Vec3& e, double top, int bits) {
        if (!(top > 0.0)) return false;
        const double scale = std::ldexp(1.0, bits - 1 - std::ilogb(top));  // top * scale lies in [2^(bits-1), 2^bits)
        const double* pe = &e.x;
        for (int r = 0; r < rows; ++r) {
            const double* pq = &q[r]->x;
            for (int k = 0; k < 3; ++k) {
                double d, tail;
                two_diff(pq[k], pe[k], d, tail);
                const double m = d * scale;
                if (tail != 0.0 || m != std::nearbyint(m) || (m == 0.0) != (d == 0.0)) return false;
            }
        }
        return true;
    }

    // orient3d when the floating-point value `det` could not decide (kept out of line).
    [[gnu::noinline]] int orient3d_near(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d, double det) {
        const Vec3* q[3] = {&a, &b, &c};
        double top = 0.0;
        for (const Vec3* p : q)
            top = std::max({top, std::fabs(p->x - d.x), std::fabs(p->y - d.y), std::fabs(p->z - d.z)});
        if (small_multiples(q, 3, d, top, 16)) return sign_of(det);
        return orient3d_exact(a, b, c, d);
    }

    // Sign of det[a - d; b - d; c - d], exactly.
    int orient3d_exact(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d) {
        arena_.reset();
        Calc k(arena_);
        Exp ax = k.diff(a.x, d.x), ay = k.diff(a.y, d.y), az = k.diff(a.z, d.z);
        Exp bx = k.diff(b.x, d.x), by = k.diff(b.y, d.y), bz = k.diff(b.z, d.z);
        Exp cx = k.diff(c.x, d.x), cy = k.diff(c.y, d.y), cz = k.diff(c.z, d.z);
        Exp m1 = k.compress(k.sub(k.mul(bx, cy), k.mul(cx, by)));
        Exp m2 = k.compress(k.sub(k.mul(cx, ay), k.mul(ax, cy)));
        Exp m3 = k.compress(k.sub(k.mul(ax, by), k.mul(bx, ay)));
        Exp det = k.sum(k.sum(k.mul(az, m1), k.mul(bz, m2)), k.mul(cz, m3));
        return det.sign();
    }

    // Sign of the lifted determinant evaluated by `insphere`, exactly.
    int insphere_exact(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d, const Vec3& e) {
        arena_.reset();
        Calc k(arena_);
        const Vec3* p[4] = {&a, &b, &c, &d};
        Exp x[4], y[4], z[4], lift[4];
        for (int r = 0; r < 4; ++r) {
            x[r] = k.diff(p[r]->x, e.x);
            y[r] = k.diff(p[r]->y, e.y);
            z[r] = k.diff(p[r]->z, e.z);
            lift[r] = k.compress(k.sum(k.sum(k.mul(x[r], x[r]), k.mul(y[r], y[r])), k.mul(z[r], z[r])));
        }
        // xy minors of row pairs
        auto xy = [&](int i, int j) { return k.compress(k.sub(k.mul(x[i], y[j]), k.mul(x[j], y[i]))); };
        Exp ab = xy(0, 1), bc = xy(1, 2), cd = xy(2, 3), da = xy(3, 0), ac = xy(0, 2), bd = xy(1, 3);
        auto minor3 = [&](Exp z0, Exp m0, Exp z1, Exp m1, Exp z2, Exp m2) {
            return k.compress(k.sum(k.sum(k.mul(z0, m0), k.neg(k.mul(z1, m1))), k.mul(z2, m2)));
        };
        Exp abc = minor3(z[0], bc, z[1], ac, z[2], ab);
        Exp bcd = minor3(z[1], cd, z[2], bd, z[3], bc);
        Exp cda = k.compress(k.sum(k.sum(k.mul(z[2], da), k.mul(z[3], ac)), k.mul(z[0], cd)));
        Exp dab = k.compress(k.sum(k.sum(k.mul(z[3], ab), k.mul(z[0], bd)), k.mul(z[1], da)));
        Exp det =
            k.sum(k.sub(k.mul(lift[3], abc), k.mul(lift[2], dab)), k.sub(k.mul(lift[1], cda), k.mul(lift[0], bcd)));
        return det.sign();
    }

    Arena arena_;
};

}  // namespace plov::exact
