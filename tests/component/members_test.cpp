// ITalvenor's four members called through the object's interface table, as a compiled
// host calls them from the built DLL. Identifiers are checked against an independent
// derivation from the prefix's C: serial and the tokens the registry holds after the
// call. The DLL's import of SysFreeString is redirected to a recorder, so the tests
// see exactly which BSTRs the members free.
#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>

#include <clocale>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "reference_identifier.h"
#include "sys_free_string_recorder.h"
#include "talvenor_dll.h"
#include "wine_machine.h"

namespace {

using namespace test_support;

struct BstrFree {
    void operator()(BSTR text) const { SysFreeString(text); }
};
using Bstr = std::unique_ptr<OLECHAR, BstrFree>;

Bstr MakeBstr(const std::wstring& text) {
    return Bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

std::wstring Widen(const std::string& bytes) {
    std::wstring wide;
    for (unsigned char byte : bytes) wide += static_cast<wchar_t>(byte);
    return wide;
}

std::wstring Text(BSTR text) {
    return std::wstring(text, SysStringLen(text));
}

bool NoTokenKeys() {
    return !RegistryKeyExists(HKEY_LOCAL_MACHINE, kMachineTokenKey) &&
           !RegistryKeyExists(HKEY_CURRENT_USER, kUserTokenKey);
}

// The identifier this prefix and its stored tokens give for `salt`.
std::wstring ExpectedIdentifier(const std::string& salt) {
    return Widen(
        ReferenceIdentifier(PrefixVolumeSerial(), StoredMachineToken(), StoredUserToken(), salt));
}

// Salt characters from '!' upward, repeating: `length` distinct-looking bytes.
std::string PrintableSalt(std::size_t length) {
    std::string salt;
    for (std::size_t i = 0; i < length; ++i) salt += static_cast<char>('!' + i % 90);
    return salt;
}

class MembersTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { dll_ = std::make_unique<TalvenorDll>(); }
    static void TearDownTestSuite() { dll_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(dll_->loaded()) << kDllPath;
        ASSERT_NE(PrefixVolumeSerial(), 0u) << "C:\\.windows-serial";
        object_ = dll_->Create<ITalvenorTable>(kIidITalvenor);
        ASSERT_NE(object_, nullptr);
        recorder_ = std::make_unique<SysFreeStringRecorder>(dll_->module());
        ASSERT_TRUE(recorder_->installed());
        // Each test starts on a machine without tokens: the first derivation makes both.
        DeleteTokenKeys();
        ASSERT_TRUE(NoTokenKeys());
    }
    void TearDown() override {
        recorder_.reset();
        if (object_ != nullptr) {
            EXPECT_EQ(object_->Release(), 0u);
        }
    }

    static std::unique_ptr<TalvenorDll> dll_;
    ITalvenorTable* object_ = nullptr;
    std::unique_ptr<SysFreeStringRecorder> recorder_;
};
std::unique_ptr<TalvenorDll> MembersTest::dll_;

// Salts that yield an identifier, and the ANSI salt the derivation must have used.
struct SaltCase {
    const char* name;
    std::wstring salt;
    std::string ansi;
};

const SaltCase kDerivingSalts[] = {
    {"ThreeLetters", L"abc", "abc"},
    {"EmbeddedNullEndsTheSalt", std::wstring(L"ab\0cd", 5), "ab"},
    {"LatinSmallEAcuteIsTheByteE9", L"\u00E9", "\xE9"},
    {"UnitsUpToFFKeepTheirValues", L"\u0080z\u00FF\u00A0", "\x80z\xFF\xA0"},
    {"LongestSalt255", Widen(PrintableSalt(255)), PrintableSalt(255)},
};

TEST_F(MembersTest, GetIdDerivesFromTheSaltBeforeItsFirstNull) {
    for (const SaltCase& c : kDerivingSalts) {
        SCOPED_TRACE(c.name);
        DeleteTokenKeys();
        Bstr salt = MakeBstr(c.salt);
        BSTR saltPointer = salt.get();
        BSTR id = nullptr;
        EXPECT_EQ(object_->getID(&saltPointer, &id), S_OK);
        const Bstr owned(id);
        ASSERT_NE(id, nullptr);
        // Two generated 10-character tokens: L = 29, so 2L + 16 characters.
        EXPECT_EQ(SysStringLen(id), 74u);
        EXPECT_EQ(Text(id), ExpectedIdentifier(c.ansi));
        // The salt is only read.
        EXPECT_EQ(saltPointer, salt.get());
        EXPECT_EQ(Text(salt.get()), c.salt);
        EXPECT_TRUE(recorder_->freedStrings().empty());
    }
}

TEST_F(MembersTest, GetIdIsStableForOneSaltAndDiffersForAnother) {
    Bstr abc = MakeBstr(L"abc");
    Bstr abd = MakeBstr(L"abd");
    BSTR first = nullptr, second = nullptr, other = nullptr;
    BSTR abcPointer = abc.get(), abdPointer = abd.get();
    object_->getID(&abcPointer, &first);
    object_->getID(&abcPointer, &second);
    object_->getID(&abdPointer, &other);
    const Bstr owned[] = {Bstr(first), Bstr(second), Bstr(other)};
    ASSERT_TRUE(first != nullptr && second != nullptr && other != nullptr);
    EXPECT_EQ(Text(first), Text(second));
    EXPECT_EQ(Text(other), ExpectedIdentifier("abd"));
    EXPECT_NE(Text(first), Text(other));
}

// The C runtime's locale is the whole process's: a host or another DLL may set
// it. The salt's bytes must not follow it.
TEST_F(MembersTest, SaltBytesDoNotFollowTheProcessLocale) {
    const std::string before = std::setlocale(LC_ALL, nullptr);
    // Code page 1251 has a byte for U+0416 and none for U+00E9.
    ASSERT_NE(std::setlocale(LC_ALL, ".1251"), nullptr);
    const struct {
        std::wstring salt;
        std::string ansi;
    } cases[] = {{L"caf\u00E9", "caf\xE9"}, {L"\u0416", "(none)"}};
    std::wstring identifiers[2];
    for (int i = 0; i < 2; ++i) {
        Bstr salt = MakeBstr(cases[i].salt);
        BSTR saltPointer = salt.get();
        BSTR id = nullptr;
        object_->getID(&saltPointer, &id);
        const Bstr owned(id);
        identifiers[i] = id == nullptr ? L"(none)" : Text(id);
    }
    std::setlocale(LC_ALL, before.c_str());
    EXPECT_EQ(identifiers[0], ExpectedIdentifier(cases[0].ansi));
    EXPECT_EQ(identifiers[1], L"(none)");
}

// The bytes of `text`'s UTF-16 units without the high byte of the last one:
// the byte string VBScript's ChrB, MidB and LeftB make, of odd length.
std::string OddByteString(const std::string& text) {
    std::string bytes;
    for (char c : text) {
        bytes += c;
        bytes += '\0';
    }
    bytes.pop_back();
    return bytes;
}

// A BSTR of an odd number of bytes ends in half a unit, which the terminator's
// first byte completes into one more character of the salt.
TEST_F(MembersTest, OddByteLengthSaltKeepsItsLastCharacter) {
    const struct {
        const char* name;
        std::string bytes;
        std::string ansi;  // empty: no identifier
    } kCases[] = {
        {"OneByte", "a", "a"},
        {"ThreeBytes", OddByteString("ab"), "ab"},
        {"LastByteAbove7F", OddByteString("z\xE9"), "z\xE9"},
        {"509BytesAre255Characters", OddByteString(PrintableSalt(255)), PrintableSalt(255)},
        {"511BytesAre256Characters", OddByteString(PrintableSalt(256)), ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        DeleteTokenKeys();
        const Bstr salt(SysAllocStringByteLen(c.bytes.data(), static_cast<UINT>(c.bytes.size())));
        ASSERT_EQ(SysStringByteLen(salt.get()), c.bytes.size());
        BSTR saltPointer = salt.get();
        BSTR id = nullptr;
        EXPECT_EQ(object_->getID(&saltPointer, &id), S_OK);
        const Bstr owned(id);
        if (c.ansi.empty()) {
            EXPECT_EQ(id, nullptr);
        } else {
            ASSERT_NE(id, nullptr);
            EXPECT_EQ(Text(id), ExpectedIdentifier(c.ansi));
        }
    }
}

// Salts that yield no identifier. Where no derivation may run, no token is created.
struct NullCase {
    const char* name;
    bool nullPointer;
    bool nullBstr;
    std::wstring salt;
    bool registryUntouched;
};

const NullCase kNullSalts[] = {
    {"NullSaltPointer", true, false, L"", true},
    {"NullSaltBstr", false, true, L"", true},
    {"EmptySalt", false, false, L"", true},
    {"SaltOf256", false, false, Widen(PrintableSalt(256)), true},
    {"UnitAbove00FF", false, false, L"\u0100", false},
    {"UnitAbove00FFAfterUsableOnes", false, false, L"ab\u4E2D", false},
};

TEST_F(MembersTest, UnusableSaltGivesNullAndFreesTheCallersBstr) {
    for (const NullCase& c : kNullSalts) {
        SCOPED_TRACE(c.name);
        DeleteTokenKeys();
        Bstr salt = c.nullBstr ? Bstr() : MakeBstr(c.salt);
        BSTR saltPointer = salt.get();
        BSTR earlier = SysAllocString(L"earlier result");
        BSTR id = earlier;
        recorder_->clear();
        EXPECT_EQ(object_->getID(c.nullPointer ? nullptr : &saltPointer, &id), S_OK);
        EXPECT_EQ(id, nullptr);
        EXPECT_EQ(recorder_->freedStrings(), std::vector<BSTR>{earlier});
        if (c.registryUntouched) {
            EXPECT_TRUE(NoTokenKeys());
        }
    }
}

TEST_F(MembersTest, GetIdFreesTheCallersBstrBeforeStoringANewOne) {
    Bstr salt = MakeBstr(L"abc");
    BSTR saltPointer = salt.get();
    BSTR earlier = SysAllocString(L"earlier result");
    BSTR id = earlier;
    EXPECT_EQ(object_->getID(&saltPointer, &id), S_OK);
    const Bstr owned(id);
    EXPECT_EQ(recorder_->freedStrings(), std::vector<BSTR>{earlier});
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(Text(id), ExpectedIdentifier("abc"));
}

TEST_F(MembersTest, ComputerNameIsTheWholeNetBiosNameAndFreesTheCallersBstr) {
    // Null stands for the prefix's own name, left as it is.
    for (const char* wanted : {static_cast<const char*>(nullptr), "A", "TALVENOR-HOST15"}) {
        SCOPED_TRACE(wanted != nullptr ? wanted : "own name");
        std::unique_ptr<ScopedComputerName> renamed;
        if (wanted != nullptr) {
            renamed = std::make_unique<ScopedComputerName>(wanted);
        }
        char platform[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD size = sizeof platform;
        ASSERT_TRUE(GetComputerNameA(platform, &size));
        ASSERT_STREQ(platform, wanted != nullptr ? wanted : platform);
        BSTR earlier = SysAllocString(L"earlier name");
        BSTR name = earlier;
        recorder_->clear();
        EXPECT_EQ(object_->ComputerName(&name), S_OK);
        const Bstr owned(name);
        EXPECT_EQ(recorder_->freedStrings(), std::vector<BSTR>{earlier});
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(Text(name), Widen(platform));
        EXPECT_LE(SysStringLen(name), 15u);
    }
}

TEST_F(MembersTest, TestInstallationIsOneOnlyOnceTheMachineTokenExists) {
    LONG value = -5;
    EXPECT_EQ(object_->TestInstallation(&value), S_OK);
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(NoTokenKeys());  // asking creates nothing

    Bstr salt = MakeBstr(L"abc");
    BSTR saltPointer = salt.get();
    BSTR id = nullptr;
    object_->getID(&saltPointer, &id);
    SysFreeString(id);
    ASSERT_FALSE(StoredMachineToken().empty());
    EXPECT_EQ(object_->TestInstallation(&value), S_OK);
    EXPECT_EQ(value, 1);
}

TEST_F(MembersTest, VersionIsSevenCharactersAndLeavesTheCallersBstrAlone) {
    BSTR callers = SysAllocString(L"caller's text");
    BSTR version = callers;
    EXPECT_EQ(object_->Version(&version), S_OK);
    const Bstr owned(version), kept(callers);
    ASSERT_NE(version, nullptr);
    EXPECT_NE(version, callers);
    EXPECT_EQ(SysStringLen(version), 7u);
    EXPECT_EQ(Text(version), L"1.0.0.4");
    EXPECT_TRUE(recorder_->freedStrings().empty());
    EXPECT_EQ(Text(callers), L"caller's text");
}

TEST_F(MembersTest, NullOutPointerIsRefusedWithoutAnyWork) {
    Bstr salt = MakeBstr(L"abc");
    BSTR saltPointer = salt.get();
    const struct {
        const char* name;
        HRESULT result;
    } kCalls[] = {
        {"getID", object_->getID(&saltPointer, nullptr)},
        {"getID without salt", object_->getID(nullptr, nullptr)},
        {"ComputerName", object_->ComputerName(nullptr)},
        {"TestInstallation", object_->TestInstallation(nullptr)},
        {"Version", object_->Version(nullptr)},
    };
    for (const auto& call : kCalls) {
        EXPECT_EQ(call.result, E_POINTER) << call.name;
    }
    EXPECT_TRUE(recorder_->freed().empty());
    EXPECT_TRUE(NoTokenKeys());  // no derivation ran
    EXPECT_EQ(Text(salt.get()), L"abc");
}

}  // namespace
