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
#include <cstdint>
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

// One pointer-sized value per thread, in a TLS slot of the program's own. The
// slot holds the value itself: with thread notifications switched off, memory
// allocated per thread could never be freed. A thread that never wrote the slot
// reads 0. Allocate before the first use and Free at the end: the DLL does
// both in DllMain, so that every load returns its slot when it is unloaded.
class ThreadSlot {
  public:
    bool Allocate() {
        m_index = TlsAlloc();
        return m_index != TLS_OUT_OF_INDEXES;
    }
    void Free() {
        if (m_index != TLS_OUT_OF_INDEXES) {
            TlsFree(m_index);
            m_index = TLS_OUT_OF_INDEXES;
        }
    }
    std::uintptr_t Read() const { return reinterpret_cast<std::uintptr_t>(TlsGetValue(m_index)); }
    void Write(std::uintptr_t value) const { TlsSetValue(m_index, reinterpret_cast<void*>(value)); }

  private:
    DWORD m_index = TLS_OUT_OF_INDEXES;
};
}  // namespace engine
#else
#include "platform_host.h"
#endif
