#include "platform/ApiLock.h"

namespace lmx {

std::recursive_mutex& apiMutex() {
    // Made on first use, so that images constructed by other units' static initialisers
    // find it ready; never destroyed, as images may outlive static destructors.
    static std::recursive_mutex* mutex = new std::recursive_mutex();
    return *mutex;
}

}  // namespace lmx
