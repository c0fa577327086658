#pragma once
// The tool's one list of operations: each row names an operation, its arguments and flags, the
// help text, and the handler that runs it. Help, argument checking and dispatch are all read
// from the rows, so adding an operation is adding one row.

#include "tools/imageio/ImageFile.h"

#include <lumerix/Lumerix.h>

#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace lmx::tool {

//! A failure shown to the user as "lumerix: <command>: <problem>" with exit status 2.
class ToolError : public std::runtime_error {
public:
    ToolError(const std::string& command, const std::string& problem)
        : std::runtime_error("lumerix: " + command + ": " + problem) {}
};

enum class ArgKind {
    Real,     // a finite number
    Integer,  // a whole number
    Count,    // a whole number, 0 or more
    Extent,   // a whole number, 1 or more
    Choice,   // one of the words in choices
    Word,     // any word, checked by the row's Check; @FILE stands for FILE's contents
    Operand,  // a finite number, or @FILE: an image file of the input's size, pixel by pixel
};

struct ArgParam {
    const char* name;
    ArgKind kind;
    std::vector<const char*> choices = {};
};

struct FlagParam {
    const char* name;  // "--log"
    const char* help;
    const char* value = nullptr;            // the name of the word that follows the flag, if any
    std::vector<const char*> choices = {};  // the words it may be; none: a finite number
    bool anyWord = false;                   // the word is free (a file name), not a number
};

//! "--log", or "--border BORDER" for a flag that takes a word.
inline std::string flagUsage(const FlagParam& f) {
    return f.value ? std::string(f.name) + " " + f.value : std::string(f.name);
}

//! The checked arguments of one step, in the order of the row's ArgParams.
struct Args {
    std::vector<double> numbers;         // one per argument (Choice: index of the word)
    std::vector<std::string> words;      // each argument as written (a Word's @FILE: its text,
                                         // read once while the command line is read)
    std::vector<std::string> flags;      // the row's flags that were given
    std::vector<double> flagValues;      // for each, its number or the index of its word (or 0)
    std::vector<std::string> flagWords;  // for each, the word after it as written (or "")
    //! For each argument, the image an Operand's @FILE named (read once, while the command
    //! line is read), or null.
    std::vector<std::shared_ptr<const io::HostImage>> files;

    float real(std::size_t i) const { return static_cast<float>(numbers.at(i)); }
    int integer(std::size_t i) const { return static_cast<int>(numbers.at(i)); }
    bool has(const char* flag) const;
    //! The number (or the index of the word) given after flag, or fallback without the flag.
    double flagValue(const char* flag, double fallback) const;
    //! The word given after flag, or "" without the flag.
    std::string flagWord(const char* flag) const;
};

//! What flows from step to step: one real image, or the real and imaginary parts of a
//! spectrum (after fft --complex) until ifft takes them back. The images are held by pointer
//! so that an operation's result is constructed in place: images copy on move.
struct Value {
    std::unique_ptr<Lumerix> image;
    std::unique_ptr<Lumerix> imag;  // only while complex
    bool complex = false;
    bool labels = false;  // the image holds component numbers (label was its last change)

    Lumerix& operator*() { return *image; }
};

//! Where a step prints (stats) and which channel it works on when a colour image runs per
//! channel.
struct StepContext {
    std::ostream& out;
    std::string channel;       // empty for a grey image, else "red", "green" or "blue"
    Lumerix* input = nullptr;  // the channel as loaded, kept only for steps that read it
    int channelIndex = -1;     // 0, 1, 2 for the channels of a colour image run per channel
    const char* command = "";  // the name of the step's operation
};

//! The image of an Operand's file for the channel a step works on: a grey file as it is, a
//! colour file's channel (channelIndex 0 to 2) or its luminance (channelIndex -1), the samples
//! entering as the input's do. Throws ToolError naming `command` unless it has the extents of
//! `like`.
std::unique_ptr<Lumerix> operandImage(const io::HostImage& file, int channelIndex,
                                      const char* command, const std::string& word, Lumerix& like);

using Handler = void (*)(Value& value, const Args& args, StepContext& context);
//! Checks that the arguments go together, while the command line is read; throws ToolError.
using Check = void (*)(const char* name, const Args& args);

struct Command {
    const char* name;
    std::vector<ArgParam> args;
    std::vector<FlagParam> flags;
    const char* help;
    Handler run;
    Check check = nullptr;
    bool takesComplex = false;  // runs on the parts left by fft --complex
};

//! Every operation of this build, in the order help lists them.
const std::vector<Command>& commandList();
//! The row of the named operation, or nullptr.
const Command* findCommand(const std::string& name);

// The rows, by the file that holds them.
std::vector<Command> coreCommands();          // CommandList.cpp: pixel by pixel, statistics
std::vector<Command> filterCommands();        // FilterCommands.cpp: filters, labelling
std::vector<Command> geometryCommands();      // GeometryCommands.cpp
std::vector<Command> frequencyCommands();     // FrequencyCommands.cpp: fft, ifft
std::vector<Command> borderFilterCommands();  // BorderFilterCommands.cpp: correlate, gaussian,
                                              // median
std::vector<Command> regionCommands();        // RegionCommands.cpp: scale, regions

//! The border flag of the filters and the warp: reflect, nearest, mirror, constant, wrap.
extern const FlagParam kBorderFlag;
//! The border that the row's --border names (Reflect without it).
LumerixBorder borderOf(const Args& a);

//! The taps of convolve's TAPS word (FilterCommands.cpp): comma-separated, or @FILE.
std::vector<float> readTaps(const std::string& word);

// Facts of the image a step works on, for the rows' checks and messages.
inline int imageWidth(Lumerix& image) {
    return image.GetDimensions().Dim(0);
}
inline int imageHeight(Lumerix& image) {
    return image.GetDimensions().Dim(1);
}
//! "W x H image"
inline std::string extentText(Lumerix& image) {
    return std::to_string(imageWidth(image)) + " x " + std::to_string(imageHeight(image)) +
           " image";
}
//! Throws ToolError unless the image is two-dimensional.
inline void checkPlane(Lumerix& image, const char* name) {
    const cmm::cmmDims d = image.GetDimensions();
    if (d.Dim(2) != 1 || d.Dim(3) != 1) throw ToolError(name, "works on two-dimensional images");
}

}  // namespace lmx::tool
