// The rows for the Fourier transform and its inverse.

#include "tools/Command.h"

#include <cmath>
#include <memory>
#include <string>

namespace lmx::tool {
namespace {

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
    return spectrum(-(imageWidth(spectrum) / 2), -(imageHeight(spectrum) / 2));
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

void runIfft(Value& v, const Args&, StepContext&) {
    if (!v.complex)
        throw ToolError("ifft", "needs the two parts of a spectrum: put fft --complex before it");
    Lumerix back = ifft(*v.image, *v.imag);
    const float n = static_cast<float>(back.GetDimensions().Size());
    v.image.reset(new Lumerix(back / n));
    v.imag.reset();
    v.complex = false;
}

}  // namespace

std::vector<Command> frequencyCommands() {
    // clang-format off
    return {
        {"fft", {},
         {{"--magnitude", "the magnitude of the spectrum (the default)"},
          {"--log", "log(1 + magnitude), to see the weak frequencies"},
          {"--phase", "the phase, -pi to pi"},
          {"--real", "the real part"},
          {"--imag", "the imaginary part"},
          {"--complex", "keep both parts, unshifted, for a later ifft"}},
         "2-D Fourier transform; the views have the zero frequency shifted to the centre",
         runFft, checkFftFlags},
        {"ifft", {}, {}, "inverse 2-D Fourier transform of the parts left by fft --complex; the tool divides the result by the pixel count, so fft --complex ifft gives the image back (the library's ifft does not divide)",
         runIfft, nullptr, true},
    };
    // clang-format on
}

}  // namespace lmx::tool
