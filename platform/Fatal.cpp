#include "platform/Fatal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lmx {

const char* baseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void fatalBox(const char* file, int line, const char* errorText, const char* expression) {
    // Formatted as the message box text was; the caption comes first, on a line of its own.
    char text[1024];
    std::snprintf(text, sizeof text, "%s:%d : %s\nFunction: %s", baseName(file), line, errorText,
                  expression);
    std::fprintf(stderr, "LUMERIX error\n%s\n", text);
    std::fflush(stderr);
    std::exit(1);
}

void fatalManager(const char* file, int line, const char* errorText) {
    std::fprintf(stderr, "Cuda error in file '%s' in line %i : %s.\n", baseName(file), line,
                 errorText);
    std::fflush(stderr);
    std::exit(1);
}

void fatalText(const char* text) {
    std::fputs(text, stderr);
    std::fflush(stderr);
    std::exit(1);
}

}  // namespace lmx
