/* One entry of the C interface as the C side reports it: a constant's value, size and
 * signedness, or a type's size, alignment and signedness (a constant's alignment is 0). */
#ifndef DAVRO_TESTS_CINTERFACE_REPORT_H
#define DAVRO_TESTS_CINTERFACE_REPORT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*ReportEntry)(const char* name, unsigned long long value, size_t size,
                            size_t alignment, int isSigned);
void reportCInterface(ReportEntry report);

#ifdef __cplusplus
}
#endif

#endif
