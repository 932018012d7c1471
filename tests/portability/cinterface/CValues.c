/* The C side of the check that the C interface states what the C++ one does: each constant's
 * value and size and each type's size and alignment, as davro/platform/Win32C.h gives them
 * to a C program. The names come from Names.inc, which the build lists from the C headers. */
#include <davro/platform/Win32C.h>

#include "Report.h"

/* Whether a value has a signed arithmetic type (pointers, structures and unsigned integers
 * do not). */
#define SIGNED(value)                                                                        \
    _Generic((value), char: (char)-1 < 0, signed char: 1, short: 1, int: 1, long: 1,        \
             long long: 1, float: 1, double: 1, default: 0)

void reportCInterface(ReportEntry report) {
#define DAVRO_CONSTANT(name) \
    report(#name, (unsigned long long)(name), sizeof(name), 0, SIGNED(name));
#define DAVRO_TYPE(name) report(#name, 0, sizeof(name), _Alignof(name), SIGNED((name){0}));
#include "Names.inc"
#undef DAVRO_CONSTANT
#undef DAVRO_TYPE
}
