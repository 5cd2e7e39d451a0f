#include "platform_call_profile.h"

#include <oleauto.h>

#include <cstdlib>
#include <ctime>

namespace bench {

namespace {

// The volume and registry functions of a derivation, then the runtime functions
// it calls on its way, so that the module's own work can be told from theirs.
enum TimedFunction {
    kGetVolumeInformationA,
    kRegCreateKeyExA,
    kRegOpenKeyExA,
    kRegEnumValueA,
    kRegSetValueExA,
    kRegFlushKey,
    kRegCloseKey,
    kTime64,
    kWcstombs,
    kMalloc,
    kFree,
    kMultiByteToWideChar,
    kSysAllocStringLen,
    kSysFreeString,
    kTlsGetValue,
    kImportedFunctionCount,
    // Not an import: the timer timing a function that does nothing.
    kTimerCalibration = kImportedFunctionCount,
    kTimedFunctionCount
};

// The real functions, resolved before any slot points at a wrapper.
void* g_real[kImportedFunctionCount];
long g_calls[kTimedFunctionCount];
LONGLONG g_ticks[kTimedFunctionCount];

template <class Function>
Function Real(TimedFunction function) {
    return reinterpret_cast<Function>(g_real[function]);
}

// Adds the time from its construction to its destruction to one function's total.
class CallTimer {
  public:
    explicit CallTimer(TimedFunction function) : function_(function) {
        QueryPerformanceCounter(&start_);
    }
    ~CallTimer() {
        LARGE_INTEGER end;
        QueryPerformanceCounter(&end);
        g_ticks[function_] += end.QuadPart - start_.QuadPart;
        ++g_calls[function_];
    }
    CallTimer(const CallTimer&) = delete;
    CallTimer& operator=(const CallTimer&) = delete;

  private:
    TimedFunction function_;
    LARGE_INTEGER start_;
};

BOOL WINAPI TimedGetVolumeInformationA(LPCSTR root, LPSTR volumeName, DWORD volumeNameSize,
                                       LPDWORD serial, LPDWORD maximumComponentLength,
                                       LPDWORD fileSystemFlags, LPSTR fileSystemName,
                                       DWORD fileSystemNameSize) {
    CallTimer timer(kGetVolumeInformationA);
    return Real<decltype(&GetVolumeInformationA)>(kGetVolumeInformationA)(
        root, volumeName, volumeNameSize, serial, maximumComponentLength, fileSystemFlags,
        fileSystemName, fileSystemNameSize);
}
LONG WINAPI TimedRegCreateKeyExA(HKEY root, LPCSTR path, DWORD reserved, LPSTR keyClass,
                                 DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                                 PHKEY key, LPDWORD disposition) {
    CallTimer timer(kRegCreateKeyExA);
    return Real<decltype(&RegCreateKeyExA)>(kRegCreateKeyExA)(
        root, path, reserved, keyClass, options, access, security, key, disposition);
}
LONG WINAPI TimedRegOpenKeyExA(HKEY root, LPCSTR path, DWORD options, REGSAM access, PHKEY key) {
    CallTimer timer(kRegOpenKeyExA);
    return Real<decltype(&RegOpenKeyExA)>(kRegOpenKeyExA)(root, path, options, access, key);
}
LONG WINAPI TimedRegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                               LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    CallTimer timer(kRegEnumValueA);
    return Real<decltype(&RegEnumValueA)>(kRegEnumValueA)(key, index, name, nameLength, reserved,
                                                          type, data, dataSize);
}
LONG WINAPI TimedRegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                                DWORD dataSize) {
    CallTimer timer(kRegSetValueExA);
    return Real<decltype(&RegSetValueExA)>(kRegSetValueExA)(key, name, reserved, type, data,
                                                            dataSize);
}
LONG WINAPI TimedRegFlushKey(HKEY key) {
    CallTimer timer(kRegFlushKey);
    return Real<decltype(&RegFlushKey)>(kRegFlushKey)(key);
}
LONG WINAPI TimedRegCloseKey(HKEY key) {
    CallTimer timer(kRegCloseKey);
    return Real<decltype(&RegCloseKey)>(kRegCloseKey)(key);
}
__time64_t TimedTime64(__time64_t* out) {
    CallTimer timer(kTime64);
    return Real<decltype(&_time64)>(kTime64)(out);
}
size_t TimedWcstombs(char* out, const wchar_t* in, size_t size) {
    CallTimer timer(kWcstombs);
    return Real<decltype(&std::wcstombs)>(kWcstombs)(out, in, size);
}
void* TimedMalloc(size_t size) {
    CallTimer timer(kMalloc);
    return Real<decltype(&std::malloc)>(kMalloc)(size);
}
void TimedFree(void* block) {
    CallTimer timer(kFree);
    Real<decltype(&std::free)>(kFree)(block);
}
int WINAPI TimedMultiByteToWideChar(UINT codePage, DWORD flags, LPCCH in, int inSize, LPWSTR out,
                                    int outSize) {
    CallTimer timer(kMultiByteToWideChar);
    return Real<decltype(&MultiByteToWideChar)>(kMultiByteToWideChar)(codePage, flags, in, inSize,
                                                                      out, outSize);
}
BSTR WINAPI TimedSysAllocStringLen(const OLECHAR* in, UINT length) {
    CallTimer timer(kSysAllocStringLen);
    return Real<decltype(&SysAllocStringLen)>(kSysAllocStringLen)(in, length);
}
void WINAPI TimedSysFreeString(BSTR text) {
    CallTimer timer(kSysFreeString);
    Real<decltype(&SysFreeString)>(kSysFreeString)(text);
}
LPVOID WINAPI TimedTlsGetValue(DWORD index) {
    CallTimer timer(kTlsGetValue);
    return Real<decltype(&TlsGetValue)>(kTlsGetValue)(index);
}

struct TimedImport {
    const char* module;
    const char* function;
    void* timed;
};

// Each wrapper is cast to its real function's type first: one of another
// calling convention would not compile.
const TimedImport kTimedImports[kImportedFunctionCount] = {
    {"kernel32.dll", "GetVolumeInformationA",
     reinterpret_cast<void*>(
         static_cast<decltype(&GetVolumeInformationA)>(&TimedGetVolumeInformationA))},
    {"advapi32.dll", "RegCreateKeyExA",
     reinterpret_cast<void*>(static_cast<decltype(&RegCreateKeyExA)>(&TimedRegCreateKeyExA))},
    {"advapi32.dll", "RegOpenKeyExA",
     reinterpret_cast<void*>(static_cast<decltype(&RegOpenKeyExA)>(&TimedRegOpenKeyExA))},
    {"advapi32.dll", "RegEnumValueA",
     reinterpret_cast<void*>(static_cast<decltype(&RegEnumValueA)>(&TimedRegEnumValueA))},
    {"advapi32.dll", "RegSetValueExA",
     reinterpret_cast<void*>(static_cast<decltype(&RegSetValueExA)>(&TimedRegSetValueExA))},
    {"advapi32.dll", "RegFlushKey",
     reinterpret_cast<void*>(static_cast<decltype(&RegFlushKey)>(&TimedRegFlushKey))},
    {"advapi32.dll", "RegCloseKey",
     reinterpret_cast<void*>(static_cast<decltype(&RegCloseKey)>(&TimedRegCloseKey))},
    {"msvcrt.dll", "_time64",
     reinterpret_cast<void*>(static_cast<decltype(&_time64)>(&TimedTime64))},
    {"msvcrt.dll", "wcstombs",
     reinterpret_cast<void*>(static_cast<decltype(&std::wcstombs)>(&TimedWcstombs))},
    {"msvcrt.dll", "malloc",
     reinterpret_cast<void*>(static_cast<decltype(&std::malloc)>(&TimedMalloc))},
    {"msvcrt.dll", "free", reinterpret_cast<void*>(static_cast<decltype(&std::free)>(&TimedFree))},
    {"kernel32.dll", "MultiByteToWideChar",
     reinterpret_cast<void*>(
         static_cast<decltype(&MultiByteToWideChar)>(&TimedMultiByteToWideChar))},
    {"oleaut32.dll", "SysAllocStringLen",
     reinterpret_cast<void*>(static_cast<decltype(&SysAllocStringLen)>(&TimedSysAllocStringLen))},
    {"oleaut32.dll", "SysFreeString",
     reinterpret_cast<void*>(static_cast<decltype(&SysFreeString)>(&TimedSysFreeString))},
    {"kernel32.dll", "TlsGetValue",
     reinterpret_cast<void*>(static_cast<decltype(&TlsGetValue)>(&TimedTlsGetValue))},
};

// Called the way the wrappers call the real functions, to find what the timing
// itself costs.
void WINAPI DoNothing() {}
void(WINAPI* volatile g_doNothing)() = &DoNothing;

void TimedNothing() {
    CallTimer timer(kTimerCalibration);
    g_doNothing();
}

void ResetTimes() {
    for (int index = 0; index < kTimedFunctionCount; ++index) {
        g_calls[index] = 0;
        g_ticks[index] = 0;
    }
}

}  // namespace

static_assert(PlatformCallProfile::kFunctionCount == kImportedFunctionCount,
              "the header's count of timed functions must match the table");

PlatformCallProfile::PlatformCallProfile(HMODULE component, HMODULE program) {
    ResetTimes();
    for (int index = 0; index < kImportedFunctionCount; ++index) {
        const TimedImport& import = kTimedImports[index];
        g_real[index] = test_support::FindExport(import.module, import.function);
        for (HMODULE module : {component, IsVolumeOrRegistry(index) ? program : nullptr}) {
            auto redirect =
                std::make_unique<test_support::ImportRedirect>(module, g_real[index], import.timed);
            if (redirect->found()) {
                redirects_.push_back(std::move(redirect));
            }
        }
    }
    // Installed once everything is allocated: the allocations of this program
    // are not what is profiled.
    for (const auto& redirect : redirects_) {
        redirect->Install();
    }
}

PlatformCallProfile::~PlatformCallProfile() {
    for (const auto& redirect : redirects_) {
        redirect->Restore();
    }
}

PlatformCallProfile::Snapshot PlatformCallProfile::Current() const {
    Snapshot snapshot;
    for (int index = 0; index < kImportedFunctionCount; ++index) {
        snapshot.calls[index] = g_calls[index];
        snapshot.ticks[index] = g_ticks[index];
    }
    return snapshot;
}

const char* PlatformCallProfile::FunctionName(int function) {
    return kTimedImports[function].function;
}

bool PlatformCallProfile::IsVolumeOrRegistry(int function) {
    return function < kTime64;
}

double PlatformCallProfile::TicksToSeconds(LONGLONG ticks) {
    static const double frequency = [] {
        LARGE_INTEGER ticksPerSecond;
        QueryPerformanceFrequency(&ticksPerSecond);
        return static_cast<double>(ticksPerSecond.QuadPart);
    }();
    return static_cast<double>(ticks) / frequency;
}

TimerCost PlatformCallProfile::MeasureTimerCost() {
    constexpr long kCalls = 200000;
    ResetTimes();
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    for (long call = 0; call < kCalls; ++call) {
        TimedNothing();
    }
    QueryPerformanceCounter(&end);
    const double inside = TicksToSeconds(g_ticks[kTimerCalibration]) / kCalls;
    const double whole = TicksToSeconds(end.QuadPart - start.QuadPart) / kCalls;
    ResetTimes();
    return {inside, whole - inside};
}

}  // namespace bench
