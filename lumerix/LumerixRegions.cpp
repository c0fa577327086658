// Region statistics: the labels and the values come to the host once, and one pass in raster
// order accumulates each label's area, box and sums; the labels are checked in the same pass.

#include <lumerix/LumerixRegions.h>

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

    // Tables grow to the largest label seen, so their size follows the labels, not the plane.
    std::vector<Partial> parts;
    for (int y = 0; y < height; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        for (int x = 0; x < width; ++x) {
            const float l = lab[row + x];
            if (l == 0.0f) continue;
            if (!(l > 0.0f && l <= kMaxLabel && l == std::floor(l)))
                throw std::invalid_argument("regions: label " + describe(l) + " at (" +
                                            std::to_string(x) + ", " + std::to_string(y) +
                                            ") is not a whole number in [0, 16777216]");
            const std::size_t k = static_cast<std::size_t>(l);
            if (k >= parts.size()) parts.resize(k + 1);
            Partial& p = parts[k];
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
        r.label = static_cast<int>(k);
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
