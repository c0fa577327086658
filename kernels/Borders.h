#pragma once
// Border rules: how a position p outside [0, n) of one axis is answered. One small policy each;
// kernels take the policy as a template parameter, so that the interior path (NoBorder) and the
// border path run one body.
//
//   NoBorder     p is inside; no test at all (interior of a window walk)
//   Mirror       reflected with the edge pixel repeated: -1 -> 0, -2 -> 1, n -> n - 1,
//                n + 1 -> n - 2; total, correct for any p (a 15-tap window over 3 pixels)
//   WrapOnce     one period added or taken away: for |p| within one period of the image
//   WrapModulo   p modulo n, for any p
//   ClampCorner  the corner of a 2 x 2 neighbourhood: p clamped to [0, n - 2] (0 when n is 1)
//   ZeroOutside  inside(p, n) tells whether p reads a pixel; outside reads 0
//   Nearest      p clamped to [0, n - 1]: the edge pixel repeated without end
//   MirrorAtEdge reflected about the edge pixel, which is not repeated: -1 -> 1, n -> n - 2;
//                total (period 2n - 2; a 1-pixel axis always reads 0)
//   Outside      index(p, n) is p inside and -1 outside: the caller reads its constant there

#include "kernels/Dialect.h"

#include <type_traits>

namespace lmx {

struct NoBorder {
    LMX_HD static int index(int p, int) { return p; }
};

struct Mirror {
    LMX_HD static int index(int p, int n) {
        if (p >= 0 && p < n) return p;
        // The mirrored image repeats with period 2n; fold p into one period, then reflect.
        const long long period = 2LL * n;
        long long q = p % period;
        if (q < 0) q += period;
        return static_cast<int>(q < n ? q : period - 1 - q);
    }
};

struct WrapOnce {
    LMX_HD static int index(int p, int n) { return p < 0 ? p + n : (p >= n ? p - n : p); }
    // The same for a position formed in 64 bits (within one period of the image).
    LMX_HD static long long index64(long long p, int n) {
        return p < 0 ? p + n : (p >= n ? p - n : p);
    }
};

struct WrapModulo {
    // Within one period of the image (the common case) by comparison; a remainder only beyond.
    LMX_HD static int index(int p, int n) {
        if (p >= 0 && p < n) return p;
        if (p < 0 && p >= -n) return p + n;
        const int q = p % n;
        return q < 0 ? q + n : q;
    }
};

struct ClampCorner {
    LMX_HD static int index(int p, int n) {
        const int last = n > 1 ? n - 2 : 0;
        return p < 0 ? 0 : (p > last ? last : p);
    }
};

struct ZeroOutside {
    LMX_HD static bool inside(int p, int n) { return p >= 0 && p < n; }
    LMX_HD static int index(int p, int) { return p; }
};

struct Nearest {
    LMX_HD static int index(int p, int n) { return p < 0 ? 0 : (p >= n ? n - 1 : p); }
};

struct MirrorAtEdge {
    LMX_HD static int index(int p, int n) {
        if (p >= 0 && p < n) return p;
        if (n == 1) return 0;
        const long long period = 2LL * n - 2;
        long long q = p % period;
        if (q < 0) q += period;
        return static_cast<int>(q < n ? q : period - q);
    }
};

struct Outside {
    LMX_HD static int index(int p, int n) { return p >= 0 && p < n ? p : -1; }
};

//! The value at index i of a row resolved by Border: for Outside, `outside` where i is -1.
template <class Border>
LMX_HD float borderRead(const float* row, int i, float outside) {
    if constexpr (std::is_same<Border, Outside>::value) return i < 0 ? outside : row[i];
    (void)outside;
    return row[i];
}

//! The border rules that callers choose by number, in the order of the public enumeration.
enum class BorderRule : int { Reflect = 0, Nearest = 1, Mirror = 2, Constant = 3, Wrap = 4 };

//! Calls f(Rule{}) with the policy of a border number; false for a number that names none.
template <class F>
LMX_HD bool withBorder(int border, F f) {
    switch (border) {
        case 0:
            f(Mirror{});
            return true;
        case 1:
            f(Nearest{});
            return true;
        case 2:
            f(MirrorAtEdge{});
            return true;
        case 3:
            f(Outside{});
            return true;
        case 4:
            f(WrapModulo{});
            return true;
        default:
            return false;
    }
}

}  // namespace lmx
