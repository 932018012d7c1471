/* The checks of the ported test programs, C and C++ alike: CHECK counts a condition that does
 * not hold and says where; the program's exit code is 0 when `failures` stayed 0. */
#ifndef DAVRO_TESTS_PORTED_CHECK_H
#define DAVRO_TESTS_PORTED_CHECK_H

#include <stdio.h>

static int failures = 0;

#define CHECK(condition)                                                            \
    do {                                                                            \
        if (!(condition)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                             \
        }                                                                           \
    } while (0)

#endif /* DAVRO_TESTS_PORTED_CHECK_H */
