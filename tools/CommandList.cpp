// The operations that work pixel by pixel or report on the whole image, and the list that
// gathers every row of this build.

#include "tools/Command.h"
#include "tools/Pictures.h"

#include <algorithm>

namespace lmx::tool {
namespace {

using Scalar = Lumerix (*)(Lumerix&, const float&);
using ScalarFirst = Lumerix (*)(const float&, Lumerix&);
using Unary = Lumerix (*)(Lumerix&);
using Binary = Lumerix (*)(Lumerix&, Lumerix&);

// Image and scalar: pixel op VALUE.
template <Scalar Op>
void withScalar(Value& v, const Args& a, StepContext&) {
    v.image.reset(new Lumerix(Op(*v, a.real(0))));
}

// Scalar and image: VALUE op pixel.
template <ScalarFirst Op>
void scalarFirst(Value& v, const Args& a, StepContext&) {
    v.image.reset(new Lumerix(Op(a.real(0), *v)));
}

// pixel op VALUE, or pixel op the pixel of @FILE at the same place. On a spectrum (after
// fft --complex) both parts are combined with the same operand: a real mask or factor.
template <Scalar Op, Binary ImageOp>
void withOperand(Value& v, const Args& a, StepContext& c) {
    if (!a.files.at(0)) {
        v.image.reset(new Lumerix(Op(*v, a.real(0))));
        if (v.complex) v.imag.reset(new Lumerix(Op(*v.imag, a.real(0))));
        return;
    }
    std::unique_ptr<Lumerix> other =
        operandImage(*a.files[0], c.channelIndex, c.command, a.words[0], *v);
    v.image.reset(new Lumerix(ImageOp(*v, *other)));
    if (v.complex) v.imag.reset(new Lumerix(ImageOp(*v.imag, *other)));
}

// VALUE op pixel, or the pixel of @FILE op pixel.
template <ScalarFirst Op, Binary ImageOp>
void operandFirst(Value& v, const Args& a, StepContext& c) {
    if (!a.files.at(0)) {
        v.image.reset(new Lumerix(Op(a.real(0), *v)));
        return;
    }
    std::unique_ptr<Lumerix> other =
        operandImage(*a.files[0], c.channelIndex, c.command, a.words[0], *v);
    v.image.reset(new Lumerix(ImageOp(*other, *v)));
}

template <Unary Op>
void unary(Value& v, const Args&, StepContext&) {
    v.image.reset(new Lumerix(Op(*v)));
}

const ArgParam kValue{"VALUE", ArgKind::Operand};

// The level that splits the 256-bin histogram in two by Otsu's rule: the bin t (0 to 254) after
// which the two classes' between-class variance w0 w1 (m0 - m1)^2 is largest, the first such
// bin on a tie; the bin of the single occupied value when there is no split.
int otsuLevel(Lumerix& image) {
    unsigned int counts[256];
    histogram256(image, counts);
    double total = 0.0, moment = 0.0;
    for (int i = 0; i < 256; ++i) {
        total += counts[i];
        moment += static_cast<double>(i) * counts[i];
    }
    double w0 = 0.0, sum0 = 0.0, best = -1.0;
    int level = 0;
    for (int t = 0; t < 255; ++t) {
        w0 += counts[t];
        sum0 += static_cast<double>(t) * counts[t];
        const double w1 = total - w0;
        if (w0 == 0.0) continue;
        if (w1 == 0.0) {
            if (best < 0.0) level = t;
            break;
        }
        const double d = sum0 / w0 - (moment - sum0) / w1;
        const double between = w0 * w1 * d * d;
        if (between > best) {
            best = between;
            level = t;
        }
    }
    return level;
}

// threshold LEVEL, or threshold otsu: 1 where the pixel's bin lies above Otsu's level. The bin
// of a pixel is its value truncated, so pixel >= level + 1 is the test on the value itself.
void threshold(Value& v, const Args& a, StepContext&) {
    if (a.words.at(0) == "otsu") {
        const float level = static_cast<float>(otsuLevel(*v));
        v.image.reset(new Lumerix(*v >= level + 1.0f));
        return;
    }
    v.image.reset(new Lumerix(*v > a.real(0)));
}

}  // namespace

std::vector<Command> coreCommands() {
    // clang-format off
    return {
        {"add",       {kValue}, {}, "pixel + VALUE",                                   withOperand<(&operator+), (&operator+)>},
        {"sub",       {kValue}, {}, "pixel - VALUE",                                   withOperand<(&operator-), (&operator-)>},
        {"rsub",      {kValue}, {}, "VALUE - pixel (255 - pixel inverts an 8-bit picture)", operandFirst<(&operator-), (&operator-)>},
        {"mul",       {kValue}, {}, "pixel * VALUE; after fft --complex both parts (a mask file keeps or drops frequencies)", withOperand<(&operator*), (&operator*)>, nullptr, true},
        {"div",       {kValue}, {}, "pixel / VALUE",                                   withOperand<(&operator/), (&operator/)>},
        {"rdiv",      {kValue}, {}, "VALUE / pixel",                                   operandFirst<(&operator/), (&operator/)>},
        {"min",       {kValue}, {}, "the smaller of pixel and VALUE",                  withOperand<(&fmin), (&fmin)>},
        {"max",       {kValue}, {}, "the larger of pixel and VALUE",                   withOperand<(&fmax), (&fmax)>},
        {"gt",        {kValue}, {}, "1 where pixel > VALUE, else 0",                   withOperand<(&operator>), (&operator>)>},
        {"ge",        {kValue}, {}, "1 where pixel >= VALUE, else 0",                  withOperand<(&operator>=), (&operator>=)>},
        {"lt",        {kValue}, {}, "1 where pixel < VALUE, else 0",                   withOperand<(&operator<), (&operator<)>},
        {"le",        {kValue}, {}, "1 where pixel <= VALUE, else 0",                  withOperand<(&operator<=), (&operator<=)>},
        {"eq",        {kValue}, {}, "1 where pixel == VALUE, else 0",                  withOperand<(&operator==), (&operator==)>},
        {"threshold", {{"LEVEL", ArgKind::Real, {"otsu"}}}, {}, "1 where pixel > LEVEL, else 0 (a binary mask; as gt); otsu: the level that splits the 256-bin histogram by Otsu's rule, 1 where the pixel's bin lies above it", threshold},
        {"and",       {kValue}, {}, "1 where pixel and VALUE are both non-zero, else 0", withOperand<(&operator&&), (&operator&&)>},
        {"or",        {kValue}, {}, "1 where pixel or VALUE is non-zero, else 0",      withOperand<(&operator||), (&operator||)>},
        {"bitand",    {{"VALUE", ArgKind::Integer}}, {}, "pixel & VALUE on the values truncated to integers", withScalar<(&operator&)>},
        {"bitor",     {{"VALUE", ArgKind::Integer}}, {}, "pixel | VALUE on the values truncated to integers", withScalar<(&operator|)>},
        {"bitxor",    {{"VALUE", ArgKind::Integer}}, {}, "pixel ^ VALUE on the values truncated to integers", withScalar<(&operator^)>},
        {"sqrt",      {}, {}, "square root of each pixel",                               unary<(&sqrt)>},
        {"log",       {}, {}, "natural logarithm of each pixel",                         unary<(&log)>},
        {"abs",       {}, {}, "absolute value of each pixel",                            unary<(&abs)>},
        {"not",       {}, {}, "1 where pixel is 0, else 0",                              unary<(&operator!)>},
        {"clamp",     {{"LOW", ArgKind::Real}, {"HIGH", ArgKind::Real}}, {},
         "limits each pixel to LOW..HIGH",
         [](Value& v, const Args& a, StepContext&) {
             v.image.reset(new Lumerix(fmin(fmax(*v, a.real(0)), a.real(1))));
         },
         [](const char* name, const Args& a) {
             if (a.real(0) > a.real(1))
                 throw ToolError(name, "LOW " + a.words[0] + " is above HIGH " + a.words[1]);
         }},
        {"stats",     {}, {}, "prints sum, min, max, mean, var and the 256-bin histogram; the image passes on unchanged",
         [](Value& v, const Args&, StepContext& c) { printStatistics(*v, c.channel, c.out); }},
        {"histogram", {}, {}, "replaces the image by its 256-bin histogram drawn as a 512 x 200 bar chart",
         [](Value& v, const Args&, StepContext&) { v.image.reset(new Lumerix(histogramChart(*v))); }},
    };
    // clang-format on
}

const std::vector<Command>& commandList() {
    static const std::vector<Command> list = [] {
        std::vector<Command> all = coreCommands();
        for (auto rows : {filterCommands, borderFilterCommands, geometryCommands, frequencyCommands,
                          regionCommands})
            for (Command& c : rows()) all.push_back(std::move(c));
        return all;
    }();
    return list;
}

const Command* findCommand(const std::string& name) {
    for (const Command& c : commandList())
        if (name == c.name) return &c;
    return nullptr;
}

bool Args::has(const char* flag) const {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

std::string Args::flagWord(const char* flag) const {
    const auto at = std::find(flags.begin(), flags.end(), flag);
    return at == flags.end() ? std::string()
                             : flagWords.at(static_cast<std::size_t>(at - flags.begin()));
}

double Args::flagValue(const char* flag, double fallback) const {
    const auto at = std::find(flags.begin(), flags.end(), flag);
    return at == flags.end() ? fallback
                             : flagValues.at(static_cast<std::size_t>(at - flags.begin()));
}

}  // namespace lmx::tool
