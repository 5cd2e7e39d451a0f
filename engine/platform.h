// The identifier engine's one seam with the platform: the registry, volume and
// clock functions it calls, with their Win32 names and signatures.
//
// Windows builds take them from the system headers and link the real ones. The
// host build declares the same names here and links the in-memory stand-in of
// the engine's tests instead; the stand-in never enters the DLL.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <ctime>
#else
#include "platform_host.h"
#endif
