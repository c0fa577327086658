// The one list of the CPU traversals: each replaces the way its kernel runs on this backend
// (Traversal.h). The families' bodies are in ReduceTraversals.cpp, MorphologyTraversals.cpp,
// ConvolveTraversal.cpp, BorderFilterTraversals.cpp, GeometryTraversals.cpp, PixelTraversals.cpp
// and LogTraversal.cpp; those written with AVX2 instructions are listed where the build targets
// a processor that has them.

#include "backend/cpu/Traversal.h"
#include "kernels/Kernels.h"

#include <iterator>

namespace lmx::cpu {

std::vector<Traversal> traversals() {
    std::vector<Traversal> all = {
        traverse<&LumerixPixelSumI2F>(&sumBlocks),
        traverse<&LumerixPixelMinI2F>(&minBlocks),
        traverse<&LumerixPixelMaxI2F>(&maxBlocks),
        traverse<&LumerixPixelSquaredDeviationI2F>(&squaredDeviationBlocks),
        traverse<&histogram256Kernel>(&countHistogramBlocks),
        traverse<&LumerixErosion4I2I>(&erosionCross),
        traverse<&LumerixErosionI2I>(&erosionSquare),
        traverse<&LumerixDilation4I2I>(&dilationCross),
        traverse<&LumerixDilationI2I>(&dilationSquare),
        traverse<&LumerixConvolveIDD2I>(&convolveRadii),
        traverse<&LumerixConvolveID2I>(&convolveRadius),
        traverse<&LumerixCorrelateBorderI2I>(&correlateBorderTable),
        traverse<&LumerixCorrelateBorderIT2I>(&correlateBorderTaps),
        traverse<&LumerixCorrelateRowsIT2I>(&correlateAlongRows),
        traverse<&LumerixCorrelateColumnsIT2I>(&correlateAlongColumns),
        traverse<&LumerixMedianI2I>(&medianWindows),
        traverse<&LumerixGeometricShift>(&shiftRows),
        traverse<&LumerixGeometricSlice>(&sliceRows),
        traverse<&LumerixGeometricResize>(&resizeRows),
        traverse<&LumerixGeometricSliceInterp>(&sliceSamples),
    };
#if defined(__AVX2__)
    const Traversal vector[] = {
        traverse<&LumerixGeometricXX>(&columnCoordinates),
        traverse<&LumerixGeometricYY>(&rowCoordinates),
        traverse<&LumerixGeometricAffine>(&affineTiles),
        traverse<&LumerixAffineBorderI2I>(&affineBorderTiles),
        traverse<&LumerixPixelFloatToInt8>(&narrowToInt8),
        traverse<&LumerixPixelFloatToInt16>(&narrowToInt16),
        traverse<&LumerixPixelMerge3>(&mergeChannels),
        traverse<&LumerixPixelSplit3>(&splitChannels),
    };
    all.insert(all.end(), std::begin(vector), std::end(vector));
#endif
#if defined(__AVX2__) && defined(__FMA__)
    // The traversal reproduces one C library's logf; under another the kernel keeps its loop.
    if (logPixelsMatchesLibrary()) all.push_back(traverse<&LumerixPixelLogI2I>(&logPixels));
#endif
    return all;
}

}  // namespace lmx::cpu
