// Self-registration when the platform's parts fail: the DLL is loaded into the
// test and its imports of CoCreateInstance, GetProcAddress and
// GetModuleFileNameA are redirected, so that the registrar or the categories
// manager cannot be created, a category call fails, UnRegisterTypeLib is
// missing, or the module's path fills the whole buffer.
#include <gtest/gtest.h>
#include <comcat.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "import_redirect.h"
#include "registrar.h"
#include "talvenor_dll.h"
#include "wine_machine.h"

namespace {

using test_support::FindExport;
using test_support::ImportRedirect;

constexpr HRESULT kCreationRefused = REGDB_E_CLASSNOTREG;
constexpr HRESULT kCallRefused = E_ACCESSDENIED;
constexpr char kServerKey[] = "CLSID\\{9BAC30D5-A416-40C2-810B-D55B31413BB4}\\InprocServer32";
constexpr char kTypeLibKey[] = "TypeLib\\{3DFCA7D6-BD9A-4AE0-8887-B207E218D666}\\1.0";

bool ClassesKeyExists(const char* path) {
    return test_support::RegistryKeyExists(HKEY_CLASSES_ROOT, path);
}

// Hands out a COM object that lives as long as the test: its count is ignored.
template <class Interface>
HRESULT HandOut(Interface* object, REFIID iid, REFIID wanted, void** out) {
    if (!IsEqualIID(wanted, iid) && !IsEqualIID(wanted, IID_IUnknown)) {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    *out = object;
    return S_OK;
}

// A categories manager that records its calls and refuses the call numbered
// `refusedCall` (from 1; 0 refuses none), touching no registry.
class RecordingCategories : public ICatRegister {
  public:
    std::vector<std::string> calls;
    size_t refusedCall = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return HandOut(this, IID_ICatRegister, iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE RegisterCategories(ULONG, CATEGORYINFO*) override {
        return Record("RegisterCategories");
    }
    HRESULT STDMETHODCALLTYPE UnRegisterCategories(ULONG, CATID*) override {
        return Record("UnRegisterCategories");
    }
    HRESULT STDMETHODCALLTYPE RegisterClassImplCategories(REFCLSID, ULONG, CATID*) override {
        return Record("RegisterClassImplCategories");
    }
    HRESULT STDMETHODCALLTYPE UnRegisterClassImplCategories(REFCLSID, ULONG, CATID*) override {
        return Record("UnRegisterClassImplCategories");
    }
    HRESULT STDMETHODCALLTYPE RegisterClassReqCategories(REFCLSID, ULONG, CATID*) override {
        return Record("RegisterClassReqCategories");
    }
    HRESULT STDMETHODCALLTYPE UnRegisterClassReqCategories(REFCLSID, ULONG, CATID*) override {
        return Record("UnRegisterClassReqCategories");
    }

  private:
    HRESULT Record(const char* call) {
        calls.push_back(call);
        return calls.size() == refusedCall ? kCallRefused : S_OK;
    }
};

// A registrar that keeps the module path it is given and runs no script.
class RecordingRegistrar : public IRegistrar {
  public:
    std::wstring resourceFile;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return HandOut(this, IID_IRegistrar, iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ClearReplacements() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ResourceRegisterSz(LPCOLESTR, LPCOLESTR, LPCOLESTR) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ResourceUnregisterSz(LPCOLESTR, LPCOLESTR, LPCOLESTR) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FileRegister(LPCOLESTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FileUnregister(LPCOLESTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StringRegister(LPCOLESTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StringUnregister(LPCOLESTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ResourceRegister(LPCOLESTR file, UINT, LPCOLESTR) override {
        // Read no further than a terminated path of the platform's limit may reach.
        resourceFile.assign(file, wcsnlen(file, 2 * MAX_PATH));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ResourceUnregister(LPCOLESTR, UINT, LPCOLESTR) override {
        return E_NOTIMPL;
    }
};

// What the redirected platform functions do; the test sets it for each case.
struct Platform {
    bool refuseRegistrar = false;
    bool refuseCategoriesManager = false;
    RecordingCategories categories;
    RecordingRegistrar* registrar = nullptr;  // null: the system registrar
    bool withoutUnRegisterTypeLib = false;
    bool moduleFileNameFillsTheBuffer = false;
};
Platform g_platform;

using CoCreateInstanceFunction = HRESULT(WINAPI*)(REFCLSID, IUnknown*, DWORD, REFIID, void**);
using GetProcAddressFunction = FARPROC(WINAPI*)(HMODULE, LPCSTR);

const auto g_realCoCreateInstance =
    reinterpret_cast<CoCreateInstanceFunction>(FindExport("ole32.dll", "CoCreateInstance"));
const auto g_realGetProcAddress =
    reinterpret_cast<GetProcAddressFunction>(FindExport("kernel32.dll", "GetProcAddress"));

HRESULT WINAPI CoCreateInstanceAsSet(REFCLSID classId, IUnknown* outer, DWORD context, REFIID iid,
                                     void** out) {
    if (IsEqualCLSID(classId, CLSID_SystemRegistrar)) {
        if (g_platform.refuseRegistrar) {
            *out = nullptr;
            return kCreationRefused;
        }
        if (g_platform.registrar != nullptr) {
            return g_platform.registrar->QueryInterface(iid, out);
        }
    }
    if (IsEqualCLSID(classId, CLSID_StdComponentCategoriesMgr)) {
        if (g_platform.refuseCategoriesManager) {
            *out = nullptr;
            return kCreationRefused;
        }
        return g_platform.categories.QueryInterface(iid, out);
    }
    return g_realCoCreateInstance(classId, outer, context, iid, out);
}

FARPROC WINAPI GetProcAddressAsSet(HMODULE module, LPCSTR name) {
    if (g_platform.withoutUnRegisterTypeLib && HIWORD(name) != 0 &&
        std::strcmp(name, "UnRegisterTypeLib") == 0) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return g_realGetProcAddress(module, name);
}

// Fills the whole buffer with a path and reports it cut short, as the
// platform does for a path of the buffer's length or longer.
DWORD WINAPI GetModuleFileNameAsSet(HMODULE module, LPSTR path, DWORD size) {
    if (!g_platform.moduleFileNameFillsTheBuffer) {
        return GetModuleFileNameA(module, path, size);
    }
    std::memset(path, 'a', size);
    std::memcpy(path, "C:\\", 3);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

class RegistrationFailures : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dll_.loaded());
        g_platform = Platform();
        for (ImportRedirect* redirect : {&coCreateInstance_, &getProcAddress_, &moduleFileName_}) {
            ASSERT_TRUE(redirect->found());
            redirect->Install();
        }
    }
    void TearDown() override {
        g_platform = Platform();
        dll_.unregisterServer();
    }

    test_support::ComApartment apartment_;
    test_support::TalvenorDll dll_;
    ImportRedirect coCreateInstance_{dll_.module(), reinterpret_cast<void*>(g_realCoCreateInstance),
                                     reinterpret_cast<void*>(&CoCreateInstanceAsSet)};
    ImportRedirect getProcAddress_{dll_.module(), reinterpret_cast<void*>(g_realGetProcAddress),
                                   reinterpret_cast<void*>(&GetProcAddressAsSet)};
    ImportRedirect moduleFileName_{dll_.module(), FindExport("kernel32.dll", "GetModuleFileNameA"),
                                   reinterpret_cast<void*>(&GetModuleFileNameAsSet)};
};

TEST_F(RegistrationFailures, RegistrarThatCannotBeCreatedStopsEverything) {
    g_platform.refuseRegistrar = true;
    EXPECT_EQ(dll_.registerServer(), kCreationRefused);
    EXPECT_FALSE(ClassesKeyExists(kServerKey));
    EXPECT_FALSE(ClassesKeyExists(kTypeLibKey));
    EXPECT_TRUE(g_platform.categories.calls.empty());
}

TEST_F(RegistrationFailures, CategoriesManagerThatCannotBeCreatedFailsAfterTheTypeLibrary) {
    g_platform.refuseCategoriesManager = true;
    EXPECT_EQ(dll_.registerServer(), kCreationRefused);
    EXPECT_TRUE(ClassesKeyExists(kServerKey));
    EXPECT_TRUE(ClassesKeyExists(kTypeLibKey));
}

// The four category steps run in order; the first that fails ends registration.
TEST_F(RegistrationFailures, FailedCategoryStepSkipsTheLaterOnes) {
    const std::vector<std::string> steps = {"RegisterCategories", "RegisterClassImplCategories",
                                            "RegisterCategories", "RegisterClassImplCategories"};
    for (size_t refused = 1; refused <= steps.size(); ++refused) {
        SCOPED_TRACE(refused);
        g_platform.categories = RecordingCategories();
        g_platform.categories.refusedCall = refused;
        EXPECT_EQ(dll_.registerServer(), kCallRefused);
        EXPECT_EQ(g_platform.categories.calls,
                  std::vector<std::string>(steps.begin(), steps.begin() + refused));
    }
    g_platform.categories = RecordingCategories();
    EXPECT_EQ(dll_.registerServer(), S_OK);
    EXPECT_EQ(g_platform.categories.calls, steps);
}

TEST_F(RegistrationFailures, MissingUnRegisterTypeLibLeavesTheLibraryAndReportsNoFailure) {
    ASSERT_EQ(dll_.registerServer(), S_OK);
    g_platform.withoutUnRegisterTypeLib = true;
    EXPECT_EQ(dll_.unregisterServer(), S_OK);
    EXPECT_FALSE(ClassesKeyExists(kServerKey));
    EXPECT_TRUE(ClassesKeyExists(kTypeLibKey));
    g_platform.withoutUnRegisterTypeLib = false;
    dll_.unregisterServer();
    EXPECT_FALSE(ClassesKeyExists(kTypeLibKey));
}

// A module path that fills the platform's whole buffer reaches the registrar
// terminated, at its full length.
TEST_F(RegistrationFailures, ModulePathOfTheFullBufferReachesTheRegistrarTerminated) {
    RecordingRegistrar registrar;
    g_platform.registrar = &registrar;
    g_platform.moduleFileNameFillsTheBuffer = true;
    // The type library cannot be found at that path; the script has run by then.
    EXPECT_TRUE(FAILED(dll_.registerServer()));
    EXPECT_EQ(registrar.resourceFile, L"C:\\" + std::wstring(MAX_PATH - 3, L'a'));
}

}  // namespace
