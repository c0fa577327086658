// Callers on several threads: every entry point takes the library's one lock, so threads that
// run mixed operations on images of their own get the results of a single-threaded run.

#include "ThreadSafetySupport.h"

namespace {

struct NothingMore {};

}  // namespace

TEST(ThreadSafety, ThreadsOfMixedOperationsGetTheSingleThreadedResults) {
    lmxtest::expectThreadsGetTheirResultsAlone<NothingMore>();
}
