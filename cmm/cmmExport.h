#pragma once
// Symbols of the public interface are exported from the shared library; everything else is hidden.

#if defined(_WIN32)
#define LMX_API
#else
#define LMX_API __attribute__((visibility("default")))
#endif
