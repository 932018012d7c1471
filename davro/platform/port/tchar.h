/* <tchar.h>: its names are in the port header, davro/platform/port/windows.h. */
#include "windows.h"
