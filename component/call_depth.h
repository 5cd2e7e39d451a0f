// Bounds how deeply calls into the component nest on one thread. A salt whose
// conversion to text calls the component again, which converts it again, would
// otherwise recurse until the host's stack overflows and the host dies.
#pragma once

#include <windows.h>

#include "platform.h"

// Each thread's depth of nested calls. The module allocates the slot at
// process attach and frees it at process detach.
extern engine::ThreadSlot g_callDepthSlot;

class NestedCallGuard {
  public:
    // Deeper calls on one thread than any real script makes.
    static constexpr std::uintptr_t kMaximumDepth = 32;
    // What a call past the bound fails with: "Recursion too deep; the stack overflowed."
    static constexpr HRESULT kTooDeep = HRESULT_FROM_WIN32(ERROR_STACK_OVERFLOW);

    NestedCallGuard() : m_depth(g_callDepthSlot.Read() + 1) { g_callDepthSlot.Write(m_depth); }
    ~NestedCallGuard() { g_callDepthSlot.Write(m_depth - 1); }
    NestedCallGuard(const NestedCallGuard&) = delete;
    NestedCallGuard& operator=(const NestedCallGuard&) = delete;

    bool tooDeep() const { return m_depth > kMaximumDepth; }

  private:
    std::uintptr_t m_depth;
};
