// DAVRO_API marks what the shared library exports.
//
// On Windows the library is DAVRO64u.dll: the build of the library itself defines
// DAVRO_BUILDING_LIBRARY and exports, everyone else imports. Elsewhere the library is
// built with hidden visibility and DAVRO_API makes the marked names visible again.
#pragma once

// DAVRO_WINDOWS: 1 when compiling for Windows. Chosen by the compiler's own target macros,
// not by _WIN32, which a program ported to Linux may define itself to select its Windows
// branches (davro/platform/port/windows.h).
#if defined(_MSC_VER) || defined(__MINGW32__)
#define DAVRO_WINDOWS 1
#else
#define DAVRO_WINDOWS 0
#endif

#if DAVRO_WINDOWS
#if defined(DAVRO_BUILDING_LIBRARY)
#define DAVRO_API __declspec(dllexport)
#else
#define DAVRO_API __declspec(dllimport)
#endif
#else
#define DAVRO_API __attribute__((visibility("default")))
#endif
