#pragma once
//! \file
//! The image: a dense float array of up to four extents whose storage is one managed page.

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
    //! Takes over other's page without copying; other is left an image without pixels
    //! (Lumerix()). A locked source throws "Invalid state" and keeps its page.
    Lumerix(Lumerix&& other);
    //! Throws "Invalid state" when the image is locked (never while unwinding).
    ~Lumerix() noexcept(false) = default;

    //! Replaces this image's page by a copy of other's extents and data.
    Lumerix& operator=(Lumerix& other);
    //! Frees this image's page and takes over other's, which is left an image without pixels.
    //! Throws "Invalid state" when either image is locked; both are then left as they were.
    Lumerix& operator=(Lumerix&& other);

    //! Sets every pixel from GetDimensions().Size() floats: one copy to the device, no host
    //! copy kept. data may be host or device memory. Returns the image.
    Lumerix& SetData(const float* data);
    //! Writes every pixel into data (GetDimensions().Size() floats, host or device memory): one
    //! copy from wherever the pixels are current, without keeping a host copy. An image without
    //! data gives zeros.
    void CopyTo(float* data);
    //! Gives the image new extents of the same element count without moving its pixels (as
    //! NumPy's reshape). Throws std::invalid_argument for another element count, "Invalid state"
    //! while the image is locked.
    Lumerix& Reshape(const cmm::cmmDims& dims);

    //! Sets every pixel from GetDimensions().Size() 8-bit values; returns the image.
    Lumerix& SetDataInt8(const unsigned char* const data);
    //! The pixels as a new malloc'd array of 8-bit values (saturating, fraction truncated).
    unsigned char* GetDataInt8();
    //! Sets every pixel from GetDimensions().Size() 16-bit values; returns the image.
    Lumerix& SetDataInt16(const unsigned short* const data);
    //! The pixels as a new malloc'd array of 16-bit values (saturating, fraction truncated).
    unsigned short* GetDataInt16();

    //! Circular shift: result (x, y) = pixel (x + dx, y + dy) mod size; content moves (-dx, -dy).
    Lumerix operator()(int dx, int dy);
    //! Crop of columns [x0, x1), rows [y0, y1) as a 2-D image; windows outside throw out_of_range.
    Lumerix operator()(int x0, int x1, int y0, int y1);

private:
    void copyFrom(Lumerix& other);
};
