# The library: one source list above the runtime, one module per backend.

include(GNUInstallDirs)

set(LUMERIX_PUBLIC_HEADERS
    cmm/cmm.h cmm/cmmDims.h cmm/cmmExport.h cmm/cmmPage.h cmm/cmmPagedMemory.h cmm/cmmState.h
    cmm/cmmStatistics.h
    lumerix/Lumerix.h lumerix/LumerixHistogram.h lumerix/LumerixImage.h lumerix/LumerixPixel.h
    lumerix/LumerixNeighborhood.h lumerix/LumerixGeometric.h lumerix/LumerixLabel.h
    lumerix/LumerixFFT.h lumerix/LumerixFatal.h lumerix/LumerixReduce.h
    lumerix/LumerixBorderFilters.h lumerix/LumerixRegions.h lumerix/LumerixScale.h)

set(LUMERIX_SOURCES
    platform/ApiLock.cpp platform/Fatal.cpp platform/HostMemory.cpp
    cmm/cmmDevice.cpp cmm/cmmDims.cpp cmm/cmmPage.cpp cmm/cmmPagedMemory.cpp cmm/cmmReclaim.cpp cmm/cmmState.cpp
    cmm/cmmStatistics.cpp
    lumerix/Lumerix.cpp lumerix/LumerixChannels.cpp lumerix/LumerixConvert.cpp
    lumerix/LumerixHistogram.cpp lumerix/LumerixPixel.cpp lumerix/LumerixReduce.cpp
    lumerix/LumerixUtils.cpp
    lumerix/GaussTaps.cpp lumerix/LumerixNeighborhood.cpp lumerix/LumerixGeometric.cpp
    lumerix/LabelRuns.cpp lumerix/LumerixLabel.cpp lumerix/LumerixBorderFilters.cpp lumerix/Device.cpp
    lumerix/LumerixRegions.cpp lumerix/LumerixScale.cpp)
list(APPEND LUMERIX_SOURCES lumerix/FftPlans.cpp lumerix/LumerixFFT.cpp)

if(LUMERIX_BACKEND STREQUAL "cuda")
    enable_language(CUDA)
    find_package(CUDAToolkit REQUIRED)
    # One CUDA runtime for everything built here. The static one (nvcc's own default) leaves the
    # library, the tool and the Python module needing only the driver and cuFFT at run time, so
    # the packages need no runtime package that Debian does not have.
    option(LUMERIX_CUDA_STATIC_RUNTIME "Link the CUDA runtime statically" ON)
    if(LUMERIX_CUDA_STATIC_RUNTIME)
        set(lmx_cudart CUDA::cudart_static)
        set(lmx_cudart_kind Static)
    else()
        set(lmx_cudart CUDA::cudart)
        set(lmx_cudart_kind Shared)
    endif()
    list(APPEND LUMERIX_SOURCES backend/cuda/Module.cu backend/cuda/Host.cpp)
else()
    find_package(OpenMP REQUIRED COMPONENTS CXX)
    set(LUMERIX_CPU_MODULE backend/cpu/Module.cpp backend/cpu/Traversals.cpp
        backend/cpu/ReduceTraversals.cpp backend/cpu/MorphologyTraversals.cpp
        backend/cpu/ConvolveTraversal.cpp backend/cpu/GeometryTraversals.cpp
        backend/cpu/PixelTraversals.cpp backend/cpu/LogTraversal.cpp
        backend/cpu/BorderFilterTraversals.cpp backend/cpu/Streaming.cpp)
    list(APPEND LUMERIX_SOURCES ${LUMERIX_CPU_MODULE} backend/cpu/Runtime.cpp backend/cpu/Team.cpp
        backend/cpu/Waiting.cpp)
    # FFTW in single precision stands in for cuFFT; its batches run on the OpenMP team.
    find_path(LUMERIX_FFTW_INCLUDE fftw3.h REQUIRED)
    find_library(LUMERIX_FFTW3F fftw3f REQUIRED)
    list(APPEND LUMERIX_SOURCES backend/cpu/Fft.cpp backend/cpu/FftImages.cpp
         backend/cpu/FftWisdom.cpp)
    include(LumerixCpuArch)
    if(LUMERIX_CPU_ARCH_FLAGS)
        set_source_files_properties(${LUMERIX_CPU_MODULE} PROPERTIES
            COMPILE_OPTIONS "${LUMERIX_CPU_ARCH_FLAGS}")
    endif()
endif()

# Everything is compiled once into objects; the shared library exports only the public
# interface, the static library (for tests and benchmarks) reaches the internals too. The
# repository root is a private include directory: what is built over the library sees its
# internals only through lumerix_internal, below.
add_library(lumerix_objects OBJECT ${LUMERIX_SOURCES})
target_include_directories(lumerix_objects PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(lumerix_objects PUBLIC lumerix_flags)
set_target_properties(lumerix_objects PROPERTIES
    CXX_VISIBILITY_PRESET hidden CUDA_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

if(LUMERIX_BACKEND STREQUAL "cuda")
    target_compile_definitions(lumerix_objects PUBLIC LMX_BACKEND_CUDA=1)
    # The device start-up skips devices older than the oldest architecture built (7.5 when the
    # list names none, such as "native": nvcc 13 builds nothing older).
    set(lmx_oldest_arch 75)
    set(lmx_found_arch "")
    foreach(arch IN LISTS CMAKE_CUDA_ARCHITECTURES)
        string(REGEX MATCH "^[0-9]+" number "${arch}")
        if(number AND (NOT lmx_found_arch OR number LESS lmx_found_arch))
            set(lmx_found_arch ${number})
        endif()
    endforeach()
    if(lmx_found_arch)
        set(lmx_oldest_arch ${lmx_found_arch})
    endif()
    set_source_files_properties(cmm/cmmDevice.cpp PROPERTIES
        COMPILE_DEFINITIONS LMX_MIN_COMPUTE_CAPABILITY=${lmx_oldest_arch})
    target_link_libraries(lumerix_objects PUBLIC ${lmx_cudart} CUDA::cufft)
    set_target_properties(lumerix_objects PROPERTIES CUDA_RUNTIME_LIBRARY ${lmx_cudart_kind})
else()
    target_compile_definitions(lumerix_objects PUBLIC LMX_BACKEND_CPU=1)
    target_link_libraries(lumerix_objects PUBLIC OpenMP::OpenMP_CXX ${LUMERIX_FFTW3F})
    target_include_directories(lumerix_objects PRIVATE ${LUMERIX_FFTW_INCLUDE})
endif()

# The layers are checked on every build (cmake/LumerixLayers.cmake): one that reaches upward
# fails it.
add_custom_target(lumerix_layers
    COMMAND ${CMAKE_COMMAND} -DLUMERIX_ROOT=${CMAKE_CURRENT_SOURCE_DIR}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/LumerixLayers.cmake
    VERBATIM)
add_dependencies(lumerix_objects lumerix_layers)

add_library(lumerix_static STATIC $<TARGET_OBJECTS:lumerix_objects>)
target_link_libraries(lumerix_static PUBLIC lumerix_objects)

# The one target through which the library's own tests, benchmarks, fuzz targets and tools
# reach its internals (the runtime seam, the kernels, the cpu backend's controls): the static
# library and the repository root as include directory.
add_library(lumerix_internal INTERFACE)
target_link_libraries(lumerix_internal INTERFACE lumerix_static)
target_include_directories(lumerix_internal INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})

add_library(lumerix SHARED $<TARGET_OBJECTS:lumerix_objects>)
add_library(Lumerix::lumerix ALIAS lumerix)
target_include_directories(lumerix PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# The ABI version is in the library's name: major.minor while the major version is 0 (every
# minor version may change the interface), the major version alone from 1 on.
if(PROJECT_VERSION_MAJOR EQUAL 0)
    set(LUMERIX_ABI_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
else()
    set(LUMERIX_ABI_VERSION ${PROJECT_VERSION_MAJOR})
endif()
set_target_properties(lumerix PROPERTIES OUTPUT_NAME lumerix VERSION ${PROJECT_VERSION}
                                         SOVERSION ${LUMERIX_ABI_VERSION})
if(LUMERIX_BACKEND STREQUAL "cuda")
    target_link_libraries(lumerix PRIVATE ${lmx_cudart} CUDA::cufft)
    set_target_properties(lumerix PROPERTIES CUDA_RUNTIME_LIBRARY ${lmx_cudart_kind})
    if(LUMERIX_CUDA_STATIC_RUNTIME)
        # The runtime's symbols stay inside: a program may link its own CUDA runtime beside us.
        target_link_options(lumerix PRIVATE "LINKER:--exclude-libs,libcudart_static.a")
    endif()
else()
    target_link_libraries(lumerix PRIVATE OpenMP::OpenMP_CXX ${LUMERIX_FFTW3F})
endif()
