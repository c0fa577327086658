// The statistics report, the histogram chart, label colours and the sample image. Everything
// here works on host copies: these are small pictures drawn once per run.

#include "tools/Pictures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace lmx::tool {

void printStatistics(Lumerix& image, const std::string& channel, std::ostream& out) {
    const cmm::cmmDims d = image.GetDimensions();
    unsigned int bins[256] = {};
    histogram256(image, bins);
    char line[256];
    std::snprintf(line, sizeof line, "stats%s%s: %d x %d pixels\n", channel.empty() ? "" : " ",
                  channel.c_str(), d.Dim(0), d.Size() / std::max(1, d.Dim(0)));
    out << line;
    std::snprintf(line, sizeof line,
                  "  sum %.9g\n  min %.9g\n  max %.9g\n  mean %.9g\n  var %.9g\n",
                  static_cast<double>(sum(image)), static_cast<double>(fmin(image)),
                  static_cast<double>(fmax(image)), static_cast<double>(mean(image)),
                  static_cast<double>(var(image)));
    out << line;
    out << "  histogram (256 bins of the saturating 8-bit value; first bin of each line):\n";
    for (int row = 0; row < 256; row += 16) {
        std::snprintf(line, sizeof line, "  %3d:", row);
        out << line;
        for (int b = row; b < row + 16; ++b) out << ' ' << bins[b];
        out << '\n';
    }
}

Lumerix histogramChart(Lumerix& image) {
    unsigned int bins[256] = {};
    histogram256(image, bins);
    const unsigned int top = std::max(1u, *std::max_element(bins, bins + 256));
    Lumerix chart(cmm::cmmDims(kChartWidth, kChartHeight));
    float* p = chart.GetHostPtr();
    for (int x = 0; x < kChartWidth; ++x) {
        const unsigned int count = bins[x / 2];
        // A bin with any pixels shows at least one row, so sparse bins stay visible.
        int bar = static_cast<int>(std::lround(static_cast<double>(count) * kChartHeight / top));
        if (count > 0 && bar == 0) bar = 1;
        for (int y = 0; y < kChartHeight; ++y)
            p[y * kChartWidth + x] = (kChartHeight - y <= bar) ? 40.0f : 255.0f;
    }
    return chart;
}

io::HostImage colourLabels(Lumerix& labels) {
    const cmm::cmmDims d = labels.GetDimensions();
    const float* p = labels.GetHostPtr();
    io::HostImage out;
    out.width = d.Dim(0);
    out.height = d.Size() / std::max(1, d.Dim(0));
    out.channels = 3;
    out.type = io::SampleType::UInt8;
    out.allocate();
    for (std::size_t i = 0; i < static_cast<std::size_t>(out.width) * out.height; ++i) {
        if (!(p[i] > 0.0f)) continue;  // background (and anything not a label) stays black
        const unsigned long n = static_cast<unsigned long>(p[i]);
        // Golden-angle steps in hue: consecutive labels land far apart on the colour wheel.
        const double hue = std::fmod(static_cast<double>(n) * 137.50776, 360.0) / 60.0;
        const double value = 0.75 + 0.25 * static_cast<double>(n % 2);
        const double f = hue - std::floor(hue);
        const double rgb[6][3] = {{1, f, 0},     {1 - f, 1, 0}, {0, 1, f},
                                  {0, 1 - f, 1}, {f, 0, 1},     {1, 0, 1 - f}};
        const double* c = rgb[static_cast<int>(hue) % 6];
        for (int k = 0; k < 3; ++k)
            out.u8[3 * i + k] =
                static_cast<std::uint8_t>(std::lround(40 + 215 * value * c[k]) & 0xff);
    }
    return out;
}

namespace {

struct Canvas {
    int w, h;
    float* p;
    void set(int x, int y, float v) {
        if (x >= 0 && y >= 0 && x < w && y < h) p[y * w + x] = v;
    }
    void disc(double cx, double cy, double r, float v) {
        for (int y = static_cast<int>(cy - r); y <= cy + r; ++y)
            for (int x = static_cast<int>(cx - r); x <= cx + r; ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r) set(x, y, v);
    }
    void ring(double cx, double cy, double r0, double r1, float v) {
        for (int y = static_cast<int>(cy - r1); y <= cy + r1; ++y)
            for (int x = static_cast<int>(cx - r1); x <= cx + r1; ++x) {
                const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                if (r2 >= r0 * r0 && r2 <= r1 * r1) set(x, y, v);
            }
    }
    void box(int x0, int y0, int x1, int y1, float v) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) set(x, y, v);
    }
    // A stroke of round pen tips along the segment.
    void stroke(double x0, double y0, double x1, double y1, double width, float v) {
        const double len = std::hypot(x1 - x0, y1 - y0);
        const int steps = std::max(1, static_cast<int>(len * 2));
        for (int i = 0; i <= steps; ++i) {
            const double t = static_cast<double>(i) / steps;
            disc(x0 + t * (x1 - x0), y0 + t * (y1 - y0), width / 2, v);
        }
    }
};

}  // namespace

Lumerix sampleImage(int width, int height) {
    Lumerix image(cmm::cmmDims(width, height));
    Canvas c{width, height, image.GetHostPtr()};
    const double sx = width / 512.0, sy = height / 384.0;
    // The ground stays below 128 with its noise, so a threshold at 128 keeps the shapes alone.
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            c.p[y * width + x] = static_cast<float>(30.0 + 70.0 * x / width + 15.0 * y / height);
    c.disc(110 * sx, 110 * sy, 60 * sx, 230.0f);
    c.box(static_cast<int>(220 * sx), static_cast<int>(50 * sy), static_cast<int>(330 * sx),
          static_cast<int>(150 * sy), 190.0f);
    c.ring(420 * sx, 105 * sy, 38 * sx, 52 * sx, 215.0f);
    c.disc(420 * sx, 105 * sy, 14 * sx, 160.0f);
    for (int y = 0; y < static_cast<int>(90 * sy); ++y)  // a triangle
        for (int x = -y; x <= y; ++x)
            c.set(static_cast<int>(90 * sx) + x, static_cast<int>(200 * sy) + y, 170.0f);
    // Strokes like handwritten letters: an L, an M and an X.
    const double pen = 7 * sx;
    c.stroke(200 * sx, 220 * sy, 200 * sx, 330 * sy, pen, 245.0f);
    c.stroke(200 * sx, 330 * sy, 255 * sx, 330 * sy, pen, 245.0f);
    c.stroke(280 * sx, 330 * sy, 290 * sx, 220 * sy, pen, 245.0f);
    c.stroke(290 * sx, 220 * sy, 320 * sx, 290 * sy, pen, 245.0f);
    c.stroke(320 * sx, 290 * sy, 350 * sx, 220 * sy, pen, 245.0f);
    c.stroke(350 * sx, 220 * sy, 360 * sx, 330 * sy, pen, 245.0f);
    c.stroke(385 * sx, 220 * sy, 460 * sx, 330 * sy, pen, 245.0f);
    c.stroke(460 * sx, 220 * sy, 385 * sx, 330 * sy, pen, 245.0f);
    // Noise from a fixed linear congruential sequence: the picture is the same on every run.
    unsigned int state = 12345u;
    for (int i = 0; i < width * height; ++i) {
        state = state * 1664525u + 1013904223u;
        const float noise = static_cast<float>(state >> 24) / 255.0f * 16.0f - 8.0f;
        c.p[i] = std::min(255.0f, std::max(0.0f, c.p[i] + noise));
    }
    return image;
}

}  // namespace lmx::tool
