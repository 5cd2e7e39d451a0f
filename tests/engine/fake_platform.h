// In-memory stand-in for the platform functions the engine calls on the host
// build (engine/platform_host.h): the registry, the volume serial number and the
// C library clock. Test support only; it never enters the DLL.
//
// The registry keeps keys by root and path and their values in insertion order,
// which is also the enumeration order. Key paths and value names match without
// regard to case, as on Windows. A handle allows what its access mask allows:
// enumerating needs KEY_QUERY_VALUE, setting needs KEY_SET_VALUE.
//
// Every call is logged with its arguments, failures can be injected per call and
// per allocation of the engine's heap, and
// Reset() returns everything to an empty registry between tests. The program's
// own definition of time() replaces the C library's, so the clock that seeds the
// engine's generator is whatever SetClock() last set.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"

namespace fake {

enum class Fn {
    kRegCreateKeyExA,
    kRegOpenKeyExA,
    kRegEnumValueA,
    kRegSetValueExA,
    kRegFlushKey,
    kRegCloseKey,
    kGetVolumeInformationA,
    kTime,
};
constexpr std::size_t kFunctionCount = 8;

const char* Name(Fn function);

// Returned for calls on a handle that is not open.
constexpr LONG kErrorInvalidHandle = 6;
// Returned when a reserved argument is not null.
constexpr LONG kErrorInvalidParameter = 87;
constexpr DWORD kCreatedNewKey = 1;
constexpr DWORD kOpenedExistingKey = 2;

struct Value {
    std::string name;
    DWORD type = REG_SZ;
    std::string data;  // raw bytes, zeros included
};

// One logged call. Handle-based calls carry the root and path of their key.
struct Call {
    Fn function = Fn::kTime;
    LONG result = 0;  // for GetVolumeInformationA: the BOOL returned
    HKEY root = nullptr;
    std::string path;
    // RegCreateKeyExA and RegOpenKeyExA.
    DWORD reserved = 0;
    DWORD options = 0;
    REGSAM access = 0;
    bool classGiven = false;
    bool securityGiven = false;
    // RegEnumValueA: the capacities as they were on entry.
    DWORD index = 0;
    DWORD nameCapacity = 0;
    DWORD dataCapacity = 0;
    bool enumReservedGiven = false;
    // RegSetValueExA.
    std::string valueName;
    DWORD type = 0;
    std::string data;
    DWORD dataLength = 0;
    // GetVolumeInformationA.
    std::string volumeRoot;
    bool volumeNameGiven = false;
    DWORD volumeNameSize = 0;
    bool serialGiven = false;
    bool otherVolumeOutsGiven = false;  // component length, flags or file-system name
    DWORD fileSystemNameSize = 0;
};

void Reset();

// Registry content.
void AddKey(HKEY root, const std::string& path);
// Stores a value like RegSetValueExA: replaces a value of the same name, creates the key.
void SetValue(HKEY root, const std::string& path, const std::string& name, const std::string& data,
              DWORD type = REG_SZ);
std::vector<Value> Values(HKEY root, const std::string& path);
std::optional<Value> FindValue(HKEY root, const std::string& path, const std::string& name);

// Failures. An injected failure returns its error and does nothing else.
// Every call of `function` on a key of `root` and `path` (nullptr, empty: any).
void FailCalls(Fn function, LONG error, HKEY root = nullptr, const std::string& path = "");
// Only the nth call of `function`, counting from 1 over all its calls.
void FailNthCall(Fn function, std::size_t nth, LONG error);
// A key that exists and that the caller may read but not write: creating it, or
// opening it with more than KEY_READ, fails with ERROR_ACCESS_DENIED.
void MakeKeyReadOnly(HKEY root, const std::string& path);
// Every RegEnumValueA returns `error` and never ERROR_NO_MORE_ITEMS.
void MakeEnumerationEndless(LONG error);

// The engine's heap. Allocations count from 1 over all of them since Reset().
void FailNthAllocation(std::size_t nth);
std::size_t AllocationCount();
// Blocks allocated since Reset() and not yet released.
std::size_t OutstandingBlocks();

// Volume and clock.
void SetVolumeSerial(DWORD serial);
// GetVolumeInformationA returns FALSE and gives no serial number.
void FailVolume();
void SetClock(time_t now);

// Calls. The log keeps the first kMaxLoggedCalls calls, which bounds its memory when
// an endless enumeration makes a million calls; counts and last calls are exact.
constexpr std::size_t kMaxLoggedCalls = 10000;
const std::vector<Call>& Calls();
std::vector<Call> CallsOf(Fn function);
std::vector<std::string> CallNames();
std::size_t CallCount(Fn function);
const Call& LastCall(Fn function);
std::size_t OpenHandleCount();

}  // namespace fake
