# Debian packages made by CPack from the install rules (bash scripts/package), one package per
# install component, dependencies on shared libraries computed by dpkg-shlibdeps:
#   liblumerix0.1     lib     the shared library (its name carries the ABI version)
#   liblumerix-dev    dev     headers, the linker's name, the CMake package, lumerix.pc
#   lumerix-tools     tools   the lumerix command (and its demo)
#   python3-lumerix   python  the Python module, its stubs and lumerix-batch
#   lumerix-doc       doc     the HTML reference (architecture all; from the cpu build only)
# The cuda backend's set puts "-cuda" after "lumerix" in each name. Both sets install the same
# files, so each package conflicts with its counterpart of the other set (dpkg then refuses to
# install one over the other) and provides its name, so that what depends on the library, the
# headers or the module is content with either backend.

set(LUMERIX_PACKAGE_CONTACT "Lumerix developers <lumerix-maintainers@lists.invalid>"
    CACHE STRING "The Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumerix)
set(CPACK_PACKAGE_VENDOR "The Lumerix developers")
set(CPACK_PACKAGE_CONTACT "${LUMERIX_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS OFF)

set(lmx_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
if(LUMERIX_BACKEND STREQUAL "cuda")
    set(lmx_flavour "-cuda")
    set(lmx_other "")
    set(lmx_backend_words "the CUDA backend (NVIDIA GPUs)")
else()
    set(lmx_flavour "")
    set(lmx_other "-cuda")
    set(lmx_backend_words "the CPU backend (OpenMP threads, FFTW)")
endif()

# name(component, cpu name with @ where the backend's mark goes)
function(lmx_package component pattern)
    string(TOUPPER ${component} upper)
    string(REPLACE "@" "${lmx_flavour}" name "${pattern}")
    string(REPLACE "@" "${lmx_other}" other "${pattern}")
    string(REPLACE "@" "" plain "${pattern}")
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${name} PARENT_SCOPE)
    set(CPACK_DEBIAN_${upper}_PACKAGE_CONFLICTS ${other} PARENT_SCOPE)
    if(NOT name STREQUAL plain)
        set(CPACK_DEBIAN_${upper}_PACKAGE_PROVIDES "${plain} (= ${lmx_version})" PARENT_SCOPE)
    endif()
    set(lmx_name_${component} ${name} PARENT_SCOPE)
endfunction()

lmx_package(lib "liblumerix@${LUMERIX_ABI_VERSION}")
lmx_package(dev "liblumerix@-dev")
lmx_package(tools "lumerix@-tools")
lmx_package(python "python3-lumerix@")

set(CPACK_COMPONENT_LIB_DESCRIPTION
    "Image processing on NVIDIA GPUs through CUDA, or on the CPU - shared library
 Lumerix is a C++17 image-processing library: arithmetic, reductions, histograms,
 morphology, convolution and Gaussian filters with chosen borders, median, geometric
 warps and scaling, FFT, connected-component labelling and region statistics, over
 images kept in device memory by a paged memory manager.
 .
 This package holds the shared library, built with ${lmx_backend_words}.")
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# Consumers linked against this library depend on it through its shlibs file.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_COMPONENT_DEV_DESCRIPTION
    "Image processing on NVIDIA GPUs through CUDA, or on the CPU - development files
 The public headers (#include <lumerix/Lumerix.h>), the CMake package
 (find_package(Lumerix CONFIG), target Lumerix::lumerix) and lumerix.pc for pkg-config.")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${lmx_name_lib} (= ${lmx_version})")

set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "Image processing on NVIDIA GPUs through CUDA, or on the CPU - command-line tool
 The lumerix command reads an image file (PNG, TIFF, PGM/PPM), runs the operations given
 on its command line and writes the result; lumerix demo writes a gallery of examples.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION graphics)

# The module is built for one interpreter (its ABI tag and lib/python3.X path) and uses NumPy.
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "Image processing on NVIDIA GPUs through CUDA, or on the CPU - Python 3 module
 import lumerix: the library's operations on NumPy arrays (buffer protocol and DLPack),
 lumerix.dask for Dask arrays larger than one device, and lumerix-batch, which runs the
 lumerix tool's pipeline over many files on a Dask cluster.")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
if(LUMERIX_BUILD_PYTHON)
    set(lmx_python "${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}")
    math(EXPR lmx_next_minor "${Python3_VERSION_MINOR} + 1")
    set(lmx_next_python "${Python3_VERSION_MAJOR}.${lmx_next_minor}")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
        "python3 (>= ${lmx_python}~), python3 (<< ${lmx_next_python}), python3-numpy")
endif()
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS
    "python3-dask, python3-distributed, ${lmx_name_tools}")

set(CPACK_COMPONENT_DOC_DESCRIPTION
    "Image processing on NVIDIA GPUs through CUDA, or on the CPU - reference
 The HTML reference: a page per family of operations with an example and the rules of
 borders, shapes and refused arguments, the C++ API (Doxygen) and the Python module
 (Sphinx). Front page: /usr/share/doc/lumerix/html/index.html.")
set(CPACK_DEBIAN_DOC_PACKAGE_NAME lumerix-doc)
set(CPACK_DEBIAN_DOC_PACKAGE_SECTION doc)
set(CPACK_DEBIAN_DOC_PACKAGE_ARCHITECTURE all)

if(LUMERIX_BACKEND STREQUAL "cuda")
    # The CUDA runtime is linked statically (LUMERIX_CUDA_STATIC_RUNTIME) and loads the
    # driver's libcuda.so.1 when it starts. cuFFT is linked as NVIDIA ships it (no static
    # library comes with the toolkit), from NVIDIA's own package of this toolkit's version:
    # Debian has none for it. The driver is recommended rather than required: Debian's
    # non-free libcuda1 provides it, and so does NVIDIA's installer, which dpkg cannot see.
    set(lmx_cufft "libcufft-${CUDAToolkit_VERSION_MAJOR}-${CUDAToolkit_VERSION_MINOR}")
    set(LUMERIX_CUDA_PACKAGE_DEPENDS "${lmx_cufft}" CACHE STRING
        "What the cuda packages that load cuFFT depend on (NVIDIA's package of cuFFT)")
    set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "${LUMERIX_CUDA_PACKAGE_DEPENDS}")
    set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${LUMERIX_CUDA_PACKAGE_DEPENDS}")
    string(APPEND CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS ", ${LUMERIX_CUDA_PACKAGE_DEPENDS}")
    set(CPACK_DEBIAN_LIB_PACKAGE_RECOMMENDS libcuda1)
    set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS libcuda1)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS
        "libcuda1, python3-dask, python3-distributed, ${lmx_name_tools}")
    # dpkg-shlibdeps finds no package for the toolkit's libraries: they are named above.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CUDAToolkit_LIBRARY_DIR})
endif()

set(lmx_components lib dev)
if(TARGET lumerix_cli)
    list(APPEND lmx_components tools)
endif()
if(LUMERIX_BUILD_PYTHON)
    list(APPEND lmx_components python)
endif()
# The reference is the same for both backends: one lumerix-doc, made with the cpu set.
if(LUMERIX_DOCS_AVAILABLE AND NOT LUMERIX_BACKEND STREQUAL "cuda")
    list(APPEND lmx_components doc)
endif()
set(CPACK_COMPONENTS_ALL ${lmx_components})

include(CPack)
