// The Python binding: the image class and every operation, over the library's public C++ API.
//
// Data moves through the buffer protocol and DLPack only, never through NumPy's C API, so the
// module works with any NumPy. The NumPy conventions (dtype conversion, docstrings) live in
// __init__.py; this file checks what the library would otherwise end the process for.
//
// Threads: every call into the library releases the GIL, and nothing here calls Python while
// the library holds its lock. Code that runs with the GIL held and then enters the library
// (destructors, DLPack deleters) takes the GIL first and the library's lock second, the same
// order as every other path.

#include <lumerix/Lumerix.h>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "_backend.h"
#include "runtime/Backend.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// ---- the image ---------------------------------------------------------------------------------

using Shape = std::vector<py::ssize_t>;

//! A library image with its shape in NumPy order (rows first). The library's extents are the
//! shape reversed, so images of equal shapes combine.
struct Image {
    Lumerix pixels;
    Shape shape;
    //! Locked for __cuda_array_interface__, which has no way to say when the view ends.
    bool pinned = false;

    Image(Lumerix&& p, Shape s) : pixels(std::move(p)), shape(std::move(s)) {}
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    ~Image() {
        if (pinned) pixels.Release();
    }
};

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

//! Frees an image without the GIL: freeing takes the library's lock, which a long operation on
//! another thread may hold, and the other Python threads should not wait for it too.
struct FreeImage {
    void operator()(Image* img) const {
        if (!PyGILState_Check() || finalizing()) {
            delete img;
            return;
        }
        py::gil_scoped_release unlocked;
        delete img;
    }
};

using ImagePtr = std::unique_ptr<Image, FreeImage>;

//! The library's extents of a NumPy shape. The library has no zero extents: a shape with one is
//! an image without pixels.
cmm::cmmDims extentsOf(const Shape& shape) {
    int e[4] = {1, 1, 1, 1};
    const std::size_t n = shape.size();
    for (const py::ssize_t extent : shape)
        if (extent == 0) return cmm::cmmDims();
    for (std::size_t i = 0; i < n; ++i) {
        if (shape[i] < 0 || shape[i] > INT32_MAX)
            throw std::overflow_error("lumerix: extent " + std::to_string(shape[i]) +
                                      " does not fit the library");
        e[n - 1 - i] = static_cast<int>(shape[i]);
    }
    return cmm::cmmDims(e[0], e[1], e[2], e[3]);
}

ImagePtr wrap(Lumerix&& pixels, Shape shape) {
    return ImagePtr(new Image(std::move(pixels), std::move(shape)));
}

ImagePtr like(Lumerix&& pixels, const Image& source) {
    return wrap(std::move(pixels), source.shape);
}

std::string shapeText(const Shape& shape) {
    std::string t = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) t += (i ? ", " : "") + std::to_string(shape[i]);
    return t + (shape.size() == 1 ? ",)" : ")");
}

// ---- buffers
// -------------------------------------------------------------------------------------

//! Whether the buffer holds native items of the struct format character.
bool isFormat(const py::buffer_info& info, char format, std::size_t itemsize) {
    const std::string& f = info.format;
    const bool native =
        f.size() == 1 || (f.size() == 2 && (f[0] == '@' || f[0] == '=' || f[0] == '<'));
    return native && f.back() == format && info.itemsize == static_cast<py::ssize_t>(itemsize);
}

bool isContiguous(const py::buffer_info& info) {
    py::ssize_t step = info.itemsize;
    for (py::ssize_t i = info.ndim - 1; i >= 0; --i) {
        if (info.shape[i] != 1 && info.strides[i] != step) return false;
        step *= info.shape[i];
    }
    return true;
}

//! A C-contiguous buffer of the given struct format character, or a TypeError.
py::buffer_info contiguous(const py::buffer& b, char format, std::size_t itemsize, bool writable) {
    py::buffer_info info = b.request(writable);
    if (!isFormat(info, format, itemsize))
        throw py::type_error("lumerix: a buffer of format '" + std::string(1, format) +
                             "' is needed, not '" + info.format + "'");
    if (!isContiguous(info)) throw py::value_error("lumerix: the buffer is not C-contiguous");
    return info;
}

Shape shapeOf(const py::buffer_info& info) {
    if (info.ndim < 1 || info.ndim > 4)
        throw py::value_error("lumerix: images have 1 to 4 dimensions, not " +
                              std::to_string(info.ndim));
    return Shape(info.shape.begin(), info.shape.end());
}

py::ssize_t elementCount(const Shape& shape) {
    py::ssize_t n = 1;
    for (const py::ssize_t extent : shape) n *= extent;
    return n;
}

// From the shape, not the library: reading the extents would wait for the library's lock with
// the GIL held.
void requireSize(const py::buffer_info& info, const Image& img) {
    if (info.size != elementCount(img.shape))
        throw py::value_error("lumerix: a buffer of " + std::to_string(info.size) +
                              " elements for an image of shape " + shapeText(img.shape));
}

ImagePtr fromFloat32(const py::buffer_info& info) {
    Shape shape = shapeOf(info);
    const float* data = static_cast<const float*>(info.ptr);
    py::gil_scoped_release unlocked;
    Lumerix img(extentsOf(shape));
    img.SetData(data);
    return wrap(std::move(img), std::move(shape));
}

//! One copy of any array-like into a new image: a float32 C-contiguous buffer is read as it is,
//! anything else is converted by the package's NumPy layer first.
ImagePtr fromArray(py::object array) {
    if (PyObject_CheckBuffer(array.ptr())) {
        const py::buffer_info info = py::reinterpret_borrow<py::buffer>(array).request();
        if (isFormat(info, 'f', 4) && isContiguous(info)) return fromFloat32(info);
    }
    py::object converted = py::module_::import("lumerix").attr("_as_float32")(array);
    return fromFloat32(py::reinterpret_borrow<py::buffer>(converted).request());
}

template <class T>
ImagePtr fromNarrow(const py::buffer& b, char format) {
    const py::buffer_info info = contiguous(b, format, sizeof(T), false);
    Shape shape = shapeOf(info);
    const T* data = static_cast<const T*>(info.ptr);
    py::gil_scoped_release unlocked;
    Lumerix img(extentsOf(shape));
    if (img.GetDimensions().Size() > 0) {
        if constexpr (sizeof(T) == 1)
            img.SetDataInt8(data);
        else
            img.SetDataInt16(data);
    }
    return wrap(std::move(img), std::move(shape));
}

template <class T>
void toNarrow(Image& img, const py::buffer& out, char format) {
    const py::buffer_info info = contiguous(out, format, sizeof(T), true);
    requireSize(info, img);
    const std::size_t bytes = static_cast<std::size_t>(info.size) * sizeof(T);
    if (bytes == 0) return;
    T* dst = static_cast<T*>(info.ptr);
    py::gil_scoped_release unlocked;
    T* narrow;
    if constexpr (sizeof(T) == 1)
        narrow = img.pixels.GetDataInt8();
    else
        narrow = img.pixels.GetDataInt16();
    std::memcpy(dst, narrow, bytes);
    std::free(narrow);
}

// ---- DLPack ------------------------------------------------------------------------------------
// The exchange structures, laid out as the DLPack ABI (version 0.8) has them.

struct DLDevice {
    std::int32_t device_type;
    std::int32_t device_id;
};
struct DLDataType {
    std::uint8_t code;
    std::uint8_t bits;
    std::uint16_t lanes;
};
struct DLTensor {
    void* data;
    DLDevice device;
    std::int32_t ndim;
    DLDataType dtype;
    std::int64_t* shape;
    std::int64_t* strides;
    std::uint64_t byte_offset;
};
struct DLManagedTensor {
    DLTensor dl_tensor;
    void* manager_ctx;
    void (*deleter)(DLManagedTensor*);
};

constexpr std::int32_t kDLCPU = 1;
constexpr std::int32_t kDLCUDA = 2;
constexpr std::uint8_t kDLFloat = 2;

//! Where the library's pixels are: the host where device memory is host memory, else the
//! current CUDA device.
DLDevice libraryDevice() {
    if (lmx::kDeviceMemoryIsHost) return {kDLCPU, 0};
    int id = 0;
    cudaGetDevice(&id);
    return {kDLCUDA, id};
}

//! What a view keeps alive: the Python image (so that its pixels stay put) and the shape.
struct View {
    DLManagedTensor tensor;
    PyObject* owner;
    Image* image;
    std::int64_t shape[4];
    std::int64_t strides[4];
};

// Called by the consumer when its array goes, on any thread, with or without the GIL. The GIL
// is taken before the library's lock (Release), as everywhere else.
void releaseView(DLManagedTensor* tensor) {
    View* view = static_cast<View*>(tensor->manager_ctx);
    const PyGILState_STATE gil = PyGILState_Ensure();
    try {
        view->image->pixels.Release();
    } catch (const std::exception& e) {
        PyErr_WarnEx(PyExc_RuntimeWarning, e.what(), 1);
    }
    Py_DECREF(view->owner);
    delete view;
    PyGILState_Release(gil);
}

// A capsule that no consumer took still holds its view.
void dropCapsule(PyObject* capsule) {
    if (PyCapsule_IsValid(capsule, "dltensor")) {
        auto* tensor = static_cast<DLManagedTensor*>(PyCapsule_GetPointer(capsule, "dltensor"));
        tensor->deleter(tensor);
    }
}

// The library works on the default stream and waits for it here, so the consumer's stream,
// whichever it is, finds the pixels written.
// max_version and dl_device are accepted from newer consumers; the answer is the unversioned
// capsule they all take. copy=True exports a copy of the image instead of the image.
py::capsule dlpack(py::object self, const py::object& /*stream*/, const py::object& /*maxVersion*/,
                   const py::object& /*dlDevice*/, const py::object& copy) {
    if (!copy.is_none() && copy.cast<bool>()) {
        Image& source = self.cast<Image&>();
        ImagePtr duplicate;
        {
            py::gil_scoped_release unlocked;
            Lumerix pixels(source.pixels);
            duplicate = like(std::move(pixels), source);
        }
        self = py::cast(std::move(duplicate));
    }
    Image& img = self.cast<Image&>();
    float* device;
    {
        py::gil_scoped_release unlocked;
        device = img.pixels.Lock();  // stays locked: no spill, no move, until the view goes
        // The library's work is on the default stream; a consumer's stream sees it finished.
        if (!lmx::kDeviceMemoryIsHost) cudaDeviceSynchronize();
    }
    auto view = std::make_unique<View>();
    const int ndim = static_cast<int>(img.shape.size());
    std::int64_t step = 1;
    for (int i = ndim - 1; i >= 0; --i) {
        view->shape[i] = img.shape[static_cast<std::size_t>(i)];
        view->strides[i] = step;
        step *= view->shape[i];
    }
    view->owner = self.release().ptr();
    view->image = &img;
    DLTensor& t = view->tensor.dl_tensor;
    t.data = device;
    t.device = libraryDevice();
    t.ndim = ndim;
    t.dtype = {kDLFloat, 32, 1};
    t.shape = view->shape;
    t.strides = view->strides;
    t.byte_offset = 0;
    view->tensor.manager_ctx = view.get();
    view->tensor.deleter = &releaseView;
    PyObject* capsule = PyCapsule_New(&view->tensor, "dltensor", &dropCapsule);
    if (!capsule) {
        Py_DECREF(view->owner);
        img.pixels.Release();
        throw py::error_already_set();
    }
    view.release();
    return py::reinterpret_steal<py::capsule>(capsule);
}

//! One device-to-device copy of a float32 C-contiguous CUDA tensor into a new image.
ImagePtr fromDeviceCapsule(py::capsule capsule) {
    if (!PyCapsule_IsValid(capsule.ptr(), "dltensor"))
        throw py::value_error("lumerix.from_dlpack: not an unused DLPack capsule");
    auto* tensor = static_cast<DLManagedTensor*>(PyCapsule_GetPointer(capsule.ptr(), "dltensor"));
    const DLTensor& t = tensor->dl_tensor;
    if (t.device.device_type != kDLCUDA || t.dtype.code != kDLFloat || t.dtype.bits != 32 ||
        t.dtype.lanes != 1 || t.ndim < 1 || t.ndim > 4)
        throw py::value_error(
            "lumerix.from_dlpack: a float32 CUDA tensor of 1 to 4 dimensions "
            "is needed");
    Shape shape(t.shape, t.shape + t.ndim);
    std::int64_t step = 1;
    for (int i = t.ndim - 1; i >= 0; --i) {
        if (t.strides && t.shape[i] != 1 && t.strides[i] != step)
            throw py::value_error("lumerix.from_dlpack: the tensor is not C-contiguous");
        step *= t.shape[i];
    }
    const char* source = static_cast<const char*>(t.data) + t.byte_offset;
    ImagePtr result;
    {
        py::gil_scoped_release unlocked;
        Lumerix img(extentsOf(shape));
        img.SetData(reinterpret_cast<const float*>(source));  // device to device
        result = wrap(std::move(img), shape);
    }
    PyCapsule_SetName(capsule.ptr(), "used_dltensor");
    if (tensor->deleter) tensor->deleter(tensor);
    return result;
}

// ---- errors ------------------------------------------------------------------------------------

PyObject* lumerixError = nullptr;
PyObject* fatalError = nullptr;

//! What the fatal handler throws instead of ending the process.
struct Fatal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void throwFatal(const char* caption, const char* text) {
    // A second exception in flight would end the process anyway, without the report.
    if (std::uncaught_exceptions() > 0) return;
    std::string message = caption[0] ? std::string(caption) + ": " + text : std::string(text);
    while (!message.empty() && message.back() == '\n') message.pop_back();
    throw Fatal(message);
}

void translate(std::exception_ptr p) {
    try {
        std::rethrow_exception(p);
    } catch (const py::builtin_exception&) {
        throw;  // pybind11's own, translated by pybind11
    } catch (const py::error_already_set&) {
        throw;
    } catch (const Fatal& e) {
        PyErr_SetString(fatalError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "lumerix: out of host memory");
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        if (what == "Image sizes do not match")
            PyErr_SetString(PyExc_ValueError, e.what());
        else if (what == "Out of memory")
            PyErr_SetString(PyExc_MemoryError, e.what());
        else
            PyErr_SetString(lumerixError, e.what());
    }
}

// ---- operations ----------------------------------------------------------------------------

// Every operation below runs without the GIL; results are handed to Python after it is taken
// back. Adding an operation: one line in the table of its kind and a wrapper in __init__.py.
const auto releaseGil = py::call_guard<py::gil_scoped_release>();

using BinaryII = Lumerix (*)(Lumerix&, Lumerix&);
using BinaryIF = Lumerix (*)(Lumerix&, const float&);
using BinaryFI = Lumerix (*)(const float&, Lumerix&);
using Unary = Lumerix (*)(Lumerix&);

struct BinaryOp {
    const char* name;  // the module function
    const char* op;    // the operator method, or null
    // The reflected operator method, or null: comparisons have none, as Python turns s < x
    // into x > s, which the opposite comparison's image-scalar form answers.
    const char* rop;
    BinaryII ii;
    BinaryIF iF;
    BinaryFI fi;
};

#define LMX_BINARY(name, op, rop, f)                                         \
    BinaryOp {                                                               \
        name, op, rop, static_cast<BinaryII>(&f), static_cast<BinaryIF>(&f), \
            static_cast<BinaryFI>(&f)                                        \
    }

const BinaryOp kBinary[] = {
    LMX_BINARY("add", "__add__", "__radd__", operator+),
    LMX_BINARY("subtract", "__sub__", "__rsub__", operator-),
    LMX_BINARY("multiply", "__mul__", "__rmul__", operator*),
    LMX_BINARY("divide", "__truediv__", "__rtruediv__", operator/),
    LMX_BINARY("greater", "__gt__", nullptr, operator>),
    LMX_BINARY("greater_equal", "__ge__", nullptr, operator>=),
    LMX_BINARY("less", "__lt__", nullptr, operator<),
    LMX_BINARY("less_equal", "__le__", nullptr, operator<=),
    LMX_BINARY("equal", "__eq__", nullptr, operator==),
    LMX_BINARY("bitwise_and", "__and__", "__rand__", operator&),
    LMX_BINARY("bitwise_or", "__or__", "__ror__", operator|),
    LMX_BINARY("bitwise_xor", "__xor__", "__rxor__", operator^),
    LMX_BINARY("logical_and", nullptr, nullptr, operator&&),
    LMX_BINARY("logical_or", nullptr, nullptr, operator||),
    LMX_BINARY("fmin", nullptr, nullptr, fmin),
    LMX_BINARY("fmax", nullptr, nullptr, fmax),
};
#undef LMX_BINARY

void bindBinary(py::class_<Image, ImagePtr>& cls, py::module_& m, const BinaryOp& b) {
    const BinaryII ii = b.ii;
    const BinaryIF iF = b.iF;
    const BinaryFI fi = b.fi;
    m.def(
        b.name, [ii](Image& x, Image& y) { return like(ii(x.pixels, y.pixels), x); }, releaseGil);
    m.def(
        b.name, [iF](Image& x, float s) { return like(iF(x.pixels, s), x); }, releaseGil);
    m.def(
        b.name, [fi](float s, Image& x) { return like(fi(s, x.pixels), x); }, releaseGil);
    if (!b.op) return;
    cls.def(
        b.op, [ii](Image& x, Image& y) { return like(ii(x.pixels, y.pixels), x); },
        py::is_operator(), releaseGil);
    cls.def(
        b.op, [iF](Image& x, float s) { return like(iF(x.pixels, s), x); }, py::is_operator(),
        releaseGil);
    if (!b.rop) return;
    cls.def(
        b.rop, [fi](Image& x, float s) { return like(fi(s, x.pixels), x); }, py::is_operator(),
        releaseGil);
}

struct UnaryOp {
    const char* name;
    Unary f;
};

const UnaryOp kUnary[] = {
    {"sqrt", static_cast<Unary>(&sqrt)},   {"log", static_cast<Unary>(&log)},
    {"abs", static_cast<Unary>(&abs)},     {"logical_not", static_cast<Unary>(&operator!)},
    {"xx", static_cast<Unary>(&xx)},       {"yy", static_cast<Unary>(&yy)},
    {"label", static_cast<Unary>(&label)},
};

using Reduction = float (*)(Lumerix&);

struct ReductionOp {
    const char* name;
    Reduction f;
};

const ReductionOp kReductions[] = {
    {"sum", static_cast<Reduction>(&sum)},  {"min", static_cast<Reduction>(&fmin)},
    {"max", static_cast<Reduction>(&fmax)}, {"mean", static_cast<Reduction>(&mean)},
    {"var", static_cast<Reduction>(&var)},
};

using Smoothing = Lumerix (*)(Lumerix&, float);
using Morphology = Lumerix (*)(Lumerix&, int, int);

const std::pair<const char*, Smoothing> kGauss[] = {
    {"gauss", static_cast<Smoothing>(&gauss)},
    {"gaussx", static_cast<Smoothing>(&gaussx)},
    {"gaussy", static_cast<Smoothing>(&gaussy)},
};
const std::pair<const char*, Morphology> kMorphology[] = {
    {"erosion", static_cast<Morphology>(&erosion)},
    {"dilation", static_cast<Morphology>(&dilation)},
};

// The library keeps 225 taps on the device and ends the process for more; its table sides are
// odd by construction. Both are checked here, where Python can still be told.
constexpr py::ssize_t kMaxTaps = 225;

ImagePtr convolveTaps(Image& img, const py::buffer& taps) {
    const py::buffer_info info = contiguous(taps, 'f', 4, false);
    if (info.ndim != 2)
        throw py::value_error("lumerix.convolve: taps must be a 2-D array, not " +
                              std::to_string(info.ndim) + "-D");
    const py::ssize_t rows = info.shape[0], cols = info.shape[1];
    if (rows % 2 == 0 || cols % 2 == 0)
        throw py::value_error("lumerix.convolve: taps need odd sides, not " +
                              shapeText(Shape{rows, cols}));
    if (rows * cols > kMaxTaps)
        throw py::value_error("lumerix.convolve: at most 225 taps, not " +
                              std::to_string(rows * cols));
    float* data = static_cast<float*>(info.ptr);  // read only: convolve uploads it
    const int xradius = static_cast<int>(cols / 2), yradius = static_cast<int>(rows / 2);
    py::gil_scoped_release unlocked;
    return like(convolve(img.pixels, data, xradius, yradius), img);
}

// Borders arrive as their index in LumerixBorder (the NumPy layer maps SciPy's mode names).
LumerixBorder borderOf(int index, const char* op) {
    if (index < 0 || index > static_cast<int>(LumerixBorder::Wrap))
        throw py::value_error(std::string("lumerix.") + op + ": unknown border " +
                              std::to_string(index));
    return static_cast<LumerixBorder>(index);
}

ImagePtr correlateTaps(Image& img, const py::buffer& taps, int border, float cval) {
    const py::buffer_info info = contiguous(taps, 'f', 4, false);
    if (info.ndim != 2)
        throw py::value_error("lumerix.correlate: taps must be a 2-D array, not " +
                              std::to_string(info.ndim) + "-D");
    const py::ssize_t rows = info.shape[0], cols = info.shape[1];
    if (rows % 2 == 0 || cols % 2 == 0)
        throw py::value_error("lumerix.correlate: taps need odd sides, not " +
                              shapeText(Shape{rows, cols}));
    const LumerixBorder b = borderOf(border, "correlate");
    const float* data = static_cast<const float*>(info.ptr);
    const int xradius = static_cast<int>(cols / 2), yradius = static_cast<int>(rows / 2);
    py::gil_scoped_release unlocked;
    return like(correlate(img.pixels, data, xradius, yradius, b, cval), img);
}

// The scaled image keeps the planes above the first two axes: (..., H, W) becomes
// (..., height, width); a row (W,) becomes (height, width).
ImagePtr scaleTo(Image& img, int height, int width, int method) {
    if (method < 0 || method > static_cast<int>(LumerixInterpolation::Area))
        throw py::value_error("lumerix.scale: unknown method " + std::to_string(method));
    Shape shape = img.shape;
    if (shape.size() < 2) shape.insert(shape.begin(), 1);
    shape[shape.size() - 2] = height;
    shape[shape.size() - 1] = width;
    py::gil_scoped_release unlocked;
    return wrap(scale(img.pixels, width, height, static_cast<LumerixInterpolation>(method)),
                std::move(shape));
}

// One dict per component in label order, with scikit-image's regionprops names and NumPy's
// axis order (rows first).
py::list regionList(Image& labels, Image& values) {
    if (labels.shape != values.shape)
        throw py::value_error("lumerix.regions: labels of shape " + shapeText(labels.shape) +
                              " and values of shape " + shapeText(values.shape));
    std::vector<LumerixRegion> found;
    {
        py::gil_scoped_release unlocked;
        found = regions(labels.pixels, values.pixels);
    }
    py::list out;
    for (const LumerixRegion& r : found) {
        py::dict d;
        d["label"] = r.label;
        d["area"] = r.area;
        d["bbox"] = py::make_tuple(r.y0, r.x0, r.y1, r.x1);
        d["centroid"] = py::make_tuple(r.cy, r.cx);
        d["intensity_min"] = r.min;
        d["intensity_max"] = r.max;
        d["intensity_mean"] = r.mean;
        out.append(std::move(d));
    }
    return out;
}

// split3 and merge3 see a channel-last image ((..., 3) in NumPy order) as the library's merged
// layout: extents (W, H, 3 D). The merged image is given those extents for the call.
cmm::cmmDims mergedExtents(const Shape& channel) {
    Shape s = channel.empty() ? Shape{1} : channel;
    cmm::cmmDims e = extentsOf(s);
    return cmm::cmmDims(e.Dim(0), e.Dim(1), 3 * e.Dim(2) * e.Dim(3));
}

ImagePtr merge(Image& c0, Image& c1, Image& c2) {
    if (c0.shape.size() > 3)
        throw py::value_error("lumerix.merge3: channels of 1 to 3 dimensions, not " +
                              std::to_string(c0.shape.size()));
    Shape shape = c0.shape;
    shape.push_back(3);
    py::gil_scoped_release unlocked;
    Lumerix m = merge3(c0.pixels, c1.pixels, c2.pixels);
    if (m.GetDimensions().Size() > 0)
        m.Reshape(extentsOf(shape));
    else
        m = Lumerix(extentsOf(shape));
    return wrap(std::move(m), std::move(shape));
}

py::tuple split(Image& merged) {
    if (merged.shape.back() != 3)
        throw py::value_error("lumerix.split3: the last axis must have 3 channels, not shape " +
                              shapeText(merged.shape));
    Shape channel(merged.shape.begin(), merged.shape.end() - 1);
    if (channel.empty()) channel.push_back(1);
    ImagePtr out[3];
    {
        py::gil_scoped_release unlocked;
        // The input is not reshaped in place: another thread may be reading it.
        Lumerix source(merged.pixels);
        if (source.GetDimensions().Size() > 0) source.Reshape(mergedExtents(channel));
        Lumerix c[3];
        split3(source, c[0], c[1], c[2]);
        for (int k = 0; k < 3; ++k) {
            if (source.GetDimensions().Size() == 0) c[k] = Lumerix(extentsOf(channel));
            out[k] = wrap(std::move(c[k]), channel);
        }
    }
    return py::make_tuple(std::move(out[0]), std::move(out[1]), std::move(out[2]));
}

py::dict stateFigures(const cmm::cmmStateStatistics& s) {
    py::dict d;
    d["pages"] = s.pages;
    d["device_memory"] = s.deviceMemory;
    d["managed_host_memory"] = s.managedHostMemory;
    d["unmanaged_host_memory"] = s.unmanagedHostMemory;
    return d;
}

py::dict statistics() {
    cmm::cmmStatistics s;
    {
        py::gil_scoped_release unlocked;
        s = cmmGetStatistics();
    }
    py::dict d;
    d["pages"] = s.pages;
    d["device_memory"] = s.deviceMemory;
    d["managed_host_memory"] = s.managedHostMemory;
    d["unmanaged_host_memory"] = s.unmanagedHostMemory;
    d["locks"] = s.locks;
    d["relocks"] = s.relocks;
    d["cache_hits"] = s.cacheHits;
    d["zombies_put_down"] = s.zombiesPutDown;
    d["pages_spilled"] = s.pagesSpilled;
    d["stored"] = stateFigures(s.stored);
    d["cached"] = stateFigures(s.cached);
    d["locked"] = stateFigures(s.locked);
    d["zombie"] = stateFigures(s.zombie);
    return d;
}

}  // namespace

PYBIND11_MODULE(_lumerix, m) {
    m.doc() = "Lumerix image operations (the compiled half of the lumerix package)";

    lumerixError = PyErr_NewException("lumerix.LumerixError", PyExc_RuntimeError, nullptr);
    fatalError = PyErr_NewException("lumerix.FatalError", lumerixError, nullptr);
    m.attr("LumerixError") = py::handle(lumerixError);
    m.attr("FatalError") = py::handle(fatalError);
    py::register_exception_translator(&translate);
    LumerixSetFatalHandler(&throwFatal);
    m.attr("backend") = lmx::kDeviceMemoryIsHost ? "cpu" : "cuda";

    py::class_<Image, ImagePtr> cls(m, "Image");
    cls.def(py::init(&fromArray), py::arg("array"))
        .def_property_readonly("shape",
                               [](const Image& img) { return py::tuple(py::cast(img.shape)); })
        .def_property_readonly("ndim", [](const Image& img) { return img.shape.size(); })
        .def_property_readonly("size", [](const Image& img) { return elementCount(img.shape); })
        .def_property_readonly("extents",
                               [](const Image& img) {
                                   const cmm::cmmDims d = [&] {
                                       py::gil_scoped_release unlocked;
                                       return img.pixels.GetDimensions();
                                   }();
                                   return py::make_tuple(d.Dim(0), d.Dim(1), d.Dim(2), d.Dim(3));
                               })
        .def("_copy_to",
             [](Image& img, const py::buffer& out) {
                 const py::buffer_info info = contiguous(out, 'f', 4, true);
                 requireSize(info, img);
                 float* dst = static_cast<float*>(info.ptr);
                 py::gil_scoped_release unlocked;
                 img.pixels.CopyTo(dst);
             })
        .def("_to_uint8",
             [](Image& img, const py::buffer& out) { toNarrow<unsigned char>(img, out, 'B'); })
        .def("_to_uint16",
             [](Image& img, const py::buffer& out) { toNarrow<unsigned short>(img, out, 'H'); })
        .def(
            "__neg__", [](Image& x) { return like(x.pixels * -1.0f, x); }, releaseGil)
        .def(
            "__abs__", [](Image& x) { return like(abs(x.pixels), x); }, releaseGil)
        .def(
            "__ne__",
            [](Image& x, Image& y) {
                Lumerix eq = x.pixels == y.pixels;
                return like(!eq, x);
            },
            py::is_operator(), releaseGil)
        .def(
            "__ne__",
            [](Image& x, float s) {
                Lumerix eq = x.pixels == s;
                return like(!eq, x);
            },
            py::is_operator(), releaseGil)
        .def(
            "_shift", [](Image& x, int dx, int dy) { return like(x.pixels(dx, dy), x); },
            releaseGil)
        .def(
            "_crop",
            [](Image& x, int x0, int x1, int y0, int y1) {
                Lumerix c = x.pixels(x0, x1, y0, y1);
                return wrap(std::move(c),
                            x.shape.size() == 1 ? Shape{x1 - x0} : Shape{y1 - y0, x1 - x0});
            },
            releaseGil)
        .def("__dlpack__", &dlpack, py::kw_only(), py::arg("stream") = py::none(),
             py::arg("max_version") = py::none(), py::arg("dl_device") = py::none(),
             py::arg("copy") = py::none())
        .def("__dlpack_device__", [](const Image&) {
            const DLDevice d = libraryDevice();
            return py::make_tuple(d.device_type, d.device_id);
        });
    // CUDA consumers' ways in and out, where the pixels are in CUDA device memory.
    if (!lmx::kDeviceMemoryIsHost) {
        cls.def_property_readonly("__cuda_array_interface__", [](Image& img) {
            float* device;
            {
                py::gil_scoped_release unlocked;
                device = img.pinned ? img.pixels.GetDevicePtr() : img.pixels.Lock();
                cudaDeviceSynchronize();
            }
            img.pinned = true;  // the interface cannot say when its user is done: locked for good
            py::dict d;
            d["shape"] = py::tuple(py::cast(img.shape));
            d["typestr"] = "<f4";
            d["data"] = py::make_tuple(reinterpret_cast<std::uintptr_t>(device), false);
            d["version"] = 3;
            d["strides"] = py::none();
            d["stream"] = 1;
            return d;
        });
        m.def("_from_device_capsule", &fromDeviceCapsule);
    }

    for (const BinaryOp& b : kBinary) bindBinary(cls, m, b);
    for (const UnaryOp& u : kUnary) {
        const Unary f = u.f;
        m.def(
            u.name, [f](Image& x) { return like(f(x.pixels), x); }, releaseGil);
    }
    for (const ReductionOp& r : kReductions) {
        const Reduction f = r.f;
        m.def(
            r.name, [f](Image& x) { return f(x.pixels); }, releaseGil);
    }
    for (const auto& [name, f] : kGauss) {
        const Smoothing g = f;
        m.def(
            name, [g](Image& x, float sigma) { return like(g(x.pixels, sigma), x); },
            py::arg("image"), py::arg("sigma"), releaseGil);
    }
    for (const auto& [name, f] : kMorphology) {
        const Morphology g = f;
        m.def(
            name,
            [g](Image& x, int iterations, int shape) {
                return like(g(x.pixels, iterations, shape), x);
            },
            py::arg("image"), py::arg("iterations") = 1, py::arg("shape") = 1, releaseGil);
    }

    m.def("_from_uint8", [](const py::buffer& b) { return fromNarrow<unsigned char>(b, 'B'); });
    m.def("_from_uint16", [](const py::buffer& b) { return fromNarrow<unsigned short>(b, 'H'); });
    m.def("_histogram256", [](Image& img, const py::buffer& out) {
        const py::buffer_info info = contiguous(out, 'I', 4, true);
        if (info.size != 256) throw py::value_error("lumerix.histogram256: 256 bins are needed");
        unsigned int* bins = static_cast<unsigned int*>(info.ptr);
        py::gil_scoped_release unlocked;
        histogram256(img.pixels, bins);
    });
    m.def("_convolve", &convolveTaps);
    m.def("_correlate", &correlateTaps);
    m.def("_gaussian", [](Image& x, float sigma, int border, float truncate) {
        const LumerixBorder b = borderOf(border, "gaussian");
        py::gil_scoped_release unlocked;
        return like(gaussian(x.pixels, sigma, b, truncate), x);
    });
    m.def("_median", [](Image& x, int xradius, int yradius, int border) {
        const LumerixBorder b = borderOf(border, "median");
        py::gil_scoped_release unlocked;
        return like(median(x.pixels, xradius, yradius, b), x);
    });
    m.def("merge3", &merge);
    m.def("split3", &split);
    m.def(
        "slice",
        [](Image& x, float ox, float oy, int w, int h) {
            Lumerix s = slice(x.pixels, ox, oy, w, h);
            return wrap(std::move(s), Shape{h, w});
        },
        py::arg("image"), py::arg("x"), py::arg("y"), py::arg("w"), py::arg("h"), releaseGil);
    m.def(
        "_affine",
        [](Image& x, float a, float b, float c, float d, float e, float f) {
            return like(affine(x.pixels, a, b, c, d, e, f), x);
        },
        releaseGil);
    m.def("_affine_border", [](Image& x, float a, float b, float c, float d, float e, float f,
                               int border, float cval) {
        const float coefficients[6] = {a, b, c, d, e, f};
        const LumerixBorder bd = borderOf(border, "affine");
        py::gil_scoped_release unlocked;
        return like(affine(x.pixels, coefficients, bd, cval), x);
    });
    m.def("_scale", &scaleTo);
    m.def(
        "_label", [](Image& x, int connectivity) { return like(label(x.pixels, connectivity), x); },
        releaseGil);
    m.def("_regions", &regionList);
    m.def("_resize", [](Image& x, const Shape& shape, int a, int b) {
        const cmm::cmmDims dims = extentsOf(shape);
        py::gil_scoped_release unlocked;
        return wrap(resize(x.pixels, dims, a, b), shape);
    });
    m.def(
        "fft",
        [](Image& x) {
            Lumerix re, im;
            fft(x.pixels, re, im);
            return std::make_pair(like(std::move(re), x), like(std::move(im), x));
        },
        releaseGil);
    m.def(
        "ifft", [](Image& re, Image& im) { return like(ifft(re.pixels, im.pixels), re); },
        releaseGil);
    lmxpy::bindBackendControls(m);
    m.def("statistics", &statistics);
    // The report is formatted into one process-wide buffer: the GIL is kept until it is copied,
    // so that no other Python thread formats it meanwhile.
    m.def("report", [] { return std::string(cmmGetStatistics().Report()); });
}
