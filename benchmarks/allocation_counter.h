// Counts the heap and string allocations that ieTalvenor.DLL makes, by
// redirecting its imports of the allocation functions to counting wrappers.
// Only the DLL's own calls are seen: what the platform allocates on the DLL's
// behalf (inside ITypeInfo::Invoke, say) is not.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "import_redirect.h"

namespace bench {

class DllAllocationCounter {
  public:
    struct FunctionCount {
        const char* function;
        long calls;
    };

    // Counts from now on every allocation function that `dll` imports; one
    // counter at a time.
    explicit DllAllocationCounter(HMODULE dll);
    ~DllAllocationCounter();
    DllAllocationCounter(const DllAllocationCounter&) = delete;
    DllAllocationCounter& operator=(const DllAllocationCounter&) = delete;

    // The functions found among the DLL's imports, and redirected.
    std::vector<const char*> countedFunctions() const;
    // Calls since construction or the last Reset(), per counted function.
    std::vector<FunctionCount> counts() const;
    long total() const;
    void Reset();

  private:
    std::vector<std::unique_ptr<test_support::ImportRedirect>> redirects_;
    std::vector<int> countedIndices_;
};

}  // namespace bench
