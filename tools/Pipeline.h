#pragma once
// Running steps: files' pixels into images, the steps over each channel, images back into the
// pixels of a file, and the device facts the tool prints.

#include "tools/Command.h"
#include "tools/CommandLine.h"
#include "tools/imageio/ImageFile.h"

#include <ostream>
#include <string>
#include <vector>

namespace lmx::tool {

//! One image for a grey file or a colour file converted to grey (0.299 R + 0.587 G +
//! 0.114 B, rounded once, so that a grey pixel keeps its value), three (red, green, blue) for a
//! colour file run per channel, and one more (alpha) for a file read with its alpha channel.
//! 8 and 16-bit samples enter through the library's conversions, float samples as they are.
std::vector<Value> loadChannels(const io::HostImage& file, bool perChannel);

//! Runs the steps on each channel, left to right. Library failures come back as ToolError
//! naming the step. When stepMs is given it receives each step's time in milliseconds, device
//! work included, summed over the channels.
void runSteps(std::vector<Value>& channels, const std::vector<Step>& steps, std::ostream& out,
              std::vector<double>* stepMs = nullptr);

//! The pixels for an output file: type (8/16-bit through the library's saturating
//! conversions, or float), optionally normalised to the type's full range, or label colours.
io::HostImage toHostImage(std::vector<Value>& channels, io::SampleType type, bool normalise,
                          bool colour);

//! The sample type of the output file: the one the user gave, else the input's (8 bits for a
//! float input written to a format other than TIFF, and always for JPEG). A label image without a
//! given depth gets one that holds its largest label: 16 bits beyond 255, float TIFF beyond 65535.
io::SampleType outputType(std::vector<Value>& channels, const Options& options,
                          io::SampleType inputType);

//! The warning (without a line end; empty when there is none) for values that the output's
//! integer samples cannot hold: how many are clipped, and the options that keep them; or, for a
//! result within 0..1, that it will look black. Nothing for float samples or --normalise.
std::string clippingWarning(std::vector<Value>& channels, const Options& options,
                            io::SampleType type);

//! Waits for the device to finish the work issued so far, so that a clock read after it
//! includes that work.
void synchronise();
//! Milliseconds on a monotonic clock.
double nowMs();
//! "backend: ...", "device: ...", "memory: ..." lines.
std::string backendInfo();

}  // namespace lmx::tool
