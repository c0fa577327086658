#pragma once
// The variance of an image alone on the device, against the image of squared deviations and its
// sum: the same bits, whatever room the caller leaves around the call.

#include "TestSupport.h"

namespace lmxtest {

// runVar(image) calls var with the image locked on the device and whatever limits the test sets.
template <class RunVar>
void expectVarianceKeepsItsBits(RunVar runVar) {
    using cmm::cmmDims;
    const cmmDims sizes[] = {cmmDims(1), cmmDims(1, 9), cmmDims(17, 13), cmmDims(3, 40),
                             cmmDims(301, 300)};
    for (const cmmDims& dims : sizes) {
        SCOPED_TRACE(dims.Size());
        Lumerix image = imageOf(dims, randomValues(static_cast<std::size_t>(dims.Size()), -3, 50));
        const float m = mean(image);
        float want = 0.0f;
        {
            Lumerix deviation = image - m;
            Lumerix squares = deviation * deviation;
            want = sum(squares) / static_cast<float>(dims.Size());
        }
        // Only the image on the device, locked while var runs: nothing to spill or take over.
        startClean();
        onDevice({&image});
        const float got = runVar(image);
        EXPECT_TRUE(sameFloat(got, want)) << got << " vs " << want;
    }
}

}  // namespace lmxtest
