// Region statistics: the labels are scanned on the device (the largest label and the first
// label that is not a whole number), then every pixel is counted once into per-block slots
// indexed by the label and the slots merged (RegionKernels.h); only the merged slots come back.
// Labels numbered beyond the pixel count, which a table indexed by the label would waste memory
// on, are counted on the host through the sorted list of the labels present.

#include <lumerix/LumerixRegions.h>

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "kernels/Shapes.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"
#include "platform/ApiLock.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

LMX_REPORTED_UNIT("LumerixRegions.cpp")

namespace {

// Labels up to here are numbered exactly by a float, as label() numbers them.
constexpr float kMaxLabel = 16777216.0f;

// Device memory the per-block slots may take: more blocks count in parallel while the slots of
// all of them fit, down to one block for labels numbered near the pixel count.
constexpr std::size_t kSlotBudget = std::size_t(64) << 20;
constexpr std::size_t kSlotBytes =
    3 * sizeof(unsigned long long) + sizeof(double) + 6 * sizeof(int);
// Pixels a counting block gets at least: fewer would cost more in emptying its slots.
constexpr int kPixelsPerBlock = 4096;

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

[[noreturn]] void refuseLabel(float l, std::size_t i, int width) {
    throw std::invalid_argument("regions: label " + describe(l) + " at (" +
                                std::to_string(i % width) + ", " + std::to_string(i / width) +
                                ") is not a whole number in [0, 16777216]");
}

// Device scratch given back however the operation ends.
template <class T>
struct Scratch {
    T* p = nullptr;
    explicit Scratch(std::size_t count) {
        LumerixCheck(LumerixMalloc(reinterpret_cast<void**>(&p), count * sizeof(T)));
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { LumerixFree(p); }
};

// The host pass, for labels numbered beyond the pixel count: the labels present are sorted and
// each pixel's label found among them.
std::vector<LumerixRegion> sparseRegions(Lumerix& labels, Lumerix& values, int width, int height) {
    std::vector<LumerixRegion> out;
    const float* lab = labels.GetHostPtr();
    const float* val = &labels == &values ? lab : values.GetHostPtr();
    const std::size_t plane = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    std::vector<float> present;
    for (std::size_t i = 0; i < plane; ++i) {
        const float l = lab[i];
        if (l == 0.0f) continue;
        if (!(l > 0.0f && l <= kMaxLabel && l == std::floor(l))) refuseLabel(l, i, width);
        present.push_back(l);
    }
    std::sort(present.begin(), present.end());
    present.erase(std::unique(present.begin(), present.end()), present.end());
    const auto slot = [&](float l) -> std::size_t {
        return static_cast<std::size_t>(std::lower_bound(present.begin(), present.end(), l) -
                                        present.begin()) +
               1;
    };

    std::vector<Partial> parts(present.size() + 1);
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
        LumerixRegion r;
        r.label = static_cast<int>(present[k - 1]);
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

float keyValue(int key) {
    const std::uint32_t bits = static_cast<std::uint32_t>(key ^ ((key >> 31) & 0x7fffffff));
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

}  // namespace

std::vector<LumerixRegion> regions(Lumerix& labels, Lumerix& values) {
    LMX_API_ENTRY();
    const cmm::cmmDims dims = labels.GetDimensions();
    const cmm::cmmDims valueDims = values.GetDimensions();
    for (int d = 0; d < 4; ++d)
        if (dims.Dim(d) != valueDims.Dim(d) || dims.Size() != valueDims.Size())
            throw std::invalid_argument("regions: the values' extents differ from the labels'");
    std::vector<LumerixRegion> out;
    if (dims.Size() <= 0) return out;
    const int width = dims.Dim(0);
    const int height = dims.Dim(1);
    const int n = width * height;  // the first plane, within the image's int pixel count

    int slots = 0;
    {
        lmx::LockGuard locks;
        float* lab = locks.lock(labels);
        float* val = &labels == &values ? lab : locks.lock(values);

        // The scan: the largest label, and the first pixel whose label is refused.
        float largest = 0.0f;
        {
            Scratch<float> top(lmx::kRegionBlocks);
            Scratch<int> bad(lmx::kRegionBlocks);
            lmx::launch(&LumerixRegionsScanI2I, dim3(lmx::kRegionBlocks), dim3(lmx::kRegionThreads),
                        0, lab, n, top.p, bad.p);
            LumerixCheck(cudaGetLastError());
            float tops[lmx::kRegionBlocks];
            int bads[lmx::kRegionBlocks];
            LumerixCheck(cudaMemcpy(tops, top.p, sizeof tops, cudaMemcpyDeviceToHost));
            LumerixCheck(cudaMemcpy(bads, bad.p, sizeof bads, cudaMemcpyDeviceToHost));
            const int first = *std::min_element(bads, bads + lmx::kRegionBlocks);
            if (first < n) {
                float l = 0.0f;
                LumerixCheck(cudaMemcpy(&l, lab + first, sizeof l, cudaMemcpyDeviceToHost));
                refuseLabel(l, static_cast<std::size_t>(first), width);
            }
            largest = *std::max_element(tops, tops + lmx::kRegionBlocks);
        }

        if (largest <= static_cast<float>(n)) {
            slots = static_cast<int>(largest) + 1;
            const std::size_t perBlock = static_cast<std::size_t>(slots) * kSlotBytes;
            int blocks = static_cast<int>(std::min<std::size_t>(
                lmx::kRegionBlocks, std::max<std::size_t>(1, kSlotBudget / perBlock)));
            blocks = std::max(1, std::min(blocks, n / kPixelsPerBlock));
            // Every block empties and the merge reads all its slots: with many labels, fewer
            // blocks keep that work below the pixels' own.
            blocks = std::max(1, std::min(blocks, n / (8 * slots)));
            const std::size_t entries = static_cast<std::size_t>(blocks) * slots;
            Scratch<unsigned long long> area(entries);
            Scratch<unsigned long long> coords(2 * entries);
            Scratch<double> sum(entries);
            Scratch<int> box(6 * entries);
            lmx::launch(&LumerixRegionsCountI2I, dim3(blocks), dim3(lmx::kRegionThreads), 0, lab,
                        val, width, n, slots, area.p, coords.p, sum.p, box.p);
            LumerixCheck(cudaGetLastError());
            if (blocks > 1) {
                lmx::launchPixels(&LumerixRegionsMergeI2I, slots, slots, blocks, area.p, coords.p,
                                  sum.p, box.p);
                LumerixCheck(cudaGetLastError());
            }
            // Block 0's slots hold the merged statistics: only they come back.
            const std::size_t k = static_cast<std::size_t>(slots);
            std::vector<unsigned long long> hArea(k), hCoords(2 * k);
            std::vector<double> hSum(k);
            std::vector<int> hBox(6 * k);
            LumerixCheck(cudaMemcpy(hArea.data(), area.p, k * sizeof(unsigned long long),
                                    cudaMemcpyDeviceToHost));
            LumerixCheck(cudaMemcpy(hCoords.data(), coords.p, 2 * k * sizeof(unsigned long long),
                                    cudaMemcpyDeviceToHost));
            LumerixCheck(
                cudaMemcpy(hSum.data(), sum.p, k * sizeof(double), cudaMemcpyDeviceToHost));
            LumerixCheck(
                cudaMemcpy(hBox.data(), box.p, 6 * k * sizeof(int), cudaMemcpyDeviceToHost));
            const float nan = std::numeric_limits<float>::quiet_NaN();
            for (std::size_t s = 1; s < k; ++s) {
                if (hArea[s] == 0) continue;
                const int* e = &hBox[6 * s];
                LumerixRegion r;
                r.label = static_cast<int>(s);
                r.area = static_cast<long long>(hArea[s]);
                r.x0 = e[0];
                r.y0 = e[1];
                r.x1 = e[2] + 1;
                r.y1 = e[3] + 1;
                const double a = static_cast<double>(hArea[s]);
                r.cx = static_cast<double>(hCoords[2 * s]) / a;
                r.cy = static_cast<double>(hCoords[2 * s + 1]) / a;
                const bool anyNan = e[5] == std::numeric_limits<int>::max();
                r.min = anyNan ? nan : keyValue(e[4]);
                r.max = anyNan ? nan : keyValue(e[5]);
                r.mean = hSum[s] / a;
                out.push_back(r);
            }
            return out;
        }
    }
    return sparseRegions(labels, values, width, height);
}
