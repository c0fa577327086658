// CPU traversals of kernels whose plain form suits a GPU better than a CPU. Each reorders work
// across threads of the launch, never within one thread's arithmetic, so it gives the same bits
// as the plain kernel; a test checks that.

#include "backend/cpu/Registry.h"
