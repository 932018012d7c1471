/* <malloc.h>: the C library's own, and the aligned blocks of Windows' C run-time
 * (_aligned_malloc, _aligned_free), which are in the port header,
 * davro/platform/port/windows.h. A system header, so that -Wpedantic lets it reach the C
 * library's through #include_next. */
#pragma GCC system_header
#include_next <malloc.h>

#include "windows.h"
