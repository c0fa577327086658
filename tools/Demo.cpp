// The demo gallery. Each picture is a pipeline written in the words a user would type, run by
// the same parser and steps as the command line, so the page shows what the tool does.

#include "tools/Demo.h"

#include "tools/CommandLine.h"
#include "tools/Pictures.h"
#include "tools/Pipeline.h"
#include "tools/imageio/ImageFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace lmx::tool {

std::vector<GalleryStep> galleryList() {
    // clang-format off
    return {
        {"threshold.png", "Threshold at 128: the bright shapes and strokes as a mask",      "threshold 128", true},
        {"inverted.png",  "Inverted: 255 - pixel",                                          "rsub 255"},
        {"contrast.png",  "Square root, stretched: dark tones opened up",                   "sqrt", true},
        {"blur.png",      "Gaussian blur, sigma 2",                                         "gauss 2"},
        {"edges.png",     "Edges: gradient magnitude of a Gaussian of sigma 1.5, stretched", "gradient 1.5", true},
        {"labels.png",    "The threshold mask's connected components, each in a colour",    "threshold 128 label", false, true},
        {"spectrum.png",  "FFT magnitude on a log scale, zero frequency in the centre",     "fft --log", true},
        {"eroded.png",    "Erosion: 3 passes of the 3 x 3 square",                          "erode 3 square"},
        {"dilated.png",   "Dilation: 3 passes of the 3 x 3 square",                         "dilate 3 square"},
        {"warped.png",    "Affine warp: turned 20 degrees about the centre, bilinear",      "affine 0.9397 -0.342 81.1 0.342 0.9397 -75.97"},
        // The chart and the figures close the page, after every picture.
        {"histogram.png", "Histogram of the sample, 256 bins as a bar chart",               "histogram"},
        {nullptr,         "Statistics of the sample",                                       "stats"},
    };
    // clang-format on
}

namespace {

std::string html(const std::string& text) {
    std::string s;
    for (char c : text) {
        switch (c) {
            case '<':
                s += "&lt;";
                break;
            case '>':
                s += "&gt;";
                break;
            case '&':
                s += "&amp;";
                break;
            case '"':
                s += "&quot;";
                break;
            default:
                s += c;
        }
    }
    return s;
}

void makeFolder(const std::string& folder) {
    struct stat st;
    if (::stat(folder.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) throw ToolError("demo", folder + ": exists and is not a folder");
        return;
    }
    if (::mkdir(folder.c_str(), 0777) != 0)
        throw ToolError("demo", folder + ": cannot create: " + std::strerror(errno));
}

// Text files go the way images do: a temporary name, then a rename.
void writeText(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream f(temp, std::ios::binary | std::ios::trunc);
        f << text;
        f.close();
        if (!f) {
            std::remove(temp.c_str());
            throw ToolError("demo", path + ": cannot write");
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        throw ToolError("demo", path + ": cannot write: " + std::strerror(errno));
    }
}

void writePicture(const std::string& path, const io::HostImage& image) {
    try {
        io::writeImage(path, image);
    } catch (const io::ImageFileError& e) {
        throw ToolError("demo", e.what());
    }
}

struct Shown {
    GalleryStep step;
    double ms;
    std::string text;
    int width = 0, height = 0;
};

}  // namespace

void runDemo(const std::string& folder, std::ostream& out) {
    makeFolder(folder);
    const std::string dir = folder + "/";
    std::unique_ptr<Lumerix> sample;
    synchronise();
    double start = nowMs();
    sample.reset(new Lumerix(sampleImage(kSampleWidth, kSampleHeight)));
    std::vector<Value> original(1);
    original[0].image.reset(new Lumerix(*sample));
    synchronise();
    const double sampleMs = nowMs() - start;
    writePicture(dir + "sample.png", toHostImage(original, io::SampleType::UInt8, false, false));

    std::vector<Shown> shown;
    for (const GalleryStep& g : galleryList()) {
        const std::vector<Step> steps = parseSteps(splitWords(g.pipeline));
        std::vector<Value> channels(1);
        channels[0].image.reset(new Lumerix(*sample));
        std::ostringstream text;
        synchronise();
        start = nowMs();
        runSteps(channels, steps, text);
        synchronise();
        Shown s{g, nowMs() - start, text.str()};
        if (g.file) {
            const io::HostImage picture =
                toHostImage(channels, io::SampleType::UInt8, g.normalise, g.colour);
            s.width = picture.width;
            s.height = picture.height;
            writePicture(dir + g.file, picture);
        }
        shown.push_back(s);
    }

    std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Lumerix demo</title>\n"
        "<style>body{font-family:sans-serif;background:#f4f4f4}figure{display:inline-block;"
        "margin:12px;vertical-align:top}figcaption{max-width:512px}pre{background:#fff;"
        "padding:8px}</style></head><body>\n<h1>Lumerix demo</h1>\n<p>" +
        html(backendInfo()) + "</p>\n";
    char line[256];
    std::snprintf(line, sizeof line, "%.2f ms", sampleMs);
    page += "<figure><img src=\"sample.png\" width=\"" + std::to_string(kSampleWidth) +
            "\" height=\"" + std::to_string(kSampleHeight) +
            "\" alt=\"sample\"><figcaption>The sample, made in code: a gradient, shapes, "
            "strokes and noise (" +
            line + ")</figcaption></figure>\n";
    for (const Shown& s : shown) {
        std::snprintf(line, sizeof line, "%.2f ms", s.ms);
        const std::string caption =
            html(s.step.caption) + " <code>" + html(s.step.pipeline) + "</code> (" + line + ")";
        if (s.step.file)
            page += "<figure><img src=\"" + html(s.step.file) + "\" width=\"" +
                    std::to_string(s.width) + "\" height=\"" + std::to_string(s.height) +
                    "\" alt=\"" + html(s.step.caption) + "\"><figcaption>" + caption +
                    "</figcaption></figure>\n";
        else
            page += "<figure><figcaption>" + caption + "</figcaption><pre>" + html(s.text) +
                    "</pre></figure>\n";
    }
    page += "<h2>Memory manager</h2>\n<pre>" + html(cmmGetStatistics().Report()) +
            "</pre>\n</body></html>\n";
    writeText(dir + "index.html", page);

    char full[PATH_MAX];
    const std::string where = ::realpath(folder.c_str(), full) ? std::string(full) : folder;
    out << "lumerix demo: gallery in " << where << "/index.html\n" << backendInfo();
    int column = 16;
    for (const Shown& s : shown)
        column = std::max(column, static_cast<int>(std::strlen(s.step.pipeline)));
    std::snprintf(line, sizeof line, "  %-14s %-*s %9.2f ms\n", "sample.png", column,
                  "(made in code)", sampleMs);
    out << "steps:\n" << line;
    for (const Shown& s : shown) {
        std::snprintf(line, sizeof line, "  %-14s %-*s %9.2f ms\n",
                      s.step.file ? s.step.file : "(text)", column, s.step.pipeline, s.ms);
        out << line;
    }
    out << cmmGetStatistics().Report();
}

}  // namespace lmx::tool
