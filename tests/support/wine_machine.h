// Facts of the Wine prefix that Windows tests check the component against,
// read with plain Win32 calls: the fixed C: volume serial and the stored tokens.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace test_support {

constexpr char kMachineTokenKey[] = "SOFTWARE\\Kestrane\\RND";
constexpr char kUserTokenKey[] = "Software\\Kestrane\\RND";

// Both builds keep the machine token in the 32-bit view of HKEY_LOCAL_MACHINE,
// so the helpers below read and write that root there, from either build,
// unless they are given another view.
inline REGSAM ViewOf(HKEY root, REGSAM view = 0) {
    if (view != 0) {
        return view;
    }
    return root == HKEY_LOCAL_MACHINE ? KEY_WOW64_32KEY : 0;
}

// The serial the test prefix fixes in C:\.windows-serial (hexadecimal text).
inline std::uint32_t PrefixVolumeSerial() {
    std::FILE* file = std::fopen("C:\\.windows-serial", "r");
    unsigned serial = 0;
    if (file != nullptr) {
        if (std::fscanf(file, "%x", &serial) != 1) {
            serial = 0;
        }
        std::fclose(file);
    }
    return serial;
}

// Windows paths compare without regard to letter case.
inline std::string Lower(std::string text) {
    CharLowerBuffA(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

// The string data of `valueName` under root\path; empty when absent.
inline std::string ReadRegistryString(HKEY root, const char* path, const char* valueName,
                                      REGSAM view = 0) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ | ViewOf(root, view), &key) != ERROR_SUCCESS) {
        return std::string();
    }
    char data[4096];
    DWORD size = sizeof data - 1;
    const LONG status =
        RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        return std::string();
    }
    data[size] = '\0';
    return std::string(data);
}

inline bool RegistryKeyExists(HKEY root, const char* path, REGSAM view = 0) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ | ViewOf(root, view), &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// Stores `data` as the value `valueName` of root\path, creating the key as needed.
inline bool WriteRegistryValue(HKEY root, const char* path, const char* valueName, DWORD type,
                               const std::string& data, REGSAM view = 0) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | ViewOf(root, view), nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG status =
        RegSetValueExA(key, valueName, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                       static_cast<DWORD>(data.size()));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

inline std::string StoredMachineToken() {
    return ReadRegistryString(HKEY_LOCAL_MACHINE, kMachineTokenKey, "PlugIn");
}

inline std::string StoredUserToken() {
    return ReadRegistryString(HKEY_CURRENT_USER, kUserTokenKey, "PlugIn");
}

// Removes both token keys, so the next derivation starts on a machine without tokens.
inline void DeleteTokenKeys() {
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kMachineTokenKey, ViewOf(HKEY_LOCAL_MACHINE), 0);
    RegDeleteKeyA(HKEY_CURRENT_USER, kUserTokenKey);
}

// The NetBIOS name that the platform reports in the prefix, which the
// component's ComputerName must answer.
inline std::string ThisComputerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    GetComputerNameA(name, &size);
    return name;
}

// The NetBIOS name that the platform reports in the prefix, replaced for a
// test and put back afterwards.
class ScopedComputerName {
  public:
    explicit ScopedComputerName(const char* name) {
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | KEY_WRITE, &key_);
        DWORD size = sizeof original_ - 1;
        RegQueryValueExA(key_, "ComputerName", nullptr, nullptr, reinterpret_cast<BYTE*>(original_),
                         &size);
        Set(name);
    }
    ~ScopedComputerName() {
        Set(original_);
        RegCloseKey(key_);
    }
    ScopedComputerName(const ScopedComputerName&) = delete;
    ScopedComputerName& operator=(const ScopedComputerName&) = delete;

  private:
    static constexpr char kKey[] =
        "System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName";
    void Set(const char* name) {
        RegSetValueExA(key_, "ComputerName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                       static_cast<DWORD>(std::strlen(name) + 1));
    }
    HKEY key_ = nullptr;
    char original_[64] = {};
};

}  // namespace test_support
