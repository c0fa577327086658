// Every public operation on the awkward images: no pixels, 1 x 1, 1 x N, N x 1, and planes
// beyond the first. In the sanitizer build device memory is allocated at its exact size, so an
// operation that reads or writes past an image fails here. Each result has the extents the
// operation promises and every one of its pixels can be read back.

#include "TestSupport.h"

#include <functional>
#include <string>

using namespace cmm;
using namespace lmxtest;

namespace {

struct Operation {
    const char* name;
    std::function<Lumerix(Lumerix&)> run;
    // Extents of the result for a source of the given extents (same extents unless given).
    std::function<cmmDims(const cmmDims&)> extents;
    // Extents the operation refuses with std::invalid_argument (none unless given).
    std::function<bool(const cmmDims&)> refuses = [](const cmmDims&) {
        return false;
    };
};

bool fourDimensional(const cmmDims& d) {
    return d.Dim(3) != 1;
}

cmmDims same(const cmmDims& d) {
    return d;
}

bool beyondTwoDimensions(const cmmDims& d) {
    return d.Dim(2) != 1 || d.Dim(3) != 1;
}

cmmDims plane(const cmmDims& d) {
    return cmmDims(d.Dim(0), d.Dim(1));
}

float kTaps[9] = {0.0f, 1.0f, 0.0f, 1.0f, -4.0f, 1.0f, 0.0f, 1.0f, 0.0f};

std::vector<Operation> operations() {
    return {
        {"a + b", [](Lumerix& a) { return a + a; }, same},
        {"a * s", [](Lumerix& a) { return a * 2.0f; }, same},
        {"s - a", [](Lumerix& a) { return 1.0f - a; }, same},
        {"a ^ a", [](Lumerix& a) { return a ^ a; }, same},
        {"fmax(a, s)", [](Lumerix& a) { return fmax(a, 0.5f); }, same},
        {"sqrt", [](Lumerix& a) { return sqrt(a); }, same},
        {"log", [](Lumerix& a) { return log(a); }, same},
        {"abs", [](Lumerix& a) { return abs(a); }, same},
        {"!", [](Lumerix& a) { return !a; }, same},
        {"8-bit round trip",
         [](Lumerix& a) {
             Lumerix r(a.GetDimensions());
             unsigned char* bytes = a.GetDataInt8();
             r.SetDataInt8(bytes);
             std::free(bytes);
             return r;
         },
         same},
        {"16-bit round trip",
         [](Lumerix& a) {
             Lumerix r(a.GetDimensions());
             unsigned short* words = a.GetDataInt16();
             r.SetDataInt16(words);
             std::free(words);
             return r;
         },
         same},
        {"merge3", [](Lumerix& a) { return merge3(a, a, a); },
         [](const cmmDims& d) {
             return d.Size() == 0 ? d : cmmDims(d.Dim(0), d.Dim(1), 3 * d.Dim(2));
         },
         fourDimensional},
        {"split3 of merge3",
         [](Lumerix& a) {
             Lumerix m = merge3(a, a, a);
             Lumerix c0, c1, c2;
             split3(m, c0, c1, c2);
             return c2;
         },
         same, fourDimensional},
        {"erosion", [](Lumerix& a) { return erosion(a, 2, 0); }, same},
        {"dilation", [](Lumerix& a) { return dilation(a, 3, 2); }, same},
        {"convolve", [](Lumerix& a) { return convolve(a, kTaps, 1, 1); }, same},
        {"gauss", [](Lumerix& a) { return gauss(a, 1.5f); }, same},
        {"gaussx", [](Lumerix& a) { return gaussx(a, 3.5f); }, same},
        {"gaussy", [](Lumerix& a) { return gaussy(a, 0.5f); }, same},
        {"shift", [](Lumerix& a) { return a(1, -2); }, same},
        {"crop",
         [](Lumerix& a) {
             // The whole image; one without pixels has only the empty window.
             const cmmDims d = a.GetDimensions();
             return d.Size() > 0 ? a(0, d.Dim(0), 0, d.Dim(1)) : a(0, 0, 0, 0);
         },
         plane},
        {"slice", [](Lumerix& a) { return slice(a, -0.5f, 0.25f, 3, 2); },
         [](const cmmDims&) {
             return cmmDims(3, 2);
         }},
        {"xx", [](Lumerix& a) { return xx(a); }, same},
        {"yy", [](Lumerix& a) { return yy(a); }, same},
        {"affine", [](Lumerix& a) { return affine(a, 0.9f, -0.4f, 0.5f, 0.4f, 0.9f, -0.5f); },
         same},
        {"resize", [](Lumerix& a) { return resize(a, cmmDims(6, 5, 2), -1, 2); },
         [](const cmmDims&) {
             return cmmDims(6, 5, 2);
         }},
        {"fft",
         [](Lumerix& a) {
             Lumerix re, im;
             fft(a, re, im);
             return im;
         },
         same, beyondTwoDimensions},
        {"ifft of fft",
         [](Lumerix& a) {
             Lumerix re, im;
             fft(a, re, im);
             return ifft(re, im);
         },
         same, beyondTwoDimensions},
        {"label", [](Lumerix& a) { return label(a); }, same},
    };
}

std::vector<cmmDims> awkwardExtents() {
    return {cmmDims(),      cmmDims(1),       cmmDims(1, 1),       cmmDims(1, 37), cmmDims(37),
            cmmDims(37, 1), cmmDims(5, 3, 2), cmmDims(4, 3, 1, 2), cmmDims(17, 13)};
}

std::string describe(const cmmDims& d) {
    return std::to_string(d.Dim(0)) + "x" + std::to_string(d.Dim(1)) + "x" +
           std::to_string(d.Dim(2)) + "x" + std::to_string(d.Dim(3)) + " (" +
           std::to_string(d.Size()) + " pixels)";
}

}  // namespace

TEST(EdgeImage, EveryOperationGivesReadableResultsOfThePromisedExtents) {
    for (const cmmDims& d : awkwardExtents()) {
        Lumerix source =
            d.Size() > 0 ? imageOf(d, randomValues(d.Size(), 0.0f, 300.0f)) : Lumerix(d);
        for (const Operation& op : operations()) {
            SCOPED_TRACE(std::string(op.name) + " of " + describe(d));
            if (op.refuses(d)) {
                EXPECT_THROW(op.run(source), std::invalid_argument);
                EXPECT_TRUE(cmmLocked().list->empty());
                continue;
            }
            Lumerix r = op.run(source);
            const std::vector<float> values = pixels(r);
            EXPECT_TRUE(cmmLocked().list->empty());
            if (d.Size() == 0) {
                // Nothing to compute from; the result may keep a canvas, but nothing is read.
                EXPECT_TRUE(r.GetDimensions().Size() == 0 || r.GetDimensions() == op.extents(d));
                continue;
            }
            const cmmDims want = op.extents(d);
            EXPECT_EQ(r.GetDimensions(), want);
            EXPECT_EQ(r.GetDimensions().Size(), want.Size());
            EXPECT_EQ(values.size(), static_cast<std::size_t>(want.Size()));
            EXPECT_TRUE(cmmLocked().list->empty());
        }
    }
}

TEST(EdgeImage, ReductionsAndTheHistogramReadOnlyTheirImage) {
    for (const cmmDims& d : awkwardExtents()) {
        SCOPED_TRACE(describe(d));
        Lumerix source = d.Size() > 0 ? imageOf(d, std::vector<float>(d.Size(), 2.0f)) : Lumerix(d);
        EXPECT_EQ(sum(source), 2.0f * d.Size());
        if (d.Size() > 0) {
            EXPECT_EQ(fmin(source), 2.0f);
            EXPECT_EQ(fmax(source), 2.0f);
            EXPECT_EQ(mean(source), 2.0f);
            EXPECT_EQ(var(source), 0.0f);
        }
        unsigned int bins[256];
        histogram256(source, bins);
        unsigned long long total = 0;
        for (unsigned int b : bins) total += b;
        EXPECT_EQ(total, static_cast<unsigned long long>(d.Size()));
        EXPECT_EQ(bins[2], static_cast<unsigned>(d.Size()));
    }
}
