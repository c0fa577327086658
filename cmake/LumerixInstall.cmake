# Installation: the shared library, the command-line tool, the public headers, a CMake package
# for find_package and a pkg-config file. Every rule names the component (the Debian package,
# cmake/LumerixPackage.cmake) it belongs to:
#   lib     the shared library alone (liblumerix0.1)
#   dev     headers, the linker's name for the library, CMake package, lumerix.pc
#   tools   the lumerix command
#   python  the Python package and lumerix-batch (python/CMakeLists.txt)
#   doc     the HTML reference, where it was built (docs/CMakeLists.txt)

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS lumerix EXPORT LumerixTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lib)
if(TARGET lumerix_cli)
    install(TARGETS lumerix_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
foreach(header ${LUMERIX_PUBLIC_HEADERS})
    get_filename_component(dir ${header} DIRECTORY)
    install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${dir} COMPONENT dev)
endforeach()

set(lmx_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Lumerix)
install(EXPORT LumerixTargets NAMESPACE Lumerix:: DESTINATION ${lmx_cmake_dir} COMPONENT dev)
configure_package_config_file(cmake/LumerixConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/LumerixConfig.cmake
    INSTALL_DESTINATION ${lmx_cmake_dir})
# While the major version is 0 every minor version may change the interface: a request for 0.1
# is met by 0.1.x only.
if(PROJECT_VERSION_MAJOR EQUAL 0)
    set(lmx_compatibility SameMinorVersion)
else()
    set(lmx_compatibility SameMajorVersion)
endif()
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/LumerixConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY ${lmx_compatibility})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LumerixConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/LumerixConfigVersion.cmake
        DESTINATION ${lmx_cmake_dir} COMPONENT dev)

# lumerix.pc finds its prefix from its own folder, so that the installed tree (or a package
# unpacked anywhere) can be moved without editing it.
set(lmx_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH lmx_pc_to_prefix /prefix/${lmx_pc_dir} /prefix)
string(REGEX REPLACE "/$" "" lmx_pc_to_prefix "${lmx_pc_to_prefix}")
if(LUMERIX_BACKEND STREQUAL "cuda")
    set(lmx_pc_libs_private "-lcufft")
else()
    set(lmx_pc_libs_private "-lfftw3f -fopenmp")
endif()
configure_file(cmake/lumerix.pc.in ${CMAKE_CURRENT_BINARY_DIR}/lumerix.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lumerix.pc DESTINATION ${lmx_pc_dir} COMPONENT dev)
