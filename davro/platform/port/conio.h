/* <conio.h>: _getch, which Windows programs call to wait for a key. Here it reads one
 * character of the standard input (-1 at its end): a terminal delivers it once a line is
 * entered, and echoes it. */
#ifndef DAVRO_PORT_CONIO_H
#define DAVRO_PORT_CONIO_H

#include <stdio.h>

#ifndef _getch
static inline int davro_port_getch(void) { return getchar(); }
#define _getch davro_port_getch
#endif

#endif /* DAVRO_PORT_CONIO_H */
