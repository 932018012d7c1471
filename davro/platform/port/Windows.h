#include "windows.h" /* the same header under the name Windows programs also use */
