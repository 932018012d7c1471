# Install rules: the library, its public headers, a CMake package and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS davro EXPORT davroTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(TARGET davro_port)
    install(TARGETS davro_port davro_wmain EXPORT davroTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/davro/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/davro
    FILES_MATCHING PATTERN "*.h"
    PATTERN "linux" EXCLUDE
    PATTERN "detail" EXCLUDE)

set(DAVRO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/davro)
install(EXPORT davroTargets NAMESPACE davro:: DESTINATION ${DAVRO_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/davroConfig.cmake.in
    ${PROJECT_BINARY_DIR}/davroConfig.cmake INSTALL_DESTINATION ${DAVRO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/davroConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/davroConfig.cmake ${PROJECT_BINARY_DIR}/davroConfigVersion.cmake
    DESTINATION ${DAVRO_CMAKE_DIR})

# The .pc file names its prefix relative to its own place, so that an install moved or made
# with `cmake --install --prefix <dir>` still points at its own headers and library.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(DAVRO_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    file(RELATIVE_PATH pc_to_prefix "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
    set(DAVRO_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/davro.pc.in ${PROJECT_BINARY_DIR}/davro.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/davro.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
