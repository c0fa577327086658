// Reading the command line. Every word is checked here, before any file is read, so a typing
// mistake costs nothing and never leaves an output behind.

#include "tools/CommandLine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

namespace lmx::tool {
namespace {

// "-0.5" is a number, "-o" and "--time" are options.
bool isOption(const std::string& w) {
    if (w.size() < 2 || w[0] != '-') return false;
    return !(std::isdigit(static_cast<unsigned char>(w[1])) || w[1] == '.');
}

std::string argList(const Command& c) {
    std::string s;
    for (const ArgParam& a : c.args) s += std::string(s.empty() ? "" : " ") + a.name;
    return s;
}

double parseArg(const Command& c, const ArgParam& param, const std::string& word) {
    const std::string where = std::string(param.name) + " '" + word + "'";
    if (param.kind == ArgKind::Word) return 0.0;
    // A number that may also be one of a few words (threshold otsu): the row reads the word.
    if (param.kind == ArgKind::Real)
        for (const char* ch : param.choices)
            if (word == ch) return 0.0;
    if (param.kind == ArgKind::Operand && word.size() > 1 && word[0] == '@') return 0.0;
    if (param.kind == ArgKind::Choice) {
        for (std::size_t i = 0; i < param.choices.size(); ++i)
            if (word == param.choices[i]) return static_cast<double>(i);
        std::string options;
        for (const char* ch : param.choices)
            options += std::string(options.empty() ? "" : ", ") + ch;
        throw ToolError(c.name, where + " is not one of " + options);
    }
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(word.c_str(), &end);
    if (word.empty() || end != word.c_str() + word.size() ||
        std::isspace(static_cast<unsigned char>(word[0])))
        throw ToolError(c.name, where + " is not a number");
    if (std::isnan(value)) throw ToolError(c.name, where + ": NaN is not allowed here");
    if (std::isinf(value) || errno == ERANGE ||
        std::fabs(value) > std::numeric_limits<float>::max())
        throw ToolError(c.name, where + " is not a finite number");
    if (param.kind == ArgKind::Real || param.kind == ArgKind::Operand) return value;
    // Every int, -2^31 included: the library takes shifts and offsets of any size.
    if (value != std::floor(value) || value > std::numeric_limits<int>::max() ||
        value < std::numeric_limits<int>::min())
        throw ToolError(c.name, where + " is not a whole number");
    if (param.kind == ArgKind::Count && value < 0)
        throw ToolError(c.name, where + " must be 0 or more");
    if (param.kind == ArgKind::Extent && value < 1)
        throw ToolError(c.name, where + " must be 1 or more");
    return value;
}

// The text of an argument written @FILE. The file is read here, once: the step's check and its
// run both see this text, so a file that changes (or a pipe that runs dry) between the two
// cannot hand the run something the check never saw. Reading stops after 64 KiB, as a device
// or a pipe named by mistake would otherwise be read without end.
std::string argumentFile(const Command& c, const ArgParam& param, const std::string& word) {
    const std::string path = word.substr(1);
    const std::string what = std::string(param.name) + ": ";
    constexpr std::size_t kMostBytes = 64 * 1024;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ToolError(c.name, what + "cannot read '" + path + "'");
    std::string s(kMostBytes + 1, '\0');
    in.read(&s[0], static_cast<std::streamsize>(s.size()));
    if (in.bad()) throw ToolError(c.name, what + "cannot read '" + path + "'");
    s.resize(static_cast<std::size_t>(in.gcount()));
    if (s.size() > kMostBytes)
        throw ToolError(c.name, what + "'" + path + "' is longer than 64 KiB");
    return s;
}

// The image an operand written @FILE names, read here once, like the text of a Word. Its size
// is compared with the image's when the step runs.
std::shared_ptr<const io::HostImage> operandFile(const Command& c, const ArgParam& param,
                                                 const std::string& word) {
    try {
        return std::make_shared<const io::HostImage>(
            io::readImage(word.substr(1), pixelLimit(Options())));
    } catch (const io::ImageFileError& e) {
        throw ToolError(c.name, std::string(param.name) + ": " + e.what());
    }
}

// Reads one step starting at words[i]; advances i past it.
Step parseStep(const std::vector<std::string>& words, std::size_t& i) {
    const std::string& name = words[i];
    const Command* c = findCommand(name);
    if (!c) throw ToolError(name, "unknown operation ('lumerix help' lists them)");
    Step step{c, {}, name};
    ++i;
    for (std::size_t k = 0; k < c->args.size(); ++k, ++i) {
        if (i >= words.size() || isOption(words[i]))
            throw ToolError(name, "needs " + std::to_string(c->args.size()) + " argument" +
                                      (c->args.size() == 1 ? "" : "s") + " (" + argList(*c) +
                                      "), got " + std::to_string(k));
        step.args.numbers.push_back(parseArg(*c, c->args[k], words[i]));
        const bool fromFile =
            c->args[k].kind == ArgKind::Word && words[i].size() > 1 && words[i][0] == '@';
        step.args.words.push_back(fromFile ? argumentFile(*c, c->args[k], words[i]) : words[i]);
        const bool image =
            c->args[k].kind == ArgKind::Operand && words[i].size() > 1 && words[i][0] == '@';
        step.args.files.push_back(image ? operandFile(*c, c->args[k], words[i]) : nullptr);
        step.text += " " + words[i];
    }
    while (i < words.size() && isOption(words[i])) {
        const FlagParam* flag = nullptr;
        for (const FlagParam& f : c->flags)
            if (words[i] == f.name) flag = &f;
        if (!flag) break;
        if (step.args.has(words[i].c_str())) throw ToolError(name, words[i] + " given twice");
        step.args.flags.push_back(words[i]);
        step.text += " " + words[i];
        ++i;
        if (!flag->value) {
            step.args.flagValues.push_back(0.0);
            step.args.flagWords.emplace_back();
            continue;
        }
        if (i >= words.size() || isOption(words[i]))  // "-1" is a number, not an option
            throw ToolError(name, std::string(flag->name) + " needs " + flag->value);
        const ArgParam word{flag->value,
                            flag->anyWord
                                ? ArgKind::Word
                                : (flag->choices.empty() ? ArgKind::Real : ArgKind::Choice),
                            flag->choices};
        step.args.flagValues.push_back(parseArg(*c, word, words[i]));
        step.args.flagWords.push_back(words[i]);
        step.text += " " + words[i];
        ++i;
    }
    if (c->check) c->check(c->name, step.args);
    return step;
}

// A pixel count: digits only, 1 or more.
std::size_t parsePixelCount(const std::string& where, const std::string& text) {
    const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    errno = 0;
    const unsigned long long value = digits ? std::strtoull(text.c_str(), nullptr, 10) : 0;
    if (!digits || errno == ERANGE || value < 1 || value > std::numeric_limits<std::size_t>::max())
        throw ToolError(where, "'" + text + "' is not a whole number of pixels, 1 or more");
    return static_cast<std::size_t>(value);
}

io::SampleType parseDepth(const std::string& w) {
    if (w == "8") return io::SampleType::UInt8;
    if (w == "16") return io::SampleType::UInt16;
    if (w == "float" || w == "32") return io::SampleType::Float32;
    throw ToolError("--depth", "'" + w + "' is not 8, 16 or float");
}

// Reads a global option at words[i]; advances i past it and its value.
void parseOption(const std::vector<std::string>& words, std::size_t& i, Options& o) {
    const std::string& w = words[i++];
    auto value = [&](const char* what) -> const std::string& {
        if (i >= words.size() || isOption(words[i]))
            throw ToolError(w, std::string("needs ") + what);
        return words[i++];
    };
    if (w == "-o" || w == "--output") {
        const std::string& path = value("an output file");
        if (!o.output.empty())
            throw ToolError(w, "given twice ('" + o.output + "' and '" + path + "')");
        o.output = path;
    } else if (w == "--depth") {
        const io::SampleType t = parseDepth(value("8, 16 or float"));
        if (o.depth && *o.depth != t) throw ToolError(w, "given twice with different values");
        o.depth = t;
    } else if (w == "--max-pixels") {
        const std::size_t n = parsePixelCount(w, value("a number of pixels"));
        if (o.maxPixels && *o.maxPixels != n)
            throw ToolError(w, "given twice with different values");
        o.maxPixels = n;
    } else if (w == "--quality") {
        const std::string& q = value("a JPEG quality, 1 to 100");
        const bool digits =
            !q.empty() && q.size() <= 3 && q.find_first_not_of("0123456789") == std::string::npos;
        const int n = digits ? std::atoi(q.c_str()) : 0;
        if (n < 1 || n > 100) throw ToolError(w, "'" + q + "' is not a JPEG quality, 1 to 100");
        if (o.quality && *o.quality != n) throw ToolError(w, "given twice with different values");
        o.quality = n;
    } else if (w == "--normalise" || w == "--normalize") {
        o.normalise = true;
    } else if (w == "--per-channel") {
        o.perChannel = true;
    } else if (w == "--colour" || w == "--color") {
        o.colour = true;
    } else if (w == "--backend-info") {
        o.backendInfo = true;
    } else if (w == "--stats") {
        o.stats = true;
    } else if (w == "--time") {
        o.time = true;
    } else {
        for (const Command& c : commandList())
            for (const FlagParam& f : c.flags)
                if (w == f.name)
                    throw ToolError(w, std::string("belongs right after ") + c.name + " (as in '" +
                                           c.name + " " + f.name + "')");
        throw ToolError(w, "unknown option ('lumerix help' lists them)");
    }
}

void checkOptions(const Invocation& inv) {
    const Options& o = inv.options;
    const bool demo = inv.mode == Invocation::Mode::Demo;
    if (demo && !o.output.empty())
        throw ToolError("demo", "-o does not apply: the demo writes its gallery into FOLDER");
    if (o.colour && o.perChannel)
        throw ToolError("--colour", "contradicts --per-channel (--colour paints one label image)");
    if (o.colour && o.normalise)
        throw ToolError("--colour", "contradicts --normalise (label colours are fixed)");
    if (o.colour && o.depth && *o.depth != io::SampleType::UInt8)
        throw ToolError("--colour", "contradicts --depth (label colours are 8-bit RGB)");
    if (!demo && o.output.empty()) {
        for (const char* opt : {"--normalise", "--colour", "--depth", "--quality"}) {
            const bool given = (opt[2] == 'n' && o.normalise) || (opt[2] == 'c' && o.colour) ||
                               (opt[2] == 'd' && o.depth) || (opt[2] == 'q' && o.quality);
            if (given) throw ToolError(opt, "applies to the output: give -o FILE");
        }
    }
    if (!demo && !o.output.empty()) {
        try {
            const io::FileFormat f = io::formatForPath(o.output);
            if (o.depth) io::checkWritable(f, *o.depth, o.colour ? 3 : 1, o.output);
            if (o.colour) io::checkWritable(f, io::SampleType::UInt8, 3, o.output);
            if (o.quality && f != io::FileFormat::Jpeg)
                throw ToolError("--quality", "applies to JPEG output (-o NAME.jpg)");
        } catch (const io::ImageFileError& e) {
            throw ToolError("-o", e.what());
        }
    }
    if (!demo && o.output.empty() && !o.stats && !o.time && !o.backendInfo) {
        bool prints = false;
        for (const Step& s : inv.steps)
            prints = prints || std::string(s.command->name) == "stats" ||
                     std::string(s.command->name) == "regions";
        if (!prints)
            throw ToolError(inv.input, "nothing to do: give -o FILE, stats, regions or --time");
    }
}

}  // namespace

std::size_t pixelLimit(const Options& options) {
    if (options.maxPixels) return *options.maxPixels;
    if (const char* env = std::getenv("LUMERIX_MAX_PIXELS"))
        return parsePixelCount("LUMERIX_MAX_PIXELS", env);
    return std::size_t(1) << 28;
}

std::vector<std::string> splitWords(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

std::vector<Step> parseSteps(const std::vector<std::string>& words) {
    std::vector<Step> steps;
    for (std::size_t i = 0; i < words.size();) steps.push_back(parseStep(words, i));
    return steps;
}

Invocation parseCommandLine(const std::vector<std::string>& words) {
    Invocation inv;
    if (words.empty())
        throw ToolError(
            "usage", "lumerix INPUT [OPERATION ARGS...]... -o OUTPUT ('lumerix help' says more)");
    std::size_t i = 0;
    if (words[0] == "help" || words[0] == "--help" || words[0] == "-h") {
        inv.mode = Invocation::Mode::Help;
        if (words.size() > 2) throw ToolError("help", "takes at most one operation");
        if (words.size() == 2) inv.topic = words[1];
        return inv;
    }
    if (words[0] == "demo") {
        inv.mode = Invocation::Mode::Demo;
        inv.folder = "lumerix-demo";
        i = 1;
        if (i < words.size() && !isOption(words[i])) inv.folder = words[i++];
        while (i < words.size()) {
            if (!isOption(words[i]))
                throw ToolError("demo", "takes one FOLDER, not also '" + words[i] + "'");
            parseOption(words, i, inv.options);
        }
        checkOptions(inv);
        return inv;
    }
    // Options may stand anywhere; the first other word is the input.
    while (i < words.size() && isOption(words[i])) parseOption(words, i, inv.options);
    if (i == words.size()) {
        if (inv.options.backendInfo && inv.options.output.empty()) {
            inv.mode = Invocation::Mode::BackendInfo;
            return inv;
        }
        throw ToolError("usage", "no input file given");
    }
    inv.input = words[i++];
    while (i < words.size()) {
        if (isOption(words[i]))
            parseOption(words, i, inv.options);
        else
            inv.steps.push_back(parseStep(words, i));
    }
    checkOptions(inv);
    return inv;
}

std::string helpFor(const std::string& name) {
    const Command* c = findCommand(name);
    if (!c) throw ToolError("help", name + ": unknown operation ('lumerix help' lists them)");
    std::string s = "lumerix ... " + std::string(c->name);
    for (const ArgParam& a : c->args) s += std::string(" ") + a.name;
    for (const FlagParam& f : c->flags) s += " [" + flagUsage(f) + "]";
    s += "\n  " + std::string(c->help) + "\n";
    for (const ArgParam& a : c->args) {
        s += "  " + std::string(a.name) + ": ";
        switch (a.kind) {
            case ArgKind::Real:
                s += "a finite number";
                for (const char* ch : a.choices) s += std::string(", or ") + ch;
                break;
            case ArgKind::Integer:
                s += "a whole number";
                break;
            case ArgKind::Count:
                s += "a whole number, 0 or more";
                break;
            case ArgKind::Extent:
                s += "a whole number, 1 or more";
                break;
            case ArgKind::Word:
                s += "see above";
                break;
            case ArgKind::Operand:
                s += "a finite number, or @FILE: an image file of the same size, pixel by pixel";
                break;
            case ArgKind::Choice:
                s += "one of";
                for (const char* ch : a.choices) s += std::string(" ") + ch;
                break;
        }
        s += "\n";
    }
    for (const FlagParam& f : c->flags) {
        s += "  " + std::string(f.name) + ": " + f.help;
        if (f.value && !f.choices.empty()) {
            s += "; " + std::string(f.value) + " one of";
            for (const char* ch : f.choices) s += std::string(" ") + ch;
        }
        s += "\n";
    }
    return s;
}

std::string helpText() {
    std::string s =
        "usage: lumerix INPUT [OPERATION ARGS...]... [-o OUTPUT] [OPTIONS]\n"
        "       lumerix demo [FOLDER]      writes a gallery of the operations (default "
        "lumerix-demo)\n"
        "       lumerix help [OPERATION]\n"
        "\n"
        "Reads INPUT (PNG, TIFF, JPEG, binary PGM/PPM), runs the operations left to right and\n"
        "writes OUTPUT, its format chosen by the extension (.png, .tif, .jpg, .pgm, .ppm). 8 and\n"
        "16-bit files are read as their values (0..255, 0..65535); float TIFF keeps its values\n"
        "exactly. Values an output cannot hold are clipped, with a warning that says how many.\n"
        "\n"
        "operations:\n";
    for (const Command& c : commandList()) {
        std::string head = "  " + std::string(c.name);
        for (const ArgParam& a : c.args) head += std::string(" ") + a.name;
        for (const FlagParam& f : c.flags) head += " [" + flagUsage(f) + "]";
        if (head.size() < 28)
            head.resize(28, ' ');
        else
            head += "\n" + std::string(28, ' ');
        s += head + c.help + "\n";
    }
    s += "\n"
         "options:\n"
         "  -o FILE                   the output file, written whole or not at all\n"
         "  --depth 8|16|float        sample type of the output (default: that of the\n"
         "                            input; 8 for float input into PNG or PGM/PPM and for\n"
         "                            JPEG; for labels, one that holds the largest label)\n"
         "  --quality Q               JPEG quality, 1 to 100 (default 90)\n"
         "  --max-pixels N            refuse inputs of more than N pixels (default: the\n"
         "                            environment's LUMERIX_MAX_PIXELS, else 268435456)\n"
         "  --normalise               stretch the output from its minimum to its maximum over\n"
         "                            the full range (0..255, 0..65535, 0..1 for float)\n"
         "  --per-channel             run the operations on each channel of a colour input and\n"
         "                            write colour (default: colour is converted to grey)\n"
         "  --colour                  paint a label image in colours (8-bit RGB output)\n"
         "  --backend-info            print the backend, the device and its memory\n"
         "  --stats                   print the memory manager's report after the operations\n"
         "  --time                    print each step's time, device work included\n"
         "\n"
         "Bad input gives one line on standard error and exit status 2.\n";
    return s;
}

}  // namespace lmx::tool
