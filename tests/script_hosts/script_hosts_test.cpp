// The registered component in the platform's own script hosts and as a browser
// drives it. Every identifier is checked against one the test derives itself
// from the prefix's volume serial and the tokens read with the platform's reg tool.
#include <gtest/gtest.h>
#include <objsafe.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "process_memory.h"
#include "reference_identifier.h"
#include "script_output.h"
#include "talvenor_client.h"
#include "talvenor_dll.h"
#include "verify.h"
#include "wine_machine.h"

namespace {

using test_support::RunProcess;

// The "PlugIn" token under `key` as the platform's reg tool prints it, in the
// 32-bit registry view, where both builds keep the machine token.
std::string TokenFromRegTool(const std::string& key) {
    const std::string output = RunProcess("reg.exe query \"" + key + "\" /v PlugIn /reg:32").output;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, type, data;
        if (fields >> name >> type >> data && name == "PlugIn" && type == "REG_SZ") {
            return data;
        }
    }
    return std::string();
}

// The identifier for `salt` on this machine, for the current tokens.
std::string ExpectedIdentifier(const std::string& salt) {
    const std::string machineToken = TokenFromRegTool("HKLM\\SOFTWARE\\Kestrane\\RND");
    const std::string userToken = TokenFromRegTool("HKCU\\Software\\Kestrane\\RND");
    EXPECT_EQ(machineToken.size(), 10u);
    EXPECT_EQ(userToken.size(), 10u);
    return test_support::ReferenceIdentifier(test_support::PrefixVolumeSerial(), machineToken,
                                             userToken, salt);
}

// What a site's server reads back from an identifier the component gave a
// script: this machine's volume serial and both stored tokens.
void ExpectServerDecodes(const std::string& identifier, const std::string& salt) {
    const verifier::Verification decoded = verifier::Verify(identifier, salt);
    ASSERT_TRUE(decoded.Valid()) << verifier::ReasonName(decoded.reason);
    EXPECT_EQ(decoded.volumeSerial, test_support::PrefixVolumeSerial());
    EXPECT_EQ(decoded.MachineToken(), test_support::StoredMachineToken());
    EXPECT_EQ(decoded.UserToken(), test_support::StoredUserToken());
}

// The hosts' command line for a script of this folder.
std::string ScriptCommand(const std::string& script, const std::string& arguments = "") {
    return "cscript.exe //nologo \"" TALVENOR_SCRIPT_DIR "\\" + script + "\" " + arguments;
}

// name=value lines of a script's output, which must end with "end=ok".
std::map<std::string, std::string> RunScript(const std::string& script) {
    std::map<std::string, std::string> values = test_support::RunScriptHost(ScriptCommand(script));
    EXPECT_EQ(values["end"], "ok") << script << " did not run to its end:\n" << values["output"];
    return values;
}

class ScriptHosts : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        test_support::DeleteTokenKeys();
        registration_ = std::make_unique<test_support::RegisteredDll>();
        ASSERT_TRUE(registration_->registered());
    }
    static void TearDownTestSuite() {
        registration_.reset();
        test_support::DeleteTokenKeys();
    }

  private:
    static std::unique_ptr<test_support::RegisteredDll> registration_;
};

std::unique_ptr<test_support::RegisteredDll> ScriptHosts::registration_;

TEST_F(ScriptHosts, JScriptReadsEveryMember) {
    const auto values = RunScript("read_members.js");
    const std::string salt255(255, 's');
    const struct {
        const char* key;
        std::string salt;  // empty: the member yields no identifier
    } identifiers[] = {
        {"getID.0", "abc"}, {"getID.1", "x"},       {"getID.2", salt255},
        {"getID.3", ""},    {"getID.4", "caf\xE9"}, {"getID.5", "ab"},
        {"getID.6", ""},    {"getID.7", ""},        {"getID.independent", "abc"},
    };
    for (const auto& identifier : identifiers) {
        ASSERT_EQ(values.count(identifier.key), 1u) << identifier.key;
        const std::string expected =
            identifier.salt.empty() ? std::string() : ExpectedIdentifier(identifier.salt);
        EXPECT_EQ(values.at(identifier.key), expected) << identifier.key;
        if (!expected.empty()) {
            ExpectServerDecodes(values.at(identifier.key), identifier.salt);
        }
    }
    EXPECT_EQ(values.at("getID.2").size(), 74u);
    EXPECT_EQ(values.at("installedBefore"), "0");
    EXPECT_EQ(values.at("TestInstallation"), "1");
    EXPECT_EQ(values.at("TestInstallation.type"), "number");
    EXPECT_EQ(values.at("ComputerName"), test_support::ThisComputerName());
    EXPECT_EQ(values.at("Version"), "1.0.0.4");
}

TEST_F(ScriptHosts, VBScriptReadsEveryMember) {
    const auto values = RunScript("read_members.vbs");
    const struct {
        const char* key;
        std::string salt;
    } identifiers[] = {
        {"getID.0", "abc"}, {"getID.1", "\xE9"}, {"getID.2", std::string(255, 'v')},
        {"getID.3", "ab"},  {"getID.4", ""},
    };
    for (const auto& identifier : identifiers) {
        ASSERT_EQ(values.count(identifier.key), 1u) << identifier.key;
        const std::string expected =
            identifier.salt.empty() ? std::string() : ExpectedIdentifier(identifier.salt);
        EXPECT_EQ(values.at(identifier.key), expected) << identifier.key;
        if (!expected.empty()) {
            ExpectServerDecodes(values.at(identifier.key), identifier.salt);
        }
    }
    EXPECT_EQ(values.at("TestInstallation"), "1");
    EXPECT_EQ(values.at("TestInstallation.type"), "Long");
    EXPECT_EQ(values.at("ComputerName"), test_support::ThisComputerName());
    EXPECT_EQ(values.at("Version"), "1.0.0.4");
}

// getID as script authors call it: a statement that only creates the tokens,
// a salt held in a variable of any kind, in parentheses or literal, all giving
// one identifier; and calls that must fail with a script error, not harm the
// host: extra or missing arguments, and a salt whose conversion to text calls
// getID with itself again.
TEST_F(ScriptHosts, CallsAsScriptAuthorsWriteThem) {
    const struct {
        const char* script;
        std::vector<std::string> identifierForms;
        std::map<std::string, std::string> otherValues;
    } languages[] = {
        {"script_calls.js",
         {"literal", "variable", "parenthesised", "afterRecursion", "reassignedSalt"},
         {{"versionCalled", "1.0.0.4"},
          {"heldAfterCall", "null"},
          {"extraArgument", "error 8002000E"},  // DISP_E_BADPARAMCOUNT
          {"noArgument", "error 8002000E"},
          {"versionWithArgument", "error 8002000E"},
          {"recursiveSalt", "error 80020005"}}},  // DISP_E_TYPEMISMATCH
        {"script_calls.vbs",
         {"literal", "variable", "parenthesised", "byReference", "byValue", "local", "arrayElement",
          "afterRecursion", "reassignedSalt"},
         {{"variableAfterCalls", "my-site-salt"},
          // Held until getID had derived, so it saw the machine token.
          {"installedWhenFreed", "1"},
          {"extraArgument", "error 1C2"},  // "Wrong number of arguments"
          {"versionWithArgument", "error 1C2"},
          {"recursiveSalt", "error D"}}},  // "Type mismatch"
    };
    for (const auto& language : languages) {
        SCOPED_TRACE(language.script);
        test_support::DeleteTokenKeys();
        auto values = RunScript(language.script);
        EXPECT_EQ(values["installedAfterStatement"], "1");
        const std::string expected = ExpectedIdentifier("my-site-salt");
        for (const std::string& form : language.identifierForms) {
            EXPECT_EQ(values[form], expected) << form;
        }
        for (const auto& value : language.otherValues) {
            EXPECT_EQ(values[value.first], value.second) << value.first;
        }
    }
}

// Thousands of hostile calls (salts of 100,000 characters, extra arguments,
// refused salts, objects whose conversion throws) leave the host's memory as
// it was after a first batch of the same calls.
TEST_F(ScriptHosts, HostileCallsLeaveTheHostsMemoryFlat) {
    constexpr std::int64_t kGrowthLimit = 1024 * 1024;
    constexpr DWORD kTimeoutMilliseconds = 300000;
    for (const char* script : {"hostile_loop.js", "hostile_loop.vbs"}) {
        SCOPED_TRACE(script);
        std::int64_t warm = -1;
        std::int64_t done = -1;
        // Each batch ends with a line and a pause, in which the memory is read.
        const auto readMemoryAfterEachBatch = [&](const std::string& output, HANDLE host) {
            if (warm < 0 && output.find("warm") != std::string::npos) {
                warm = test_support::PrivateMemory(host);
            } else if (done < 0 && output.find("done") != std::string::npos) {
                done = test_support::PrivateMemory(host);
            }
        };
        test_support::ChildProcess host(ScriptCommand(script, "500"));
        const test_support::ProcessResult result =
            host.Finish(kTimeoutMilliseconds, readMemoryAfterEachBatch);
        ASSERT_NE(result.output.find("end=ok"), std::string::npos) << result.output;
        ASSERT_GT(warm, 0) << "the host's memory could not be read";
        EXPECT_LT(done - warm, kGrowthLimit);
        std::printf(
            "%s: host memory %lld bytes after the first batch, grew by %lld over the "
            "second\n",
            script, static_cast<long long>(warm), static_cast<long long>(done - warm));
    }
}

// As a browser does: create the registered class, enable both safety options
// for IDispatch, then read the members by name.
TEST_F(ScriptHosts, BrowserEnablesSafetyAndReadsThroughIDispatch) {
    test_support::ComApartment apartment;
    IDispatch* object = nullptr;
    ASSERT_EQ(CoCreateInstance(test_support::kClsidTalvenor, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IDispatch, reinterpret_cast<void**>(&object)),
              S_OK);
    IObjectSafety* safety = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
    const DWORD bothOptions = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, bothOptions, bothOptions), S_OK);
    DWORD supported = 0;
    DWORD enabled = 0;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER));
    EXPECT_EQ(enabled, static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER));
    safety->Release();

    const struct {
        const wchar_t* name;
        const wchar_t* salt;  // null: read without an argument
        VARTYPE type;
    } members[] = {
        {L"getID", L"abc", VT_BSTR},
        {L"ComputerName", nullptr, VT_BSTR},
        {L"TestInstallation", nullptr, VT_I4},
        {L"Version", nullptr, VT_BSTR},
    };
    std::map<std::wstring, VARIANT> results;
    for (const auto& member : members) {
        LPOLESTR name = const_cast<LPOLESTR>(member.name);
        DISPID dispid = DISPID_UNKNOWN;
        ASSERT_EQ(object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid), S_OK);
        VARIANT argument;
        VariantInit(&argument);
        DISPPARAMS parameters = {nullptr, nullptr, 0, 0};
        if (member.salt != nullptr) {
            argument.vt = VT_BSTR;
            argument.bstrVal = SysAllocString(member.salt);
            parameters = {&argument, nullptr, 1, 0};
        }
        VARIANT result;
        VariantInit(&result);
        EXPECT_EQ(object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT,
                                 DISPATCH_METHOD | DISPATCH_PROPERTYGET, &parameters, &result,
                                 nullptr, nullptr),
                  S_OK)
            << member.name;
        EXPECT_EQ(result.vt, member.type) << member.name;
        VariantClear(&argument);
        results[member.name] = result;
    }
    char identifier[128] = {};
    WideCharToMultiByte(CP_ACP, 0, results[L"getID"].bstrVal, -1, identifier, sizeof identifier,
                        nullptr, nullptr);
    EXPECT_EQ(std::string(identifier), ExpectedIdentifier("abc"));
    EXPECT_EQ(results[L"TestInstallation"].lVal, 1);
    EXPECT_STREQ(results[L"Version"].bstrVal, L"1.0.0.4");
    for (auto& entry : results) {
        VariantClear(&entry.second);
    }
    object->Release();
}

}  // namespace
