#pragma once
//! \file
//! Symbols of the public interface are exported from the shared library; everything else is hidden.

#if defined(_WIN32)
#define LMX_API
#else
//! Exports a declaration from the shared library.
#define LMX_API __attribute__((visibility("default")))
#endif
