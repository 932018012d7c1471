/* Macros of <windows.h> that declarations of ported code are written with, written once for
 * C and C++ callers: davro/platform/Win32.h and davro/platform/Win32C.h include it. The
 * calling conventions mean nothing on x86-64 and AArch64 Linux. None is defined over a
 * definition the program already has. Linux only. */
#ifndef DAVRO_PLATFORM_WIN32DECL_H
#define DAVRO_PLATFORM_WIN32DECL_H

#ifndef CONST
#define CONST const
#endif
#ifndef VOID
#define VOID void
#endif
#ifndef WINAPI
#define WINAPI
#endif
#ifndef WINAPIV
#define WINAPIV
#endif
#ifndef APIENTRY
#define APIENTRY
#endif
#ifndef CALLBACK
#define CALLBACK
#endif

#endif /* DAVRO_PLATFORM_WIN32DECL_H */
