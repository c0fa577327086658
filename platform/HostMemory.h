#pragma once
// Host arrays that the library allocates for its callers (released by them with free()).

#include <cstddef>

namespace lmx {

//! malloc(bytes); a large array is marked for transparent huge pages before it is first touched,
//! so that filling it costs a few faults instead of one per 4 KiB page.
void* allocateHost(std::size_t bytes);

//! Marks the whole 2 MiB pages inside [p, p + bytes) for transparent huge pages (Linux; a hint
//! that the kernel may ignore).
void adviseHugePages(void* p, std::size_t bytes);

}  // namespace lmx
