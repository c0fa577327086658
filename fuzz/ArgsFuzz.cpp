// The command-line tool's parser and steps, in-process: the input bytes are split into words
// (at 0x00 and spaces), read as the words after "lumerix INPUT", and run over a small image made
// from the same bytes, the way the tool's main() runs them. Every input must end in a result or
// a ToolError (the tool's one line and exit status 2) or another standard exception with a
// message (main() shows those with status 2 as well): no crash, no sanitizer report, no image
// left locked.

#include "tools/CommandLine.h"
#include "tools/Pipeline.h"

#include "FuzzSupport.h"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Words of at most 40 characters, at most 24 of them: enough for any pipeline worth running.
std::vector<std::string> wordsFrom(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words{"sample.png"};
    std::string word;
    for (std::size_t i = 0; i < size && words.size() < 25; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\0' || c == ' ' || c == '\n') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else if (word.size() < 40) {
            word += c;
        }
    }
    if (!word.empty() && words.size() < 25) words.push_back(word);
    return words;
}

// A small image drawn from the bytes' length: 1 x 1 up to 23 x 17, grey or colour, 8-bit,
// 16-bit or float, as a file the tool has read.
lmx::io::HostImage sampleFrom(const std::uint8_t* data, std::size_t size) {
    lmx::io::HostImage image;
    const unsigned h = size > 0 ? data[0] : 0u;
    image.width = 1 + static_cast<int>(h % 23);
    image.height = 1 + static_cast<int>((size / 3) % 17);
    image.channels = h & 0x40 ? 3 : 1;
    image.type = h & 0x80        ? lmx::io::SampleType::UInt16
                 : size % 5 == 0 ? lmx::io::SampleType::Float32
                                 : lmx::io::SampleType::UInt8;
    image.allocate();
    for (std::size_t i = 0; i < image.sampleCount(); ++i) {
        const unsigned v = (static_cast<unsigned>(i) * 37u + (size ? data[i % size] : 0u)) & 0xff;
        if (image.type == lmx::io::SampleType::UInt8) image.u8[i] = static_cast<std::uint8_t>(v);
        if (image.type == lmx::io::SampleType::UInt16)
            image.u16[i] = static_cast<std::uint16_t>(v * 257u);
        if (image.type == lmx::io::SampleType::Float32) image.f32[i] = static_cast<float>(v) / 4.f;
    }
    return image;
}

void runWords(const std::vector<std::string>& words, const std::uint8_t* data, std::size_t size) {
    using namespace lmx::tool;
    const Invocation inv = parseCommandLine(words);
    if (inv.mode != Invocation::Mode::Pipeline) return;  // help, demo: nothing of the input's
    // regions --csv writes the file it names; the fuzzer's words must not write files.
    for (const Step& step : inv.steps)
        if (step.args.has("--csv")) return;
    std::ostringstream out;
    const lmx::io::HostImage file = sampleFrom(data, size);
    std::vector<Value> channels = loadChannels(file, inv.options.perChannel);
    runSteps(channels, inv.steps, out);
    if (!inv.options.output.empty()) {
        const lmx::io::SampleType type = inv.options.depth ? *inv.options.depth : file.type;
        const lmx::io::HostImage result =
            toHostImage(channels, type, inv.options.normalise, inv.options.colour);
        LMX_FUZZ_CHECK(result.width >= 0 && result.height >= 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lmxfuzz::useSmallDevice();
    const std::vector<std::string> words = wordsFrom(data, size);
    // A tap file is read as given; keep the fuzzer from naming files of this machine.
    for (const std::string& w : words)
        if (w.find('@') != std::string::npos) return 0;
    lmxfuzz::run([&] { runWords(words, data, size); });
    return 0;
}
