# Installation: the shared library, the command-line tool, the public headers and a CMake
# package for find_package.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS lumerix EXPORT LumerixTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET lumerix_cli)
    install(TARGETS lumerix_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
foreach(header ${LUMERIX_PUBLIC_HEADERS})
    get_filename_component(dir ${header} DIRECTORY)
    install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${dir})
endforeach()

install(EXPORT LumerixTargets NAMESPACE Lumerix::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Lumerix)
configure_package_config_file(cmake/LumerixConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/LumerixConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Lumerix)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/LumerixConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LumerixConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/LumerixConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Lumerix)
