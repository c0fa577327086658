#pragma once
// FFTW's wisdom kept in a file between processes, so that only the first process to transform a
// size pays for measuring its plans.

#include <string>

namespace lmx::cpu {

//! Reads the wisdom in the file at path into FFTW's (a missing, damaged or foreign file, from
//! another FFTW version or precision, is ignored) and remembers path, so that the wisdom of
//! plans measured from now on is written back to it. Returns true when the file's wisdom was
//! taken.
bool useWisdomFile(const std::string& path);

//! Makes one FFTW plan by calling make(); when making it measured anything new (wisdom had no
//! answer), counts a planning (Counters::fftPlannings) and writes the process's wisdom to the
//! remembered file, whole: a temporary file beside it renamed into place.
template <class Make>
auto planWithWisdom(Make make) -> decltype(make());

// The two halves of planWithWisdom, around the call.
std::string wisdomBefore();
void wisdomAfter(const std::string& before);

template <class Make>
auto planWithWisdom(Make make) -> decltype(make()) {
    const std::string before = wisdomBefore();
    auto plan = make();
    if (plan) wisdomAfter(before);
    return plan;
}

}  // namespace lmx::cpu
