// Long runs of calls that must leave the process's private memory where it
// was: identifiers derived over and over, salts refused over and over, calls
// by name, and objects and class factories made and released by the ten
// thousand. A call that loses one heap block (a BSTR, an engine text, a salt
// buffer, an object) grows the process by far more than the limit over such a
// run; the first test checks that the counter used sees such growth at all.
#include <gtest/gtest.h>
#include <objsafe.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "memory_growth.h"
#include "talvenor_client.h"
#include "talvenor_dll.h"
#include "type_library_suite.h"
#include "wine_machine.h"

namespace {

using test_support::ITalvenorTable;
using test_support::kClsidTalvenor;
using test_support::kIidITalvenor;
using test_support::MemoryGrowth;
using test_support::RunInSlices;
using test_support::SlicedRun;

// Enough calls before each measurement for the heap, the automation runtime's
// string cache and the type information to reach their steady state.
constexpr int kWarmUpCalls = 2000;

// Each derivation reads the volume serial and both tokens from the platform,
// which takes about a millisecond under wine64 and ten in the 32-bit guest,
// so derivations are repeated fewer times than the cheap calls. The smallest
// block of Wine's heap takes 16 bytes in a 32-bit process and 32 in a 64-bit
// one, so a derivation that loses even one block grows a slice of 3,000
// derivations by more than the limit.
constexpr int kDerivingCalls = 15000;
// Refused salts never reach the registry, so they are cheap to repeat.
constexpr int kRefusingCalls = 200000;
constexpr int kCallsByName = 50000;
constexpr int kCreateReleaseCycles = 50000;

// A host object that aggregates Talvenor and answers only its own IUnknown.
// It lives on the stack of one create-and-release cycle.
class Outer : public IUnknown {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (IsEqualGUID(iid, IID_IUnknown)) {
            *out = static_cast<IUnknown*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

class Leaks : public test_support::TypeLibrarySuite {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dll_.loaded()) << test_support::kDllPath;
        ASSERT_GT(test_support::PrivateMemory(), 0) << "the platform reports no process memory";
    }

    // One create-and-release cycle as a host makes it: the class factory, a
    // stand-alone object asked for its interfaces and safety, an aggregated
    // object, everything released again. False when a step fails.
    bool CreateAndRelease() const {
        IClassFactory* factory = nullptr;
        if (dll_.getClassObject(kClsidTalvenor, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory)) != S_OK) {
            return false;
        }
        bool succeeded = true;
        IUnknown* object = nullptr;
        if (factory->CreateInstance(nullptr, kIidITalvenor, reinterpret_cast<void**>(&object)) ==
            S_OK) {
            IObjectSafety* safety = nullptr;
            if (object->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)) ==
                S_OK) {
                succeeded = safety->SetInterfaceSafetyOptions(
                                IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                INTERFACESAFE_FOR_UNTRUSTED_CALLER) == S_OK;
                safety->Release();
            } else {
                succeeded = false;
            }
            succeeded = object->Release() == 0 && succeeded;
        } else {
            succeeded = false;
        }
        Outer outer;
        IUnknown* inner = nullptr;
        if (factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)) ==
            S_OK) {
            succeeded = inner->Release() == 0 && succeeded;
        } else {
            succeeded = false;
        }
        factory->Release();
        return succeeded;
    }

    test_support::TalvenorDll dll_;
};

// Without this the other tests could pass on a counter that never moves.
TEST_F(Leaks, CounterSeesADeliberateLeak) {
    constexpr int kBlocks = 200000;
    constexpr std::size_t kBlockSize = 16;
    MemoryGrowth growth;
    for (int i = 0; i < kBlocks; ++i) {
        // Written to, so that the page is really used; never freed, because
        // freed blocks would be reused by the later tests and hide their leaks.
        char* volatile block = static_cast<char*>(std::malloc(kBlockSize));
        block[0] = 1;
    }
    EXPECT_GE(growth.bytes(), static_cast<std::int64_t>(kBlocks * kBlockSize));
}

TEST_F(Leaks, DerivingIdentifiersKeepsMemoryFlat) {
    ITalvenorTable* object = dll_.Create<ITalvenorTable>(kIidITalvenor);
    ASSERT_NE(object, nullptr);
    test_support::OwnedBstr salt(L"abc");
    BSTR identifier = nullptr;  // handed back on every call: the member frees it first
    for (int i = 0; i < kWarmUpCalls; ++i) {
        object->getID(salt.address(), &identifier);
    }
    const std::string expected = test_support::ExpectedIdentifierForStoredTokens("abc");
    ASSERT_EQ(test_support::NarrowText(identifier), expected);

    const SlicedRun run = RunInSlices(kDerivingCalls, [&](int) {
        return object->getID(salt.address(), &identifier) == S_OK && identifier != nullptr;
    });
    EXPECT_EQ(test_support::NarrowText(identifier), expected);
    SysFreeString(identifier);
    EXPECT_EQ(object->Release(), 0u);
    test_support::ExpectFlat(run, kDerivingCalls, "derivations");
}

TEST_F(Leaks, RefusingSaltsKeepsMemoryFlat) {
    ITalvenorTable* object = dll_.Create<ITalvenorTable>(kIidITalvenor);
    ASSERT_NE(object, nullptr);
    // Converted into a buffer and then refused: one character too many, and a
    // character that has no byte of its own.
    test_support::OwnedBstr tooLong(std::wstring(256, L's'));
    test_support::OwnedBstr unconvertible(L"ab\u0100");
    test_support::OwnedBstr empty(L"");
    BSTR* const salts[] = {tooLong.address(), unconvertible.address(), empty.address()};
    constexpr int kSalts = sizeof salts / sizeof salts[0];
    BSTR identifier = nullptr;
    for (int i = 0; i < kWarmUpCalls; ++i) {
        object->getID(salts[i % kSalts], &identifier);
    }

    const SlicedRun run = RunInSlices(kRefusingCalls, [&](int i) {
        return object->getID(salts[i % kSalts], &identifier) == S_OK && identifier == nullptr;
    });
    SysFreeString(identifier);
    EXPECT_EQ(object->Release(), 0u);
    test_support::ExpectFlat(run, kRefusingCalls, "refused salts");
}

TEST_F(Leaks, CallsByNameKeepMemoryFlat) {
    ASSERT_TRUE(typeLibraryRegistered_);
    IDispatch* object = dll_.Create<IDispatch>(IID_IDispatch);
    ASSERT_NE(object, nullptr);
    const std::wstring refusedSalt(256, L'n');
    const auto callByName = [&](int i) {
        return i % 2 == 0 ? test_support::ReadByName(object, L"Version") == "1.0.0.4"
                          : test_support::IdentifierByName(object, refusedSalt).empty();
    };
    for (int i = 0; i < kWarmUpCalls; ++i) {
        callByName(i);
    }

    const SlicedRun run = RunInSlices(kCallsByName, callByName);
    EXPECT_EQ(object->Release(), 0u);
    test_support::ExpectFlat(run, kCallsByName, "calls by name");
}

TEST_F(Leaks, CreatingAndReleasingObjectsKeepsMemoryFlat) {
    for (int i = 0; i < kWarmUpCalls; ++i) {
        CreateAndRelease();
    }

    const SlicedRun run =
        RunInSlices(kCreateReleaseCycles, [&](int) { return CreateAndRelease(); });
    EXPECT_EQ(dll_.canUnloadNow(), S_OK);
    test_support::ExpectFlat(run, kCreateReleaseCycles, "create-and-release cycles");
}

}  // namespace
