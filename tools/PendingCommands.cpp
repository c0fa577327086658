// The rows for the neighbourhood filters, geometry, the FFT and labelling, and the gallery
// pictures that use them. Built with -DLUMERIX_TOOL_ALL_OPERATIONS=ON once those operations
// are part of the library.

#include "tools/Command.h"
#include "tools/Demo.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace lmx::tool {
namespace {

// The morphology schedules by name: the library's shape numbers 1, 2 and any other.
const ArgSpec kShape{"SHAPE", ArgKind::Choice, {"cross", "square", "alternate"}};
int shapeNumber(const Args& a, std::size_t i) {
    const int choice = a.integer(i);
    return choice == 0 ? 1 : choice == 1 ? 2 : 0;
}

const ArgSpec kSigma{"SIGMA", ArgKind::Real};
void positiveSigma(const char* name, const Args& a) {
    if (!(a.real(0) > 0.0f)) throw ToolError(name, "SIGMA '" + a.words[0] + "' must be above 0");
}

// Taps are written as one word of comma-separated numbers, row after row.
std::vector<float> parseTaps(const std::string& word) {
    std::vector<float> taps;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = word.find(',', start);
        const std::string item =
            word.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
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
    if (want > 225)
        throw ToolError("convolve", "a window of " + std::to_string(2 * a.integer(0) + 1) + " x " +
                                        std::to_string(2 * a.integer(1) + 1) +
                                        " taps is more than the 225 the device table holds");
    const std::size_t got = parseTaps(a.words[2]).size();
    if (static_cast<long long>(got) != want)
        throw ToolError("convolve", "XRADIUS " + a.words[0] + " and YRADIUS " + a.words[1] +
                                        " need " + std::to_string(want) + " taps, got " +
                                        std::to_string(got));
}

int width(Lumerix& image) {
    return image.GetDimensions().Dim(0);
}
int height(Lumerix& image) {
    return image.GetDimensions().Dim(1);
}

std::string extentText(Lumerix& image) {
    return std::to_string(width(image)) + " x " + std::to_string(height(image)) + " image";
}

void checkPlane(Lumerix& image, const char* name) {
    const cmm::cmmDims d = image.GetDimensions();
    if (d.Dim(2) != 1 || d.Dim(3) != 1) throw ToolError(name, "works on two-dimensional images");
}

// Flags of fft that choose what the step leaves: at most one view.
const char* const kViews[] = {"--magnitude", "--phase", "--real", "--imag", "--complex"};
void checkFftFlags(const char*, const Args& a) {
    int views = 0;
    for (const char* v : kViews) views += a.has(v) ? 1 : 0;
    if (views > 1)
        throw ToolError("fft", "give one of --magnitude, --phase, --real, --imag, --complex");
    if (a.has("--log") && views == 1 && !a.has("--magnitude"))
        throw ToolError("fft", "--log applies to the magnitude only");
}

// Moves the zero frequency from (0, 0) to the centre, for viewing.
Lumerix centred(Lumerix& spectrum) {
    return spectrum(-(width(spectrum) / 2), -(height(spectrum) / 2));
}

void runFft(Value& v, const Args& a, StepContext&) {
    checkPlane(*v, "fft");
    auto re = std::make_unique<Lumerix>();
    auto im = std::make_unique<Lumerix>();
    fft(*v, *re, *im);
    if (a.has("--complex")) {
        v.image = std::move(re);
        v.imag = std::move(im);
        v.complex = true;
        return;
    }
    std::unique_ptr<Lumerix> view;
    if (a.has("--real")) {
        view = std::move(re);
    } else if (a.has("--imag")) {
        view = std::move(im);
    } else if (a.has("--phase")) {
        // atan2 is not an operation of the library: the phase is computed on the host.
        view.reset(new Lumerix(re->GetDimensions()));
        const float* pr = re->GetHostPtr();
        const float* pi = im->GetHostPtr();
        float* p = view->GetHostPtr();
        for (int i = 0; i < re->GetDimensions().Size(); ++i) p[i] = std::atan2(pi[i], pr[i]);
    } else {
        view.reset(new Lumerix(sqrt(*re * *re + *im * *im)));
        if (a.has("--log")) view.reset(new Lumerix(log(*view + 1.0f)));
    }
    v.image.reset(new Lumerix(centred(*view)));
}

}  // namespace

std::vector<Command> pendingCommands() {
    // clang-format off
    return {
        {"erode", {{"PASSES", ArgKind::Count}, kShape}, {},
         "grey erosion: PASSES passes of the minimum over the cross (4 neighbours), the 3 x 3 square, or the two alternating",
         [](Value& v, const Args& a, StepContext&) { v.image.reset(new Lumerix(erosion(*v, a.integer(0), shapeNumber(a, 1)))); }},
        {"dilate", {{"PASSES", ArgKind::Count}, kShape}, {},
         "grey dilation: PASSES passes of the maximum, shapes as for erode",
         [](Value& v, const Args& a, StepContext&) { v.image.reset(new Lumerix(dilation(*v, a.integer(0), shapeNumber(a, 1)))); }},
        {"convolve", {{"XRADIUS", ArgKind::Count}, {"YRADIUS", ArgKind::Count}, {"TAPS", ArgKind::Word}}, {},
         "correlation with (2 XRADIUS + 1) x (2 YRADIUS + 1) taps written row after row, comma-separated (at most 225); mirrored borders",
         [](Value& v, const Args& a, StepContext&) {
             std::vector<float> taps = parseTaps(a.words[2]);
             v.image.reset(new Lumerix(convolve(*v, taps.data(), a.integer(0), a.integer(1))));
         },
         checkTaps},
        {"gauss", {kSigma}, {}, "Gaussian smoothing (window radius 2 SIGMA, 1 to 7)",
         [](Value& v, const Args& a, StepContext&) { v.image.reset(new Lumerix(gauss(*v, a.real(0)))); }, positiveSigma},
        {"gaussx", {kSigma}, {}, "derivative of a Gaussian along x",
         [](Value& v, const Args& a, StepContext&) { v.image.reset(new Lumerix(gaussx(*v, a.real(0)))); }, positiveSigma},
        {"gaussy", {kSigma}, {}, "derivative of a Gaussian along y",
         [](Value& v, const Args& a, StepContext&) { v.image.reset(new Lumerix(gaussy(*v, a.real(0)))); }, positiveSigma},
        {"gradient", {kSigma}, {}, "edge strength: sqrt(gaussx^2 + gaussy^2)",
         [](Value& v, const Args& a, StepContext&) {
             Lumerix gx = gaussx(*v, a.real(0));
             Lumerix gy = gaussy(*v, a.real(0));
             v.image.reset(new Lumerix(sqrt(gx * gx + gy * gy)));
         },
         positiveSigma},
        {"shift", {{"DX", ArgKind::Integer}, {"DY", ArgKind::Integer}}, {},
         "circular shift: the content moves DX to the right and DY down, re-entering at the opposite edge",
         [](Value& v, const Args& a, StepContext&) {
             checkPlane(*v, "shift");
             // Reduced modulo the extents: the library corrects an offset by one width only.
             const int w = width(*v), h = height(*v);
             const int dx = ((-a.integer(0)) % w + w) % w, dy = ((-a.integer(1)) % h + h) % h;
             v.image.reset(new Lumerix((*v)(dx, dy)));
         }},
        {"crop", {{"X0", ArgKind::Count}, {"X1", ArgKind::Count}, {"Y0", ArgKind::Count}, {"Y1", ArgKind::Count}}, {},
         "the window of columns X0 to X1 - 1 and rows Y0 to Y1 - 1",
         [](Value& v, const Args& a, StepContext&) {
             const int x0 = a.integer(0), x1 = a.integer(1), y0 = a.integer(2), y1 = a.integer(3);
             if (x1 > width(*v) || y1 > height(*v))
                 throw ToolError("crop", "window x " + a.words[0] + ".." + a.words[1] + ", y " + a.words[2] + ".." +
                                             a.words[3] + " lies outside the " + extentText(*v));
             v.image.reset(new Lumerix((*v)(x0, x1, y0, y1)));
         },
         [](const char*, const Args& a) {
             if (a.integer(1) <= a.integer(0) || a.integer(3) <= a.integer(2))
                 throw ToolError("crop", "window x " + a.words[0] + ".." + a.words[1] + ", y " + a.words[2] + ".." +
                                             a.words[3] + " is empty (X1 must exceed X0, Y1 exceed Y0)");
         }},
        {"slice", {{"X", ArgKind::Real}, {"Y", ArgKind::Real}, {"W", ArgKind::Extent}, {"H", ArgKind::Extent}}, {},
         "a W x H window whose origin (X, Y) may fall between pixels, sampled bilinearly",
         [](Value& v, const Args& a, StepContext&) {
             const float x = a.real(0), y = a.real(1);
             if (x < 0 || y < 0 || x + a.integer(2) > width(*v) || y + a.integer(3) > height(*v))
                 throw ToolError("slice", "window at (" + a.words[0] + ", " + a.words[1] + ") of " + a.words[2] +
                                              " x " + a.words[3] + " lies outside the " + extentText(*v));
             v.image.reset(new Lumerix(slice(*v, x, y, a.integer(2), a.integer(3))));
         }},
        {"xx", {}, {}, "replaces each pixel by its x coordinate",
         [](Value& v, const Args&, StepContext&) { v.image.reset(new Lumerix(xx(*v))); }},
        {"yy", {}, {}, "replaces each pixel by its y coordinate",
         [](Value& v, const Args&, StepContext&) { v.image.reset(new Lumerix(yy(*v))); }},
        {"affine", {{"A", ArgKind::Real}, {"B", ArgKind::Real}, {"C", ArgKind::Real}, {"D", ArgKind::Real}, {"E", ArgKind::Real}, {"F", ArgKind::Real}}, {},
         "affine warp, bilinear: output pixel (x, y) samples the input at (A x + B y + C, D x + E y + F)",
         [](Value& v, const Args& a, StepContext&) {
             checkPlane(*v, "affine");
             v.image.reset(new Lumerix(affine(*v, a.real(0), a.real(1), a.real(2), a.real(3), a.real(4), a.real(5))));
         }},
        {"resize", {{"W", ArgKind::Extent}, {"H", ArgKind::Extent}, {"A", ArgKind::Integer}, {"B", ArgKind::Integer}}, {},
         "a W x H canvas with the image's pixel (0, 0) placed at (A, B); the rest is 0",
         [](Value& v, const Args& a, StepContext&) {
             v.image.reset(new Lumerix(resize(*v, cmm::cmmDims(a.integer(0), a.integer(1)), a.integer(2), a.integer(3))));
         }},
        {"fft", {},
         {{"--magnitude", "the magnitude of the spectrum (the default)"},
          {"--log", "log(1 + magnitude), to see the weak frequencies"},
          {"--phase", "the phase, -pi to pi"},
          {"--real", "the real part"},
          {"--imag", "the imaginary part"},
          {"--complex", "keep both parts, unshifted, for a later ifft"}},
         "2-D Fourier transform; the views have the zero frequency shifted to the centre",
         runFft, checkFftFlags},
        {"ifft", {}, {}, "inverse 2-D Fourier transform of the parts left by fft --complex, divided by the pixel count (so fft --complex ifft gives the image back)",
         [](Value& v, const Args&, StepContext&) {
             if (!v.complex) throw ToolError("ifft", "needs the two parts of a spectrum: put fft --complex before it");
             Lumerix back = ifft(*v.image, *v.imag);
             const float n = static_cast<float>(back.GetDimensions().Size());
             v.image.reset(new Lumerix(back / n));
             v.imag.reset();
             v.complex = false;
         },
         nullptr, true},
        {"label", {}, {}, "numbers the 4-connected components of the non-zero pixels 1, 2, 3, ... (0 stays 0); --colour paints them",
         [](Value& v, const Args&, StepContext&) {
             checkPlane(*v, "label");
             v.image.reset(new Lumerix(label(*v)));
         }},
    };
    // clang-format on
}

std::vector<GalleryStep> pendingGallery() {
    // clang-format off
    return {
        {"blur.png",     "Gaussian blur, sigma 2",                                          "gauss 2"},
        {"edges.png",    "Edges: gradient magnitude of a Gaussian of sigma 1.5, stretched", "gradient 1.5", true},
        {"labels.png",   "The threshold mask's connected components, each in a colour",     "threshold 128 label", false, true},
        {"spectrum.png", "FFT magnitude on a log scale, zero frequency in the centre",      "fft --log", true},
        {"eroded.png",   "Erosion: 3 passes of the 3 x 3 square",                           "erode 3 square"},
        {"dilated.png",  "Dilation: 3 passes of the 3 x 3 square",                          "dilate 3 square"},
        {"warped.png",   "Affine warp: turned 20 degrees about the centre, bilinear",       "affine 0.9397 -0.342 81.1 0.342 0.9397 -75.97"},
    };
    // clang-format on
}

}  // namespace lmx::tool
