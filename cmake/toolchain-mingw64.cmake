# Cross build for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64-posix).
#
# The posix thread model is required: its libstdc++ has std::thread and std::mutex, which the
# tests use. The results (DAVRO64u.dll and the test programs) run under Wine; see
# cmake/DavroWindows.cmake for the emulator and the run-time DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DAVRO_MINGW_TRIPLET x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${DAVRO_MINGW_TRIPLET}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${DAVRO_MINGW_TRIPLET}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${DAVRO_MINGW_TRIPLET}-windres)

# Headers, libraries and packages come from the mingw sysroot only; programs run during the
# build (cmake, ninja, objdump) come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${DAVRO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
