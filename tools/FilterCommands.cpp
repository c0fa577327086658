// The rows for the neighbourhood filters (morphology, convolution, Gaussians) and labelling.

#include "tools/Command.h"

#include "lumerix/GaussTaps.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace lmx::tool {
namespace {

// The morphology schedules by name: the library's shape numbers 1, 2 and any other.
const ArgParam kShape{"SHAPE", ArgKind::Choice, {"cross", "square", "alternate"}};
int shapeNumber(const Args& a, std::size_t i) {
    const int choice = a.integer(i);
    return choice == 0 ? 1 : choice == 1 ? 2 : 0;
}

// Any finite σ goes to the library (a negative σ is its magnitude); NaN and ±∞ are refused
// while the command line is read, and a σ that gives the filter no finite table (0, or one so
// small that every weight off the centre vanishes) by the check below, in the tool's words.
const ArgParam kSigma{"SIGMA", ArgKind::Real};

template <GaussKind Kind>
void checkSigma(const char* name, const Args& a) {
    if (a.real(0) == 0.0f) throw ToolError(name, "sigma must be non-zero and finite");
    try {
        gaussTaps(a.real(0), Kind, name);
    } catch (const std::invalid_argument&) {
        throw ToolError(
            name, "sigma " + a.words[0] + " is too small: the filter has no weight off its centre");
    }
}

// The text of TAPS (a file's contents when it was given as @FILE): numbers separated by commas,
// spaces or lines.
std::string tapText(const std::string& text) {
    std::string s = text;
    for (char& c : s)
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ') c = ',';
    // Runs of separators count as one; none at either end.
    std::string joined;
    for (char c : s)
        if (c != ',' || (!joined.empty() && joined.back() != ',')) joined += c;
    if (!joined.empty() && joined.back() == ',') joined.pop_back();
    if (joined.empty()) throw ToolError("convolve", "TAPS: no numbers given");
    return joined;
}

std::vector<float> parseTaps(const std::string& word) {
    const std::string list = tapText(word);
    std::vector<float> taps;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = list.find(',', start);
        const std::string item =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        errno = 0;
        char* end = nullptr;
        const double v = std::strtod(item.c_str(), &end);
        if (item.empty() || end != item.c_str() + item.size())
            throw ToolError("convolve", "TAPS: '" + item + "' is not a number");
        if (!std::isfinite(v) || errno == ERANGE ||
            std::fabs(v) > std::numeric_limits<float>::max())
            throw ToolError("convolve", "TAPS: '" + item + "' is not a finite number");
        taps.push_back(static_cast<float>(v));
        if (comma == std::string::npos) return taps;
        start = comma + 1;
    }
}

void checkTaps(const char*, const Args& a) {
    const long long want = (2LL * a.integer(0) + 1) * (2LL * a.integer(1) + 1);
    if (want > kLumerixMaxTaps)
        throw ToolError("convolve",
                        "a window of " + std::to_string(2LL * a.integer(0) + 1) + " x " +
                            std::to_string(2LL * a.integer(1) + 1) + " taps is more than the " +
                            std::to_string(kLumerixMaxTaps) + " the device table holds");
    const std::size_t got = parseTaps(a.words[2]).size();
    if (static_cast<long long>(got) != want)
        throw ToolError("convolve", "XRADIUS " + a.words[0] + " and YRADIUS " + a.words[1] +
                                        " need " + std::to_string(want) + " taps, got " +
                                        std::to_string(got));
}

// label --min-area N: components of fewer than N pixels become background and the rest are
// numbered 1, 2, 3, ... again. The library numbers components in the raster order of their
// first pixels, so keeping the old order keeps that order too.
Lumerix keepLarge(Lumerix& labels, long long minArea) {
    const std::vector<LumerixRegion> found = regions(labels, labels);
    int most = 0;
    for (const LumerixRegion& r : found) most = std::max(most, r.label);
    std::vector<float> renumber(static_cast<std::size_t>(most) + 1, 0.0f);
    float next = 0.0f;
    for (const LumerixRegion& r : found)
        if (r.label > 0 && r.area >= minArea) renumber[static_cast<std::size_t>(r.label)] = ++next;
    Lumerix out(labels.GetDimensions());
    const float* in = labels.GetHostPtr();
    float* o = out.GetHostPtr();
    const std::size_t n = static_cast<std::size_t>(labels.GetDimensions().Size());
    for (std::size_t i = 0; i < n; ++i) o[i] = renumber[static_cast<std::size_t>(in[i])];
    return out;
}

void checkLabel(const char* name, const Args& a) {
    const double n = a.flagValue("--min-area", 1.0);
    if (n < 1.0 || n != std::floor(n))
        throw ToolError(name, "--min-area '" + a.flagWord("--min-area") +
                                  "' is not a whole number of pixels, 1 or more");
}

}  // namespace

std::vector<Command> filterCommands() {
    // clang-format off
    return {
        {"erode", {{"PASSES", ArgKind::Count}, kShape}, {},
         "grey erosion: PASSES passes of the minimum over the cross (4 neighbours), the 3 x 3 square, or the two alternating",
         [](Value& v, const Args& a, StepContext&) { v.image.reset(new Lumerix(erosion(*v, a.integer(0), shapeNumber(a, 1)))); }},
        {"dilate", {{"PASSES", ArgKind::Count}, kShape}, {},
         "grey dilation: PASSES passes of the maximum, shapes as for erode",
         [](Value& v, const Args& a, StepContext&) { v.image.reset(new Lumerix(dilation(*v, a.integer(0), shapeNumber(a, 1)))); }},
        {"convolve", {{"XRADIUS", ArgKind::Count}, {"YRADIUS", ArgKind::Count}, {"TAPS", ArgKind::Word}}, {},
         "correlation with (2 XRADIUS + 1) x (2 YRADIUS + 1) taps written row after row, comma-separated, or @FILE to read them from FILE (at most 225); mirrored borders",
         [](Value& v, const Args& a, StepContext&) {
             std::vector<float> taps = parseTaps(a.words[2]);
             // The library reads exactly as many taps as the radii call for, whatever the
             // vector holds: a count the check refuses is refused here as well.
             const long long want = (2LL * a.integer(0) + 1) * (2LL * a.integer(1) + 1);
             if (static_cast<long long>(taps.size()) != want) checkTaps("convolve", a);
             v.image.reset(new Lumerix(convolve(*v, taps.data(), a.integer(0), a.integer(1))));
         },
         checkTaps},
        {"gauss", {kSigma}, {}, "Gaussian smoothing (window radius 2 |SIGMA|, 1 to 7; SIGMA 0 is refused)",
         [](Value& v, const Args& a, StepContext&) { v.image.reset(new Lumerix(gauss(*v, a.real(0)))); },
         checkSigma<GaussKind::Smooth>},
        {"gaussx", {kSigma}, {}, "the negative derivative of a Gaussian along x: a ramp growing along x gives negative values (abs, --normalise or a float TIFF show both signs)",
         [](Value& v, const Args& a, StepContext&) { v.image.reset(new Lumerix(gaussx(*v, a.real(0)))); },
         checkSigma<GaussKind::DerivX>},
        {"gaussy", {kSigma}, {}, "the negative derivative of a Gaussian along y, as gaussx: a ramp growing downwards gives negative values",
         [](Value& v, const Args& a, StepContext&) { v.image.reset(new Lumerix(gaussy(*v, a.real(0)))); },
         checkSigma<GaussKind::DerivY>},
        {"gradient", {kSigma}, {}, "edge strength: sqrt(gaussx^2 + gaussy^2)",
         [](Value& v, const Args& a, StepContext&) {
             Lumerix gx = gaussx(*v, a.real(0));
             Lumerix gy = gaussy(*v, a.real(0));
             v.image.reset(new Lumerix(sqrt(gx * gx + gy * gy)));
         },
         checkSigma<GaussKind::DerivX>},
        {"label", {}, {{"--connectivity", "4 (pixels sharing an edge, the default) or 8 (an edge or a corner)", "N", {"4", "8"}},
                       {"--min-area", "drops components of fewer than N pixels and numbers the rest 1, 2, 3, ... in the same order", "N"}},
         "numbers the connected components of the non-zero pixels 1, 2, 3, ... in the raster order of their first pixels (0 stays 0); --colour paints them",
         [](Value& v, const Args& a, StepContext&) {
             checkPlane(*v, "label");
             v.image.reset(new Lumerix(label(*v, a.flagValue("--connectivity", 0) == 1 ? 8 : 4)));
             const double minArea = a.flagValue("--min-area", 1.0);
             if (minArea > 1.0) v.image.reset(new Lumerix(keepLarge(*v, static_cast<long long>(std::min(minArea, 1e18)))));
             v.labels = true;
         },
         checkLabel},
    };
    // clang-format on
}

}  // namespace lmx::tool

namespace lmx::tool {

std::vector<float> readTaps(const std::string& word) {
    return parseTaps(word);
}

}  // namespace lmx::tool
