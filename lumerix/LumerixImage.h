#pragma once
// The image: a dense float array of up to four extents whose storage is one managed page.

#include <cmm/cmm.h>
#include <cmm/cmmExport.h>

//! An image of 32-bit float pixels; dimension 0 is the row width. Operations take images by
//! non-const reference (locking changes an image's manager state) and return new images.
class LMX_API Lumerix : public cmm::cmmPagedMemory {
public:
    //! An empty image: extents (1, 1, 1, 1), Size() 0, no data.
    Lumerix();
    //! An image of the given extents without data; memory is allocated on first use.
    Lumerix(const cmm::cmmDims& dims);
    //! Deep copy, device to device; the source is locked while it is copied.
    Lumerix(Lumerix& other);
    Lumerix(Lumerix&& other) : Lumerix(static_cast<Lumerix&>(other)) {}
    //! Throws "Invalid state" when the image is locked (never while unwinding).
    ~Lumerix() noexcept(false) = default;

    //! Replaces this image's page by a copy of other's extents and data.
    Lumerix& operator=(Lumerix& other);
    Lumerix& operator=(Lumerix&& other) { return *this = static_cast<Lumerix&>(other); }

    //! Sets every pixel from GetDimensions().Size() 8-bit values; returns the image.
    Lumerix& SetDataInt8(const unsigned char* const data);
    //! The pixels as a new malloc'd array of 8-bit values (saturating, fraction truncated).
    unsigned char* GetDataInt8();
    Lumerix& SetDataInt16(const unsigned short* const data);
    unsigned short* GetDataInt16();

    //! Circular shift: result (x, y) = pixel (x + dx, y + dy) mod size; content moves (-dx, -dy).
    Lumerix operator()(int dx, int dy);
    //! Crop of columns [x0, x1), rows [y0, y1) as a 2-D image; windows outside throw out_of_range.
    Lumerix operator()(int x0, int x1, int y0, int y1);

private:
    void copyFrom(Lumerix& other);
};
