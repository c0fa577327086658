#pragma once
// Fatal reports. The image layer shows the "LUMERIX error" box (here: caption and text on standard
// error), the manager writes one line; both end the process with exit status 1.

namespace lmx {

//! Writes the caption "LUMERIX error" and "file:line : error\nFunction: expression", then exit(1).
[[noreturn]] void fatalBox(const char* file, int line, const char* errorText,
                           const char* expression);
//! Writes "Cuda error in file '<file>' in line <line> : <error>.\n", then exit(1).
[[noreturn]] void fatalManager(const char* file, int line, const char* errorText);
//! Writes text as it is, then exit(1).
[[noreturn]] void fatalText(const char* text);

//! The file name without its directories, so that reports name the unit.
const char* baseName(const char* path);

}  // namespace lmx
