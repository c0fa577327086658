// Border rules against plain loops written here: every rule, every side length 1 to 4, positions
// far outside on both sides.

#include "kernels/Borders.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

// Reflection with the edge repeated, walked one step at a time from inside the image.
int mirrorByWalking(int p, int n) {
    int q = 0, step = 1;
    for (int i = 0; i < (p < 0 ? -p - 1 : p); ++i) {
        if (q + step < 0 || q + step >= n)
            step = -step;  // bounce, repeating the edge pixel
        else
            q += step;
    }
    return p < 0 ? mirrorByWalking(-p - 1, n) : q;
}

// Reflection about the edge pixel, which is not repeated; a 1-pixel axis stays at 0.
int mirrorAtEdgeByWalking(int p, int n) {
    int q = 0, step = p < 0 ? -1 : 1;
    for (int i = 0; i < (p < 0 ? -p : p) && n > 1; ++i) {
        if (q + step < 0 || q + step >= n) step = -step;
        q += step;
    }
    return q;
}

struct Rule {
    const char* name;
    std::function<int(int, int)> index;
    std::function<int(int, int)> reference;  // -1: position not defined for the rule
};

}  // namespace

TEST(Border, EveryRuleAgreesWithItsPlainLoop) {
    const Rule rules[] = {
        {"Mirror", lmx::Mirror::index, mirrorByWalking},
        {"WrapOnce", lmx::WrapOnce::index,
         [](int p, int n) {
             return p >= -n && p < 2 * n ? (p + n) % n : -1;
         }},
        {"WrapModulo", lmx::WrapModulo::index,
         [](int p, int n) {
             int q = p;
             while (q < 0) q += n;
             while (q >= n) q -= n;
             return q;
         }},
        {"ClampCorner", lmx::ClampCorner::index,
         [](int p, int n) {
             int best = 0;  // the largest corner c in [0, n - 2] with c <= p, else 0
             for (int c = 0; c <= n - 2; ++c)
                 if (c <= p) best = c;
             return best;
         }},
        {"ZeroOutside", [](int p, int n) { return lmx::ZeroOutside::inside(p, n) ? p : -2; },
         [](int p, int n) {
             return p >= 0 && p < n ? p : -2;
         }},
        {"Nearest", lmx::Nearest::index,
         [](int p, int n) {
             return p < 0 ? 0 : (p >= n ? n - 1 : p);
         }},
        {"MirrorAtEdge", lmx::MirrorAtEdge::index, mirrorAtEdgeByWalking},
        {"Outside",
         [](int p, int n) {
             const int i = lmx::Outside::index(p, n);
             return i == -1 ? -3 : i;
         },
         [](int p, int n) {
             return p >= 0 && p < n ? p : -3;
         }},
    };
    for (const Rule& rule : rules)
        for (int n = 1; n <= 4; ++n)
            for (int p = -20; p < n + 20; ++p) {
                const int expected = rule.reference(p, n);
                if (expected == -1) continue;
                EXPECT_EQ(rule.index(p, n), expected) << rule.name << " p=" << p << " n=" << n;
            }
}

TEST(Border, MirrorIsSymmetricAtBothEdges) {
    const int n = 5;
    for (int k = 1; k <= 12; ++k)
        EXPECT_EQ(lmx::Mirror::index(-k, n), n - 1 - lmx::Mirror::index(n - 1 + k, n)) << k;
}
