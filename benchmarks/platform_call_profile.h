// Where a call's time goes: modules' imports of the volume and registry
// functions, and of the runtime functions a derivation calls, are redirected
// to wrappers that time each call with QueryPerformanceCounter. What is left
// of the call's time is the caller's own work.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "import_redirect.h"

namespace bench {

// What timing one call costs: the share that falls inside the timed interval,
// and the share outside it, which the caller's total holds.
struct TimerCost {
    double insideSeconds;
    double outsideSeconds;
};

class PlatformCallProfile {
  public:
    static constexpr int kFunctionCount = 15;

    // Calls and time inside each function so far, both modules together.
    struct Snapshot {
        long calls[kFunctionCount];
        LONGLONG ticks[kFunctionCount];
    };

    // Times from now on every one of the functions that `component` imports,
    // and the volume and registry calls of `program` (its other calls are the
    // benchmark's own); one profile at a time.
    PlatformCallProfile(HMODULE component, HMODULE program);
    ~PlatformCallProfile();
    PlatformCallProfile(const PlatformCallProfile&) = delete;
    PlatformCallProfile& operator=(const PlatformCallProfile&) = delete;

    // Read without allocating, so that it can bracket a single call.
    Snapshot Current() const;

    static const char* FunctionName(int function);
    // One of the platform calls a derivation is made of, rather than a
    // runtime function it calls on its way.
    static bool IsVolumeOrRegistry(int function);
    static double TicksToSeconds(LONGLONG ticks);
    static TimerCost MeasureTimerCost();

  private:
    std::vector<std::unique_ptr<test_support::ImportRedirect>> redirects_;
};

}  // namespace bench
