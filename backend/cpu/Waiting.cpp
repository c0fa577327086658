// How the cpu backend's idle threads wait, for programs that choose it for their process.

#include "runtime/Backend.h"

// The team's threads spin for a while after each launch before they sleep, which makes the next
// launch start sooner on an idle machine and every launch far slower where other processes want
// the cores. The runtime reads this setting once, when the library is loaded.
const char* lmx::passiveWaitEnvironment() {
    return "OMP_WAIT_POLICY=PASSIVE";
}
