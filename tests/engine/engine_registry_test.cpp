// The engine against Wine's real registry and volume information.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "engine_text.h"
#include "machine_id.h"
#include "random_token.h"
#include "reference_identifier.h"
#include "token_store.h"
#include "wine_machine.h"

namespace {

using engine::UniqueText;
using test_support::kMachineTokenKey;
using test_support::kUserTokenKey;

struct RawValue {
    DWORD type = 0;
    std::string data;
    bool present = false;
};

RawValue ReadRawValue(HKEY root, const char* path, const char* name) {
    RawValue value;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ | test_support::ViewOf(root), &key) !=
        ERROR_SUCCESS) {
        return value;
    }
    char data[2048];
    DWORD size = sizeof data;
    if (RegQueryValueExA(key, name, nullptr, &value.type, reinterpret_cast<BYTE*>(data), &size) ==
        ERROR_SUCCESS) {
        value.present = true;
        value.data.assign(data, size);
    }
    RegCloseKey(key);
    return value;
}

bool IsTokenText(const std::string& token) {
    for (char c : token) {
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) {
            return false;
        }
    }
    return true;
}

// The program that hosts the engine gives its generator a thread slot, as the
// DLL does at process attach.
class EngineOnWine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(engine::g_generatorStateSlot.Allocate());
        test_support::DeleteTokenKeys();
    }
    void TearDown() override {
        test_support::DeleteTokenKeys();
        engine::g_generatorStateSlot.Free();
    }
};

// The engine writes the 10 token bytes without a terminator (the exact
// arguments are checked by the host tests); Wine's RegSetValueExA keeps a zero
// byte that follows string data, so the stored value may carry one.
TEST_F(EngineOnWine, NewTokenIsStoredAsAStringAndReadsBack) {
    UniqueText created(engine::GetUserToken());
    ASSERT_EQ(std::strlen(created.get()), 10u);
    EXPECT_TRUE(IsTokenText(created.get()));

    const RawValue stored = ReadRawValue(HKEY_CURRENT_USER, kUserTokenKey, "PlugIn");
    ASSERT_TRUE(stored.present);
    EXPECT_EQ(stored.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(stored.data.substr(0, 10), std::string(created.get()));
    EXPECT_LE(stored.data.size(), 11u);

    UniqueText again(engine::GetUserToken());
    EXPECT_STREQ(again.get(), created.get());
}

TEST_F(EngineOnWine, TokenStoredWithoutTerminatorReadsAsTheSameToken) {
    ASSERT_TRUE(test_support::WriteRegistryValue(HKEY_CURRENT_USER, kUserTokenKey, "PlugIn",
                                                 REG_BINARY, "Unterminat"));
    UniqueText token(engine::GetUserToken());
    EXPECT_STREQ(token.get(), "Unterminat");
}

TEST_F(EngineOnWine, TokenValueNameIsMatchedInAnyLetterCase) {
    ASSERT_TRUE(test_support::WriteRegistryValue(HKEY_LOCAL_MACHINE, kMachineTokenKey, "Other",
                                                 REG_SZ, std::string("x\0", 2)));
    ASSERT_TRUE(test_support::WriteRegistryValue(HKEY_LOCAL_MACHINE, kMachineTokenKey, "pLUGiN",
                                                 REG_SZ, std::string("StoredToken\0", 12)));
    UniqueText token(engine::GetMachineToken());
    EXPECT_STREQ(token.get(), "StoredToken");
    // Found, so nothing was added beside it.
    EXPECT_FALSE(ReadRawValue(HKEY_LOCAL_MACHINE, kMachineTokenKey, "Other").data.empty());
}

TEST_F(EngineOnWine, ValueLongerThan1024BytesIsPassedOverAndReplaced) {
    const std::string oversized(1025, 'Q');
    ASSERT_TRUE(test_support::WriteRegistryValue(HKEY_CURRENT_USER, kUserTokenKey, "PlugIn", REG_SZ,
                                                 oversized));
    UniqueText token(engine::GetUserToken());
    ASSERT_EQ(std::strlen(token.get()), 10u);
    EXPECT_EQ(ReadRawValue(HKEY_CURRENT_USER, kUserTokenKey, "PlugIn").data.substr(0, 10),
              token.get());
}

TEST_F(EngineOnWine, ValueOf1024BytesIsStillAToken) {
    const std::string largest(1024, 'Q');
    ASSERT_TRUE(test_support::WriteRegistryValue(HKEY_CURRENT_USER, kUserTokenKey, "PlugIn",
                                                 REG_BINARY, largest));
    UniqueText token(engine::GetUserToken());
    EXPECT_EQ(std::string(token.get()), largest);
}

// Values another writer may leave in the user's key, in this order, before the
// engine looks for its token there.
struct HostileValue {
    std::string name;
    DWORD type;
    std::string data;
};

struct HostileCase {
    const char* name;
    std::vector<HostileValue> values;
    std::optional<std::string> token;  // none: the key holds no token and gets a new one
};

TEST_F(EngineOnWine, HostileValuesOnTheRealRegistry) {
    using namespace std::string_literals;
    const std::string longest(1024, 'Q');
    std::vector<HostileValue> thousandsFirst;
    for (int i = 0; i < 3000; ++i) {
        thousandsFirst.push_back({"Value" + std::to_string(i), REG_SZ, std::to_string(i)});
    }
    thousandsFirst.push_back({"PlugIn", REG_SZ, "Tok"});
    const HostileCase cases[] = {
        {"name of 259 characters first",
         {{std::string(259, 'n'), REG_SZ, "v"}, {"PlugIn", REG_SZ, "Tok"}},
         "Tok"},
        {"name of 260 characters passed over",
         {{std::string(260, 'n'), REG_SZ, "v"}, {"PlugIn", REG_SZ, "Tok"}},
         "Tok"},
        {"name of 2000 characters passed over",
         {{std::string(2000, 'n'), REG_BINARY, "v"}, {"PlugIn", REG_SZ, "Tok"}},
         "Tok"},
        {"1024 bytes without terminator", {{"PlugIn", REG_BINARY, longest}}, longest},
        {"1025 bytes passed over", {{"PlugIn", REG_BINARY, longest + "Q"}}, std::nullopt},
        {"oversized value first",
         {{"Big", REG_BINARY, longest + "Q"}, {"PlugIn", REG_SZ, "Tok"}},
         "Tok"},
        {"embedded zero", {{"PlugIn", REG_BINARY, "To\0ken"s}}, "To"},
        {"leading zero: empty", {{"PlugIn", REG_BINARY, "\0Token"s}}, std::nullopt},
        {"no data", {{"PlugIn", REG_BINARY, ""}}, std::nullopt},
        {"number", {{"PlugIn", REG_DWORD, "AB\0\0"s}}, "AB"},
        {"several strings", {{"PlugIn", REG_MULTI_SZ, "ab\0cd\0\0"s}}, "ab"},
        {"unexpanded string", {{"PlugIn", REG_EXPAND_SZ, "%TEMP%x\0"s}}, "%TEMP%x"},
        {"bytes of 0x80 and above", {{"PlugIn", REG_BINARY, "\x80\xC4\xFF"}}, "\x80\xC4\xFF"},
        {"3000 values before PlugIn", thousandsFirst, "Tok"},
    };
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::DeleteTokenKeys();
        for (const HostileValue& value : c.values) {
            ASSERT_TRUE(test_support::WriteRegistryValue(
                HKEY_CURRENT_USER, kUserTokenKey, value.name.c_str(), value.type, value.data));
        }
        UniqueText token(engine::GetUserToken());
        if (c.token) {
            EXPECT_EQ(std::string(token.get()), *c.token);
        } else {
            // Replaced in place by a new token, which the next search finds.
            ASSERT_EQ(std::strlen(token.get()), 10u);
            EXPECT_TRUE(IsTokenText(token.get()));
            UniqueText again(engine::GetUserToken());
            EXPECT_STREQ(again.get(), token.get());
        }
    }
}

TEST_F(EngineOnWine, IsInstalledNeverCreatesAndFollowsTheMachineToken) {
    EXPECT_EQ(engine::IsInstalled(), 0);
    EXPECT_FALSE(test_support::RegistryKeyExists(HKEY_LOCAL_MACHINE, kMachineTokenKey));

    UniqueText userToken(engine::GetUserToken());
    EXPECT_EQ(engine::IsInstalled(), 0) << "the user's token plays no part";

    UniqueText machineToken(engine::GetMachineToken());
    EXPECT_EQ(engine::IsInstalled(), 1);
}

// Both builds keep the machine token where the 32-bit product does, in the
// 32-bit registry view, so that 32-bit and 64-bit browsers on one machine share
// it; a token in the 64-bit view is not the machine's.
TEST_F(EngineOnWine, MachineTokenLivesInThe32BitView) {
    ASSERT_TRUE(test_support::WriteRegistryValue(HKEY_LOCAL_MACHINE, kMachineTokenKey, "PlugIn",
                                                 REG_SZ, "SixtyFour0", KEY_WOW64_64KEY));
    EXPECT_EQ(engine::IsInstalled(), 0);
    UniqueText token(engine::GetMachineToken());
    EXPECT_EQ(std::strlen(token.get()), 10u);
    EXPECT_STRNE(token.get(), "SixtyFour0");
    EXPECT_EQ(test_support::StoredMachineToken(), token.get());
    EXPECT_EQ(engine::IsInstalled(), 1);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kMachineTokenKey, KEY_WOW64_64KEY, 0);
}

TEST_F(EngineOnWine, IdentifierFollowsTheVolumeSerialAndTheStoredTokens) {
    const std::uint32_t serial = test_support::PrefixVolumeSerial();
    ASSERT_NE(serial, 0u) << "the test prefix fixes the C: serial";

    const struct {
        const char* salt;
    } cases[] = {{"abc"}, {"x"}, {"\xE9\xFF\x80 salt"}, {"0123456789012345678901234567890123"}};
    for (const auto& c : cases) {
        UniqueText identifier(engine::ComputeMachineId(c.salt));
        const std::string machineToken = test_support::StoredMachineToken();
        const std::string userToken = test_support::StoredUserToken();
        ASSERT_EQ(machineToken.size(), 10u);
        ASSERT_EQ(userToken.size(), 10u);
        EXPECT_EQ(std::string(identifier.get()),
                  test_support::ReferenceIdentifier(serial, machineToken, userToken, c.salt))
            << "salt " << c.salt;
        EXPECT_EQ(std::strlen(identifier.get()), 74u);
    }
}

TEST_F(EngineOnWine, IdentifierIsStableAcrossCallsAndUsesStoredTokensOfOtherLengths) {
    ASSERT_TRUE(test_support::WriteRegistryValue(HKEY_LOCAL_MACHINE, kMachineTokenKey, "PlugIn",
                                                 REG_SZ, "TwentyCharacterToken"));
    UniqueText first(engine::ComputeMachineId("abc"));
    UniqueText second(engine::ComputeMachineId("abc"));
    EXPECT_EQ(std::strlen(first.get()), 94u);
    EXPECT_STREQ(first.get(), second.get());
    EXPECT_EQ(std::string(first.get()),
              test_support::ReferenceIdentifier(test_support::PrefixVolumeSerial(),
                                                "TwentyCharacterToken",
                                                test_support::StoredUserToken(), "abc"));
}

}  // namespace
