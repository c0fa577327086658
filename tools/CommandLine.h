#pragma once
// The command line: an input, steps read left to right against the command list, options, and
// the help text generated from the same list.

#include "tools/Command.h"
#include "tools/imageio/ImageFile.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace lmx::tool {

struct Step {
    const Command* command;
    Args args;
    std::string text;  // as written, for timings and messages ("gauss 2")
};

struct Options {
    std::string output;
    bool normalise = false;
    bool perChannel = false;
    bool colour = false;
    bool backendInfo = false;
    bool stats = false;
    bool time = false;
    std::optional<io::SampleType> depth;
    std::optional<std::size_t> maxPixels;  // --max-pixels
    std::optional<int> quality;            // --quality, JPEG output only
};

//! The most pixels an input may have: --max-pixels, else LUMERIX_MAX_PIXELS, else 2^28 (a GiB
//! of float pixels). Throws ToolError for an environment value that is not a whole number of
//! 1 or more.
std::size_t pixelLimit(const Options& options);

struct Invocation {
    enum class Mode { Pipeline, Demo, Help, BackendInfo } mode = Mode::Pipeline;
    std::string input;   // Pipeline
    std::string folder;  // Demo
    std::string topic;   // Help: an operation, or empty for all
    std::vector<Step> steps;
    Options options;
};

//! Reads the words after the program name; throws ToolError for anything it cannot run.
Invocation parseCommandLine(const std::vector<std::string>& words);
//! Reads steps only (the demo's pipelines are written in the same words).
std::vector<Step> parseSteps(const std::vector<std::string>& words);
//! Splits a pipeline written as one string at spaces.
std::vector<std::string> splitWords(const std::string& text);

std::string helpText();
//! Help for one operation; throws ToolError for an unknown one.
std::string helpFor(const std::string& name);

}  // namespace lmx::tool
