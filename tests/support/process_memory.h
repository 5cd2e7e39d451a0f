// A process's private memory as the platform counts it, for the tests that
// check that repeated calls do not make a process grow.
#pragma once

#include <windows.h>
#include <psapi.h>

#include <cstdint>

namespace test_support {

// Windows reports private memory in PrivateUsage of the extended counters;
// Wine 8 fills only the basic counters (and says so in cb), where
// PagefileUsage carries the process's anonymous memory, resident or swapped out.
inline std::int64_t PrivateMemory(HANDLE process = GetCurrentProcess()) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!K32GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                 sizeof counters)) {
        return 0;
    }
    if (counters.cb >= sizeof(PROCESS_MEMORY_COUNTERS_EX) && counters.PrivateUsage != 0) {
        return static_cast<std::int64_t>(counters.PrivateUsage);
    }
    return static_cast<std::int64_t>(counters.PagefileUsage);
}

}  // namespace test_support
