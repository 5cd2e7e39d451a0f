// IObjectSafety of a stand-alone Talvenor object, driven through the built DLL as a
// browser drives it. Each case runs a sequence of calls on a fresh object; every call
// is checked for its result, the values it writes (out values start as sentinels),
// the exact diagnostic lines it sends to the debugger, and an unchanged reference count.
#include <gtest/gtest.h>
#include <windows.h>
#include <objsafe.h>
#include <ocidl.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "talvenor_dll.h"

namespace {

using test_support::DebugOutputCapture;
using test_support::kIidITalvenor;
using test_support::RefCount;
using test_support::TalvenorDll;

constexpr DWORD kUntouched = 0xDEADBEEF;
constexpr DWORD kCaller = INTERFACESAFE_FOR_UNTRUSTED_CALLER;  // 0x1
constexpr DWORD kData = INTERFACESAFE_FOR_UNTRUSTED_DATA;      // 0x2

constexpr char kFailedProbe[] = "Failed to get interface pointer!\n";
constexpr char kNullPointers[] = "Null pointers in the arguments!\n";
constexpr char kNullArguments[] = "Null arguments!\n";
constexpr char kNotSupported[] = "Interface not supported!\n";

struct Step {
    bool isSet;
    const IID* iid;
    // Set: the mask and the enabled set. Get: non-zero asks for the out value.
    DWORD first;
    DWORD second;
    HRESULT expected;
    DWORD supported;  // Get only: expected out values, kUntouched where nothing is written
    DWORD enabled;
    const char* line;  // the one diagnostic line expected, or none
};

Step Get(const IID& iid, HRESULT expected, DWORD supported, DWORD enabled,
         const char* line = nullptr) {
    return {false, &iid, 1, 1, expected, supported, enabled, line};
}
// A Get with null out pointers where `wantSupported` / `wantEnabled` is false.
Step GetNull(const IID& iid, bool wantSupported, bool wantEnabled, HRESULT expected,
             const char* line) {
    return {false, &iid, wantSupported, wantEnabled, expected, kUntouched, kUntouched, line};
}
Step Set(const IID& iid, DWORD mask, DWORD enabled, HRESULT expected, const char* line = nullptr) {
    return {true, &iid, mask, enabled, expected, 0, 0, line};
}

struct SafetyCase {
    const char* name;
    std::vector<Step> steps;
};

const SafetyCase kCases[] = {
    {"FreshObjectSupportsCallerSafetyNotYetEnabled", {Get(IID_IDispatch, S_OK, kCaller, 0)}},
    {"CallerSafetyOnIDispatchIsEnabled",
     {Set(IID_IDispatch, kCaller, kCaller, S_OK), Get(IID_IDispatch, S_OK, kCaller, kCaller)}},
    {"DataSafetyOnIDispatchFailsThenCallerSafetySucceeds",
     {Set(IID_IDispatch, kData, kData, E_FAIL), Get(IID_IDispatch, S_OK, kCaller, 0),
      Set(IID_IDispatch, kCaller, kCaller, S_OK), Get(IID_IDispatch, S_OK, kCaller, kCaller)}},
    {"MaskWiderThanEnabledStoresOnlyTheirCommonBits",
     {Set(IID_IDispatch, kCaller | kData, kCaller, S_OK),
      Get(IID_IDispatch, S_OK, kCaller, kCaller)}},
    {"CallerBitInMaskButNotInEnabledIsNotStored",
     {Set(IID_IDispatch, kCaller | kData, kData, E_FAIL), Get(IID_IDispatch, S_OK, kCaller, 0)}},
    {"CallerBitInEnabledButNotInMaskIsNotStored",
     {Set(IID_IDispatch, kData, kCaller | kData, E_FAIL), Get(IID_IDispatch, S_OK, kCaller, 0),
      Set(IID_IDispatch, kCaller, kData, E_FAIL), Get(IID_IDispatch, S_OK, kCaller, 0)}},
    {"DisjointBitsOnceEnabledStillSucceed",
     {Set(IID_IDispatch, kCaller, kCaller, S_OK), Set(IID_IDispatch, kCaller, kData, S_OK),
      Get(IID_IDispatch, S_OK, kCaller, kCaller)}},
    {"UnclassifiedITalvenorFailsButEnablesCallerSafety",
     {Set(kIidITalvenor, kCaller, kCaller, E_FAIL), Get(IID_IDispatch, S_OK, kCaller, kCaller)}},
    {"UnclassifiedIUnknownFailsButEnablesCallerSafety",
     {Set(IID_IUnknown, kCaller, kCaller, E_FAIL), Get(IID_IDispatch, S_OK, kCaller, kCaller)}},
    {"UnclassifiedIObjectSafetyFailsButEnablesCallerSafety",
     {Set(IID_IObjectSafety, kCaller | kData, kCaller | kData, E_FAIL),
      Get(IID_IDispatch, S_OK, kCaller, kCaller)}},
    {"ZeroMaskOrEnabledSetIsRefusedAndClearsNothing",
     {Set(IID_IDispatch, kCaller, kCaller, S_OK),
      Set(IID_IDispatch, kCaller, 0, E_FAIL, kNullArguments),
      Set(IID_IDispatch, 0, kCaller, E_FAIL, kNullArguments),
      Set(IID_IDispatch, 0, 0, E_FAIL, kNullArguments),
      Get(IID_IDispatch, S_OK, kCaller, kCaller)}},
    {"ZeroArgumentsAreRefusedBeforeTheProbe",
     {Set(IID_IPersistStorage, 0, kData, E_FAIL, kNullArguments),
      Set(IID_IClassFactory, kCaller, 0, E_FAIL, kNullArguments)}},
    {"PersistenceIdentifiersFailAtTheProbe",
     {Get(IID_IPersistStreamInit, E_NOINTERFACE, kUntouched, kUntouched, kFailedProbe),
      Get(IID_IPersistStorage, E_NOINTERFACE, kUntouched, kUntouched, kFailedProbe),
      Get(IID_IPersistPropertyBag, E_NOINTERFACE, kUntouched, kUntouched, kFailedProbe),
      Set(IID_IPersistStreamInit, kCaller | kData, kCaller | kData, E_NOINTERFACE, kNotSupported),
      Set(IID_IPersistStorage, kCaller | kData, kCaller | kData, E_NOINTERFACE, kNotSupported),
      Set(IID_IPersistPropertyBag, kCaller | kData, kCaller | kData, E_NOINTERFACE, kNotSupported),
      Get(IID_IDispatch, S_OK, kCaller, 0)}},
    {"UnansweredIdentifierFailsAtTheProbe",
     {Get(IID_IClassFactory, E_NOINTERFACE, kUntouched, kUntouched, kFailedProbe),
      Set(IID_IClassFactory, kCaller, kCaller, E_NOINTERFACE, kNotSupported),
      Get(IID_IDispatch, S_OK, kCaller, 0)}},
    {"UnclassifiedIdentifiersReportNothing",
     {Set(IID_IDispatch, kCaller, kCaller, S_OK), Get(IID_IUnknown, E_FAIL, 0, 0),
      Get(IID_ISupportErrorInfo, E_FAIL, 0, 0), Get(kIidITalvenor, E_FAIL, 0, 0),
      Get(IID_IObjectSafety, E_FAIL, 0, 0)}},
    {"NullOutPointerWritesNothing",
     {GetNull(IID_IDispatch, false, true, E_FAIL, kNullPointers),
      GetNull(IID_IDispatch, true, false, E_FAIL, kNullPointers),
      GetNull(IID_IDispatch, false, false, E_FAIL, kNullPointers),
      GetNull(IID_IUnknown, false, false, E_FAIL, kNullPointers)}},
    {"ProbeDecidesBeforeTheNullPointerTest",
     {GetNull(IID_IPersistPropertyBag, false, false, E_NOINTERFACE, kFailedProbe),
      GetNull(IID_IClassFactory, true, false, E_NOINTERFACE, kFailedProbe)}},
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const SafetyCase& c, std::ostream* os) {
    *os << c.name;
}

class ObjectSafetyTest : public ::testing::TestWithParam<SafetyCase> {
  protected:
    static void SetUpTestSuite() { dll_ = std::make_unique<TalvenorDll>(); }
    static void TearDownTestSuite() { dll_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(dll_->loaded()) << test_support::kDllPath;
        safety_ = dll_->Create<IObjectSafety>(IID_IObjectSafety);
        ASSERT_NE(safety_, nullptr);
    }
    void TearDown() override {
        if (safety_ != nullptr) {
            EXPECT_EQ(safety_->Release(), 0u);
        }
    }

    static std::unique_ptr<TalvenorDll> dll_;
    IObjectSafety* safety_ = nullptr;
};
std::unique_ptr<TalvenorDll> ObjectSafetyTest::dll_;

TEST_P(ObjectSafetyTest, Sequence) {
    const std::vector<Step>& steps = GetParam().steps;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        const ULONG countBefore = RefCount(safety_);
        DWORD supported = kUntouched;
        DWORD enabled = kUntouched;
        HRESULT result;
        std::vector<std::string> lines;
        {
            DebugOutputCapture capture;
            if (step.isSet) {
                result = safety_->SetInterfaceSafetyOptions(*step.iid, step.first, step.second);
            } else {
                result = safety_->GetInterfaceSafetyOptions(
                    *step.iid, step.first ? &supported : nullptr, step.second ? &enabled : nullptr);
            }
            lines = capture.writes();
        }
        EXPECT_EQ(result, step.expected);
        if (!step.isSet) {
            EXPECT_EQ(supported, step.supported);
            EXPECT_EQ(enabled, step.enabled);
        }
        const std::vector<std::string> expectedLines =
            step.line != nullptr ? std::vector<std::string>{step.line} : std::vector<std::string>{};
        EXPECT_EQ(lines, expectedLines);
        EXPECT_EQ(RefCount(safety_), countBefore);
    }
}

INSTANTIATE_TEST_SUITE_P(StandaloneObject, ObjectSafetyTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<SafetyCase>& info) {
                             return std::string(info.param.name);
                         });

// The options belong to one object: another object starts with none enabled.
TEST_F(ObjectSafetyTest, EnabledOptionsArePerObject) {
    ASSERT_EQ(safety_->SetInterfaceSafetyOptions(IID_IDispatch, kCaller, kCaller), S_OK);
    IObjectSafety* other = dll_->Create<IObjectSafety>(IID_IObjectSafety);
    ASSERT_NE(other, nullptr);
    DWORD supported = kUntouched;
    DWORD enabled = kUntouched;
    EXPECT_EQ(other->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, kCaller);
    EXPECT_EQ(enabled, 0u);
    EXPECT_EQ(other->Release(), 0u);
}

}  // namespace
