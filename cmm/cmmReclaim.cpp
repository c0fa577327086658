// The registry of idle device caches; the page steps live with the pages (cmmPage.cpp).

#include "cmm/cmmReclaim.h"

namespace lmx {
namespace {

constexpr int kMaxCaches = 8;
DeviceCacheRelease caches[kMaxCaches] = {};
int cacheCount = 0;

}  // namespace

void registerDeviceCache(DeviceCacheRelease releaseOne) {
    for (int i = 0; i < cacheCount; ++i)
        if (caches[i] == releaseOne) return;
    if (cacheCount < kMaxCaches) caches[cacheCount++] = releaseOne;
}

bool releaseOneCachedItem() {
    for (int i = 0; i < cacheCount; ++i)
        if (caches[i]()) return true;
    return false;
}

bool reclaimOneStep() {
    return putDownOldestZombie() || releaseOneCachedItem() || reclaimOnePage();
}

bool releaseDeviceCaches() {
    bool released = false;
    for (int i = 0; i < cacheCount; ++i)
        while (caches[i]()) released = true;
    return released;
}

}  // namespace lmx
