// What only a 64-bit Windows running both builds can show: the 32-bit product
// and the 64-bit build registered side by side, each in its own registry view,
// and one machine identifier for a 32-bit and a 64-bit browser on one machine.
// A 32-bit program, run in the guest's WoW64 prefix; the 64-bit DLL comes from
// the win64 build, and the browsers are the example script in the 32-bit and
// the 64-bit script host.
#include <gtest/gtest.h>
#include <windows.h>

#include <sstream>
#include <string>

#include "child_process.h"
#include "reference_identifier.h"
#include "talvenor_dll.h"
#include "wine_machine.h"

namespace {

using test_support::kMachineTokenKey;
using test_support::Lower;
using test_support::RunProcess;

constexpr char kClassServerKey[] = "CLSID\\{9BAC30D5-A416-40C2-810B-D55B31413BB4}\\InprocServer32";
constexpr char kTypeLibKey[] = "TypeLib\\{3DFCA7D6-BD9A-4AE0-8887-B207E218D666}\\1.0\\0\\";

struct Build {
    const char* name;
    const char* dll;
    // A 32-bit program reaches the 64-bit tools through "sysnative".
    const char* tools;
    REGSAM view;
    const char* typeLibPlatform;
};
const Build k32Bit = {"32-bit", test_support::kDllPath, "C:\\windows\\syswow64\\", KEY_WOW64_32KEY,
                      "win32"};
const Build k64Bit = {"64-bit", TALVENOR_WIN64_DLL_PATH, "C:\\windows\\sysnative\\",
                      KEY_WOW64_64KEY, "win64"};

DWORD RegSvr32(const Build& build, const char* options) {
    return RunProcess(std::string(build.tools) + "regsvr32.exe " + options + " \"" + build.dll +
                      "\"")
        .exitCode;
}

// The default value of a key under HKEY_CLASSES_ROOT in the build's registry view.
std::string ClassesValue(const Build& build, const std::string& path) {
    return test_support::ReadRegistryString(HKEY_CLASSES_ROOT, path.c_str(), nullptr, build.view);
}

// getID(salt) as the example script prints it in the build's own script host.
std::string BrowserIdentifier(const Build& build, const std::string& salt) {
    const test_support::ProcessResult result = RunProcess(
        std::string(build.tools) + "cscript.exe //nologo \"" TALVENOR_EXAMPLE_SCRIPT "\" " + salt);
    EXPECT_EQ(result.exitCode, 0u) << build.name << ": " << result.output;
    const std::string prefix = "getID(\"" + salt + "\") = ";
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return line.substr(prefix.size());
        }
    }
    ADD_FAILURE() << build.name << " script host printed no identifier: " << result.output;
    return std::string();
}

class Wow64 : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(GetFileAttributesA(k64Bit.dll), INVALID_FILE_ATTRIBUTES)
            << k64Bit.dll << ": build the win64 preset first";
        ASSERT_EQ(RegSvr32(k32Bit, "/s"), 0u);
        ASSERT_EQ(RegSvr32(k64Bit, "/s"), 0u);
    }
    void TearDown() override {
        RegSvr32(k32Bit, "/s /u");
        RegSvr32(k64Bit, "/s /u");
    }

    // A first derivation in one browser creates the tokens, the machine's in
    // the 32-bit view alone; the other browser then gives the same identifier.
    static void OneMachineOneIdentifier(const Build& first, const Build& second) {
        ASSERT_TRUE(test_support::StoredMachineToken().empty()) << "a fresh prefix has no tokens";
        ASSERT_FALSE(
            test_support::RegistryKeyExists(HKEY_LOCAL_MACHINE, kMachineTokenKey, KEY_WOW64_64KEY));
        const std::string salt = "one-machine";
        const std::string identifier = BrowserIdentifier(first, salt);
        const std::string machineToken = test_support::StoredMachineToken();
        const std::string userToken = test_support::StoredUserToken();
        ASSERT_EQ(machineToken.size(), 10u) << first.name << " stores the machine token";
        EXPECT_FALSE(
            test_support::RegistryKeyExists(HKEY_LOCAL_MACHINE, kMachineTokenKey, KEY_WOW64_64KEY))
            << "the machine token is in the 32-bit view only";
        EXPECT_EQ(identifier, test_support::ReferenceIdentifier(test_support::PrefixVolumeSerial(),
                                                                machineToken, userToken, salt));

        EXPECT_EQ(BrowserIdentifier(second, salt), identifier) << second.name;
        EXPECT_EQ(test_support::StoredMachineToken(), machineToken);
        EXPECT_EQ(test_support::StoredUserToken(), userToken);
    }
};

TEST_F(Wow64, EachBuildIsRegisteredInItsOwnView) {
    for (const Build* build : {&k32Bit, &k64Bit}) {
        EXPECT_EQ(Lower(ClassesValue(*build, kClassServerKey)), Lower(build->dll)) << build->name;
        EXPECT_EQ(Lower(ClassesValue(*build, std::string(kTypeLibKey) + build->typeLibPlatform)),
                  Lower(build->dll))
            << build->name;
    }
    ASSERT_EQ(RegSvr32(k64Bit, "/s /u"), 0u);
    EXPECT_EQ(ClassesValue(k64Bit, kClassServerKey), "");
    EXPECT_EQ(Lower(ClassesValue(k32Bit, kClassServerKey)), Lower(k32Bit.dll))
        << "unregistering the 64-bit build leaves the 32-bit one";
}

TEST_F(Wow64, ThirtyTwoBitBrowserFirst) {
    OneMachineOneIdentifier(k32Bit, k64Bit);
}

TEST_F(Wow64, SixtyFourBitBrowserFirst) {
    OneMachineOneIdentifier(k64Bit, k32Bit);
}

}  // namespace
