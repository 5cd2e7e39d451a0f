#include "token_store.h"

#include <cstring>

#include "engine_text.h"
#include "random_token.h"

namespace engine {

namespace {

constexpr char kMachineKeyPath[] = "SOFTWARE\\Kestrane\\RND";
constexpr char kUserKeyPath[] = "Software\\Kestrane\\RND";
constexpr char kTokenValueName[] = "PlugIn";
constexpr char kTokenValueNameLowerCase[] = "plugin";

// 0x2001F and 0x20019 in the 32-bit product; the user's key is not redirected.
constexpr REGSAM kMachineWriteAccess = KEY_READ | KEY_WRITE | kMachineKeyView;
constexpr REGSAM kMachineReadAccess = KEY_READ | kMachineKeyView;
constexpr REGSAM kUserAccess = KEY_ALL_ACCESS;  // 0xF003F

constexpr DWORD kValueNameCapacity = 260;
constexpr DWORD kValueDataCapacity = 1024;
constexpr std::int32_t kNewTokenLength = 10;

// A registry that never reports the end of a key's values cannot hang a caller.
constexpr DWORD kMaxSearchedValues = 1u << 20;

HKEY CreateKey(HKEY root, const char* path, REGSAM access) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(root, path, 0, nullptr, 0, access, nullptr, &key, &disposition) !=
        ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

HKEY OpenKey(HKEY root, const char* path, REGSAM access) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, access, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

void FlushAndCloseKey(HKEY key) {
    RegFlushKey(key);
    RegCloseKey(key);
}

// The whole returned name is compared: a name holding a zero byte, such as
// "PlugIn\0x", is another value and must not pass for the token's.
bool IsTokenValueName(char* name, DWORD length) {
    for (DWORD i = 0; i < length; ++i) {
        if (name[i] >= 'A' && name[i] <= 'Z') {
            name[i] = static_cast<char>(name[i] - 'A' + 'a');
        }
    }
    return length == sizeof kTokenValueNameLowerCase - 1 &&
           std::memcmp(name, kTokenValueNameLowerCase, length) == 0;
}

// Stored data with and without a terminating zero read as the same token.
std::size_t TokenLength(const BYTE* data, DWORD size) {
    const void* zero = std::memchr(data, 0, size);
    return zero != nullptr ? static_cast<std::size_t>(static_cast<const BYTE*>(zero) - data) : size;
}

// The machine key when it can only be read: a stored token is used, none is created.
const char* ReadMachineTokenReadOnly() {
    HKEY key = OpenKey(HKEY_LOCAL_MACHINE, kMachineKeyPath, kMachineReadAccess);
    if (key == nullptr) {
        return kEmptyText;
    }
    const char* token = FindPlugInValue(key);
    FlushAndCloseKey(key);
    return token;
}

struct TokenSearch {
    const char* token;  // a fresh copy, or the shared empty text
    bool copyFailed;    // a non-empty token is stored but the heap could not copy it
};

TokenSearch SearchTokenValue(HKEY key) {
    for (DWORD index = 0; index < kMaxSearchedValues; ++index) {
        char name[kValueNameCapacity];
        BYTE data[kValueDataCapacity];
        DWORD nameLength = kValueNameCapacity;
        DWORD dataSize = kValueDataCapacity;
        DWORD type = 0;
        const LONG status =
            RegEnumValueA(key, index, name, &nameLength, nullptr, &type, data, &dataSize);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status == ERROR_SUCCESS && nameLength < kValueNameCapacity &&
            dataSize <= kValueDataCapacity && IsTokenValueName(name, nameLength)) {
            const std::size_t length = TokenLength(data, dataSize);
            const char* copy = CopyText(reinterpret_cast<const char*>(data), length);
            return {copy, copy == kEmptyText && length != 0};
        }
    }
    return {kEmptyText, false};
}

}  // namespace

const char* FindPlugInValue(HKEY key) {
    return SearchTokenValue(key).token;
}

const char* ReadOrCreateToken(HKEY key) {
    const TokenSearch found = SearchTokenValue(key);
    const char* token = found.token;
    // A stored token that could not be copied is left in place: replacing it
    // would change every later identifier for good.
    if (token[0] == '\0' && !found.copyFailed) {
        FreeText(token);
        token = GenerateRandomToken(kNewTokenLength);
        // A token that could not be allocated is not written; the result of the
        // write itself does not matter: the new token serves this call either way.
        if (token != kEmptyText) {
            RegSetValueExA(key, kTokenValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(token),
                           kNewTokenLength);
        }
    }
    FlushAndCloseKey(key);
    return token;
}

const char* GetMachineToken() {
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kMachineKeyPath, kMachineWriteAccess);
    if (key != nullptr) {
        return ReadOrCreateToken(key);
    }
    return ReadMachineTokenReadOnly();
}

const char* GetUserToken() {
    HKEY key = CreateKey(HKEY_CURRENT_USER, kUserKeyPath, kUserAccess);
    if (key == nullptr) {
        return kEmptyText;
    }
    return ReadOrCreateToken(key);
}

int IsInstalled() {
    HKEY key = OpenKey(HKEY_LOCAL_MACHINE, kMachineKeyPath, kMachineReadAccess);
    if (key == nullptr) {
        return 0;
    }
    const TokenSearch found = SearchTokenValue(key);
    UniqueText token(found.token);
    // A token that exists but could not be copied still answers 1.
    const int installed = token.get()[0] != '\0' || found.copyFailed ? 1 : 0;
    FlushAndCloseKey(key);
    return installed;
}

}  // namespace engine
