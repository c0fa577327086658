// The rows for scaling by interpolation and for the statistics of labelled regions.

#include "tools/Command.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace lmx::tool {
namespace {

// One line of a region: the table's columns, or the CSV's with commas.
std::string regionLine(const LumerixRegion& r, const char* sep) {
    char buffer[320];
    std::snprintf(buffer, sizeof buffer, "%d%s%lld%s%d%s%d%s%d%s%d%s%.6g%s%.6g%s%.9g%s%.9g%s%.9g",
                  r.label, sep, r.area, sep, r.x0, sep, r.y0, sep, r.x1, sep, r.y1, sep, r.cx, sep,
                  r.cy, sep, static_cast<double>(r.min), sep, static_cast<double>(r.max), sep,
                  r.mean);
    return buffer;
}

void printRegions(Value& v, const Args& a, StepContext& c) {
    checkPlane(*v, "regions");
    Lumerix& values = c.input ? *c.input : *v;
    if (values.GetDimensions() != v.image->GetDimensions())
        throw ToolError("regions", "the labels (" + extentText(*v) +
                                       ") and the input's pixels differ in size; label without "
                                       "scaling or cropping first");
    const std::vector<LumerixRegion> list = regions(*v, values);
    const char* columns[] = {"label", "area", "x0",  "y0",  "x1",  "y1",
                             "cx",    "cy",   "min", "max", "mean"};
    if (!c.channel.empty()) c.out << c.channel << ":\n";
    std::string header;
    for (const char* col : columns) header += std::string(header.empty() ? "" : "\t") + col;
    c.out << header << "\n";
    for (const LumerixRegion& r : list) c.out << regionLine(r, "\t") << "\n";
    const std::string csv = a.flagWord("--csv");
    if (csv.empty()) return;
    // Channels after the first append to the file their rows, named in a first column.
    const bool first = c.channel.empty() || c.channel == "red" || c.channel == "grey";
    std::ofstream file(csv, first ? std::ios::trunc : std::ios::app);
    if (!file) throw ToolError("regions", "cannot write '" + csv + "'");
    if (first) {
        std::string head = c.channel.empty() ? "" : "channel,";
        for (std::size_t i = 0; i < 11; ++i) head += std::string(i ? "," : "") + columns[i];
        file << head << "\n";
    }
    for (const LumerixRegion& r : list)
        file << (c.channel.empty() ? "" : c.channel + ",") << regionLine(r, ",") << "\n";
    if (!file) throw ToolError("regions", "cannot write '" + csv + "'");
}

}  // namespace

std::vector<Command> regionCommands() {
    // clang-format off
    return {
        {"scale", {{"W", ArgKind::Extent}, {"H", ArgKind::Extent}},
         {{"--method", "how pixels are interpolated (default linear)", "METHOD", {"nearest", "linear", "cubic", "area"}}},
         "the image resampled to W x H pixels, pixel centres at half-integers as OpenCV's resize",
         [](Value& v, const Args& a, StepContext&) {
             const auto method = static_cast<LumerixInterpolation>(static_cast<int>(a.flagValue("--method", 1)));
             v.image.reset(new Lumerix(scale(*v, a.integer(0), a.integer(1), method)));
         }},
        {"regions", {}, {{"--csv", "also writes the rows to FILE as comma-separated values", "FILE", {}, true}},
         "prints one row per label of a label image: area, bounding box (ends exclusive), centroid, and the min, max and mean of the input's pixels there; the image passes on unchanged",
         printRegions},
    };
    // clang-format on
}

}  // namespace lmx::tool
