#pragma once
//! \file
//! Statistics of each labelled component: area, bounding box, centroid and the extremes and mean
//! of a second image's values inside it.

#include <cmm/cmmExport.h>
#include <lumerix/LumerixImage.h>

#include <vector>

//! One labelled component, as scikit-image's regionprops describes it.
struct LumerixRegion {
    int label;       //!< the component's number
    long long area;  //!< pixels
    //! Bounding box along Dim(0) (x) and Dim(1) (y), ends exclusive.
    //!@{
    int x0, y0, x1, y1;
    //!@}
    //! Centroid: the mean x and the mean y of the component's pixels.
    //!@{
    double cx, cy;
    //!@}
    //! Of the values inside the component; NaN when any of them is NaN.
    //!@{
    float min, max;
    //!@}
    double mean;  //!< of the values inside the component, summed in double
};

//! One entry per label present in the first W x H plane of `labels`, in ascending order of the
//! labels; 0 is background. `values` gives the intensities and must have the extents of
//! `labels`. Throws std::invalid_argument when the extents differ or a label is not a whole
//! number in [0, 2^24] (NaN and infinities included). Area and bounding box are exact; sums of
//! coordinates and values are accumulated in double.
LMX_API std::vector<LumerixRegion> regions(Lumerix& labels, Lumerix& values);
//! The same for a temporary image, such as another operation's result.
inline std::vector<LumerixRegion> regions(Lumerix&& labels, Lumerix&& values) {
    return regions(labels, values);
}
