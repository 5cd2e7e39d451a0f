// The salted machine identifier, against the in-memory stand-in.
//
// Expected identifiers and tokens were computed by a separate Python script
// written from the derivation rules alone: join "H%08X" of the serial with the
// two tokens, XOR byte k with salt byte k % n as "%02X", sum the character codes
// of that text at even and odd positions, format (E ^ 0x04071FF1) ^ (O ^ 0x0489FC0D)
// as "%08X" and mix it again with the salt index restarted at 0. New tokens come
// from the same script's generator. The results were pasted here as literals.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine_text.h"
#include "fake_platform.h"
#include "machine_id.h"
#include "random_token.h"
#include "worked_values.h"

namespace {

using engine::UniqueText;
using fake::Fn;
using Calls = std::vector<std::string>;

using worked::kClock;
using worked::kClockFirstToken;
using worked::kClockSecondToken;
using worked::kClockTokensId;
using worked::kMachinePath;
using worked::kSerial;
using worked::kUserPath;

std::string Derive(const std::string& salt) {
    UniqueText id(engine::ComputeMachineId(salt.c_str()));
    return id.get();
}

std::optional<std::string> StoredToken(HKEY root, const char* path) {
    const auto value = fake::FindValue(root, path, "PlugIn");
    return value ? std::optional<std::string>(value->data) : std::nullopt;
}

void StoreTokens(const std::string& machine, const std::string& user) {
    fake::SetValue(HKEY_LOCAL_MACHINE, kMachinePath, "PlugIn", machine);
    fake::SetValue(HKEY_CURRENT_USER, kUserPath, "PlugIn", user);
}

// Salt byte i is (7i mod 255) + 1: all 255 byte values from 0x01 to 0xFF.
std::string EveryByteSalt() {
    std::string salt;
    for (int i = 0; i < 255; ++i) {
        salt.push_back(static_cast<char>((i * 7) % 255 + 1));
    }
    return salt;
}

void PrepareRun(DWORD serial = kSerial, time_t clock = kClock) {
    fake::Reset();
    fake::SetVolumeSerial(serial);
    fake::SetClock(clock);
    // A stale state: the derivation must seed the generator itself.
    engine::srand(1);
}

class MachineId : public ::testing::Test {
  protected:
    void SetUp() override { PrepareRun(); }
    void TearDown() override { EXPECT_EQ(fake::OpenHandleCount(), 0u) << "a key was left open"; }
};

struct IdCase {
    const char* name;
    DWORD serial;
    std::string machineToken;
    std::string salt;
    std::string id;
};

TEST_F(MachineId, MixesSerialAndStoredTokensWithTheSalt) {
    const std::string userToken = "UserTok123";
    const std::string kAbcId =
        "2953515256222321272C030009530D04360C0A37100410370E0952535151525B2427535624";
    const std::string kLongSaltId =
        "295351575127252B2D270A0F055F0115251D18210613052C161101030151525B2120565750";
    const IdCase cases[] = {
        // L = 29: the last joined byte meets salt byte 1, the check text restarts at byte 0.
        {"three-byte salt", kSerial, "Mach1neTok", "abc", kAbcId},
        {"salt written twice", kSerial, "Mach1neTok", "abcabc", kAbcId},
        {"one-byte salt", 0x00000000, "Mach1neTok", "Z",
         "126A6A6A6A6A6A6A6A173B39326B343F0E35310F293F280E35316B68696A6A621F1F6A196A"},
        {"salt byte equal to the joined byte", kSerial, "Mach1neTok", "H",
         "00797A7B7C090A0B0C05292B2079262D1C27231D3B2D3A1C2723797A7B7878700D0D780C0A"},
        {"salt bytes of 0x80 and above", 0xFFFFFFFF, "Mach1neTok", "\x80\xFF\xA5",
         "C8B9E3C6B9E3C6B9E3CD9EC6E8CECBE5ABCAEBAAD6E58DF1EF9494B2CCB0CF9DC5BA97B2CD"},
        {"255-byte salt of every byte value", 0x0BADF00D, "Mach1neTok", EveryByteSalt(),
         "49384D5759621B027D0D262D3D6D0D0F251714D3FEF1E9F6C6DB868CF63138375358171A77"},
        {"255-byte salt of one letter", kSerial, "Mach1neTok", std::string(255, 'k'),
         "235A59585F2A29282F260A08035A050E3F04003E180E193F04005A59585B5B532E2E5B5259"},
        // Salts longer than the joined text agreeing in their first 29 bytes.
        {"40-byte salt", kSerial, "Mach1neTok", "abcdefghijklmnopqrstuvwxyz0123456789ABCD",
         kLongSaltId},
        {"40-byte salt, other tail", kSerial, "Mach1neTok",
         "abcdefghijklmnopqrstuvwxyz012WXYZ!#$%&'", kLongSaltId},
        {"20-character machine token: 94 characters", kSerial, "ABCDEFGHIJ0123456789", "abc",
         "295351525622232127202020252725262A2A2B5252535157545454595B36120711350D0850505051525B2427"
         "205051"},
    };
    for (const IdCase& c : cases) {
        SCOPED_TRACE(c.name);
        PrepareRun(c.serial);
        StoreTokens(c.machineToken, userToken);
        EXPECT_EQ(Derive(c.salt), c.id);
        EXPECT_EQ(fake::CallCount(Fn::kRegSetValueExA), 0u);
    }
}

TEST_F(MachineId, SaltOutsideOneTo255BytesGivesEmptyWithoutTouchingThePlatform) {
    for (std::size_t length : {0u, 256u, 1000u}) {
        SCOPED_TRACE(length);
        PrepareRun();
        StoreTokens("Mach1neTok", "UserTok123");
        const std::string salt(length, 'k');
        EXPECT_EQ(engine::ComputeMachineId(salt.c_str()), engine::kEmptyText);
        EXPECT_EQ(fake::CallNames(), Calls{});
    }
}

TEST_F(MachineId, FirstDerivationStoresTokensDrawnFromTheClock) {
    // Only the low 32 bits of the clock seed the generator.
    for (time_t clock : {kClock, kClock + (time_t{1} << 32)}) {
        SCOPED_TRACE(clock);
        PrepareRun(kSerial, clock);
        EXPECT_EQ(Derive("abc"), kClockTokensId);
        EXPECT_EQ(StoredToken(HKEY_LOCAL_MACHINE, kMachinePath), kClockFirstToken);
        EXPECT_EQ(StoredToken(HKEY_CURRENT_USER, kUserPath), kClockSecondToken);
        // Each token took its 20 draws; the next is the 41st from that seed.
        EXPECT_EQ(engine::rand(), 19411);
    }
}

TEST_F(MachineId, SecondDerivationReusesTheTokens) {
    EXPECT_EQ(Derive("abc"), kClockTokensId);
    fake::SetClock(kClock + 3600);
    EXPECT_EQ(Derive("abc"), kClockTokensId);
    EXPECT_EQ(fake::CallCount(Fn::kRegSetValueExA), 2u);
}

TEST_F(MachineId, ReadsTheSerialThenSeedsBeforeAnyRegistryAccess) {
    StoreTokens("Mach1neTok", "UserTok123");
    ASSERT_FALSE(Derive("abc").empty());
    EXPECT_EQ(
        fake::CallNames(),
        (Calls{"GetVolumeInformationA", "time", "RegCreateKeyExA", "RegEnumValueA", "RegFlushKey",
               "RegCloseKey", "RegCreateKeyExA", "RegEnumValueA", "RegFlushKey", "RegCloseKey"}));
    EXPECT_EQ(fake::CallsOf(Fn::kRegCreateKeyExA).at(0).root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(fake::CallsOf(Fn::kRegCreateKeyExA).at(1).root, HKEY_CURRENT_USER);
    // Seeded even though nothing was generated: the next draw is the seed's first.
    EXPECT_EQ(engine::rand(), 28462);

    const fake::Call& call = fake::LastCall(Fn::kGetVolumeInformationA);
    EXPECT_EQ(call.volumeRoot, "c:\\");
    EXPECT_FALSE(call.volumeNameGiven);
    EXPECT_EQ(call.volumeNameSize, 0u);
    EXPECT_TRUE(call.serialGiven);
    EXPECT_FALSE(call.otherVolumeOutsGiven);
    EXPECT_EQ(call.fileSystemNameSize, 0u);
}

TEST_F(MachineId, VolumeFailureGivesEmptyAndTouchesNoRegistry) {
    fake::FailVolume();
    EXPECT_EQ(engine::ComputeMachineId("abc"), engine::kEmptyText);
    EXPECT_EQ(fake::CallNames(), Calls{"GetVolumeInformationA"});
}

// A derivation that cannot get both tokens fails, yet keeps what it stored.
struct MissingTokenCase {
    const char* name;
    std::function<void()> arrange;
    std::optional<std::string> machineAfter;
    std::optional<std::string> userAfter;
};

TEST_F(MachineId, MissingTokenGivesEmpty) {
    const MissingTokenCase cases[] = {
        // The user token then takes the seed's first 20 draws.
        {"machine key neither creatable nor openable",
         [] { fake::FailCalls(Fn::kRegCreateKeyExA, ERROR_ACCESS_DENIED, HKEY_LOCAL_MACHINE); },
         std::nullopt, kClockFirstToken},
        {"read-only machine key without token",
         [] { fake::MakeKeyReadOnly(HKEY_LOCAL_MACHINE, kMachinePath); }, std::nullopt,
         kClockFirstToken},
        {"user key cannot be created",
         [] { fake::FailCalls(Fn::kRegCreateKeyExA, ERROR_ACCESS_DENIED, HKEY_CURRENT_USER); },
         kClockFirstToken, std::nullopt},
    };
    for (const MissingTokenCase& c : cases) {
        SCOPED_TRACE(c.name);
        PrepareRun();
        c.arrange();
        EXPECT_EQ(engine::ComputeMachineId("abc"), engine::kEmptyText);
        EXPECT_EQ(StoredToken(HKEY_LOCAL_MACHINE, kMachinePath), c.machineAfter);
        EXPECT_EQ(StoredToken(HKEY_CURRENT_USER, kUserPath), c.userAfter);
        EXPECT_EQ(fake::OpenHandleCount(), 0u);
    }
}

TEST_F(MachineId, ReadOnlyMachineKeyLendsItsToken) {
    fake::SetValue(HKEY_LOCAL_MACHINE, kMachinePath, "PlugIn", kClockFirstToken);
    fake::MakeKeyReadOnly(HKEY_LOCAL_MACHINE, kMachinePath);
    // The user token is new; being the only one generated, it takes the first 20 draws.
    EXPECT_EQ(Derive("abc"),
              "2953515256222321270F13550954522B0126340C12570A55502800243751525B2427535753");
    EXPECT_EQ(fake::CallsOf(Fn::kRegSetValueExA).size(), 1u);
    EXPECT_EQ(fake::LastCall(Fn::kRegSetValueExA).root, HKEY_CURRENT_USER);
}

}  // namespace
