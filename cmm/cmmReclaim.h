#pragma once
// Reclaiming device memory that no live image uses: idle caches outside the pages (scratch
// chunks, FFT plans) and the manager's own zombie and cached pages.
//
// A page lock that cannot allocate puts down zombies first, then empties the idle caches, then
// spills cached pages. A scratch allocation that cannot allocate empties its own cache, then
// takes one step at a time in the same order (reclaimOneStep) until it fits or nothing is left.

namespace lmx {

//! Gives one idle item of a cache back to the device; false when the cache held none.
using DeviceCacheRelease = bool (*)();

//! Adds a cache to those the manager may empty; registering the same function twice is harmless.
void registerDeviceCache(DeviceCacheRelease releaseOne);

//! Releases every idle item of every registered cache; true when anything was released.
bool releaseDeviceCaches();

//! Releases the device memory of the oldest zombie page; false when there is none.
bool putDownOldestZombie();

//! Gives back one idle item of the first registered cache that holds one; false when none does.
bool releaseOneCachedItem();

//! One reclaim step in the order a page lock takes: the oldest zombie page, else one idle item
//! of a registered cache (scratch chunks, FFT plans), else the oldest cached page spilled. False
//! when nothing is left to give back.
bool reclaimOneStep();

//! One reclaim step over the pages: puts down the oldest zombie, or else spills the oldest
//! cached page to the host and puts down its device memory. False when there is neither.
bool reclaimOnePage();

}  // namespace lmx
