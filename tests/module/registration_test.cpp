// Self-registration through the platform's regsvr32: what the registry holds
// after registering and after unregistering the built DLL.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "child_process.h"
#include "talvenor_dll.h"
#include "wine_machine.h"

namespace {

using test_support::kDllPath;
using test_support::Lower;
using test_support::ReadRegistryString;
using test_support::RunProcess;

constexpr char kClsid[] = "{9BAC30D5-A416-40C2-810B-D55B31413BB4}";
constexpr char kLibid[] = "{3DFCA7D6-BD9A-4AE0-8887-B207E218D666}";
constexpr char kSafeForScripting[] = "{7DD95801-9882-11CF-9FA9-00AA006C42C4}";
constexpr char kSafeForInitializing[] = "{7DD95802-9882-11CF-9FA9-00AA006C42C4}";
const char* const kTypeLibPlatform = sizeof(void*) == 8 ? "win64" : "win32";

std::string Join(const std::string& a, const std::string& b) {
    return a + "\\" + b;
}

const std::string kClassKey = Join("CLSID", kClsid);
const std::string kTypeLibVersionKey = Join(Join("TypeLib", kLibid), "1.0");
// What makes the class creatable. The class key itself may outlive unregistration:
// the registrar deletes keys one level at a time, and the categories manager
// unmarks the class only after the script ran, leaving "Implemented Categories"
// in the way.
const std::string kServerKey = Join(kClassKey, "InprocServer32");

bool ClassesKeyExists(const std::string& path) {
    return test_support::RegistryKeyExists(HKEY_CLASSES_ROOT, path.c_str());
}

// The default value of a key under HKEY_CLASSES_ROOT, or a value named `name`.
std::string ClassesValue(const std::string& path, const char* name = nullptr) {
    return ReadRegistryString(HKEY_CLASSES_ROOT, path.c_str(), name);
}

DWORD RegSvr32(const std::string& dllPath, bool unregister = false) {
    return RunProcess(std::string("regsvr32.exe /s ") + (unregister ? "/u " : "") + "\"" + dllPath +
                      "\"")
        .exitCode;
}

// Copies the built DLL to `folder` (created on the C: drive) and returns its path.
std::string CopyDllTo(const std::string& folder) {
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string path = Join(folder, "ieTalvenor.DLL");
    EXPECT_TRUE(CopyFileA(kDllPath, path.c_str(), FALSE)) << path;
    return path;
}

// Replaces the type library resource by bytes that are no type library, so the
// library can only be found in a ".tlb" file.
void SpoilTypeLibResource(const std::string& dllPath) {
    static const BYTE kNotATypeLibrary[16] = {'n', 'o', 't', ' ', 'a', ' ', 't', 'l', 'b'};
    HANDLE update = BeginUpdateResourceA(dllPath.c_str(), FALSE);
    ASSERT_NE(update, nullptr);
    ASSERT_TRUE(UpdateResourceA(update, "TYPELIB", MAKEINTRESOURCEA(1),
                                MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MODERN),
                                const_cast<BYTE*>(kNotATypeLibrary), sizeof kNotATypeLibrary));
    ASSERT_TRUE(EndUpdateResourceA(update, FALSE));
}

class Registration : public ::testing::Test {
  protected:
    void TearDown() override { RegSvr32(kDllPath, true); }
};

TEST_F(Registration, WritesTheClassTypeLibraryAndCategories) {
    ASSERT_EQ(RegSvr32(kDllPath), 0u);

    const struct {
        std::string key;
        const char* name;
        std::string expected;
    } values[] = {
        {"IeTalvenor.Talvenor.1", nullptr, "Talvenor Class"},
        {"IeTalvenor.Talvenor.1\\CLSID", nullptr, kClsid},
        {"IeTalvenor.Talvenor", nullptr, "Talvenor Class"},
        {"IeTalvenor.Talvenor\\CLSID", nullptr, kClsid},
        {kClassKey, nullptr, "Talvenor Class"},
        {Join(kClassKey, "ProgID"), nullptr, "IeTalvenor.Talvenor.1"},
        {Join(kClassKey, "VersionIndependentProgID"), nullptr, "IeTalvenor.Talvenor"},
        {kServerKey, "ThreadingModel", "both"},
        {kTypeLibVersionKey, nullptr, "ieTalvenor 1.0 Type Library"},
        {Join(Join("Component Categories", kSafeForScripting), ""), "409",
         "Controls safely scriptable!"},
        {Join(Join("Component Categories", kSafeForInitializing), ""), "409",
         "Controls safely initializable from persistent data!"},
    };
    for (const auto& value : values) {
        EXPECT_EQ(ClassesValue(value.key, value.name), value.expected) << value.key;
    }

    // Paths as the module's loader saw them.
    std::string dllPath = kDllPath;
    const std::string folder = dllPath.substr(0, dllPath.rfind('\\') + 1);
    EXPECT_EQ(Lower(ClassesValue(kServerKey)), Lower(dllPath));
    EXPECT_EQ(Lower(ClassesValue(Join(Join(kTypeLibVersionKey, "0"), kTypeLibPlatform))),
              Lower(dllPath));
    EXPECT_EQ(Lower(ClassesValue(Join(kTypeLibVersionKey, "HELPDIR"))), Lower(folder));

    for (const char* category : {kSafeForScripting, kSafeForInitializing}) {
        EXPECT_TRUE(ClassesKeyExists(Join(Join(kClassKey, "Implemented Categories"), category)))
            << category;
    }
}

TEST_F(Registration, UnregisteringRemovesWhatRegisteringWroteAndKeepsTheRest) {
    test_support::DeleteTokenKeys();
    ASSERT_TRUE(test_support::WriteRegistryValue(HKEY_LOCAL_MACHINE, test_support::kMachineTokenKey,
                                                 "PlugIn", REG_SZ, "Kept000001"));

    ASSERT_EQ(RegSvr32(kDllPath), 0u);
    ASSERT_EQ(RegSvr32(kDllPath, true), 0u);

    for (const std::string& gone :
         {std::string("IeTalvenor.Talvenor.1"), std::string("IeTalvenor.Talvenor"), kServerKey,
          Join(kClassKey, "ProgID"), Join(kClassKey, "VersionIndependentProgID"),
          Join(Join(kClassKey, "Implemented Categories"), kSafeForScripting),
          Join(Join(kClassKey, "Implemented Categories"), kSafeForInitializing),
          kTypeLibVersionKey}) {
        EXPECT_FALSE(ClassesKeyExists(gone)) << gone;
    }
    for (const std::string& kept :
         {std::string("CLSID"), Join("Component Categories", kSafeForScripting),
          Join("Component Categories", kSafeForInitializing)}) {
        EXPECT_TRUE(ClassesKeyExists(kept)) << kept;
    }
    EXPECT_EQ(test_support::StoredMachineToken(), "Kept000001");
    test_support::DeleteTokenKeys();
}

TEST_F(Registration, RegisteringAndUnregisteringTwiceBothSucceed) {
    EXPECT_EQ(RegSvr32(kDllPath), 0u);
    EXPECT_EQ(RegSvr32(kDllPath), 0u);
    EXPECT_EQ(ClassesValue(kClassKey), "Talvenor Class");
    EXPECT_EQ(RegSvr32(kDllPath, true), 0u);
    EXPECT_EQ(RegSvr32(kDllPath, true), 0u);
    EXPECT_FALSE(ClassesKeyExists(kServerKey));
}

TEST_F(Registration, FolderWithASingleQuoteIsRegisteredWithItsPath) {
    const std::string dllPath = CopyDllTo("C:\\Owner's files");
    ASSERT_EQ(RegSvr32(dllPath), 0u);
    EXPECT_EQ(Lower(ClassesValue(kServerKey)), Lower(dllPath));
    EXPECT_EQ(RegSvr32(dllPath, true), 0u);
    EXPECT_FALSE(ClassesKeyExists(kServerKey));
}

TEST_F(Registration, TypeLibraryFoundOnlyBesideTheDllIsRegisteredFromThere) {
    const std::string folder = "C:\\separate typelib";
    const std::string dllPath = CopyDllTo(folder);
    SpoilTypeLibResource(dllPath);
    const std::string tlbPath = Join(folder, "ieTalvenor.tlb");
    ASSERT_TRUE(CopyFileA(TALVENOR_TYPELIB_PATH, tlbPath.c_str(), FALSE));

    ASSERT_EQ(RegSvr32(dllPath), 0u);
    EXPECT_EQ(Lower(ClassesValue(Join(Join(kTypeLibVersionKey, "0"), kTypeLibPlatform))),
              Lower(tlbPath));
    EXPECT_EQ(Lower(ClassesValue(Join(kTypeLibVersionKey, "HELPDIR"))), Lower(folder + "\\"));
    EXPECT_EQ(RegSvr32(dllPath, true), 0u);
    EXPECT_FALSE(ClassesKeyExists(kTypeLibVersionKey));
}

TEST_F(Registration, TypeLibraryFoundNowhereFailsAfterTheScriptAndBeforeTheCategories) {
    const std::string dllPath = CopyDllTo("C:\\no typelib");
    SpoilTypeLibResource(dllPath);

    EXPECT_NE(RegSvr32(dllPath), 0u);
    EXPECT_EQ(ClassesValue(kClassKey), "Talvenor Class") << "the script ran first";
    EXPECT_FALSE(ClassesKeyExists(kTypeLibVersionKey));
    EXPECT_FALSE(ClassesKeyExists(Join(kClassKey, "Implemented Categories")));
    RegSvr32(dllPath, true);
}

// A library path without any dot gets ".tlb" appended when its type library is
// looked for beside it; a path that would then reach the platform's path limit
// is refused, before any buffer of that size is filled from it.
TEST_F(Registration, TypeLibraryPathBeyondThePathLimitIsRefused) {
    std::string folder = "C:";
    while (folder.size() < 200) {
        folder += "\\abcdefghij";
        CreateDirectoryA(folder.c_str(), nullptr);
    }
    std::string dllPath = folder + "\\ieTalvenor";
    dllPath.resize(257, 'X');  // 261 characters with ".tlb" appended
    ASSERT_TRUE(CopyFileA(kDllPath, dllPath.c_str(), FALSE));
    SpoilTypeLibResource(dllPath);
    ASSERT_TRUE(CopyFileA(TALVENOR_TYPELIB_PATH, (dllPath + ".tlb").c_str(), FALSE));

    // A trailing dot keeps the loader from adding ".dll"; the module's own
    // file name has none.
    HMODULE library = LoadLibraryA((dllPath + ".").c_str());
    ASSERT_NE(library, nullptr);
    auto registerServer = reinterpret_cast<HRESULT(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(library, "DllRegisterServer")));
    auto unregisterServer = reinterpret_cast<HRESULT(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(library, "DllUnregisterServer")));
    {
        test_support::ComApartment apartment;
        EXPECT_EQ(registerServer(), HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE));
        EXPECT_FALSE(ClassesKeyExists(kTypeLibVersionKey));
        unregisterServer();
    }
    FreeLibrary(library);
}

}  // namespace
