// The identifier engine's one seam with the platform: the registry, volume and
// clock functions it calls, with their Win32 names and signatures, and the heap
// its texts come from.
//
// Windows builds take them from the system headers and link the real ones. The
// host build declares the same names here and links the in-memory stand-in of
// the engine's tests instead; the stand-in never enters the DLL.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <cstdlib>
#include <ctime>

namespace engine {
// The registry view of the machine-wide token. A 32-bit and a 64-bit browser
// on one 64-bit Windows must find the same machine token, so the 64-bit build
// opens the 32-bit view, where the 32-bit product keeps it; the 32-bit build
// asks for no view.
#ifdef _WIN64
constexpr REGSAM kMachineKeyView = KEY_WOW64_32KEY;
#else
constexpr REGSAM kMachineKeyView = 0;
#endif

// The C runtime heap (malloc and free); engine texts are released with FreeText.
inline void* AllocateFromHeap(std::size_t size) {
    return std::malloc(size);
}
inline void ReleaseToHeap(void* block) {
    std::free(block);
}
}  // namespace engine
#else
#include "platform_host.h"
#endif
