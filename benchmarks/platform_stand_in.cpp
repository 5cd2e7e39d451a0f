#include "platform_stand_in.h"

#include <cstring>

namespace bench {

namespace {

constexpr char kVolumeRoot[] = "c:\\";
constexpr char kMachineKeyPath[] = "SOFTWARE\\Kestrane\\RND";
constexpr char kUserKeyPath[] = "Software\\Kestrane\\RND";
constexpr char kTokenValueName[] = "PlugIn";

// The handles the stand-in hands out; never passed to the platform.
HKEY const kMachineKey = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x5EED0001));
HKEY const kUserKey = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x5EED0002));

struct StoredToken {
    std::vector<BYTE> data;  // as stored, with a terminator if the writer left one
    DWORD type = REG_SZ;
};

DWORD g_serial = 0;
StoredToken g_machineToken;
StoredToken g_userToken;

bool ReadToken(HKEY root, const char* path, StoredToken* token) {
    HKEY key = nullptr;
    // The machine token is in the 32-bit registry view, where the DLL keeps it.
    const REGSAM view = root == HKEY_LOCAL_MACHINE ? KEY_WOW64_32KEY : 0;
    if (RegOpenKeyExA(root, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
        return false;
    }
    BYTE data[1024];
    DWORD size = sizeof data;
    const LONG status = RegQueryValueExA(key, kTokenValueName, nullptr, &token->type, data, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || size == 0) {
        return false;
    }
    token->data.assign(data, data + size);
    return true;
}

BOOL WINAPI StandInGetVolumeInformationA(LPCSTR, LPSTR, DWORD, LPDWORD serial, LPDWORD, LPDWORD,
                                         LPSTR, DWORD) {
    if (serial != nullptr) {
        *serial = g_serial;
    }
    return TRUE;
}

HKEY StandInKey(HKEY root) {
    return root == HKEY_LOCAL_MACHINE ? kMachineKey : kUserKey;
}

LONG WINAPI StandInRegCreateKeyExA(HKEY root, LPCSTR, DWORD, LPSTR, DWORD, REGSAM,
                                   LPSECURITY_ATTRIBUTES, PHKEY key, LPDWORD disposition) {
    *key = StandInKey(root);
    if (disposition != nullptr) {
        *disposition = REG_OPENED_EXISTING_KEY;
    }
    return ERROR_SUCCESS;
}

LONG WINAPI StandInRegOpenKeyExA(HKEY root, LPCSTR, DWORD, REGSAM, PHKEY key) {
    *key = StandInKey(root);
    return ERROR_SUCCESS;
}

// The token is the key's one value, at index 0.
LONG WINAPI StandInRegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD,
                                 LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    if (index > 0) {
        return ERROR_NO_MORE_ITEMS;
    }
    const StoredToken& token = key == kMachineKey ? g_machineToken : g_userToken;
    const DWORD length = sizeof kTokenValueName - 1;
    if (*nameLength <= length || (data != nullptr && *dataSize < token.data.size())) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, kTokenValueName, sizeof kTokenValueName);
    *nameLength = length;
    if (type != nullptr) {
        *type = token.type;
    }
    if (data != nullptr) {
        std::memcpy(data, token.data.data(), token.data.size());
        *dataSize = static_cast<DWORD>(token.data.size());
    }
    return ERROR_SUCCESS;
}

LONG WINAPI StandInRegSetValueExA(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) {
    return ERROR_SUCCESS;
}

LONG WINAPI StandInRegFlushKey(HKEY) {
    return ERROR_SUCCESS;
}

LONG WINAPI StandInRegCloseKey(HKEY) {
    return ERROR_SUCCESS;
}

struct StandInImport {
    const char* module;
    const char* function;
    void* standIn;
};

// Each stand-in is cast to its real function's type first: one of another
// calling convention would not compile.
const StandInImport kStandInImports[] = {
    {"kernel32.dll", "GetVolumeInformationA",
     reinterpret_cast<void*>(
         static_cast<decltype(&GetVolumeInformationA)>(&StandInGetVolumeInformationA))},
    {"advapi32.dll", "RegCreateKeyExA",
     reinterpret_cast<void*>(static_cast<decltype(&RegCreateKeyExA)>(&StandInRegCreateKeyExA))},
    {"advapi32.dll", "RegOpenKeyExA",
     reinterpret_cast<void*>(static_cast<decltype(&RegOpenKeyExA)>(&StandInRegOpenKeyExA))},
    {"advapi32.dll", "RegEnumValueA",
     reinterpret_cast<void*>(static_cast<decltype(&RegEnumValueA)>(&StandInRegEnumValueA))},
    {"advapi32.dll", "RegSetValueExA",
     reinterpret_cast<void*>(static_cast<decltype(&RegSetValueExA)>(&StandInRegSetValueExA))},
    {"advapi32.dll", "RegFlushKey",
     reinterpret_cast<void*>(static_cast<decltype(&RegFlushKey)>(&StandInRegFlushKey))},
    {"advapi32.dll", "RegCloseKey",
     reinterpret_cast<void*>(static_cast<decltype(&RegCloseKey)>(&StandInRegCloseKey))},
};

}  // namespace

PlatformStandIn::PlatformStandIn(HMODULE module) {
    ready_ =
        GetVolumeInformationA(kVolumeRoot, nullptr, 0, &g_serial, nullptr, nullptr, nullptr, 0) &&
        ReadToken(HKEY_LOCAL_MACHINE, kMachineKeyPath, &g_machineToken) &&
        ReadToken(HKEY_CURRENT_USER, kUserKeyPath, &g_userToken);
    for (const StandInImport& import : kStandInImports) {
        auto redirect = std::make_unique<test_support::ImportRedirect>(
            module, test_support::FindExport(import.module, import.function), import.standIn);
        if (redirect->found()) {
            redirects_.push_back(std::move(redirect));
        }
    }
}

PlatformStandIn::~PlatformStandIn() {
    Restore();
}

void PlatformStandIn::Install() {
    if (ready_) {
        for (const auto& redirect : redirects_) {
            redirect->Install();
        }
    }
}

void PlatformStandIn::Restore() {
    for (const auto& redirect : redirects_) {
        redirect->Restore();
    }
}

}  // namespace bench
