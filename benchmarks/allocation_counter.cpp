#include "allocation_counter.h"

#include <objbase.h>
#include <oleauto.h>

#include <cstdlib>

namespace bench {

namespace {

// Every allocation function a DLL of this kind could import from the C runtime,
// the kernel, the component runtime and the automation runtime. Objects made
// with operator new reach the C runtime's malloc through the statically linked
// C++ library, so they are counted as malloc.
enum AllocationFunction {
    kMalloc,
    kCalloc,
    kRealloc,
    kStrdup,
    kWcsdup,
    kHeapAlloc,
    kHeapReAlloc,
    kLocalAlloc,
    kGlobalAlloc,
    kCoTaskMemAlloc,
    kCoTaskMemRealloc,
    kSysAllocString,
    kSysAllocStringLen,
    kSysAllocStringByteLen,
    kSysReAllocString,
    kSysReAllocStringLen,
    kAllocationFunctionCount
};

// The real functions, resolved before any slot points at a wrapper.
void* g_real[kAllocationFunctionCount];
volatile LONG g_calls[kAllocationFunctionCount];

template <class Function>
Function Real(AllocationFunction function) {
    return reinterpret_cast<Function>(g_real[function]);
}

void Count(AllocationFunction function) {
    InterlockedIncrement(&g_calls[function]);
}

void* CountingMalloc(size_t size) {
    Count(kMalloc);
    return Real<decltype(&std::malloc)>(kMalloc)(size);
}
void* CountingCalloc(size_t count, size_t size) {
    Count(kCalloc);
    return Real<decltype(&std::calloc)>(kCalloc)(count, size);
}
void* CountingRealloc(void* block, size_t size) {
    Count(kRealloc);
    return Real<decltype(&std::realloc)>(kRealloc)(block, size);
}
char* CountingStrdup(const char* text) {
    Count(kStrdup);
    return Real<char* (*)(const char*)>(kStrdup)(text);
}
wchar_t* CountingWcsdup(const wchar_t* text) {
    Count(kWcsdup);
    return Real<wchar_t* (*)(const wchar_t*)>(kWcsdup)(text);
}
LPVOID WINAPI CountingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
    Count(kHeapAlloc);
    return Real<decltype(&HeapAlloc)>(kHeapAlloc)(heap, flags, size);
}
LPVOID WINAPI CountingHeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T size) {
    Count(kHeapReAlloc);
    return Real<decltype(&HeapReAlloc)>(kHeapReAlloc)(heap, flags, block, size);
}
HLOCAL WINAPI CountingLocalAlloc(UINT flags, SIZE_T size) {
    Count(kLocalAlloc);
    return Real<decltype(&LocalAlloc)>(kLocalAlloc)(flags, size);
}
HGLOBAL WINAPI CountingGlobalAlloc(UINT flags, SIZE_T size) {
    Count(kGlobalAlloc);
    return Real<decltype(&GlobalAlloc)>(kGlobalAlloc)(flags, size);
}
LPVOID WINAPI CountingCoTaskMemAlloc(SIZE_T size) {
    Count(kCoTaskMemAlloc);
    return Real<decltype(&CoTaskMemAlloc)>(kCoTaskMemAlloc)(size);
}
LPVOID WINAPI CountingCoTaskMemRealloc(LPVOID block, SIZE_T size) {
    Count(kCoTaskMemRealloc);
    return Real<decltype(&CoTaskMemRealloc)>(kCoTaskMemRealloc)(block, size);
}
BSTR WINAPI CountingSysAllocString(const OLECHAR* text) {
    Count(kSysAllocString);
    return Real<decltype(&SysAllocString)>(kSysAllocString)(text);
}
BSTR WINAPI CountingSysAllocStringLen(const OLECHAR* text, UINT length) {
    Count(kSysAllocStringLen);
    return Real<decltype(&SysAllocStringLen)>(kSysAllocStringLen)(text, length);
}
BSTR WINAPI CountingSysAllocStringByteLen(LPCSTR text, UINT length) {
    Count(kSysAllocStringByteLen);
    return Real<decltype(&SysAllocStringByteLen)>(kSysAllocStringByteLen)(text, length);
}
INT WINAPI CountingSysReAllocString(BSTR* text, const OLECHAR* source) {
    Count(kSysReAllocString);
    return Real<decltype(&SysReAllocString)>(kSysReAllocString)(text, source);
}
INT WINAPI CountingSysReAllocStringLen(BSTR* text, const OLECHAR* source, UINT length) {
    Count(kSysReAllocStringLen);
    return Real<decltype(&SysReAllocStringLen)>(kSysReAllocStringLen)(text, source, length);
}

struct AllocationImport {
    const char* module;
    const char* function;
    void* counter;
};

// The counters are cast to the real functions' types first, so that a wrapper
// whose calling convention differed from the real one would not compile.
const AllocationImport kAllocationImports[kAllocationFunctionCount] = {
    {"msvcrt.dll", "malloc",
     reinterpret_cast<void*>(static_cast<decltype(&std::malloc)>(&CountingMalloc))},
    {"msvcrt.dll", "calloc",
     reinterpret_cast<void*>(static_cast<decltype(&std::calloc)>(&CountingCalloc))},
    {"msvcrt.dll", "realloc",
     reinterpret_cast<void*>(static_cast<decltype(&std::realloc)>(&CountingRealloc))},
    {"msvcrt.dll", "_strdup", reinterpret_cast<void*>(&CountingStrdup)},
    {"msvcrt.dll", "_wcsdup", reinterpret_cast<void*>(&CountingWcsdup)},
    {"kernel32.dll", "HeapAlloc",
     reinterpret_cast<void*>(static_cast<decltype(&HeapAlloc)>(&CountingHeapAlloc))},
    {"kernel32.dll", "HeapReAlloc",
     reinterpret_cast<void*>(static_cast<decltype(&HeapReAlloc)>(&CountingHeapReAlloc))},
    {"kernel32.dll", "LocalAlloc",
     reinterpret_cast<void*>(static_cast<decltype(&LocalAlloc)>(&CountingLocalAlloc))},
    {"kernel32.dll", "GlobalAlloc",
     reinterpret_cast<void*>(static_cast<decltype(&GlobalAlloc)>(&CountingGlobalAlloc))},
    {"ole32.dll", "CoTaskMemAlloc",
     reinterpret_cast<void*>(static_cast<decltype(&CoTaskMemAlloc)>(&CountingCoTaskMemAlloc))},
    {"ole32.dll", "CoTaskMemRealloc",
     reinterpret_cast<void*>(static_cast<decltype(&CoTaskMemRealloc)>(&CountingCoTaskMemRealloc))},
    {"oleaut32.dll", "SysAllocString",
     reinterpret_cast<void*>(static_cast<decltype(&SysAllocString)>(&CountingSysAllocString))},
    {"oleaut32.dll", "SysAllocStringLen",
     reinterpret_cast<void*>(
         static_cast<decltype(&SysAllocStringLen)>(&CountingSysAllocStringLen))},
    {"oleaut32.dll", "SysAllocStringByteLen",
     reinterpret_cast<void*>(
         static_cast<decltype(&SysAllocStringByteLen)>(&CountingSysAllocStringByteLen))},
    {"oleaut32.dll", "SysReAllocString",
     reinterpret_cast<void*>(static_cast<decltype(&SysReAllocString)>(&CountingSysReAllocString))},
    {"oleaut32.dll", "SysReAllocStringLen",
     reinterpret_cast<void*>(
         static_cast<decltype(&SysReAllocStringLen)>(&CountingSysReAllocStringLen))},
};

}  // namespace

DllAllocationCounter::DllAllocationCounter(HMODULE dll) {
    for (int index = 0; index < kAllocationFunctionCount; ++index) {
        const AllocationImport& import = kAllocationImports[index];
        g_real[index] = test_support::FindExport(import.module, import.function);
        g_calls[index] = 0;
        auto redirect =
            std::make_unique<test_support::ImportRedirect>(dll, g_real[index], import.counter);
        if (redirect->found()) {
            redirects_.push_back(std::move(redirect));
            countedIndices_.push_back(index);
        }
    }
    // Installed once everything is allocated, so the counters count none of it.
    for (const auto& redirect : redirects_) {
        redirect->Install();
    }
}

DllAllocationCounter::~DllAllocationCounter() {
    for (const auto& redirect : redirects_) {
        redirect->Restore();
    }
}

std::vector<const char*> DllAllocationCounter::countedFunctions() const {
    std::vector<const char*> functions;
    for (int index : countedIndices_) {
        functions.push_back(kAllocationImports[index].function);
    }
    return functions;
}

std::vector<DllAllocationCounter::FunctionCount> DllAllocationCounter::counts() const {
    std::vector<FunctionCount> result;
    for (int index : countedIndices_) {
        result.push_back({kAllocationImports[index].function, g_calls[index]});
    }
    return result;
}

long DllAllocationCounter::total() const {
    long sum = 0;
    for (int index : countedIndices_) {
        sum += g_calls[index];
    }
    return sum;
}

void DllAllocationCounter::Reset() {
    for (int index : countedIndices_) {
        InterlockedExchange(&g_calls[index], 0);
    }
}

}  // namespace bench
