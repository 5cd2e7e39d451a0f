// DllRegisterServer and DllUnregisterServer. All registry writing is done by
// platform components: the system registrar runs the module's registration
// script, the automation runtime registers the type library, and the component
// categories manager defines the safety categories and marks the class.
#include "registration.h"

#include <comcat.h>
#include <objbase.h>
#include <objsafe.h>
#include <oleauto.h>

#include "com_holders.h"
#include "com_module.h"
#include "registrar.h"
#include "talvenor_idl.h"

namespace {

constexpr UINT kRegistryScriptId = 102;
constexpr wchar_t kRegistryScriptType[] = L"REGISTRY";
constexpr wchar_t kModuleReplacementName[] = L"Module";
constexpr LCID kCategoryDescriptionLocale = 0x409;
constexpr std::size_t kMaxCategoryDescription = 127;

constexpr wchar_t kSafeForInitializingDescription[] =
    L"Controls safely initializable from persistent data!";
constexpr wchar_t kSafeForScriptingDescription[] = L"Controls safely scriptable!";

// Room beyond MAX_PATH for an extension to be replaced by ".tlb".
constexpr std::size_t kTypeLibPathSpare = 10;

using UnRegisterTypeLibFunction = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

// A path that does not fit is cut short but always terminated.
void AnsiPathToWide(const char* path, wchar_t* out, int capacity) {
    out[0] = L'\0';
    MultiByteToWideChar(CP_ACP, 0, path, -1, out, capacity);
    out[capacity - 1] = L'\0';
}

HRESULT RunRegistryScript(UINT resourceId, BOOL doRegister) {
    ComPtr<IRegistrar> registrar;
    HRESULT result = CoCreateInstance(CLSID_SystemRegistrar, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IRegistrar, registrar.put_void());
    if (FAILED(result)) {
        return result;
    }
    // The library is never the process's main executable, so its long path is used.
    // One spare character: a truncated path is not always terminated.
    char path[MAX_PATH + 1] = {};
    GetModuleFileNameA(g_module.m_hInst, path, MAX_PATH);
    // As many units as the path has bytes, and its terminator.
    wchar_t widePath[MAX_PATH + 1] = {};
    AnsiPathToWide(path, widePath, MAX_PATH + 1);
    wchar_t escapedPath[2 * MAX_PATH + 1];
    EscapeSingleQuotes(widePath, escapedPath);

    registrar->AddReplacement(kModuleReplacementName, escapedPath);
    if (doRegister) {
        result = registrar->ResourceRegister(widePath, resourceId, kRegistryScriptType);
    } else {
        result = registrar->ResourceUnregister(widePath, resourceId, kRegistryScriptType);
    }
    return result;
}

// Loads the type library from the module's own file or, failing that, from a
// ".tlb" file of the same name beside it; hands back the path that worked.
HRESULT LoadModuleTypeLib(BSTR* pathOut, ITypeLib** typeLibOut) {
    *pathOut = nullptr;
    *typeLibOut = nullptr;
    char path[MAX_PATH + kTypeLibPathSpare] = {};
    GetModuleFileNameA(g_module.m_hInstTypeLib, path, MAX_PATH);
    wchar_t widePath[MAX_PATH + kTypeLibPathSpare];
    AnsiPathToWide(path, widePath, MAX_PATH + kTypeLibPathSpare);
    HRESULT result = LoadTypeLib(widePath, typeLibOut);
    if (FAILED(result)) {
        // Everything from the last dot on becomes ".tlb"; without a dot it is appended.
        char* extension = nullptr;
        char* position = path;
        for (; *position != '\0'; position = CharNextA(position)) {
            if (*position == '.') {
                extension = position;
            }
        }
        if (extension == nullptr) {
            extension = position;
        }
        lstrcpyA(extension, ".tlb");
        // Only a path without any dot grows here. One that outgrows the platform's
        // path limit is refused: the help folder is cut from it in a buffer of
        // MAX_PATH characters.
        if (lstrlenA(path) >= MAX_PATH) {
            return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
        }
        AnsiPathToWide(path, widePath, MAX_PATH + kTypeLibPathSpare);
        result = LoadTypeLib(widePath, typeLibOut);
    }
    if (SUCCEEDED(result)) {
        *pathOut = SysAllocString(widePath);
        if (*pathOut == nullptr) {
            (*typeLibOut)->Release();
            *typeLibOut = nullptr;
            return E_OUTOFMEMORY;
        }
    }
    return result;
}

HRESULT RegisterModuleTypeLib() {
    UniqueBstr path;
    ComPtr<ITypeLib> typeLib;
    HRESULT result = LoadModuleTypeLib(path.put(), typeLib.put());
    if (FAILED(result)) {
        return result;
    }
    wchar_t helpDirectory[MAX_PATH];
    lstrcpynW(helpDirectory, path.get(), MAX_PATH);
    helpDirectory[DirPartLength(helpDirectory)] = L'\0';
    return RegisterTypeLib(typeLib.get(), path.get(), helpDirectory);
}

void UnregisterModuleTypeLib() {
    UniqueBstr path;
    ComPtr<ITypeLib> typeLib;
    if (FAILED(LoadModuleTypeLib(path.put(), typeLib.put()))) {
        return;
    }
    TLIBATTR* attributes = nullptr;
    if (FAILED(typeLib->GetLibAttr(&attributes))) {
        return;
    }
    // Found at run time, so that a runtime without it still loads the library.
    if (HMODULE automation = LoadLibraryA("oleaut32.dll")) {
        auto unregister = reinterpret_cast<UnRegisterTypeLibFunction>(
            reinterpret_cast<void*>(GetProcAddress(automation, "UnRegisterTypeLib")));
        if (unregister != nullptr) {
            unregister(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                       attributes->lcid, attributes->syskind);
        }
        FreeLibrary(automation);
    }
    typeLib->ReleaseTLibAttr(attributes);
}

// Every category operation works with a manager of its own, released at its end.
HRESULT CreateCategoriesManager(ComPtr<ICatRegister>& manager) {
    return CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                            IID_ICatRegister, manager.put_void());
}

HRESULT CreateCategory(REFCATID category, const wchar_t* description) {
    ComPtr<ICatRegister> manager;
    const HRESULT result = CreateCategoriesManager(manager);
    if (FAILED(result)) {
        return result;
    }
    CATEGORYINFO info = {};
    info.catid = category;
    info.lcid = kCategoryDescriptionLocale;
    lstrcpynW(info.szDescription, description, kMaxCategoryDescription + 1);
    return manager->RegisterCategories(1, &info);
}

HRESULT MarkClassInCategory(REFCLSID classId, REFCATID category, bool implemented) {
    ComPtr<ICatRegister> manager;
    const HRESULT result = CreateCategoriesManager(manager);
    if (FAILED(result)) {
        return result;
    }
    CATID categories[] = {category};
    if (implemented) {
        return manager->RegisterClassImplCategories(classId, 1, categories);
    }
    return manager->UnRegisterClassImplCategories(classId, 1, categories);
}

HRESULT RegisterClassInCategory(REFCLSID classId, REFCATID category) {
    return MarkClassInCategory(classId, category, true);
}

HRESULT UnregisterClassFromCategory(REFCLSID classId, REFCATID category) {
    return MarkClassInCategory(classId, category, false);
}

// Marks or unmarks a class for each category of its list (ended by GUID_NULL).
HRESULT RegisterClassCategories(REFCLSID classId, const CATID* categories, bool doRegister) {
    if (categories == nullptr) {
        return S_OK;
    }
    for (const CATID* category = categories; !IsEqualGUID(*category, GUID_NULL); ++category) {
        const HRESULT result = MarkClassInCategory(classId, *category, doRegister);
        if (FAILED(result)) {
            return result;
        }
    }
    return S_OK;
}

// A class whose description callback names it is not registered by this module.
bool IsRegisteredHere(const ObjectMapEntry& entry) {
    return entry.pfnDescription == nullptr || entry.pfnDescription() == nullptr;
}

HRESULT RegisterClasses() {
    for (ObjectMapEntry* entry = g_module.m_pObjMap; entry->pClassId != nullptr; ++entry) {
        if (!IsRegisteredHere(*entry)) {
            continue;
        }
        HRESULT result = entry->pfnRegistryUpdate(TRUE);
        if (FAILED(result)) {
            return result;
        }
        result = RegisterClassCategories(*entry->pClassId, entry->pfnCategoryMap(), true);
        if (FAILED(result)) {
            return result;
        }
    }
    return RegisterModuleTypeLib();
}

// Best effort: every failure is ignored.
void UnregisterClasses() {
    for (ObjectMapEntry* entry = g_module.m_pObjMap; entry->pClassId != nullptr; ++entry) {
        if (!IsRegisteredHere(*entry)) {
            continue;
        }
        entry->pfnRegistryUpdate(FALSE);
        if (entry->pfnCategoryMap != nullptr) {
            RegisterClassCategories(*entry->pClassId, entry->pfnCategoryMap(), false);
        }
    }
    UnregisterModuleTypeLib();
}

}  // namespace

HRESULT RunTalvenorRegistryScript(BOOL doRegister) {
    return RunRegistryScript(kRegistryScriptId, doRegister);
}

void EscapeSingleQuotes(const wchar_t* text, wchar_t* out) {
    for (; *text != L'\0'; ++text) {
        if (*text == L'\'') {
            *out++ = L'\'';
        }
        *out++ = *text;
    }
    *out = L'\0';
}

int DirPartLength(const wchar_t* path) {
    int length = 0;
    for (int position = 0; path[position] != L'\0'; ++position) {
        if (path[position] == L'\\' || path[position] == L'/' || path[position] == L':') {
            length = position + 1;
        }
    }
    return length;
}

STDAPI DllRegisterServer() {
    HRESULT result = RegisterClasses();
    if (FAILED(result)) {
        return result;
    }
    result = CreateCategory(CATID_SafeForInitializing, kSafeForInitializingDescription);
    if (FAILED(result)) {
        return result;
    }
    result = RegisterClassInCategory(CLSID_Talvenor, CATID_SafeForInitializing);
    if (FAILED(result)) {
        return result;
    }
    result = CreateCategory(CATID_SafeForScripting, kSafeForScriptingDescription);
    if (FAILED(result)) {
        return result;
    }
    result = RegisterClassInCategory(CLSID_Talvenor, CATID_SafeForScripting);
    if (FAILED(result)) {
        return result;
    }
    return S_OK;
}

STDAPI DllUnregisterServer() {
    UnregisterClasses();
    HRESULT result = UnregisterClassFromCategory(CLSID_Talvenor, CATID_SafeForInitializing);
    if (FAILED(result)) {
        return result;
    }
    result = UnregisterClassFromCategory(CLSID_Talvenor, CATID_SafeForScripting);
    if (FAILED(result)) {
        return result;
    }
    return S_OK;
}
