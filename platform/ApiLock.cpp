#include "platform/ApiLock.h"

namespace lmx {

// A constant initialiser (the constructors are constexpr) and a trivial destructor.
ApiMutex apiMutexInstance;

}  // namespace lmx
