// DAVRO_API marks what the shared library exports.
//
// On Windows the library is DAVRO64u.dll: the build of the library itself defines
// DAVRO_BUILDING_LIBRARY and exports, everyone else imports. Elsewhere the library is
// built with hidden visibility and DAVRO_API makes the marked names visible again.
#pragma once

#if defined(_WIN32)
#if defined(DAVRO_BUILDING_LIBRARY)
#define DAVRO_API __declspec(dllexport)
#else
#define DAVRO_API __declspec(dllimport)
#endif
#else
#define DAVRO_API __attribute__((visibility("default")))
#endif
