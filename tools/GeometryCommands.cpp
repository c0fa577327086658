// The rows for the geometric operations: shift, crop, slice, coordinates, affine warp, resize.

#include "tools/Command.h"

#include <string>
#include <vector>

namespace lmx::tool {

std::vector<Command> geometryCommands() {
    // clang-format off
    return {
        {"shift", {{"DX", ArgKind::Integer}, {"DY", ArgKind::Integer}}, {},
         "circular shift as the library's image(DX, DY): output pixel (x, y) is input pixel (x + DX, y + DY), wrapped; the content moves DX to the left and DY up",
         [](Value& v, const Args& a, StepContext&) {
             checkPlane(*v, "shift");
             v.image.reset(new Lumerix((*v)(a.integer(0), a.integer(1))));
         }},
        {"crop", {{"X0", ArgKind::Count}, {"X1", ArgKind::Count}, {"Y0", ArgKind::Count}, {"Y1", ArgKind::Count}}, {},
         "the window of columns X0 to X1 - 1 and rows Y0 to Y1 - 1",
         [](Value& v, const Args& a, StepContext&) {
             const int x0 = a.integer(0), x1 = a.integer(1), y0 = a.integer(2), y1 = a.integer(3);
             if (x1 > imageWidth(*v) || y1 > imageHeight(*v))
                 throw ToolError("crop", "window x " + a.words[0] + ".." + a.words[1] + ", y " + a.words[2] + ".." +
                                             a.words[3] + " lies outside the " + extentText(*v));
             v.image.reset(new Lumerix((*v)(x0, x1, y0, y1)));
         },
         [](const char*, const Args& a) {
             if (a.integer(1) <= a.integer(0) || a.integer(3) <= a.integer(2))
                 throw ToolError("crop", "window x " + a.words[0] + ".." + a.words[1] + ", y " + a.words[2] + ".." +
                                             a.words[3] + " is empty (X1 must exceed X0, Y1 exceed Y0)");
         }},
        {"slice", {{"X", ArgKind::Real}, {"Y", ArgKind::Real}, {"W", ArgKind::Extent}, {"H", ArgKind::Extent}}, {},
         "a W x H window whose origin (X, Y) may fall between pixels, sampled bilinearly; columns and rows wrap around the image",
         [](Value& v, const Args& a, StepContext&) {
             v.image.reset(new Lumerix(slice(*v, a.real(0), a.real(1), a.integer(2), a.integer(3))));
         }},
        {"xx", {}, {}, "replaces each pixel by its x coordinate",
         [](Value& v, const Args&, StepContext&) { v.image.reset(new Lumerix(xx(*v))); }},
        {"yy", {}, {}, "replaces each pixel by its y coordinate",
         [](Value& v, const Args&, StepContext&) { v.image.reset(new Lumerix(yy(*v))); }},
        {"affine", {{"A", ArgKind::Real}, {"B", ArgKind::Real}, {"C", ArgKind::Real}, {"D", ArgKind::Real}, {"E", ArgKind::Real}, {"F", ArgKind::Real}},
         {kBorderFlag, {"--cval", "what constant outside reads (default 0)", "VALUE", {}}},
         "affine warp, bilinear: output pixel (x, y) samples the input at (A x + B y + C, D x + E y + F); without --border the edge is extrapolated",
         [](Value& v, const Args& a, StepContext&) {
             checkPlane(*v, "affine");
             if (!a.has("--border")) {
                 v.image.reset(new Lumerix(affine(*v, a.real(0), a.real(1), a.real(2), a.real(3), a.real(4), a.real(5))));
                 return;
             }
             const float m[6] = {a.real(0), a.real(1), a.real(2), a.real(3), a.real(4), a.real(5)};
             v.image.reset(new Lumerix(affine(*v, m, borderOf(a), static_cast<float>(a.flagValue("--cval", 0.0)))));
         }},
        {"resize", {{"W", ArgKind::Extent}, {"H", ArgKind::Extent}, {"A", ArgKind::Integer}, {"B", ArgKind::Integer}}, {},
         "a W x H canvas with the image's pixel (0, 0) placed at (A, B); the rest is 0",
         [](Value& v, const Args& a, StepContext&) {
             v.image.reset(new Lumerix(resize(*v, cmm::cmmDims(a.integer(0), a.integer(1)), a.integer(2), a.integer(3))));
         }},
    };
    // clang-format on
}

}  // namespace lmx::tool
