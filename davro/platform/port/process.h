/* <process.h>: _beginthreadex and _endthreadex are in the port header,
 * davro/platform/port/windows.h. */
#include "windows.h"
