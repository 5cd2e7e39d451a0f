// Bounds how deeply calls into the component nest on one thread. A salt whose
// conversion to text calls the component again, which converts it again, would
// otherwise recurse until the host's stack overflows and the host dies.
#pragma once

#include <windows.h>

class NestedCallGuard {
  public:
    // Deeper calls on one thread than any real script makes.
    static constexpr int kMaximumDepth = 32;
    // What a call past the bound fails with: "Recursion too deep; the stack overflowed."
    static constexpr HRESULT kTooDeep = HRESULT_FROM_WIN32(ERROR_STACK_OVERFLOW);

    NestedCallGuard() { ++t_depth; }
    ~NestedCallGuard() { --t_depth; }
    NestedCallGuard(const NestedCallGuard&) = delete;
    NestedCallGuard& operator=(const NestedCallGuard&) = delete;

    bool tooDeep() const { return t_depth > kMaximumDepth; }

  private:
    static inline thread_local int t_depth = 0;
};
