// lumerix: reads an image file, runs a pipeline of the library's operations on it and writes
// the result; `lumerix demo` makes a gallery from a sample drawn in code.
//
// Exit status: 0 done, 2 bad input (one line on standard error, no output file written).
// A failing device call ends the process inside the library, with its own message and status 1.

#include "tools/CommandLine.h"
#include "tools/Demo.h"
#include "tools/Pipeline.h"
#include "tools/imageio/ImageFile.h"

#include "lumerix/Device.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <cstdio>
#include <iostream>
#include <new>
#include <string>
#include <vector>

namespace lmx::tool {
namespace {

void printTime(const char* what, double ms) {
    std::printf("time: %-32s %10.3f ms\n", what, ms);
}

// The FFT's plans are kept in the user's cache folder ($XDG_CACHE_HOME/lumerix, else
// ~/.cache/lumerix), so that only the first run of a size measures them. Without a cache folder
// that can be made, every run plans afresh.
void keepFftPlansInCache(const std::vector<Step>& steps) {
    bool transforms = false;
    for (const Step& s : steps) transforms = transforms || std::string(s.command->name) == "fft";
    if (!transforms) return;
    std::string cache;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && xdg[0] == '/')
        cache = xdg;
    else if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        cache = std::string(home) + "/.cache";
    else
        return;
    const std::string folder = cache + "/lumerix";
    for (const std::string& f : {cache, folder})
        if (::mkdir(f.c_str(), 0700) != 0 && errno != EEXIST) return;
    fftKeepPlans((folder + "/fftw-wisdom").c_str());
}

// An input's alpha channel runs as a channel of its own where the output can hold it: with
// --per-channel into a PNG (or with no output, for stats and regions).
bool keepsAlpha(const Options& o) {
    return o.perChannel && (o.output.empty() || io::formatForPath(o.output) == io::FileFormat::Png);
}

int runPipeline(const Invocation& inv) {
    const Options& o = inv.options;
    if (o.backendInfo) std::cout << backendInfo() << std::flush;
    double start = nowMs();
    io::HostImage file;
    try {
        file = io::readImage(inv.input, pixelLimit(o), keepsAlpha(o));
    } catch (const io::ImageFileError& e) {
        throw ToolError("read", e.what());
    }
    if (file.alphaDropped)
        std::fprintf(stderr, "lumerix: warning: %s: its alpha channel is dropped (%s keeps it)\n",
                     inv.input.c_str(), o.perChannel ? "only a PNG output" : "--per-channel");
    std::vector<Value> channels = loadChannels(file, o.perChannel);
    const bool colourFile = file.channels == 3;
    const io::SampleType inputType = file.type;
    file = io::HostImage();  // the samples live in the images now
    synchronise();
    const double readMs = nowMs() - start;

    keepFftPlansInCache(inv.steps);
    std::vector<double> stepMs;
    runSteps(channels, inv.steps, std::cout, o.time ? &stepMs : nullptr);

    double writeMs = 0.0;
    if (!o.output.empty()) {
        start = nowMs();
        const io::SampleType type = outputType(channels, o, inputType);
        const std::string warning = clippingWarning(channels, o, type);
        if (!warning.empty()) std::fprintf(stderr, "%s\n", warning.c_str());
        io::HostImage result = toHostImage(channels, type, o.normalise, o.colour);
        try {
            io::writeImage(o.output, result, o.quality.value_or(io::kDefaultJpegQuality));
        } catch (const io::ImageFileError& e) {
            throw ToolError("write", e.what());
        }
        writeMs = nowMs() - start;
    }
    if (o.time) {
        printTime(("read " + inv.input + (colourFile && !o.perChannel ? " (to grey)" : "")).c_str(),
                  readMs);
        double total = readMs + writeMs;
        for (std::size_t s = 0; s < inv.steps.size(); ++s) {
            printTime(inv.steps[s].text.c_str(), stepMs[s]);
            total += stepMs[s];
        }
        if (!o.output.empty()) printTime(("write " + o.output).c_str(), writeMs);
        printTime("total", total);
        std::printf("fft plans measured: %ld\n", fftPlansMeasured());
    }
    if (o.stats) std::cout << cmmGetStatistics().Report();
    return 0;
}

int run(const std::vector<std::string>& words) {
    const Invocation inv = parseCommandLine(words);
    switch (inv.mode) {
        case Invocation::Mode::Help:
            std::cout << (inv.topic.empty() ? helpText() : helpFor(inv.topic));
            return 0;
        case Invocation::Mode::BackendInfo:
            std::cout << backendInfo();
            return 0;
        case Invocation::Mode::Demo:
            runDemo(inv.folder, std::cout);
            return 0;
        case Invocation::Mode::Pipeline:
            return runPipeline(inv);
    }
    return 0;
}

}  // namespace
}  // namespace lmx::tool

namespace {

// The tool is a program of its own, often run beside others: when the user has not chosen how
// the backend's idle threads wait, it runs with them sleeping rather than spinning (spinning
// threads make each small step up to a hundred times slower when another process keeps a core
// busy). The backend reads the setting when the library is loaded, before main(), so the tool
// starts itself again with it; the setting, then present, keeps that from happening twice. If
// the new start fails, the tool goes on as it is.
void preferPassiveWaiting(char** argv) {
    const char* setting = lmx::passiveWaitEnvironment();
    if (!setting) return;
    const std::string text = setting;
    const std::size_t equals = text.find('=');
    const std::string name = text.substr(0, equals);
    if (equals == std::string::npos || std::getenv(name.c_str())) return;
    if (::setenv(name.c_str(), text.c_str() + equals + 1, 1) != 0) return;
    ::execv("/proc/self/exe", argv);
}

}  // namespace

int main(int argc, char** argv) {
    preferPassiveWaiting(argv);
    std::vector<std::string> words(argv + 1, argv + argc);
    try {
        const int status = lmx::tool::run(words);
        std::cout.flush();
        return status;
    } catch (const lmx::tool::ToolError& e) {
        std::cout.flush();
        std::fprintf(stderr, "%s\n", e.what());
    } catch (const std::bad_alloc&) {
        std::cout.flush();
        std::fprintf(stderr, "lumerix: out of host memory\n");
    } catch (const std::exception& e) {
        // Library misuse outside a step (loading, writing): the same one line.
        std::cout.flush();
        std::fprintf(stderr, "lumerix: %s: %s\n", words.empty() ? "usage" : words[0].c_str(),
                     e.what());
    }
    return 2;
}
