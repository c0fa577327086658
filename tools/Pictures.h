#pragma once
// Pictures the tool draws itself: the statistics report, the histogram as a bar chart, label
// images in colour, and the demo's sample image.

#include "tools/imageio/ImageFile.h"

#include <lumerix/Lumerix.h>

#include <ostream>
#include <string>

namespace lmx::tool {

constexpr int kChartWidth = 512;  // two columns per bin
constexpr int kChartHeight = 200;

//! Sum, minimum, maximum, mean, variance and the 256-bin histogram, as text.
void printStatistics(Lumerix& image, const std::string& channel, std::ostream& out);
//! The 256-bin histogram as a kChartWidth x kChartHeight chart: white ground, dark bars whose
//! heights are proportional to the counts, the fullest bin touching the top.
Lumerix histogramChart(Lumerix& image);
//! An 8-bit RGB picture of a label image: 0 is black, each other label a colour of its own
//! (neighbouring numbers far apart in hue).
io::HostImage colourLabels(Lumerix& labels);
//! The demo's sample: width x height pixels of values 0 to 255 holding a gradient, filled and
//! outlined shapes, strokes like handwriting and a little noise, the same on every run.
Lumerix sampleImage(int width, int height);

}  // namespace lmx::tool
