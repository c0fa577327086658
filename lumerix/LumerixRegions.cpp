// Region statistics: the labels and the values come to the host once, and one pass in raster
// order accumulates each label's area, box and sums; the labels are checked in the same pass.

#include <lumerix/LumerixRegions.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

// Labels up to here are numbered exactly by a float, as label() numbers them.
constexpr float kMaxLabel = 16777216.0f;

struct Partial {
    long long area = 0;
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    double sumX = 0.0, sumY = 0.0, sum = 0.0;
    float min = 0.0f, max = 0.0f;
    bool nan = false;
};

std::string describe(float v) {
    if (std::isnan(v)) return "NaN";
    return std::to_string(v);
}

}  // namespace

std::vector<LumerixRegion> regions(Lumerix& labels, Lumerix& values) {
    const cmm::cmmDims dims = labels.GetDimensions();
    const cmm::cmmDims valueDims = values.GetDimensions();
    for (int d = 0; d < 4; ++d)
        if (dims.Dim(d) != valueDims.Dim(d) || dims.Size() != valueDims.Size())
            throw std::invalid_argument("regions: the values' extents differ from the labels'");
    std::vector<LumerixRegion> out;
    if (dims.Size() <= 0) return out;
    const int width = dims.Dim(0);
    const int height = dims.Dim(1);

    const float* lab = labels.GetHostPtr();
    const float* val = &labels == &values ? lab : values.GetHostPtr();

    // The labels are checked first. A label image numbers at most one component per pixel, so
    // the table is indexed by the label itself while the largest label stays within the pixel
    // count; sparser numbers (a single pixel labelled 16777216) go through the sorted list of
    // the labels present instead of a table of every number below them.
    const std::size_t plane = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    float largest = 0.0f;
    for (std::size_t i = 0; i < plane; ++i) {
        const float l = lab[i];
        if (l == 0.0f) continue;
        if (!(l > 0.0f && l <= kMaxLabel && l == std::floor(l)))
            throw std::invalid_argument(
                "regions: label " + describe(l) + " at (" + std::to_string(i % width) + ", " +
                std::to_string(i / width) + ") is not a whole number in [0, 16777216]");
        if (l > largest) largest = l;
    }
    const bool dense = static_cast<std::size_t>(largest) <= plane;
    std::vector<float> present;
    if (!dense) {
        for (std::size_t i = 0; i < plane; ++i)
            if (lab[i] != 0.0f) present.push_back(lab[i]);
        std::sort(present.begin(), present.end());
        present.erase(std::unique(present.begin(), present.end()), present.end());
    }
    const auto slot = [&](float l) -> std::size_t {
        if (dense) return static_cast<std::size_t>(l);
        return static_cast<std::size_t>(std::lower_bound(present.begin(), present.end(), l) -
                                        present.begin()) +
               1;
    };
    const auto labelOf = [&](std::size_t k) {
        return dense ? static_cast<int>(k) : static_cast<int>(present[k - 1]);
    };

    std::vector<Partial> parts((dense ? static_cast<std::size_t>(largest) : present.size()) + 1);
    for (int y = 0; y < height; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        for (int x = 0; x < width; ++x) {
            const float l = lab[row + x];
            if (l == 0.0f) continue;
            Partial& p = parts[slot(l)];
            const float v = val[row + x];
            if (p.area == 0) {
                p.x0 = p.x1 = x;
                p.y0 = p.y1 = y;
                p.min = p.max = v;
            }
            ++p.area;
            // Rows arrive in order, so only the columns can widen the box backwards.
            if (x < p.x0) p.x0 = x;
            if (x > p.x1) p.x1 = x;
            p.y1 = y;
            p.sumX += x;
            p.sumY += y;
            p.sum += v;
            if (std::isnan(v)) p.nan = true;
            if (v < p.min) p.min = v;
            if (v > p.max) p.max = v;
        }
    }

    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t k = 1; k < parts.size(); ++k) {
        const Partial& p = parts[k];
        if (p.area == 0) continue;
        LumerixRegion r;
        r.label = labelOf(k);
        r.area = p.area;
        r.x0 = p.x0;
        r.y0 = p.y0;
        r.x1 = p.x1 + 1;
        r.y1 = p.y1 + 1;
        r.cx = p.sumX / static_cast<double>(p.area);
        r.cy = p.sumY / static_cast<double>(p.area);
        r.min = p.nan ? nan : p.min;
        r.max = p.nan ? nan : p.max;
        r.mean = p.sum / static_cast<double>(p.area);
        out.push_back(r);
    }
    return out;
}
