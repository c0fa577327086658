// Steps over channels, and the conversions between file samples and images.

#include "tools/Pipeline.h"

#include "tools/Pictures.h"

#include "lumerix/Device.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace lmx::tool {
namespace {

// One image of the file's extents (extent 3 for interleaved colour) holding its samples.
std::unique_ptr<Lumerix> imageOf(const io::HostImage& f) {
    auto image = std::make_unique<Lumerix>(cmm::cmmDims(f.width, f.height, f.channels));
    switch (f.type) {
        case io::SampleType::UInt8:
            image->SetDataInt8(f.u8.data());
            break;
        case io::SampleType::UInt16:
            image->SetDataInt16(f.u16.data());
            break;
        case io::SampleType::Float32:
            std::memcpy(image->GetHostPtr(), f.f32.data(), f.f32.size() * sizeof(float));
            break;
    }
    return image;
}

Value real(std::unique_ptr<Lumerix> image) {
    Value v;
    v.image = std::move(image);
    return v;
}

// The channels' names by the number of channels in the file (a grey file has one, unnamed).
const char* const kChannelNames[5][4] = {
    {}, {""}, {"grey", "alpha"}, {"red", "green", "blue"}, {"red", "green", "blue", "alpha"}};

// Channel k of an interleaved file as a grey file of its own.
io::HostImage channelOf(const io::HostImage& file, int k) {
    io::HostImage one;
    one.width = file.width;
    one.height = file.height;
    one.type = file.type;
    one.allocate();
    const std::size_t n = one.sampleCount(), stride = static_cast<std::size_t>(file.channels);
    const std::size_t at = static_cast<std::size_t>(k);
    for (std::size_t p = 0; p < n; ++p) {
        switch (file.type) {
            case io::SampleType::UInt8:
                one.u8[p] = file.u8[stride * p + at];
                break;
            case io::SampleType::UInt16:
                one.u16[p] = file.u16[stride * p + at];
                break;
            case io::SampleType::Float32:
                one.f32[p] = file.f32[stride * p + at];
                break;
        }
    }
    return one;
}

// The luminance 0.299 R + 0.587 G + 0.114 B of each pixel, summed in double and rounded once.
// In float the three rounded products of a grey pixel (v, v, v) can sum to just below v (111
// gives 110.99999), which the 8-bit output then truncates to v - 1; in double the error is far
// below half a float's step, so a grey pixel keeps its value exactly.
template <class Sample>
void luminance(const Sample* rgb, std::size_t pixels, float* grey) {
    for (std::size_t p = 0; p < pixels; ++p)
        grey[p] = static_cast<float>(0.299 * static_cast<double>(rgb[3 * p]) +
                                     0.587 * static_cast<double>(rgb[3 * p + 1]) +
                                     0.114 * static_cast<double>(rgb[3 * p + 2]));
}

std::unique_ptr<Lumerix> greyOf(const io::HostImage& f) {
    auto image = std::make_unique<Lumerix>(cmm::cmmDims(f.width, f.height));
    float* grey = image->GetHostPtr();
    const std::size_t pixels = f.sampleCount() / 3;
    switch (f.type) {
        case io::SampleType::UInt8:
            luminance(f.u8.data(), pixels, grey);
            break;
        case io::SampleType::UInt16:
            luminance(f.u16.data(), pixels, grey);
            break;
        case io::SampleType::Float32:
            luminance(f.f32.data(), pixels, grey);
            break;
    }
    return image;
}

}  // namespace

std::unique_ptr<Lumerix> operandImage(const io::HostImage& file, int channelIndex,
                                      const char* command, const std::string& word, Lumerix& like) {
    if (file.width != imageWidth(like) || file.height != imageHeight(like) ||
        like.GetDimensions().Dim(2) != 1 || like.GetDimensions().Dim(3) != 1)
        throw ToolError(command, word + " is " + std::to_string(file.width) + " x " +
                                     std::to_string(file.height) + " pixels, the image " +
                                     std::to_string(imageWidth(like)) + " x " +
                                     std::to_string(imageHeight(like)) +
                                     " (the operand must have the same size)");
    if (file.channels == 1) return imageOf(file);
    // The colour channel of the same name; the luminance for a grey image or an alpha channel.
    if (channelIndex < 0 || channelIndex >= file.channels) return greyOf(file);
    return imageOf(channelOf(file, channelIndex));
}

std::vector<Value> loadChannels(const io::HostImage& file, bool perChannel) {
    std::vector<Value> channels;
    if (file.channels == 3 && !perChannel) {
        channels.push_back(real(greyOf(file)));
        return channels;
    }
    if (file.channels == 2 || file.channels == 4) {
        // With alpha (kept for --per-channel): each channel an image of its own.
        for (int k = 0; k < file.channels; ++k)
            channels.push_back(real(imageOf(channelOf(file, k))));
        return channels;
    }
    std::unique_ptr<Lumerix> image = imageOf(file);
    if (file.channels == 1) {
        channels.push_back(real(std::move(image)));
        return channels;
    }
    auto r = std::make_unique<Lumerix>(), g = std::make_unique<Lumerix>(),
         b = std::make_unique<Lumerix>();
    split3(*image, *r, *g, *b);
    channels.push_back(real(std::move(r)));
    channels.push_back(real(std::move(g)));
    channels.push_back(real(std::move(b)));
    return channels;
}

void runSteps(std::vector<Value>& channels, const std::vector<Step>& steps, std::ostream& out,
              std::vector<double>* stepMs) {
    if (stepMs) stepMs->assign(steps.size(), 0.0);
    for (std::size_t c = 0; c < channels.size(); ++c) {
        StepContext context{out, kChannelNames[channels.size()][c]};
        context.channelIndex = channels.size() > 1 ? static_cast<int>(c) : -1;
        // regions reads the loaded pixels as its intensities: a copy is kept where it runs.
        std::unique_ptr<Lumerix> input;
        for (const Step& step : steps)
            if (!input && std::string(step.command->name) == "regions" && channels[c].image)
                input.reset(new Lumerix(*channels[c].image));
        context.input = input.get();
        for (std::size_t s = 0; s < steps.size(); ++s) {
            const Step& step = steps[s];
            Value& v = channels[c];
            if (v.complex && !step.command->takesComplex)
                throw ToolError(step.command->name,
                                "the image is a spectrum of two parts (fft --complex); only "
                                "ifft takes it");
            context.command = step.command->name;
            const double start = stepMs ? nowMs() : 0.0;
            // A step that replaces the image leaves labels only if it says so (label does);
            // steps that pass the image on (stats, regions) keep what it was.
            const Lumerix* before = v.image.get();
            const bool wereLabels = v.labels;
            v.labels = false;
            try {
                step.command->run(v, step.args, context);
            } catch (const ToolError&) {
                throw;
            } catch (const std::bad_alloc&) {
                throw ToolError(step.command->name, "out of host memory");
            } catch (const std::exception& e) {
                // The library names the operation in its messages; the step's name is said once.
                std::string text = e.what();
                const std::string named = std::string(step.command->name) + ": ";
                if (text.compare(0, named.size(), named) == 0) text.erase(0, named.size());
                throw ToolError(step.command->name, text);
            }
            if (v.image.get() == before) v.labels = wereLabels;
            if (stepMs) {
                synchronise();
                (*stepMs)[s] += nowMs() - start;
            }
        }
    }
}

io::HostImage toHostImage(std::vector<Value>& channels, io::SampleType type, bool normalise,
                          bool colour) {
    for (Value& v : channels)
        if (v.complex)
            throw ToolError("write",
                            "the image is a spectrum of two parts (fft --complex); "
                            "add ifft, or view it with fft --log");
    const cmm::cmmDims d = channels[0].image->GetDimensions();
    const int width = d.Dim(0), height = d.Dim(1);
    if (d.Dim(2) != 1 || d.Dim(3) != 1 || d.Size() == 0)
        throw ToolError("write", "the result has extents (" + std::to_string(d.Dim(0)) + ", " +
                                     std::to_string(d.Dim(1)) + ", " + std::to_string(d.Dim(2)) +
                                     ", " + std::to_string(d.Dim(3)) +
                                     "); files hold two-dimensional images");
    if (colour) {
        if (channels.size() != 1) throw ToolError("--colour", "needs one label image");
        return colourLabels(*channels[0].image);
    }
    std::vector<Lumerix*> images;
    for (Value& v : channels) images.push_back(v.image.get());

    // Normalising stretches all channels together, so a colour picture keeps its balance.
    std::vector<std::unique_ptr<Lumerix>> stretched;
    if (normalise) {
        float lo = fmin(*images[0]), hi = fmax(*images[0]);
        for (Lumerix* im : images) {
            lo = std::fmin(lo, fmin(*im));
            hi = std::fmax(hi, fmax(*im));
        }
        const float full = type == io::SampleType::UInt8    ? 255.0f
                           : type == io::SampleType::UInt16 ? 65535.0f
                                                            : 1.0f;
        const float scale = hi > lo ? full / (hi - lo) : 0.0f;
        // Integer outputs round to nearest: the conversion truncates the fraction.
        const float half = type == io::SampleType::Float32 ? 0.0f : 0.5f;
        for (Lumerix*& im : images) {
            stretched.emplace_back(new Lumerix((*im - lo) * scale + half));
            im = stretched.back().get();
        }
    }
    io::HostImage out;
    out.width = width;
    out.height = height;
    out.channels = static_cast<int>(images.size());
    out.type = type;
    out.allocate();
    if (images.size() == 2 || images.size() == 4) {
        // Channels with alpha are interleaved here: merge3 takes three.
        const std::size_t stride = images.size(), n = out.sampleCount() / stride;
        for (std::size_t k = 0; k < stride; ++k) {
            Lumerix& im = *images[k];
            if (type == io::SampleType::UInt8) {
                unsigned char* p = im.GetDataInt8();
                for (std::size_t i = 0; i < n; ++i) out.u8[i * stride + k] = p[i];
                std::free(p);
            } else if (type == io::SampleType::UInt16) {
                unsigned short* p = im.GetDataInt16();
                for (std::size_t i = 0; i < n; ++i) out.u16[i * stride + k] = p[i];
                std::free(p);
            } else {
                const float* p = im.GetHostPtr();
                for (std::size_t i = 0; i < n; ++i) out.f32[i * stride + k] = p[i];
            }
        }
        return out;
    }
    std::unique_ptr<Lumerix> merged;
    Lumerix* source = images[0];
    if (images.size() == 3) {
        merged.reset(new Lumerix(merge3(*images[0], *images[1], *images[2])));
        source = merged.get();
    }
    const std::size_t n = out.sampleCount();
    switch (type) {
        case io::SampleType::UInt8: {
            unsigned char* p = source->GetDataInt8();
            std::memcpy(out.u8.data(), p, n);
            std::free(p);
            break;
        }
        case io::SampleType::UInt16: {
            unsigned short* p = source->GetDataInt16();
            std::memcpy(out.u16.data(), p, n * sizeof(unsigned short));
            std::free(p);
            break;
        }
        case io::SampleType::Float32:
            std::memcpy(out.f32.data(), source->GetHostPtr(), n * sizeof(float));
            break;
    }
    return out;
}

namespace {

double fullScale(io::SampleType type) {
    return type == io::SampleType::UInt8 ? 255.0 : 65535.0;
}

}  // namespace

io::SampleType outputType(std::vector<Value>& channels, const Options& o,
                          io::SampleType inputType) {
    if (o.depth) return *o.depth;
    const io::FileFormat format = io::formatForPath(o.output);
    io::SampleType type = inputType;
    if (format == io::FileFormat::Jpeg ||
        (inputType == io::SampleType::Float32 && format != io::FileFormat::Tiff))
        type = io::SampleType::UInt8;
    bool labels = !o.colour && !o.normalise && format != io::FileFormat::Jpeg;
    for (Value& v : channels) labels = labels && v.labels && !v.complex;
    if (!labels || type == io::SampleType::Float32) return type;
    float most = 0.0f;
    for (Value& v : channels) most = std::fmax(most, fmax(*v.image));
    if (most > 65535.0f && format == io::FileFormat::Tiff) return io::SampleType::Float32;
    if (most > 255.0f) return io::SampleType::UInt16;  // the most an integer file holds
    return type;
}

std::string clippingWarning(std::vector<Value>& channels, const Options& o, io::SampleType type) {
    if (type == io::SampleType::Float32 || o.normalise || o.colour) return "";
    for (Value& v : channels)
        if (v.complex) return "";
    const float full = static_cast<float>(fullScale(type));
    float lo = fmin(*channels[0].image), hi = fmax(*channels[0].image);
    for (Value& v : channels) {
        lo = std::fmin(lo, fmin(*v.image));
        hi = std::fmax(hi, fmax(*v.image));
    }
    const std::string depth = type == io::SampleType::UInt8 ? "8-bit" : "16-bit";
    if (lo >= 0.0f && hi <= full) {
        if (hi > 0.0f && hi <= 1.0f)
            return "lumerix: warning: " + o.output + ": every value lies within 0..1, which " +
                   depth + " samples show as black; --normalise stretches them to 0.." +
                   std::to_string(static_cast<int>(full));
        return "";
    }
    // Only a result that needs it is read back and counted (NaN reads as neither).
    std::size_t below = 0, above = 0, total = 0;
    for (Value& v : channels) {
        const float* p = v.image->GetHostPtr();
        const std::size_t n = static_cast<std::size_t>(v.image->GetDimensions().Size());
        for (std::size_t i = 0; i < n; ++i) {
            below += p[i] < 0.0f ? 1 : 0;
            above += p[i] > full ? 1 : 0;
        }
        total += n;
    }
    std::string keep = "--normalise stretches them into the range";
    if (type == io::SampleType::UInt8 && lo >= 0.0f && hi <= 65535.0f &&
        io::formatForPath(o.output) != io::FileFormat::Jpeg)
        keep += ", --depth 16 keeps them";
    keep += io::formatForPath(o.output) == io::FileFormat::Tiff
                ? ", --depth float keeps every value"
                : ", a float TIFF (-o NAME.tif --depth float) keeps every value";
    std::string where;
    if (below) where += std::to_string(below) + " below 0";
    if (above)
        where += (where.empty() ? "" : ", ") + std::to_string(above) + " above " +
                 std::to_string(static_cast<int>(full));
    return "lumerix: warning: " + o.output + ": " + std::to_string(below + above) + " of " +
           std::to_string(total) + " values do not fit " + depth + " samples and are clipped (" +
           where + "); " + keep;
}

void synchronise() {
    synchronizeDevice();
}

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

std::string backendInfo() {
    return describeDevice();
}

}  // namespace lmx::tool
