/* The one seam between Kelvor and Win32: on Windows the real headers, elsewhere the test stand-in.
   Module code includes this instead of <windows.h> so that it also compiles natively for the tests. */
#ifndef KELVOR_PLATFORM_H
#define KELVOR_PLATFORM_H

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include "win32stub.h"
#endif

#endif
