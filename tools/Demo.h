#pragma once
// The demo: a sample image made in code, a row of pipelines run on it, and a gallery of the
// results with an index.html that shows each with its caption and time.

#include <ostream>
#include <string>
#include <vector>

namespace lmx::tool {

//! One picture of the gallery: the pipeline (in the tool's own words) that makes it from the
//! sample. A row without a file prints text (stats) into the page instead.
struct GalleryStep {
    const char* file;
    const char* caption;
    const char* pipeline;
    bool normalise = false;
    bool colour = false;
};

constexpr int kSampleWidth = 512;
constexpr int kSampleHeight = 384;

//! Every picture of the gallery, in the order of the page.
std::vector<GalleryStep> galleryList();

//! Writes the gallery into folder (created if missing) and prints where it is, the backend,
//! each step's time and the memory manager's report to out.
void runDemo(const std::string& folder, std::ostream& out);

}  // namespace lmx::tool
