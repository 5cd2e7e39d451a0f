#include "derivation_platform_calls.h"

#include <windows.h>

namespace bench {

namespace {

constexpr char kVolumeRoot[] = "c:\\";
constexpr char kMachineKeyPath[] = "SOFTWARE\\Kestrane\\RND";
constexpr char kUserKeyPath[] = "Software\\Kestrane\\RND";
// The machine key in the 32-bit registry view, as the DLL opens it.
constexpr REGSAM kMachineAccess = KEY_READ | KEY_WRITE | KEY_WOW64_32KEY;
constexpr REGSAM kUserAccess = KEY_ALL_ACCESS;  // 0xF003F
constexpr char kTokenValueName[] = "plugin";
constexpr DWORD kValueNameCapacity = 260;
constexpr DWORD kValueDataCapacity = 1024;
// The DLL's own bound on the values it looks through.
constexpr DWORD kMaxSearchedValues = 1u << 20;

// An ASCII comparison that ignores letter case, as cheap as the DLL's own, so
// that the floor holds no more than the platform's work.
bool IsTokenValueName(const char* name) {
    for (const char* expected = kTokenValueName;; ++name, ++expected) {
        const char letter = (*name >= 'A' && *name <= 'Z') ? static_cast<char>(*name + 32) : *name;
        if (letter != *expected) {
            return false;
        }
        if (letter == '\0') {
            return true;
        }
    }
}

bool FindTokenValue(HKEY key) {
    for (DWORD index = 0; index < kMaxSearchedValues; ++index) {
        char name[kValueNameCapacity];
        BYTE data[kValueDataCapacity];
        DWORD nameLength = kValueNameCapacity;
        DWORD dataSize = kValueDataCapacity;
        DWORD type = 0;
        const LONG status =
            RegEnumValueA(key, index, name, &nameLength, nullptr, &type, data, &dataSize);
        if (status == ERROR_NO_MORE_ITEMS) {
            return false;
        }
        if (status == ERROR_SUCCESS && IsTokenValueName(name)) {
            return true;
        }
    }
    return false;
}

bool ReadTokenKey(HKEY root, const char* path, REGSAM access) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(root, path, 0, nullptr, 0, access, nullptr, &key, &disposition) !=
        ERROR_SUCCESS) {
        return false;
    }
    const bool found = FindTokenValue(key);
    RegFlushKey(key);
    RegCloseKey(key);
    return found;
}

}  // namespace

bool MakeTheCallsOfOneDerivation() {
    DWORD serial = 0;
    if (!GetVolumeInformationA(kVolumeRoot, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
        return false;
    }
    const bool machineTokenFound =
        ReadTokenKey(HKEY_LOCAL_MACHINE, kMachineKeyPath, kMachineAccess);
    const bool userTokenFound = ReadTokenKey(HKEY_CURRENT_USER, kUserKeyPath, kUserAccess);
    return machineTokenFound && userTokenFound;
}

}  // namespace bench
