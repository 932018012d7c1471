#include <davro/platform/Win32.h>
