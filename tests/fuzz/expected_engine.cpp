#include "expected_engine.h"

#include <utility>

#include "reference_identifier.h"

namespace fuzz {

namespace {

using fake::Call;
using fake::Fn;

constexpr std::size_t kMaxSaltLength = 255;
constexpr char kVolumeRoot[] = "c:\\";
constexpr char kTokenValueName[] = "PlugIn";
constexpr std::size_t kNewTokenLength = 10;

constexpr REGSAM kMachineWriteAccess = 0x2001F;  // KEY_READ | KEY_WRITE
constexpr REGSAM kMachineReadAccess = 0x20019;   // KEY_READ
constexpr REGSAM kUserAccess = 0xF003F;          // KEY_ALL_ACCESS
constexpr REGSAM kQueryValueRight = 0x0001;
constexpr REGSAM kSetValueRight = 0x0002;

constexpr DWORD kNameCapacity = 260;
constexpr DWORD kDataCapacity = 1024;
// The project bounds the search against a registry that never reports the end.
constexpr DWORD kSearchedIndexLimit = 1u << 20;

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// The whole returned name, lower-cased, must be "plugin": six bytes, no more.
bool IsTokenValueName(const std::string& name) {
    return SameNameIgnoringCase(name, "plugin");
}

std::string UpToFirstZero(const std::string& bytes) {
    return bytes.substr(0, bytes.find('\0'));
}

// Like RegSetValueExA: a value of the same name, in any case, keeps its name and
// takes the new type and data; otherwise the value is added at the end.
void StoreTokenValue(std::vector<fake::Value>& values, const std::string& token) {
    for (fake::Value& value : values) {
        if (SameNameIgnoringCase(value.name, kTokenValueName)) {
            value.type = REG_SZ;
            value.data = token;
            return;
        }
    }
    values.push_back(fake::Value{kTokenValueName, REG_SZ, token});
}

}  // namespace

ExpectedEngine::ExpectedEngine(const Scenario& scenario, std::vector<fake::Value> machineValues,
                               std::vector<fake::Value> userValues)
    : scenario_(scenario) {
    machine_.values = std::move(machineValues);
    machine_.readOnly = scenario.Has(wire::kMachineKeyReadOnly);
    machine_.exists = scenario.Has(wire::kMachineKeyExists) || machine_.readOnly ||
                      !scenario.machineValues.empty();
    user_.values = std::move(userValues);
    user_.readOnly = scenario.Has(wire::kUserKeyReadOnly);
    user_.exists =
        scenario.Has(wire::kUserKeyExists) || user_.readOnly || !scenario.userValues.empty();
}

bool ExpectedEngine::Injected(Fn function, HKEY root, LONG& error) {
    const std::size_t number = ++counts_[static_cast<std::size_t>(function)];
    for (const InjectedFailure& failure : scenario_.failures) {
        if (failure.function == function && (failure.root == nullptr || failure.root == root) &&
            (failure.nth == 0 || failure.nth == number)) {
            error = failure.error;
            return true;
        }
    }
    return false;
}

void ExpectedEngine::Log(const Call& call) {
    lastCalls_[static_cast<std::size_t>(call.function)] = call;
    if (Logging()) {
        calls_.push_back(call);
    }
}

ExpectedEngine::Handle ExpectedEngine::CreateKey(HKEY root, const char* path, REGSAM access) {
    Call call;
    call.function = Fn::kRegCreateKeyExA;
    call.root = root;
    call.path = path;
    call.access = access;
    Key& key = KeyOf(root);
    if (!Injected(call.function, root, call.result)) {
        if (key.exists && key.readOnly) {
            call.result = ERROR_ACCESS_DENIED;
        } else {
            key.exists = true;
            ++openHandles_;
            call.result = ERROR_SUCCESS;
        }
    }
    Log(call);
    return call.result == ERROR_SUCCESS ? Handle{root, access} : Handle{};
}

ExpectedEngine::Handle ExpectedEngine::OpenKey(HKEY root, const char* path, REGSAM access) {
    Call call;
    call.function = Fn::kRegOpenKeyExA;
    call.root = root;
    call.path = path;
    call.access = access;
    const Key& key = KeyOf(root);
    if (!Injected(call.function, root, call.result)) {
        if (!key.exists) {
            call.result = ERROR_FILE_NOT_FOUND;
        } else if (key.readOnly && (access & ~kMachineReadAccess) != 0) {
            call.result = ERROR_ACCESS_DENIED;
        } else {
            ++openHandles_;
            call.result = ERROR_SUCCESS;
        }
    }
    Log(call);
    return call.result == ERROR_SUCCESS ? Handle{root, access} : Handle{};
}

const fake::Value* ExpectedEngine::EnumerateValue(const Handle& key, DWORD index, LONG& status) {
    const std::vector<fake::Value>& values = KeyOf(key.root).values;
    const fake::Value* value = nullptr;
    if (!Injected(Fn::kRegEnumValueA, key.root, status)) {
        if ((key.access & kQueryValueRight) == 0) {
            status = ERROR_ACCESS_DENIED;
        } else if (scenario_.endlessEnumerationError) {
            status = *scenario_.endlessEnumerationError;
        } else if (index >= values.size()) {
            status = ERROR_NO_MORE_ITEMS;
        } else if (values[index].name.size() + 1 > kNameCapacity ||
                   values[index].data.size() > kDataCapacity) {
            status = ERROR_MORE_DATA;
        } else {
            status = ERROR_SUCCESS;
            value = &values[index];
        }
    }
    // A million of these make an endless enumeration: past the stand-in's log
    // limit only the last one is kept, without building a whole call record.
    Call& last = lastCalls_[static_cast<std::size_t>(Fn::kRegEnumValueA)];
    last.function = Fn::kRegEnumValueA;
    last.result = status;
    last.root = key.root;
    last.index = index;
    last.nameCapacity = kNameCapacity;
    last.dataCapacity = kDataCapacity;
    if (Logging()) {
        calls_.push_back(last);
    }
    return value;
}

void ExpectedEngine::SetTokenValue(const Handle& key, const std::string& token) {
    Call call;
    call.function = Fn::kRegSetValueExA;
    call.root = key.root;
    call.valueName = kTokenValueName;
    call.type = REG_SZ;
    call.data = token;  // no terminating zero
    call.dataLength = static_cast<DWORD>(token.size());
    if (!Injected(call.function, key.root, call.result)) {
        if ((key.access & kSetValueRight) == 0) {
            call.result = ERROR_ACCESS_DENIED;
        } else {
            call.result = ERROR_SUCCESS;
            StoreTokenValue(KeyOf(key.root).values, token);
        }
    }
    Log(call);
}

void ExpectedEngine::FlushAndClose(const Handle& key) {
    Call flush;
    flush.function = Fn::kRegFlushKey;
    flush.root = key.root;
    if (!Injected(flush.function, key.root, flush.result)) {
        flush.result = ERROR_SUCCESS;
    }
    Log(flush);

    Call close;
    close.function = Fn::kRegCloseKey;
    close.root = key.root;
    if (!Injected(close.function, key.root, close.result)) {
        close.result = ERROR_SUCCESS;
        --openHandles_;
    }
    Log(close);
}

bool ExpectedEngine::ReadVolumeSerial(DWORD& serial) {
    Call call;
    call.function = Fn::kGetVolumeInformationA;
    call.volumeRoot = kVolumeRoot;
    call.serialGiven = true;
    LONG ignored = 0;
    const bool injected = Injected(call.function, nullptr, ignored);
    call.result = injected || scenario_.Has(wire::kVolumeFails) ? 0 : 1;
    Log(call);
    serial = scenario_.volumeSerial;
    return call.result != 0;
}

void ExpectedEngine::ReadClock() {
    Call call;
    call.function = Fn::kTime;
    LONG ignored = 0;
    Injected(call.function, nullptr, ignored);  // counted; the clock cannot fail
    call.result = 0;
    Log(call);
}

// The engine's heap use as the project settled it: one copy of each matching
// token value, one block per generated token, the joined text, the identifier.
bool ExpectedEngine::Allocate() {
    ++allocations_;
    return allocations_ != scenario_.failingAllocation;
}

int ExpectedEngine::Draw() {
    generatorState_ = generatorState_ * 214013u + 2531011u;
    return static_cast<int>((generatorState_ >> 16) & 0x7FFF);
}

std::string ExpectedEngine::GenerateToken() {
    static const char kUpper[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    static const char kLower[] = "abcdefghijklmnopqrstuvwxyz";
    static const char kDigits[] = "0123456789";
    std::string token;
    for (std::size_t i = 0; i < kNewTokenLength; ++i) {
        const int characterClass = Draw() % 9;
        if (characterClass == 0 || characterClass == 3 || characterClass == 6) {
            token += kUpper[Draw() % 26];
        } else if (characterClass == 1 || characterClass == 4 || characterClass == 7) {
            token += kLower[Draw() % 26];
        } else {
            token += kDigits[Draw() % 10];
        }
    }
    return token;
}

ExpectedEngine::Search ExpectedEngine::SearchTokenValue(const Handle& key) {
    for (DWORD index = 0; index < kSearchedIndexLimit; ++index) {
        LONG status = 0;
        const fake::Value* value = EnumerateValue(key, index, status);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (value != nullptr && IsTokenValueName(value->name)) {
            // The copy is made even of a value with no text; its failure only
            // counts when there was a token to copy, since an empty value is no
            // token and gets replaced like a missing one.
            Search found;
            found.stored = UpToFirstZero(value->data);
            const bool copied = Allocate();
            found.copyFailed = !copied && !found.stored.empty();
            found.token = copied ? found.stored : std::string();
            return found;
        }
    }
    return {};
}

std::string ExpectedEngine::ReadOrCreateToken(const Handle& key) {
    const Search found = SearchTokenValue(key);
    std::string token = found.token;
    // A stored token that could not be copied stays as it is; a new token that
    // could not be allocated is neither drawn nor written.
    if (token.empty() && !found.copyFailed && Allocate()) {
        token = GenerateToken();
        SetTokenValue(key, token);
    }
    FlushAndClose(key);
    return token;
}

std::string ExpectedEngine::MachineToken() {
    if (const Handle key = CreateKey(HKEY_LOCAL_MACHINE, kMachineKeyPath, kMachineWriteAccess)) {
        return ReadOrCreateToken(key);
    }
    const Handle key = OpenKey(HKEY_LOCAL_MACHINE, kMachineKeyPath, kMachineReadAccess);
    if (!key) {
        return std::string();
    }
    const Search found = SearchTokenValue(key);
    FlushAndClose(key);
    return found.token;
}

std::string ExpectedEngine::UserToken() {
    if (const Handle key = CreateKey(HKEY_CURRENT_USER, kUserKeyPath, kUserAccess)) {
        return ReadOrCreateToken(key);
    }
    return std::string();
}

ExpectedDerivation ExpectedEngine::Derive(const std::string& givenSalt) {
    ExpectedDerivation expected;
    const std::string salt = UpToFirstZero(givenSalt);  // the engine takes a C string
    if (salt.empty() || salt.size() > kMaxSaltLength) {
        expected.emptyBecause = "salt of " + std::to_string(salt.size()) + " bytes";
        return expected;
    }
    DWORD serial = 0;
    if (!ReadVolumeSerial(serial)) {
        expected.emptyBecause = "no volume serial number";
        return expected;
    }
    ReadClock();
    generatorState_ = static_cast<std::uint32_t>(scenario_.clock);
    expected.machineToken = MachineToken();
    expected.userToken = UserToken();  // asked for even without a machine token
    if (expected.machineToken.empty() || expected.userToken.empty()) {
        expected.emptyBecause =
            expected.machineToken.empty() ? "no machine token" : "no user token";
        return expected;
    }
    if (!Allocate() || !Allocate()) {
        expected.emptyBecause = "the joined text or the identifier could not be allocated";
        return expected;
    }
    expected.identifier =
        test_support::ReferenceIdentifier(serial, expected.machineToken, expected.userToken, salt);
    return expected;
}

bool ExpectedEngine::IsInstalled() {
    const Handle key = OpenKey(HKEY_LOCAL_MACHINE, kMachineKeyPath, kMachineReadAccess);
    if (!key) {
        return false;
    }
    const Search found = SearchTokenValue(key);
    FlushAndClose(key);
    // The answer is about the stored token, which a failed copy does not change:
    // 1 for a token, 0 for a value with no text.
    return !found.stored.empty();
}

}  // namespace fuzz
