#pragma once
//! \file
//! Connected-component labelling.

#include <cmm/cmmExport.h>
#include <lumerix/LumerixImage.h>

//! Numbers the 4-connected components of the foreground (every pixel that is not 0.0, NaN
//! included; -0.0 is background) of the first width x height plane: 1 ... K without gaps, in the
//! raster order of each component's first pixel (topmost row first, then leftmost), 0 for
//! background. The result has the image's extents; planes beyond the first are 0. Throws
//! std::overflow_error when K exceeds 2^24 (a float holds every number up to there exactly),
//! std::bad_alloc when the working tables cannot be allocated.
LMX_API Lumerix label(Lumerix& image);
//! The same for a temporary image, such as another operation's result.
inline Lumerix label(Lumerix&& image) {
    return label(image);
}

//! As label(image), with the neighbours that join two foreground pixels chosen: 4 (sharing an
//! edge; the same as label(image)) or 8 (sharing an edge or a corner). Throws
//! std::invalid_argument for any other connectivity.
LMX_API Lumerix label(Lumerix& image, int connectivity);
//! The same for a temporary image, such as another operation's result.
inline Lumerix label(Lumerix&& image, int connectivity) {
    return label(image, connectivity);
}
