// The DLL loaded and unloaded over and over, as a browser does when it frees
// idle servers and later loads them again: every cycle must work, give back
// everything it took (its TLS slots above all: the platform has about a
// thousand, and a process that runs out dies) and leave the process's memory
// where it was. And a load that finds no TLS slot left fails cleanly.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "memory_growth.h"
#include "talvenor_client.h"
#include "talvenor_dll.h"
#include "type_library_suite.h"
#include "wine_machine.h"

namespace {

using test_support::ITalvenorTable;
using test_support::kIidITalvenor;

// Under wine64, more cycles than the platform has TLS slots, so that a load
// that kept one slot would exhaust them within the run. The 32-bit build runs
// in the emulated guest, where a cycle (a load from the shared folder, the
// type library found again, two derivations) takes over 100 ms: fewer
// cycles there, and the first free TLS index still tells a kept slot from the
// first cycle on.
constexpr int kReloadCycles = sizeof(void*) == 8 ? 3000 : 300;
constexpr int kWarmUpCycles = 50;

// The index the next TlsAlloc would hand out, which moves up for good when a
// load keeps a slot.
DWORD FirstFreeTlsIndex() {
    const DWORD index = TlsAlloc();
    TlsFree(index);
    return index;
}

// The values every cycle must read, worked out without the DLL.
struct ExpectedMembers {
    std::string identifier;
    std::string computerName;
};

ExpectedMembers Expect() {
    return {test_support::ExpectedIdentifierForStoredTokens("abc"),
            test_support::ThisComputerName()};
}

std::string Text(BSTR text) {
    std::string narrow = test_support::NarrowText(text);
    SysFreeString(text);
    return narrow;
}

// Reads all four members through the interface table, as a compiled client does.
bool MembersAnswerByTable(ITalvenorTable* object, const ExpectedMembers& expected) {
    BSTR name = nullptr;
    BSTR version = nullptr;
    LONG installed = -1;
    const bool answered = object->ComputerName(&name) == S_OK &&
                          object->Version(&version) == S_OK &&
                          object->TestInstallation(&installed) == S_OK;
    return answered && test_support::IdentifierByTable(object, L"abc") == expected.identifier &&
           Text(name) == expected.computerName && Text(version) == "1.0.0.4" && installed == 1;
}

// Reads all four members by name, as a script engine does.
bool MembersAnswerByName(IDispatch* object, const ExpectedMembers& expected) {
    return test_support::IdentifierByName(object, L"abc") == expected.identifier &&
           test_support::ReadByName(object, L"ComputerName") == expected.computerName &&
           test_support::ReadByName(object, L"TestInstallation") == "1" &&
           test_support::ReadByName(object, L"Version") == "1.0.0.4";
}

// One cycle: load, create, read every member both ways, release, ask to
// unload, unload. False when any step does not answer as expected.
bool LoadCallUnload(const ExpectedMembers& expected) {
    bool answered = false;
    {
        test_support::TalvenorDll dll;
        if (!dll.loaded()) {
            return false;
        }
        ITalvenorTable* object = dll.Create<ITalvenorTable>(kIidITalvenor);
        if (object == nullptr) {
            return false;
        }
        answered = MembersAnswerByTable(object, expected) && MembersAnswerByName(object, expected);
        answered = object->Release() == 0 && answered;
        answered = dll.canUnloadNow() == S_OK && answered;
    }
    // Really unloaded, not kept by a reference left behind.
    return answered && GetModuleHandleA(test_support::kDllPath) == nullptr;
}

using Reloads = test_support::TypeLibrarySuite;

TEST_F(Reloads, EveryCycleWorksAndGivesBackItsTlsSlotsAndMemory) {
    ASSERT_TRUE(typeLibraryRegistered_);
    ASSERT_GT(test_support::PrivateMemory(), 0) << "the platform reports no process memory";
    {
        // The first derivation stores the tokens the expected values need.
        test_support::TalvenorDll dll;
        ITalvenorTable* object = dll.Create<ITalvenorTable>(kIidITalvenor);
        ASSERT_NE(object, nullptr);
        test_support::IdentifierByTable(object, L"abc");
        object->Release();
    }
    const ExpectedMembers expected = Expect();
    ASSERT_EQ(expected.identifier.size(), 74u);
    for (int i = 0; i < kWarmUpCycles; ++i) {
        ASSERT_TRUE(LoadCallUnload(expected)) << "warm-up cycle " << i;
    }

    const DWORD firstFreeIndex = FirstFreeTlsIndex();
    const test_support::SlicedRun run =
        test_support::RunInSlices(kReloadCycles, [&](int) { return LoadCallUnload(expected); });
    EXPECT_EQ(FirstFreeTlsIndex(), firstFreeIndex);
    test_support::ExpectFlat(run, kReloadCycles, "load, call and unload cycles");
}

// With the process's TLS slots used up but for `freeSlots`, a load succeeds
// only when both of the module's slots are there, and a failed load gives back
// the one it may have taken.
TEST_F(Reloads, LoadFailsCleanlyWithoutTlsSlots) {
    struct Case {
        int freeSlots;
        bool loads;
    };
    constexpr Case kCases[] = {{0, false}, {1, false}, {2, true}};
    for (const Case& c : kCases) {
        const DWORD firstFreeIndex = FirstFreeTlsIndex();
        std::vector<DWORD> taken;
        for (DWORD index = TlsAlloc(); index != TLS_OUT_OF_INDEXES; index = TlsAlloc()) {
            taken.push_back(index);
        }
        ASSERT_GE(taken.size(), 2u);
        for (int i = 0; i < c.freeSlots; ++i) {
            TlsFree(taken.back());
            taken.pop_back();
        }
        bool loaded = false;
        std::string version;
        {
            test_support::TalvenorDll dll;
            loaded = dll.loaded();
            if (loaded) {
                ITalvenorTable* object = dll.Create<ITalvenorTable>(kIidITalvenor);
                BSTR text = nullptr;
                if (object != nullptr && object->Version(&text) == S_OK) {
                    version = Text(text);
                }
                if (object != nullptr) {
                    object->Release();
                }
            }
        }
        for (const DWORD index : taken) {
            TlsFree(index);
        }
        EXPECT_EQ(loaded, c.loads) << c.freeSlots << " free slots";
        EXPECT_EQ(version, c.loads ? "1.0.0.4" : "") << c.freeSlots << " free slots";
        EXPECT_EQ(FirstFreeTlsIndex(), firstFreeIndex) << c.freeSlots << " free slots";
    }
    test_support::TalvenorDll dll;
    EXPECT_TRUE(dll.loaded()) << "the DLL loads again once slots are free";
}

}  // namespace
