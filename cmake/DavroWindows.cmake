# Settings of the Windows build (mingw-w64, usually cross-compiled and run under Wine).
# Included from the top-level CMakeLists.txt before any target is made.

# Every program and DLL lands in one folder, so that the test programs and the demo find
# DAVRO64u.dll and the compiler's run-time DLLs next to themselves, as Windows looks first.
if(NOT CMAKE_RUNTIME_OUTPUT_DIRECTORY)
    set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
endif()

# The mingw run-time DLLs. The library and the programs share one copy of each (as they share
# libstdc++.so on Linux) instead of linking private static copies: a static libstdc++ and
# winpthread in both DAVRO64u.dll and a program would give each module its own
# std::generic_category(), its own thread-local data and its own pthread keys, and objects
# handed across the DLL boundary would meet the other copy. So the DLLs are copied next to
# the programs in the build tree and installed beside DAVRO64u.dll.
set(DAVRO_MINGW_RUNTIME_DLLS)
if(MINGW)
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
            message(FATAL_ERROR "The compiler's run-time DLL ${dll} was not found")
        endif()
        get_filename_component(path "${path}" REALPATH)
        list(APPEND DAVRO_MINGW_RUNTIME_DLLS ${path})
    endforeach()
    file(COPY ${DAVRO_MINGW_RUNTIME_DLLS} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
    if(DAVRO_INSTALL)
        install(FILES ${DAVRO_MINGW_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endif()

# Running the programs of a cross build: a wrapper that starts Wine in a Wine prefix of this
# build tree, so that nothing outside the tree is touched and drive c: (and with it the
# deadlock log, c:/deadlock.out) is <build>/wineprefix/drive_c. The prefix is created once,
# at build time (target davro-wineprefix), because Wine's first start takes long.
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(DAVRO_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine
                 NO_CMAKE_FIND_ROOT_PATH)
    if(NOT DAVRO_WINE)
        message(FATAL_ERROR "Wine is needed to run the tests of the Windows build "
                            "(apt-get install wine64 wine), or set CMAKE_CROSSCOMPILING_EMULATOR")
    endif()
    set(DAVRO_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${PROJECT_BINARY_DIR}/wine-run @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_BINARY_DIR}/wine-run)
    add_custom_command(OUTPUT ${DAVRO_WINEPREFIX}/.davro-ready
        COMMAND ${PROJECT_BINARY_DIR}/wine-run --init
        COMMENT "Creating the Wine prefix ${DAVRO_WINEPREFIX}"
        VERBATIM)
    add_custom_target(davro-wineprefix ALL DEPENDS ${DAVRO_WINEPREFIX}/.davro-ready)
endif()

# GoogleTest for the cross build, compiled from the sources that Debian's googletest package
# installs. find_package(GTest) in tests/ then finds these targets through a redirect file.
if(DAVRO_BUILD_TESTS AND CMAKE_CROSSCOMPILING)
    set(DAVRO_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
    if(NOT EXISTS ${DAVRO_GOOGLETEST_SOURCE}/CMakeLists.txt)
        message(FATAL_ERROR "GoogleTest sources not found in ${DAVRO_GOOGLETEST_SOURCE} "
                            "(apt-get install googletest)")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(${DAVRO_GOOGLETEST_SOURCE} ${PROJECT_BINARY_DIR}/_deps/googletest
                     EXCLUDE_FROM_ALL SYSTEM)
    foreach(lib gtest gtest_main gmock gmock_main)
        if(TARGET ${lib} AND NOT TARGET GTest::${lib})
            add_library(GTest::${lib} ALIAS ${lib})
        endif()
    endforeach()
    file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/gtest-config.cmake
         "# GoogleTest is built in this tree (cmake/DavroWindows.cmake).\n")
    file(STRINGS ${DAVRO_GOOGLETEST_SOURCE}/CMakeLists.txt version
         REGEX "set\\(GOOGLETEST_VERSION [0-9.]+\\)")
    string(REGEX MATCH "[0-9.]+" version "${version}")
    file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/gtest-config-version.cmake
         "set(PACKAGE_VERSION ${version})\nset(PACKAGE_VERSION_COMPATIBLE TRUE)\n")
endif()
