// Internal to the library: marks the class layer's hottest functions (an uncontended lock,
// unlock, signal). The library is linked with link-time optimisation where the compiler
// offers it, and `flatten` then inlines the platform call that such a function makes, so
// that on Linux the class adds almost nothing to the kernel call (functions marked noinline,
// such as the slow paths, stay calls). Elsewhere it changes nothing.
#pragma once

#include <davro/Export.h>

#if defined(__GNUC__) && !DAVRO_WINDOWS
#define DAVRO_HOT __attribute__((flatten))
#else
#define DAVRO_HOT
#endif
