// The wisdom file: read once when a program names it, rewritten after each plan that measured.
// Measuring a block plan takes tenths of a second; with the wisdom the same plan is made in well
// under a millisecond, so a program run many times (the lumerix tool) plans each size once.

#include "backend/cpu/FftWisdom.h"

#include "backend/cpu/Control.h"
#include "runtime/Backend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fftw3.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

namespace lmx::cpu {
namespace {

// Wisdom of a few sizes is kilobytes; a file far larger is not ours.
constexpr std::streamsize kMostWisdomBytes = 16 << 20;

std::string& wisdomPath() {
    static std::string path;
    return path;
}

std::string exported() {
    std::unique_ptr<char, void (*)(void*)> text(fftwf_export_wisdom_to_string(), fftwf_free);
    return text ? std::string(text.get()) : std::string();
}

bool writeWhole(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A cache is a convenience: a file that cannot be written leaves the next process to plan
// again, and is not an error of the transform.
void save(const std::string& path, const std::string& text) {
    std::string temp = path + ".tmp-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return;
    const bool written = writeWhole(fd, text) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written || ::rename(temp.c_str(), path.c_str()) != 0)
        ::unlink(temp.c_str());
}

}  // namespace

bool useWisdomFile(const std::string& path) {
    wisdomPath() = path;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string text(static_cast<std::size_t>(kMostWisdomBytes) + 1, '\0');
    in.read(&text[0], kMostWisdomBytes + 1);
    if (in.bad() || in.gcount() > kMostWisdomBytes) return false;
    text.resize(static_cast<std::size_t>(in.gcount()));
    // FFTW checks the text and its own version and precision; on any mismatch it returns 0
    // and keeps the wisdom it had.
    return !text.empty() && fftwf_import_wisdom_from_string(text.c_str()) != 0;
}

std::string wisdomBefore() {
    return exported();
}

void wisdomAfter(const std::string& before) {
    const std::string after = exported();
    if (after == before) return;  // made from wisdom: nothing was measured
    countFftPlanning();
    if (!wisdomPath().empty()) save(wisdomPath(), after);
}

}  // namespace lmx::cpu

bool lmx::keepFftPlans(const char* path) {
    return path && *path && cpu::useWisdomFile(path);
}

long lmx::fftPlansMeasured() {
    return cpu::counters().fftPlannings;
}
