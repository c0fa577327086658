#include "platform/Fatal.h"

#include <lumerix/LumerixFatal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<LumerixFatalHandler> installedHandler{nullptr};

// Hands the report to the installed handler; with none, or when it returns, writes it to
// standard error and ends the process. The caption comes first, on a line of its own.
[[noreturn]] void report(const char* caption, const char* text) {
    if (const LumerixFatalHandler handler = installedHandler.load()) handler(caption, text);
    if (caption[0])
        std::fprintf(stderr, "%s\n%s\n", caption, text);
    else
        std::fputs(text, stderr);
    std::fflush(stderr);
    std::exit(1);
}

}  // namespace

LumerixFatalHandler LumerixSetFatalHandler(LumerixFatalHandler handler) {
    return installedHandler.exchange(handler);
}

namespace lmx {

const char* baseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void fatalBox(const char* file, int line, const char* errorText, const char* expression) {
    // Formatted as the message box text was.
    char text[1024];
    std::snprintf(text, sizeof text, "%s:%d : %s\nFunction: %s", baseName(file), line, errorText,
                  expression);
    report("LUMERIX error", text);
}

void fatalManager(const char* file, int line, const char* errorText) {
    char text[1024];
    std::snprintf(text, sizeof text, "Cuda error in file '%s' in line %i : %s.\n", baseName(file),
                  line, errorText);
    report("", text);
}

void fatalText(const char* text) {
    report("", text);
}

}  // namespace lmx
