// The installation tokens in the registry, against the in-memory stand-in.
// Every test seeds the generator with 1, so the first token generated is
// "7g4Ey5fxiC" (worked out by a separate Python implementation of the generator).
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine_text.h"
#include "fake_platform.h"
#include "random_token.h"
#include "token_store.h"
#include "worked_values.h"

namespace {

using namespace std::string_literals;
using engine::UniqueText;
using fake::Fn;
using Calls = std::vector<std::string>;

using worked::kMachinePath;
using worked::kUserPath;
constexpr char kFirstToken[] = "7g4Ey5fxiC";
constexpr REGSAM kReadWrite = 0x2001F;
constexpr REGSAM kReadOnly = 0x20019;
constexpr REGSAM kAllAccess = 0xF003F;
constexpr DWORD kEnumBound = 1048576;

constexpr char kCreate[] = "RegCreateKeyExA";
constexpr char kOpen[] = "RegOpenKeyExA";
constexpr char kEnum[] = "RegEnumValueA";
constexpr char kSet[] = "RegSetValueExA";
constexpr char kFlush[] = "RegFlushKey";
constexpr char kClose[] = "RegCloseKey";

std::string Take(const char* text) {
    UniqueText owned(text);
    return owned.get();
}

void PrepareRun() {
    fake::Reset();
    engine::srand(1);
}

class TokenStore : public ::testing::Test {
  protected:
    void SetUp() override { PrepareRun(); }
    void TearDown() override { EXPECT_EQ(fake::OpenHandleCount(), 0u) << "a key was left open"; }
};

std::optional<std::string> StoredToken(HKEY root, const char* path) {
    const auto value = fake::FindValue(root, path, "plugin");
    return value ? std::optional<std::string>(value->data) : std::nullopt;
}

// Registry arrangements made before an operation runs.
using Arrange = std::function<void()>;

Arrange Nothing() {
    return [] {};
}

Arrange Stored(HKEY root, std::string data) {
    return [root, data] {
        fake::SetValue(root, root == HKEY_LOCAL_MACHINE ? kMachinePath : kUserPath, "PlugIn", data);
    };
}

Arrange ReadOnlyMachineKey(Arrange before = Nothing()) {
    return [before] {
        before();
        fake::MakeKeyReadOnly(HKEY_LOCAL_MACHINE, kMachinePath);
    };
}

Arrange Failing(Fn function, HKEY root = nullptr, Arrange before = Nothing()) {
    return [function, root, before] {
        before();
        fake::FailCalls(function, ERROR_ACCESS_DENIED, root);
    };
}

const std::string kOversized(1025, 'x');

// The platform calls of each path.
const Calls kCreated = {kCreate, kEnum, kSet, kFlush, kClose};
const Calls kFound = {kCreate, kEnum, kFlush, kClose};
const Calls kReplacedUnreadable = {kCreate, kEnum, kEnum, kSet, kFlush, kClose};
const Calls kFallback = {kCreate, kOpen, kEnum, kFlush, kClose};
const Calls kFallbackUnreadable = {kCreate, kOpen, kEnum, kEnum, kFlush, kClose};
const Calls kOpened = {kOpen, kEnum, kFlush, kClose};

// Runs `operation` from a fresh registry prepared by `arrange`; checks its result,
// the exact sequence of platform calls, and the token stored afterwards.
struct StoreCase {
    const char* name;
    Arrange arrange;
    std::string result;
    Calls calls;
    std::optional<std::string> storedAfter;
};

void CheckCases(const std::vector<StoreCase>& cases, const std::function<std::string()>& operation,
                HKEY root, const char* path) {
    for (const StoreCase& c : cases) {
        SCOPED_TRACE(c.name);
        PrepareRun();
        c.arrange();
        EXPECT_EQ(operation(), c.result);
        EXPECT_EQ(fake::CallNames(), c.calls);
        EXPECT_EQ(StoredToken(root, path), c.storedAfter);
        EXPECT_EQ(fake::OpenHandleCount(), 0u);
    }
}

TEST_F(TokenStore, MachineTokenOnEveryPath) {
    const HKEY m = HKEY_LOCAL_MACHINE;
    const std::vector<StoreCase> cases = {
        {"no key: created", Nothing(), kFirstToken, kCreated, kFirstToken},
        {"stored token reused", Stored(m, "Stored0001"), "Stored0001", kFound, "Stored0001"},
        {"empty token replaced", Stored(m, ""), kFirstToken, kCreated, kFirstToken},
        {"unreadable token replaced", Stored(m, kOversized), kFirstToken, kReplacedUnreadable,
         kFirstToken},
        {"write fails: token used all the same", Failing(Fn::kRegSetValueExA), kFirstToken,
         kCreated, std::nullopt},
        {"read-only key with token", ReadOnlyMachineKey(Stored(m, "Stored0001")), "Stored0001",
         kFallback, "Stored0001"},
        {"read-only key with empty token", ReadOnlyMachineKey(Stored(m, "")), "", kFallback, ""},
        {"read-only key with unreadable token", ReadOnlyMachineKey(Stored(m, kOversized)), "",
         kFallbackUnreadable, kOversized},
        {"read-only key without token", ReadOnlyMachineKey(), "", kFallback, std::nullopt},
        {"key neither creatable nor existing",
         Failing(Fn::kRegCreateKeyExA, m),
         "",
         {kCreate, kOpen},
         std::nullopt},
        {"key neither creatable nor openable",
         Failing(Fn::kRegOpenKeyExA, m, Failing(Fn::kRegCreateKeyExA, m, Stored(m, "Stored0001"))),
         "",
         {kCreate, kOpen},
         "Stored0001"},
    };
    CheckCases(
        cases, [] { return Take(engine::GetMachineToken()); }, HKEY_LOCAL_MACHINE, kMachinePath);
}

TEST_F(TokenStore, UserTokenOnEveryPath) {
    const HKEY u = HKEY_CURRENT_USER;
    const std::vector<StoreCase> cases = {
        {"no key: created", Nothing(), kFirstToken, kCreated, kFirstToken},
        {"stored token reused", Stored(u, "UserTok001"), "UserTok001", kFound, "UserTok001"},
        {"empty token replaced", Stored(u, ""), kFirstToken, kCreated, kFirstToken},
        {"write fails: token used all the same", Failing(Fn::kRegSetValueExA), kFirstToken,
         kCreated, std::nullopt},
        {"key not creatable: no read-only fallback",
         Failing(Fn::kRegCreateKeyExA, u, Stored(u, "UserTok001")),
         "",
         {kCreate},
         "UserTok001"},
    };
    CheckCases(
        cases, [] { return Take(engine::GetUserToken()); }, HKEY_CURRENT_USER, kUserPath);
}

TEST_F(TokenStore, IsInstalledOnEveryPathCreatesNothing) {
    const HKEY m = HKEY_LOCAL_MACHINE;
    const std::vector<StoreCase> cases = {
        {"no key", Nothing(), "0", {kOpen}, std::nullopt},
        {"token stored", Stored(m, "Stored0001"), "1", kOpened, "Stored0001"},
        {"read-only key with token", ReadOnlyMachineKey(Stored(m, "Stored0001")), "1", kOpened,
         "Stored0001"},
        {"empty token", Stored(m, ""), "0", kOpened, ""},
        {"unreadable token",
         Stored(m, kOversized),
         "0",
         {kOpen, kEnum, kEnum, kFlush, kClose},
         kOversized},
        {"key without token", ReadOnlyMachineKey(), "0", kOpened, std::nullopt},
        {"only the user token",
         Stored(HKEY_CURRENT_USER, "UserTok001"),
         "0",
         {kOpen},
         std::nullopt},
        {"key not openable",
         Failing(Fn::kRegOpenKeyExA, m, Stored(m, "Stored0001")),
         "0",
         {kOpen},
         "Stored0001"},
    };
    CheckCases(
        cases, [] { return std::to_string(engine::IsInstalled()); }, HKEY_LOCAL_MACHINE,
        kMachinePath);
}

// Which key each operation opens, and how.
struct KeyArgumentsCase {
    const char* name;
    Arrange arrange;
    std::function<void()> operation;
    Fn function;
    HKEY root;
    std::string path;  // compared exactly: the two paths differ in case
    REGSAM access;
};

TEST_F(TokenStore, KeysAreOpenedWithTheirOwnPathAndAccess) {
    const std::vector<KeyArgumentsCase> cases = {
        {"machine, writable", Nothing(), [] { Take(engine::GetMachineToken()); },
         Fn::kRegCreateKeyExA, HKEY_LOCAL_MACHINE, kMachinePath, kReadWrite},
        {"machine, read-only fallback", Failing(Fn::kRegCreateKeyExA, HKEY_LOCAL_MACHINE),
         [] { Take(engine::GetMachineToken()); }, Fn::kRegOpenKeyExA, HKEY_LOCAL_MACHINE,
         kMachinePath, kReadOnly},
        {"user", Nothing(), [] { Take(engine::GetUserToken()); }, Fn::kRegCreateKeyExA,
         HKEY_CURRENT_USER, kUserPath, kAllAccess},
        {"installation test", Nothing(), [] { engine::IsInstalled(); }, Fn::kRegOpenKeyExA,
         HKEY_LOCAL_MACHINE, kMachinePath, kReadOnly},
    };
    for (const KeyArgumentsCase& c : cases) {
        SCOPED_TRACE(c.name);
        PrepareRun();
        c.arrange();
        c.operation();
        const fake::Call& call = fake::LastCall(c.function);
        EXPECT_EQ(fake::CallCount(c.function), 1u);
        EXPECT_EQ(call.root, c.root);
        EXPECT_EQ(call.path, c.path);
        EXPECT_EQ(call.access, c.access);
        EXPECT_EQ(call.options, 0u);
        EXPECT_EQ(call.reserved, 0u);
        EXPECT_FALSE(call.classGiven);
        EXPECT_FALSE(call.securityGiven);
    }
}

TEST_F(TokenStore, NewTokenIsWrittenAsTenBytesWithoutTerminator) {
    EXPECT_EQ(Take(engine::GetMachineToken()), kFirstToken);
    const fake::Call& write = fake::LastCall(Fn::kRegSetValueExA);
    EXPECT_EQ(write.path, kMachinePath);
    EXPECT_EQ(write.valueName, "PlugIn");
    EXPECT_EQ(write.reserved, 0u);
    EXPECT_EQ(write.type, REG_SZ);
    EXPECT_EQ(write.dataLength, 10u);
    EXPECT_EQ(write.data, kFirstToken);

    // It reads back as the same token, and nothing is written again.
    engine::srand(99);
    EXPECT_EQ(Take(engine::GetMachineToken()), kFirstToken);
    EXPECT_EQ(fake::CallCount(Fn::kRegSetValueExA), 1u);
}

TEST_F(TokenStore, EmptyTokenIsReplacedInPlace) {
    fake::SetValue(HKEY_CURRENT_USER, kUserPath, "First", "1");
    fake::SetValue(HKEY_CURRENT_USER, kUserPath, "PLUGIN", "");
    fake::SetValue(HKEY_CURRENT_USER, kUserPath, "Last", "2");
    EXPECT_EQ(Take(engine::GetUserToken()), kFirstToken);
    const auto values = fake::Values(HKEY_CURRENT_USER, kUserPath);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[1].data, kFirstToken);
    EXPECT_EQ(values[1].type, REG_SZ);
}

// FindPlugInValue on a key holding `values`; `token` is nullopt when the shared
// empty text is expected.
struct SearchCase {
    const char* name;
    std::vector<fake::Value> values;
    std::optional<std::string> token;
    std::size_t failingEnumCall = 0;  // 1-based; 0: none fails
};

TEST_F(TokenStore, SearchFindsTheFirstReadableMatchingValue) {
    const std::string name259(259, 'n');
    const std::string name260(260, 'n');
    const std::string data1024(1024, 'd');
    std::vector<fake::Value> thousandsFirst;
    for (int i = 0; i < 5000; ++i) {
        thousandsFirst.push_back({"Value" + std::to_string(i), REG_SZ, std::to_string(i)});
    }
    thousandsFirst.push_back({"PlugIn", REG_SZ, "Tok"});
    const std::vector<SearchCase> cases = {
        {"only PlugIn", {{"PlugIn", REG_SZ, "Tok"}}, "Tok"},
        {"other values first",
         {{"a", REG_SZ, "1"},
          {"LongerNameThanPlugIn", REG_SZ, std::string(1000, 'v')},
          {"b", REG_DWORD, "\x01\x02\x03\x04"},
          {"PlugIn", REG_SZ, "Tok"}},
         "Tok"},
        {"upper case name", {{"PLUGIN", REG_SZ, "Tok"}}, "Tok"},
        {"mixed case name", {{"x", REG_SZ, "y"}, {"plugIn", REG_SZ, "Tok"}}, "Tok"},
        {"near names only",
         {{"PlugIn2", REG_SZ, "a"},
          {"Plug", REG_SZ, "b"},
          {"xPlugIn", REG_SZ, "c"},
          {"Plug In", REG_SZ, "d"}},
         std::nullopt},
        {"no values", {}, std::nullopt},
        {"name with a zero byte after PlugIn passed over",
         {{"PlugIn\0x"s, REG_SZ, "Bogus"}, {"PlugIn", REG_SZ, "Tok"}},
         "Tok"},
        {"data with terminator", {{"PlugIn", REG_SZ, "Tok\0"s}}, "Tok"},
        {"data with inner zero", {{"PlugIn", REG_SZ, "To\0k"s}}, "To"},
        {"binary data", {{"PlugIn", REG_BINARY, "\x01\x02\0\x03"s}}, "\x01\x02"},
        {"number data", {{"PlugIn", REG_DWORD, "AB\0\0"s}}, "AB"},
        {"bytes of 0x80 and above", {{"PlugIn", REG_SZ, "\x80\xC4\xFF"}}, "\x80\xC4\xFF"},
        {"empty data", {{"PlugIn", REG_SZ, ""}}, ""},
        {"data of 1024 bytes", {{"PlugIn", REG_SZ, data1024}}, data1024},
        {"data of 1025 bytes passed over", {{"PlugIn", REG_SZ, kOversized}}, std::nullopt},
        {"name of 259 characters first",
         {{name259, REG_SZ, "v"}, {"PlugIn", REG_SZ, "Tok"}},
         "Tok"},
        {"name of 260 characters passed over",
         {{name260, REG_SZ, "v"}, {"PlugIn", REG_SZ, "Tok"}},
         "Tok"},
        {"5000 values before PlugIn", thousandsFirst, "Tok"},
        {"unreadable index passed over", {{"a", REG_SZ, "1"}, {"PlugIn", REG_SZ, "Tok"}}, "Tok", 1},
        {"unreadable match passed over",
         {{"PlugIn", REG_SZ, "Tok"}, {"a", REG_SZ, "1"}},
         std::nullopt,
         1},
    };
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.name);
        PrepareRun();
        fake::AddKey(HKEY_CURRENT_USER, kUserPath);
        for (const fake::Value& value : c.values) {
            fake::SetValue(HKEY_CURRENT_USER, kUserPath, value.name, value.data, value.type);
        }
        if (c.failingEnumCall != 0) {
            fake::FailNthCall(Fn::kRegEnumValueA, c.failingEnumCall, ERROR_ACCESS_DENIED);
        }
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kUserPath, 0, KEY_READ, &key), ERROR_SUCCESS);

        const char* found = engine::FindPlugInValue(key);
        if (c.token) {
            EXPECT_NE(found, engine::kEmptyText);
            EXPECT_EQ(Take(found), *c.token);
        } else {
            EXPECT_EQ(found, engine::kEmptyText);
        }
        // Indices counted up from 0 with the capacities given afresh every time.
        const auto enumerations = fake::CallsOf(Fn::kRegEnumValueA);
        for (std::size_t i = 0; i < enumerations.size(); ++i) {
            EXPECT_EQ(enumerations[i].index, i);
            EXPECT_EQ(enumerations[i].nameCapacity, 260u);
            EXPECT_EQ(enumerations[i].dataCapacity, 1024u);
            EXPECT_FALSE(enumerations[i].enumReservedGiven);
        }
        // The search stops right at the match, or at the end of the values.
        ASSERT_FALSE(enumerations.empty());
        EXPECT_EQ(enumerations.back().result, c.token ? ERROR_SUCCESS : ERROR_NO_MORE_ITEMS);
        // The key stays open for the caller.
        EXPECT_EQ(fake::CallCount(Fn::kRegFlushKey) + fake::CallCount(Fn::kRegCloseKey), 0u);
        RegCloseKey(key);
    }
}

TEST_F(TokenStore, ReadOrCreateTokenFlushesAndClosesTheKeyItIsGiven) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Other", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(Take(engine::ReadOrCreateToken(key)), kFirstToken);
    EXPECT_EQ(fake::CallNames(), (Calls{kCreate, kEnum, kSet, kFlush, kClose}));
    EXPECT_EQ(fake::LastCall(Fn::kRegCloseKey).path, "Software\\Other");
    EXPECT_EQ(fake::FindValue(HKEY_CURRENT_USER, "Software\\Other", "PlugIn")->data, kFirstToken);
}

TEST_F(TokenStore, SearchGivesUpAfterTheEnumerationBound) {
    fake::MakeEnumerationEndless(ERROR_MORE_DATA);
    EXPECT_EQ(Take(engine::GetMachineToken()), kFirstToken);
    EXPECT_EQ(fake::CallCount(Fn::kRegEnumValueA), kEnumBound);
    EXPECT_EQ(fake::LastCall(Fn::kRegEnumValueA).index, kEnumBound - 1);
    EXPECT_EQ(fake::CallCount(Fn::kRegSetValueExA), 1u);
    EXPECT_EQ(fake::CallCount(Fn::kRegFlushKey), 1u);
    EXPECT_EQ(fake::CallCount(Fn::kRegCloseKey), 1u);
}

}  // namespace
