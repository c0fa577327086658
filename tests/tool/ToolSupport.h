#pragma once
// Running the lumerix tool as a process on files made by the tests.

#include "tools/imageio/ImageFile.h"

#include <lumerix/Lumerix.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace lmxtool {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string shellQuoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

inline std::vector<std::string> splitAtSpaces(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

inline bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

inline std::vector<std::string> folderEntries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

//! A scratch folder for files (work/) and the tool's captured output (logs/), removed after
//! the test.
class ToolTest : public ::testing::Test {
protected:
    std::string root, work;

    void SetUp() override {
        char pattern[] = "/tmp/lumerix-tool-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        work = root + "/work";
        ASSERT_EQ(::mkdir(work.c_str(), 0777), 0);
        ASSERT_EQ(::mkdir((root + "/logs").c_str(), 0777), 0);
    }
    void TearDown() override {
        if (!root.empty()) std::system(("rm -rf " + shellQuoted(root)).c_str());
    }

    std::string at(const std::string& name) const { return work + "/" + name; }

    ToolRun lumerix(const std::vector<std::string>& args) const {
        std::string cmd = "cd " + shellQuoted(work) + " && " + shellQuoted(LMX_TOOL_PATH);
        for (const std::string& a : args) cmd += " " + shellQuoted(a);
        cmd += " >" + shellQuoted(root + "/logs/out") + " 2>" + shellQuoted(root + "/logs/err") +
               " </dev/null";
        ToolRun r;
        const int raw = std::system(cmd.c_str());
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        r.out = slurp(root + "/logs/out");
        r.err = slurp(root + "/logs/err");
        return r;
    }
};

//! A tool test whose steps are compared with the same library calls: the float image input is
//! written to in.tif by the fixture's SetUp, read as an image with image(), and expectSame runs
//! the tool on it and expects out.tif to hold the wanted pixels bit for bit.
class SameAsLibrary : public ToolTest {
protected:
    lmx::io::HostImage input;

    Lumerix image() const {
        Lumerix im(cmm::cmmDims(input.width, input.height));
        std::memcpy(im.GetHostPtr(), input.f32.data(), input.f32.size() * sizeof(float));
        return im;
    }

    void expectSame(const std::vector<std::string>& ops, Lumerix& want) {
        std::vector<std::string> args = {"in.tif"};
        args.insert(args.end(), ops.begin(), ops.end());
        args.insert(args.end(), {"-o", "out.tif"});
        const ToolRun r = lumerix(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const lmx::io::HostImage got = lmx::io::readImage(at("out.tif"));
        const cmm::cmmDims d = want.GetDimensions();
        ASSERT_EQ(got.width, d.Dim(0));
        ASSERT_EQ(got.height, d.Dim(1));
        EXPECT_EQ(std::memcmp(got.f32.data(), want.GetHostPtr(), got.f32.size() * sizeof(float)), 0)
            << ops[0];
    }
};

//! An image of random samples of the given type; floats include negative, tiny and large
//! values.
inline lmx::io::HostImage randomImage(int width, int height, int channels, lmx::io::SampleType type,
                                      unsigned seed) {
    lmx::io::HostImage image;
    image.width = width;
    image.height = height;
    image.channels = channels;
    image.type = type;
    image.allocate();
    std::mt19937 gen(seed);
    for (std::size_t i = 0; i < image.sampleCount(); ++i) {
        switch (type) {
            case lmx::io::SampleType::UInt8:
                image.u8[i] = static_cast<std::uint8_t>(gen());
                break;
            case lmx::io::SampleType::UInt16:
                image.u16[i] = static_cast<std::uint16_t>(gen());
                break;
            case lmx::io::SampleType::Float32: {
                const float scale[4] = {1.0f, 1e-30f, 1e30f, -255.0f};
                image.f32[i] =
                    std::uniform_real_distribution<float>(-1.0f, 1.0f)(gen) * scale[i % 4];
                break;
            }
        }
    }
    return image;
}

//! Sample i of an image as a double, whatever its type.
inline double sampleAt(const lmx::io::HostImage& image, std::size_t i) {
    switch (image.type) {
        case lmx::io::SampleType::UInt8:
            return image.u8[i];
        case lmx::io::SampleType::UInt16:
            return image.u16[i];
        case lmx::io::SampleType::Float32:
            return image.f32[i];
    }
    return 0.0;
}

}  // namespace lmxtool
