// The command-line tool's parser and steps, in-process: the input bytes are split into words
// (at 0x00 and spaces), read as the words after "lumerix INPUT", and run over a small image made
// from the same bytes, the way the tool's main() runs them. Every input must end in a result or
// a ToolError (the tool's one line and exit status 2) or another standard exception with a
// message (main() shows those with status 2 as well): no crash, no sanitizer report, no image
// left locked.
//
// A word "@TEXT" names a file that the target writes itself, holding TEXT (';' for a line
// break); the word becomes "@" and the file's path. Between reading the command line and
// running the steps each such file is cut to half its length, as a file being rewritten or a
// pipe would be: the steps must run on what was read, never read the file again.

#include "tools/CommandLine.h"
#include "tools/Pipeline.h"

#include "FuzzSupport.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A folder of this process for the tap files, removed at exit (a plain array: it outlives
// every handler that exit runs).
char tapFolder[] = "/tmp/lumerix-fuzz-args-XXXXXX";

void removeTapFolder() {
    std::system((std::string("rm -rf '") + tapFolder + "'").c_str());
}

const char* fileFolder() {
    static const bool made = ::mkdtemp(tapFolder) && std::atexit(removeTapFolder) == 0;
    if (!made) lmxfuzz::fail("cannot make a folder for the tap files");
    return tapFolder;
}

struct TapFile {
    std::string path;
    std::string text;
};

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Turns every "@TEXT" word into "@PATH" of a file holding TEXT.
std::vector<TapFile> writeTapFiles(std::vector<std::string>& words) {
    std::vector<TapFile> files;
    for (std::string& w : words) {
        if (w.size() < 2 || w[0] != '@') continue;
        TapFile f{std::string(fileFolder()) + "/taps-" + std::to_string(files.size()), w.substr(1)};
        for (char& c : f.text)
            if (c == ';') c = '\n';
        writeFile(f.path, f.text);
        w = "@" + f.path;
        files.push_back(f);
    }
    return files;
}

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

void runWords(const std::vector<std::string>& words, const std::vector<TapFile>& files,
              const std::uint8_t* data, std::size_t size) {
    using namespace lmx::tool;
    const Invocation inv = parseCommandLine(words);
    for (const TapFile& f : files) writeFile(f.path, f.text.substr(0, f.text.size() / 2));
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
    std::vector<std::string> words = wordsFrom(data, size);
    // Files are read only where a word starts with '@', and every such word now names a file
    // of this target's own: the fuzzer never reaches a file of this machine.
    const std::vector<TapFile> files = writeTapFiles(words);
    lmxfuzz::run([&] { runWords(words, files, data, size); });
    return 0;
}
