#pragma once
// Host arrays that the library allocates for its callers (released by them with free()).

#include <cstddef>

namespace lmx {

//! malloc(bytes); a large array is marked for transparent huge pages before it is first touched,
//! so that filling it costs a few faults instead of one per 4 KiB page. A large array that
//! releaseHost kept, of the same size, is handed out again instead.
void* allocateHost(std::size_t bytes);

//! Gives back an array that malloc allocated (allocateHost's, or one a caller handed over). A
//! large one is kept, up to a few, for the next allocateHost of its size: the C library maps such
//! arrays afresh each time, and writing a fresh mapping costs a page fault per page, several
//! times the pass that fills it. Any other is freed.
void releaseHost(void* p);

//! Frees one array that releaseHost kept; false when none is kept.
bool freeOneKeptHostArray();

//! Marks the whole 2 MiB pages inside [p, p + bytes) for transparent huge pages (Linux; a hint
//! that the kernel may ignore).
void adviseHugePages(void* p, std::size_t bytes);

}  // namespace lmx
