// The engine under platform failures: every registry call, and every allocation
// from the engine's heap, failing in turn during one derivation.
//
// Each table covers every call of its run exactly once (checked against a run
// without failures), so a call the engine adds later cannot go untested. The
// expected identifiers were computed by a separate Python script from the
// derivation rules (worked_values.h).
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine_text.h"
#include "fake_platform.h"
#include "machine_id.h"
#include "random_token.h"
#include "token_store.h"
#include "worked_values.h"

namespace {

using fake::Fn;

using worked::kClock;
using worked::kMachinePath;
using worked::kSerial;
using worked::kUserPath;

constexpr char kSalt[] = "abc";
// The first and second tokens that the clock's seed generates.
constexpr const char* kT1 = worked::kClockFirstToken;
constexpr const char* kT2 = worked::kClockSecondToken;
constexpr char kStoredMachine[] = "Mach1neTok";
constexpr char kStoredUser[] = "UserTok123";

// Identifiers for salt "abc" and serial 0x1234ABCD, by machine and user token.
constexpr const char* kIdT1T2 = worked::kClockTokensId;
constexpr char kIdStored[] =
    "2953515256222321272C030009530D04360C0A37100410370E0952535151525B2427535624";
constexpr char kIdT1StoredUser[] =
    "2953515256222321270F13550954522B01263437100410370E0952535151525B2427535450";
constexpr char kIdStoredMachineT1[] =
    "2953515256222321272C030009530D04360C0A0C12570A55502800243751525B242753575A";

constexpr LONG kDenied = ERROR_ACCESS_DENIED;
constexpr LONG kMoreData = ERROR_MORE_DATA;

std::optional<std::string> StoredToken(HKEY root, const char* path) {
    const auto value = fake::FindValue(root, path, "PlugIn");
    return value ? std::optional<std::string>(value->data) : std::nullopt;
}

// A registry with both tokens stored, or an empty one (a first run).
enum class Start { kTokensStored, kFirstRun };

void PrepareRun(Start start) {
    fake::Reset();
    fake::SetVolumeSerial(kSerial);
    fake::SetClock(kClock);
    engine::srand(1);
    if (start == Start::kTokensStored) {
        fake::SetValue(HKEY_LOCAL_MACHINE, kMachinePath, "PlugIn", kStoredMachine);
        fake::SetValue(HKEY_CURRENT_USER, kUserPath, "PlugIn", kStoredUser);
    }
}

// One injected failure: the nth call of a function (counted from 1) fails.
struct Failure {
    Fn function;
    std::size_t nth;
    LONG error;
};

struct RegistryFaultCase {
    const char* name;
    std::vector<Failure> failures;
    const char* id;  // nullptr: the shared empty text
    std::optional<std::string> machineAfter;
    std::optional<std::string> userAfter;
    // A failed RegCloseKey leaves the stand-in's key open; the engine cannot help it.
    std::size_t keysLeftOpen = 0;
};

// The derivation's result, with its leak checks: the result is the shared empty
// text or a fresh block, and once it is released no block of the engine is out.
void CheckDerivation(const char* expectedId) {
    const char* id = engine::ComputeMachineId(kSalt);
    if (expectedId == nullptr) {
        EXPECT_EQ(id, engine::kEmptyText);
    } else {
        EXPECT_NE(id, engine::kEmptyText);
        EXPECT_STREQ(id, expectedId);
    }
    engine::FreeText(id);
    EXPECT_EQ(fake::OutstandingBlocks(), 0u) << "a block of the engine's heap leaked";
}

// Every registry call of a run without failures, as (function, nth) pairs.
std::set<std::pair<Fn, std::size_t>> RegistryCallsOfCleanRun(Start start) {
    PrepareRun(start);
    engine::FreeText(engine::ComputeMachineId(kSalt));
    std::set<std::pair<Fn, std::size_t>> calls;
    for (Fn function : {Fn::kRegCreateKeyExA, Fn::kRegOpenKeyExA, Fn::kRegEnumValueA,
                        Fn::kRegSetValueExA, Fn::kRegFlushKey, Fn::kRegCloseKey}) {
        for (std::size_t nth = 1; nth <= fake::CallCount(function); ++nth) {
            calls.insert({function, nth});
        }
    }
    return calls;
}

void CheckRegistryFaults(Start start, const std::vector<RegistryFaultCase>& cases) {
    // Single-failure rows together name every call of the clean run, and no other.
    std::set<std::pair<Fn, std::size_t>> covered;
    for (const RegistryFaultCase& c : cases) {
        if (c.failures.size() == 1) {
            covered.insert({c.failures[0].function, c.failures[0].nth});
        }
    }
    EXPECT_EQ(covered, RegistryCallsOfCleanRun(start));

    for (const RegistryFaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        PrepareRun(start);
        for (const Failure& failure : c.failures) {
            fake::FailNthCall(failure.function, failure.nth, failure.error);
        }
        CheckDerivation(c.id);
        EXPECT_EQ(StoredToken(HKEY_LOCAL_MACHINE, kMachinePath), c.machineAfter);
        EXPECT_EQ(StoredToken(HKEY_CURRENT_USER, kUserPath), c.userAfter);
        EXPECT_EQ(fake::OpenHandleCount(), c.keysLeftOpen);
    }
}

TEST(EngineFaults, EveryRegistryCallFailingInTurnWithStoredTokens) {
    // Clean run: create, enumerate, flush, close for the machine key, then the same
    // for the user key. An unreadable index is passed over, so a failed enumeration
    // of the token's index makes the key look empty and a new token is stored.
    const std::optional<std::string> m = kStoredMachine;
    const std::optional<std::string> u = kStoredUser;
    CheckRegistryFaults(
        Start::kTokensStored,
        {
            {"machine key not created: read through the fallback",
             {{Fn::kRegCreateKeyExA, 1, kDenied}},
             kIdStored,
             m,
             u},
            {"machine value unreadable: replaced by the seed's first token",
             {{Fn::kRegEnumValueA, 1, kMoreData}},
             kIdT1StoredUser,
             kT1,
             u},
            {"machine flush fails", {{Fn::kRegFlushKey, 1, kDenied}}, kIdStored, m, u},
            {"machine close fails", {{Fn::kRegCloseKey, 1, kDenied}}, kIdStored, m, u, 1},
            {"user key not created: no user token",
             {{Fn::kRegCreateKeyExA, 2, kDenied}},
             nullptr,
             m,
             u},
            // The machine token was found, so the user token takes the seed's first draws.
            {"user value unreadable: replaced by the seed's first token",
             {{Fn::kRegEnumValueA, 2, kDenied}},
             kIdStoredMachineT1,
             m,
             kT1},
            {"user flush fails", {{Fn::kRegFlushKey, 2, kDenied}}, kIdStored, m, u},
            {"user close fails", {{Fn::kRegCloseKey, 2, kDenied}}, kIdStored, m, u, 1},
            // The read-only fallback's own calls failing.
            {"machine key neither created nor opened",
             {{Fn::kRegCreateKeyExA, 1, kDenied}, {Fn::kRegOpenKeyExA, 1, kDenied}},
             nullptr,
             m,
             u},
            {"fallback cannot read the value: nothing is written there",
             {{Fn::kRegCreateKeyExA, 1, kDenied}, {Fn::kRegEnumValueA, 1, kDenied}},
             nullptr,
             m,
             u},
            {"fallback flush fails",
             {{Fn::kRegCreateKeyExA, 1, kDenied}, {Fn::kRegFlushKey, 1, kDenied}},
             kIdStored,
             m,
             u},
            {"fallback close fails",
             {{Fn::kRegCreateKeyExA, 1, kDenied}, {Fn::kRegCloseKey, 1, kDenied}},
             kIdStored,
             m,
             u,
             1},
        });
}

TEST(EngineFaults, EveryRegistryCallFailingInTurnOnTheFirstRun) {
    // Clean run: both keys are created, found empty and given the seed's first and
    // second tokens.
    CheckRegistryFaults(
        Start::kFirstRun,
        {
            // The machine key does not exist, so the fallback cannot open it either;
            // the user token, the only one generated, takes the seed's first draws.
            {"machine key not created",
             {{Fn::kRegCreateKeyExA, 1, kDenied}},
             nullptr,
             std::nullopt,
             kT1},
            {"first machine enumeration fails: the next index ends the search",
             {{Fn::kRegEnumValueA, 1, kDenied}},
             kIdT1T2,
             kT1,
             kT2},
            {"machine token not written: still used",
             {{Fn::kRegSetValueExA, 1, kDenied}},
             kIdT1T2,
             std::nullopt,
             kT2},
            {"machine flush fails", {{Fn::kRegFlushKey, 1, kDenied}}, kIdT1T2, kT1, kT2},
            {"machine close fails", {{Fn::kRegCloseKey, 1, kDenied}}, kIdT1T2, kT1, kT2, 1},
            {"user key not created: machine token kept",
             {{Fn::kRegCreateKeyExA, 2, kDenied}},
             nullptr,
             kT1,
             std::nullopt},
            {"first user enumeration fails", {{Fn::kRegEnumValueA, 2, kDenied}}, kIdT1T2, kT1, kT2},
            {"user token not written: still used",
             {{Fn::kRegSetValueExA, 2, kDenied}},
             kIdT1T2,
             kT1,
             std::nullopt},
            {"user flush fails", {{Fn::kRegFlushKey, 2, kDenied}}, kIdT1T2, kT1, kT2},
            {"user close fails", {{Fn::kRegCloseKey, 2, kDenied}}, kIdT1T2, kT1, kT2, 1},
        });
}

struct AllocationFaultCase {
    const char* name;
    std::size_t failingAllocation;
    std::optional<std::string> machineAfter;
    std::optional<std::string> userAfter;
};

// Every allocation failure gives the shared empty text; what was stored stays,
// and a token that could not be allocated is never written.
void CheckAllocationFaults(Start start, const std::vector<AllocationFaultCase>& cases) {
    PrepareRun(start);
    engine::FreeText(engine::ComputeMachineId(kSalt));
    std::set<std::size_t> rows;
    for (const AllocationFaultCase& c : cases) {
        rows.insert(c.failingAllocation);
    }
    std::set<std::size_t> allocations;
    for (std::size_t nth = 1; nth <= fake::AllocationCount(); ++nth) {
        allocations.insert(nth);
    }
    ASSERT_EQ(rows, allocations) << "each allocation needs its row";

    for (const AllocationFaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        PrepareRun(start);
        fake::FailNthAllocation(c.failingAllocation);
        CheckDerivation(nullptr);
        EXPECT_EQ(StoredToken(HKEY_LOCAL_MACHINE, kMachinePath), c.machineAfter);
        EXPECT_EQ(StoredToken(HKEY_CURRENT_USER, kUserPath), c.userAfter);
        EXPECT_EQ(fake::OpenHandleCount(), 0u);
    }
}

TEST(EngineFaults, EveryAllocationFailingInTurnWithStoredTokens) {
    // Allocations: the copies of the two stored tokens, the joined text, the identifier.
    const std::optional<std::string> m = kStoredMachine;
    const std::optional<std::string> u = kStoredUser;
    CheckAllocationFaults(Start::kTokensStored, {
                                                    {"machine token copy", 1, m, u},
                                                    {"user token copy", 2, m, u},
                                                    {"joined text", 3, m, u},
                                                    {"identifier", 4, m, u},
                                                });
}

TEST(EngineFaults, EveryAllocationFailingInTurnOnTheFirstRun) {
    // Allocations: the two new tokens, the joined text, the identifier. A token
    // whose allocation fails makes no draws, so the next token is the seed's first.
    CheckAllocationFaults(Start::kFirstRun, {
                                                {"new machine token", 1, std::nullopt, kT1},
                                                {"new user token", 2, kT1, std::nullopt},
                                                {"joined text", 3, kT1, kT2},
                                                {"identifier", 4, kT1, kT2},
                                            });
}

TEST(EngineFaults, IsInstalledUnderEveryFailure) {
    struct Case {
        const char* name;
        std::function<void()> inject;
        int installed;
        std::size_t keysLeftOpen;
    };
    const Case cases[] = {
        {"no failure", [] {}, 1, 0},
        {"open fails", [] { fake::FailNthCall(Fn::kRegOpenKeyExA, 1, kDenied); }, 0, 0},
        {"value unreadable", [] { fake::FailNthCall(Fn::kRegEnumValueA, 1, kMoreData); }, 0, 0},
        {"flush fails", [] { fake::FailNthCall(Fn::kRegFlushKey, 1, kDenied); }, 1, 0},
        {"close fails", [] { fake::FailNthCall(Fn::kRegCloseKey, 1, kDenied); }, 1, 1},
        // The token is there; only its copy could not be made.
        {"token copy cannot be allocated", [] { fake::FailNthAllocation(1); }, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PrepareRun(Start::kTokensStored);
        c.inject();
        EXPECT_EQ(engine::IsInstalled(), c.installed);
        EXPECT_EQ(fake::OutstandingBlocks(), 0u);
        EXPECT_EQ(fake::OpenHandleCount(), c.keysLeftOpen);
        EXPECT_EQ(fake::CallCount(Fn::kRegSetValueExA) + fake::CallCount(Fn::kRegCreateKeyExA), 0u);
    }
}

}  // namespace
