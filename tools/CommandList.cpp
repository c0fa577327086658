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

template <Unary Op>
void unary(Value& v, const Args&, StepContext&) {
    v.image.reset(new Lumerix(Op(*v)));
}

const ArgParam kValue{"VALUE", ArgKind::Real};

}  // namespace

std::vector<Command> coreCommands() {
    // clang-format off
    return {
        {"add",       {kValue}, {}, "pixel + VALUE",                                   withScalar<(&operator+)>},
        {"sub",       {kValue}, {}, "pixel - VALUE",                                   withScalar<(&operator-)>},
        {"rsub",      {kValue}, {}, "VALUE - pixel (255 - pixel inverts an 8-bit picture)", scalarFirst<(&operator-)>},
        {"mul",       {kValue}, {}, "pixel * VALUE",                                   withScalar<(&operator*)>},
        {"div",       {kValue}, {}, "pixel / VALUE",                                   withScalar<(&operator/)>},
        {"rdiv",      {kValue}, {}, "VALUE / pixel",                                   scalarFirst<(&operator/)>},
        {"min",       {kValue}, {}, "the smaller of pixel and VALUE",                  withScalar<(&fmin)>},
        {"max",       {kValue}, {}, "the larger of pixel and VALUE",                   withScalar<(&fmax)>},
        {"gt",        {kValue}, {}, "1 where pixel > VALUE, else 0",                   withScalar<(&operator>)>},
        {"ge",        {kValue}, {}, "1 where pixel >= VALUE, else 0",                  withScalar<(&operator>=)>},
        {"lt",        {kValue}, {}, "1 where pixel < VALUE, else 0",                   withScalar<(&operator<)>},
        {"le",        {kValue}, {}, "1 where pixel <= VALUE, else 0",                  withScalar<(&operator<=)>},
        {"eq",        {kValue}, {}, "1 where pixel == VALUE, else 0",                  withScalar<(&operator==)>},
        {"threshold", {{"LEVEL", ArgKind::Real}}, {}, "1 where pixel > LEVEL, else 0 (a binary mask; as gt)", withScalar<(&operator>)>},
        {"and",       {kValue}, {}, "1 where pixel and VALUE are both non-zero, else 0", withScalar<(&operator&&)>},
        {"or",        {kValue}, {}, "1 where pixel or VALUE is non-zero, else 0",      withScalar<(&operator||)>},
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
