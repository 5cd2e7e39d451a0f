#include "fake_platform.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <map>
#include <set>

namespace fake {

namespace {

constexpr REGSAM kQueryValue = 0x0001;
constexpr REGSAM kSetValue = 0x0002;
constexpr std::uintptr_t kFirstHandle = 0x1000;

struct Key {
    HKEY root;
    std::string path;
    std::vector<Value> values;
    bool readOnly = false;
};

struct Failure {
    Fn function;
    LONG error;
    HKEY root;         // nullptr: any root
    std::string path;  // empty: any path
    std::size_t nth;   // 0: every call
};

struct OpenKey {
    std::size_t keyIndex;
    REGSAM access;
};

struct State {
    std::vector<Key> keys;
    std::map<HKEY, OpenKey> openKeys;
    std::uintptr_t nextHandle = kFirstHandle;
    std::vector<Failure> failures;
    std::optional<LONG> endlessEnumerationError;
    DWORD volumeSerial = 0;
    bool volumeFails = false;
    time_t clock = 0;
    std::size_t allocations = 0;
    std::size_t failingAllocation = 0;  // 0: none fails
    std::set<void*> outstandingBlocks;
    std::vector<Call> log;
    std::array<std::size_t, kFunctionCount> counts{};
    std::array<Call, kFunctionCount> lastCalls{};
};

State& state() {
    static State instance;
    return instance;
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::optional<std::size_t> FindKey(HKEY root, const std::string& path) {
    const auto& keys = state().keys;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].root == root && SameName(keys[i].path, path)) {
            return i;
        }
    }
    return std::nullopt;
}

std::size_t FindOrAddKey(HKEY root, const std::string& path) {
    if (auto index = FindKey(root, path)) {
        return *index;
    }
    state().keys.push_back(Key{root, path, {}, false});
    return state().keys.size() - 1;
}

void StoreValue(Key& key, const std::string& name, DWORD type, const std::string& data) {
    for (Value& value : key.values) {
        if (SameName(value.name, name)) {
            value.type = type;
            value.data = data;
            return;
        }
    }
    key.values.push_back(Value{name, type, data});
}

// Counts the call and tells whether an injected failure applies to it.
std::optional<LONG> CountAndFindFailure(Fn function, HKEY root, const std::string& path) {
    State& s = state();
    const std::size_t number = ++s.counts[static_cast<std::size_t>(function)];
    for (const Failure& failure : s.failures) {
        if (failure.function == function && (failure.root == nullptr || failure.root == root) &&
            (failure.path.empty() || SameName(failure.path, path)) &&
            (failure.nth == 0 || failure.nth == number)) {
            return failure.error;
        }
    }
    return std::nullopt;
}

LONG Record(Call call, LONG result) {
    State& s = state();
    call.result = result;
    s.lastCalls[static_cast<std::size_t>(call.function)] = call;
    if (s.log.size() < kMaxLoggedCalls) {
        s.log.push_back(std::move(call));
    }
    return result;
}

Call StartCall(Fn function, HKEY key) {
    Call call;
    call.function = function;
    const auto open = state().openKeys.find(key);
    if (open != state().openKeys.end()) {
        const Key& target = state().keys[open->second.keyIndex];
        call.root = target.root;
        call.path = target.path;
    }
    return call;
}

HKEY NewHandle(std::size_t keyIndex, REGSAM access) {
    HKEY handle = reinterpret_cast<HKEY>(state().nextHandle++);
    state().openKeys[handle] = OpenKey{keyIndex, access};
    return handle;
}

}  // namespace

const char* Name(Fn function) {
    static const char* const kNames[kFunctionCount] = {
        "RegCreateKeyExA", "RegOpenKeyExA", "RegEnumValueA",         "RegSetValueExA",
        "RegFlushKey",     "RegCloseKey",   "GetVolumeInformationA", "time"};
    return kNames[static_cast<std::size_t>(function)];
}

void Reset() {
    // Handles keep counting up so that a handle from an earlier test is never valid again.
    const std::uintptr_t nextHandle = state().nextHandle;
    state() = State{};
    state().nextHandle = nextHandle;
}

void AddKey(HKEY root, const std::string& path) {
    FindOrAddKey(root, path);
}

void SetValue(HKEY root, const std::string& path, const std::string& name, const std::string& data,
              DWORD type) {
    StoreValue(state().keys[FindOrAddKey(root, path)], name, type, data);
}

std::vector<Value> Values(HKEY root, const std::string& path) {
    const auto index = FindKey(root, path);
    return index ? state().keys[*index].values : std::vector<Value>{};
}

std::optional<Value> FindValue(HKEY root, const std::string& path, const std::string& name) {
    for (const Value& value : Values(root, path)) {
        if (SameName(value.name, name)) {
            return value;
        }
    }
    return std::nullopt;
}

void FailCalls(Fn function, LONG error, HKEY root, const std::string& path) {
    state().failures.push_back(Failure{function, error, root, path, 0});
}

void FailNthCall(Fn function, std::size_t nth, LONG error) {
    state().failures.push_back(Failure{function, error, nullptr, "", nth});
}

void MakeKeyReadOnly(HKEY root, const std::string& path) {
    state().keys[FindOrAddKey(root, path)].readOnly = true;
}

void MakeEnumerationEndless(LONG error) {
    state().endlessEnumerationError = error;
}

void SetVolumeSerial(DWORD serial) {
    state().volumeSerial = serial;
}

void FailVolume() {
    state().volumeFails = true;
}

void SetClock(time_t now) {
    state().clock = now;
}

void FailNthAllocation(std::size_t nth) {
    state().failingAllocation = nth;
}

std::size_t AllocationCount() {
    return state().allocations;
}

std::size_t OutstandingBlocks() {
    return state().outstandingBlocks.size();
}

const std::vector<Call>& Calls() {
    return state().log;
}

std::vector<Call> CallsOf(Fn function) {
    std::vector<Call> calls;
    std::copy_if(state().log.begin(), state().log.end(), std::back_inserter(calls),
                 [function](const Call& call) { return call.function == function; });
    return calls;
}

std::vector<std::string> CallNames() {
    std::vector<std::string> names;
    for (const Call& call : state().log) {
        names.push_back(Name(call.function));
    }
    return names;
}

std::size_t CallCount(Fn function) {
    return state().counts[static_cast<std::size_t>(function)];
}

const Call& LastCall(Fn function) {
    return state().lastCalls[static_cast<std::size_t>(function)];
}

std::size_t OpenHandleCount() {
    return state().openKeys.size();
}

}  // namespace fake

using fake::Call;
using fake::Fn;

void* engine::AllocateFromHeap(std::size_t size) {
    fake::State& s = fake::state();
    if (++s.allocations == s.failingAllocation) {
        return nullptr;
    }
    void* block = std::malloc(size);
    s.outstandingBlocks.insert(block);
    return block;
}

void engine::ReleaseToHeap(void* block) {
    // A block from before the last Reset() is no longer tracked but still released.
    fake::state().outstandingBlocks.erase(block);
    std::free(block);
}

namespace {
// Each thread's values of every slot, by slot. Nothing needs allocating first.
thread_local std::map<const engine::ThreadSlot*, std::uintptr_t> t_slotValues;
}  // namespace

bool engine::ThreadSlot::Allocate() {
    return true;
}

void engine::ThreadSlot::Free() {}

std::uintptr_t engine::ThreadSlot::Read() const {
    const auto found = t_slotValues.find(this);
    return found == t_slotValues.end() ? 0 : found->second;
}

void engine::ThreadSlot::Write(std::uintptr_t value) const {
    t_slotValues[this] = value;
}

extern "C" {

LONG RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition) {
    Call call;
    call.function = Fn::kRegCreateKeyExA;
    call.root = root;
    call.path = subKey != nullptr ? subKey : "";
    call.reserved = reserved;
    call.classGiven = keyClass != nullptr;
    call.options = options;
    call.access = access;
    call.securityGiven = security != nullptr;
    if (auto error = fake::CountAndFindFailure(call.function, root, call.path)) {
        return fake::Record(call, *error);
    }
    const auto existing = fake::FindKey(root, call.path);
    if (existing && fake::state().keys[*existing].readOnly) {
        return fake::Record(call, ERROR_ACCESS_DENIED);
    }
    *result = fake::NewHandle(fake::FindOrAddKey(root, call.path), access);
    if (disposition != nullptr) {
        *disposition = existing ? fake::kOpenedExistingKey : fake::kCreatedNewKey;
    }
    return fake::Record(call, ERROR_SUCCESS);
}

LONG RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    Call call;
    call.function = Fn::kRegOpenKeyExA;
    call.root = root;
    call.path = subKey != nullptr ? subKey : "";
    call.options = options;
    call.access = access;
    if (auto error = fake::CountAndFindFailure(call.function, root, call.path)) {
        return fake::Record(call, *error);
    }
    const auto keyIndex = fake::FindKey(root, call.path);
    if (!keyIndex) {
        return fake::Record(call, ERROR_FILE_NOT_FOUND);
    }
    if (fake::state().keys[*keyIndex].readOnly && (access & ~KEY_READ) != 0) {
        return fake::Record(call, ERROR_ACCESS_DENIED);
    }
    *result = fake::NewHandle(*keyIndex, access);
    return fake::Record(call, ERROR_SUCCESS);
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameLength,
                   LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataLength) {
    Call call = fake::StartCall(Fn::kRegEnumValueA, key);
    call.index = index;
    call.nameCapacity = valueNameLength != nullptr ? *valueNameLength : 0;
    call.dataCapacity = dataLength != nullptr ? *dataLength : 0;
    call.enumReservedGiven = reserved != nullptr;
    if (auto error = fake::CountAndFindFailure(call.function, call.root, call.path)) {
        return fake::Record(call, *error);
    }
    const auto open = fake::state().openKeys.find(key);
    if (open == fake::state().openKeys.end()) {
        return fake::Record(call, fake::kErrorInvalidHandle);
    }
    if ((open->second.access & fake::kQueryValue) == 0) {
        return fake::Record(call, ERROR_ACCESS_DENIED);
    }
    if (reserved != nullptr || valueName == nullptr || valueNameLength == nullptr ||
        (data != nullptr && dataLength == nullptr)) {
        return fake::Record(call, fake::kErrorInvalidParameter);
    }
    if (fake::state().endlessEnumerationError) {
        return fake::Record(call, *fake::state().endlessEnumerationError);
    }
    const auto& values = fake::state().keys[open->second.keyIndex].values;
    if (index >= values.size()) {
        return fake::Record(call, ERROR_NO_MORE_ITEMS);
    }
    const fake::Value& value = values[index];
    // The name capacity counts characters including the terminator; a name that
    // does not fit is not stored and its length is left alone.
    if (value.name.size() + 1 > *valueNameLength) {
        return fake::Record(call, ERROR_MORE_DATA);
    }
    std::memcpy(valueName, value.name.c_str(), value.name.size() + 1);
    *valueNameLength = static_cast<DWORD>(value.name.size());
    if (type != nullptr) {
        *type = value.type;
    }
    if (dataLength != nullptr) {
        const DWORD capacity = *dataLength;
        *dataLength = static_cast<DWORD>(value.data.size());
        if (data != nullptr) {
            // Data that does not fit is not stored; the length says what it would need.
            if (value.data.size() > capacity) {
                return fake::Record(call, ERROR_MORE_DATA);
            }
            std::memcpy(data, value.data.data(), value.data.size());
        }
    }
    return fake::Record(call, ERROR_SUCCESS);
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataLength) {
    Call call = fake::StartCall(Fn::kRegSetValueExA, key);
    call.valueName = valueName != nullptr ? valueName : "";
    call.reserved = reserved;
    call.type = type;
    call.dataLength = dataLength;
    call.data.assign(reinterpret_cast<const char*>(data), dataLength);
    if (auto error = fake::CountAndFindFailure(call.function, call.root, call.path)) {
        return fake::Record(call, *error);
    }
    const auto open = fake::state().openKeys.find(key);
    if (open == fake::state().openKeys.end()) {
        return fake::Record(call, fake::kErrorInvalidHandle);
    }
    if ((open->second.access & fake::kSetValue) == 0) {
        return fake::Record(call, ERROR_ACCESS_DENIED);
    }
    fake::StoreValue(fake::state().keys[open->second.keyIndex], call.valueName, type, call.data);
    return fake::Record(call, ERROR_SUCCESS);
}

LONG RegFlushKey(HKEY key) {
    Call call = fake::StartCall(Fn::kRegFlushKey, key);
    if (auto error = fake::CountAndFindFailure(call.function, call.root, call.path)) {
        return fake::Record(call, *error);
    }
    const bool open = fake::state().openKeys.count(key) != 0;
    return fake::Record(call, open ? ERROR_SUCCESS : fake::kErrorInvalidHandle);
}

LONG RegCloseKey(HKEY key) {
    Call call = fake::StartCall(Fn::kRegCloseKey, key);
    if (auto error = fake::CountAndFindFailure(call.function, call.root, call.path)) {
        return fake::Record(call, *error);
    }
    const bool closed = fake::state().openKeys.erase(key) != 0;
    return fake::Record(call, closed ? ERROR_SUCCESS : fake::kErrorInvalidHandle);
}

BOOL GetVolumeInformationA(LPCSTR rootPath, LPSTR volumeName, DWORD volumeNameSize,
                           LPDWORD serialNumber, LPDWORD maximumComponentLength,
                           LPDWORD fileSystemFlags, LPSTR fileSystemName,
                           DWORD fileSystemNameSize) {
    Call call;
    call.function = Fn::kGetVolumeInformationA;
    call.volumeRoot = rootPath != nullptr ? rootPath : "";
    call.volumeNameGiven = volumeName != nullptr;
    call.volumeNameSize = volumeNameSize;
    call.serialGiven = serialNumber != nullptr;
    call.otherVolumeOutsGiven = maximumComponentLength != nullptr || fileSystemFlags != nullptr ||
                                fileSystemName != nullptr;
    call.fileSystemNameSize = fileSystemNameSize;
    if (fake::CountAndFindFailure(call.function, nullptr, "") || fake::state().volumeFails) {
        return fake::Record(call, 0);
    }
    if (serialNumber != nullptr) {
        *serialNumber = fake::state().volumeSerial;
    }
    return fake::Record(call, 1);
}

// Takes the place of the C library's clock for the whole test program: the
// engine seeds its generator from time(nullptr), and tests need a fixed seed.
time_t time(time_t* out) noexcept {
    Call call;
    call.function = Fn::kTime;
    fake::CountAndFindFailure(call.function, nullptr, "");
    const time_t now = fake::state().clock;
    if (out != nullptr) {
        *out = now;
    }
    fake::Record(call, 0);
    return now;
}

}  // extern "C"
