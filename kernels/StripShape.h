#pragma once
// The rows a thread of the strip shapes writes (kernels/Dialect.h: forEachPixelRows2D,
// forEachStagedRows2D), shared by the dialect's two engines and the launch helpers.

namespace lmx {

//! Result rows a thread of the strip shapes writes on the GPU: a window filter then reads each
//! source row once for up to four results.
constexpr int kRowsPerThread = 4;

//! The number of rows a strip body is compiled for, as a type: a body declares its
//! accumulators with Rows<R>::count.
template <int R>
struct Rows {
    static constexpr int count = R;
};

}  // namespace lmx
