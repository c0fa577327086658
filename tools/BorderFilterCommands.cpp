// The rows for the filters with a chosen border: correlate, gaussian, median.

#include "tools/Command.h"

#include <string>
#include <vector>

namespace lmx::tool {

const FlagParam kBorderFlag{"--border",
                            "how positions outside the image read (default reflect)",
                            "BORDER",
                            {"reflect", "nearest", "mirror", "constant", "wrap"}};

LumerixBorder borderOf(const Args& a) {
    return static_cast<LumerixBorder>(static_cast<int>(a.flagValue("--border", 0)));
}

namespace {

// TAPS as convolve reads them, its messages naming correlate.
std::vector<float> correlateTaps(const std::string& word) {
    try {
        return readTaps(word);
    } catch (const ToolError& e) {
        const std::string text = e.what(), prefix = "lumerix: convolve: ";
        throw ToolError("correlate",
                        text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text);
    }
}

void checkCorrelate(const char* name, const Args& a) {
    const long long want = (2LL * a.integer(0) + 1) * (2LL * a.integer(1) + 1);
    const std::size_t got = correlateTaps(a.words[2]).size();
    if (static_cast<long long>(got) != want)
        throw ToolError(name, "XRADIUS " + a.words[0] + " and YRADIUS " + a.words[1] + " need " +
                                  std::to_string(want) + " taps, got " + std::to_string(got));
}

void checkGaussian(const char* name, const Args& a) {
    if (!(a.real(0) > 0.0f)) throw ToolError(name, "SIGMA " + a.words[0] + " must be above 0");
    if (a.flagValue("--truncate", 4.0) < 0.0) throw ToolError(name, "--truncate must be 0 or more");
}

void checkMedian(const char* name, const Args& a) {
    const long long pixels = (2LL * a.integer(0) + 1) * (2LL * a.integer(1) + 1);
    if (pixels > 225)
        throw ToolError(name, "a window of " + std::to_string(2LL * a.integer(0) + 1) + " x " +
                                  std::to_string(2LL * a.integer(1) + 1) +
                                  " pixels is more than the 225 it takes");
}

}  // namespace

std::vector<Command> borderFilterCommands() {
    // clang-format off
    return {
        {"correlate", {{"XRADIUS", ArgKind::Count}, {"YRADIUS", ArgKind::Count}, {"TAPS", ArgKind::Word}},
         {kBorderFlag, {"--cval", "what constant outside reads (default 0)", "VALUE", {}}},
         "correlation with (2 XRADIUS + 1) x (2 YRADIUS + 1) taps written as for convolve, any number of them, under the chosen border",
         [](Value& v, const Args& a, StepContext&) {
             const std::vector<float> taps = correlateTaps(a.words[2]);
             v.image.reset(new Lumerix(correlate(*v, taps.data(), a.integer(0), a.integer(1), borderOf(a),
                                                 static_cast<float>(a.flagValue("--cval", 0.0)))));
         },
         checkCorrelate},
        {"gaussian", {{"SIGMA", ArgKind::Real}},
         {kBorderFlag, {"--truncate", "the window's radius in sigmas (default 4)", "T", {}}},
         "Gaussian smoothing of any SIGMA above 0, rows then columns, radius int(T SIGMA + 0.5)",
         [](Value& v, const Args& a, StepContext&) {
             v.image.reset(new Lumerix(gaussian(*v, a.real(0), borderOf(a),
                                                static_cast<float>(a.flagValue("--truncate", 4.0)))));
         },
         checkGaussian},
        {"median", {{"XRADIUS", ArgKind::Count}, {"YRADIUS", ArgKind::Count}}, {kBorderFlag},
         "median of the (2 XRADIUS + 1) x (2 YRADIUS + 1) window, at most 225 pixels; NaN counts above +inf",
         [](Value& v, const Args& a, StepContext&) {
             v.image.reset(new Lumerix(median(*v, a.integer(0), a.integer(1), borderOf(a))));
         },
         checkMedian},
    };
    // clang-format on
}

}  // namespace lmx::tool
