// The verifier against identifiers worked out apart from it (worked_identifiers.h).
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "verify.h"
#include "worked_identifiers.h"

namespace {

using verifier::Reason;
using verifier::Verify;

struct ValidCase {
    const char* name;
    std::string salt;
    std::string identifier;
    std::uint32_t serial;
    std::string joined;
    bool splitKnown;
    std::string machineToken;
    std::string userToken;
};

const std::vector<ValidCase>& ValidCases() {
    using namespace worked;
    static const std::vector<ValidCase> cases = {
        {"salt abc", "abc", kAbcId, 0xC0FFEE42, kJoined, true, kMachineToken, kUserToken},
        {"one-byte salt", "K",
         "03087B0D0D0E0E7F791A7C261120791B331F72297F19251C732807327A7B7B730E0E7B0D0F", 0xC0FFEE42,
         kJoined, true, kMachineToken, kUserToken},
        {"255-byte salt", EveryByteSalt(),
         "494B3F505B616E060B1170230F37513A092C46E4B9C6F5F591D3FBC7F43138375358176E04", 0xC0FFEE42,
         kJoined, true, kMachineToken, kUserToken},
        {"salt bytes above 0x7F, serial 0", kHighByteSalt,
         "A1B0CF10D9B0CF10D9D1C84DB3EBCD7091D4C642DDD29177D1E3B359D8D9B0C765ACB2BA15", 0,
         std::string("H00000000") + kMachineToken + kUserToken, true, kMachineToken, kUserToken},
        {"token bytes of any value", kHighByteSalt, kOddTokenId, 0xC0FFEE42,
         std::string("HC0FFEE42") + kOddMachineToken + kUserToken, true, kOddMachineToken,
         kUserToken},
        // A stored machine token of 20 characters: L = 39, the split unknown.
        {"20-character machine token", "abc",
         "29242527242527242520530153215005562654045526550B592B5A0B520155300D365A002D1B5251525B24272"
         "050"
         "56",
         0xFFFFFFFF, "HFFFFFFFFA1b2C3d4E5f6G7h8I9j0b4RnW8cLy1", false, "", ""},
        // The shortest the format allows: L = 9, no token bytes.
        {"volume token alone", "abc", "29215327242624565151525B2427502427", 0xC0FFEE42, "HC0FFEE42",
         false, "", ""},
        // The engine's own worked value (tests/engine/worked_values.h).
        {"engine's worked value", "abc",
         "2953515256222321270F13550954522B0126340A250C171B511208133051525B2427535751", 0x1234ABCD,
         "H1234ABCDnq6h61JcEUhFmux0pkrR", true, "nq6h61JcEU", "hFmux0pkrR"},
    };
    return cases;
}

TEST(Verify, DecodesWorkedIdentifiers) {
    for (const ValidCase& c : ValidCases()) {
        SCOPED_TRACE(c.name);
        const auto result = Verify(c.identifier, c.salt);
        ASSERT_TRUE(result.Valid()) << verifier::ReasonName(result.reason);
        EXPECT_EQ(result.volumeSerial, c.serial);
        EXPECT_EQ(result.joined, c.joined);
        EXPECT_EQ(result.SplitKnown(), c.splitKnown);
        EXPECT_EQ(result.MachineToken(), c.machineToken);
        EXPECT_EQ(result.UserToken(), c.userToken);
    }
}

struct InvalidCase {
    const char* name;
    std::string salt;
    std::string identifier;
    Reason reason;
};

std::string Replaced(std::string text, std::size_t position, char c) {
    text[position] = c;
    return text;
}

std::string LowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

TEST(Verify, NamesTheFirstBrokenRule) {
    const std::string id = worked::kAbcId;
    const std::vector<InvalidCase> cases = {
        {"empty salt", "", id, Reason::kRefusedSalt},
        {"256-byte salt", std::string(256, 'a'), id, Reason::kRefusedSalt},
        {"salt with a zero byte", std::string("a\0c", 3), id, Reason::kRefusedSalt},
        {"refused salt before a bad identifier", "", "xyz", Reason::kRefusedSalt},
        {"empty identifier", "abc", "", Reason::kWrongLength},
        {"one character short", "abc", id.substr(0, 73), Reason::kWrongLength},
        {"one character long", "abc", id + "0", Reason::kWrongLength},
        {"L = 8", "abc", std::string(32, '0'), Reason::kWrongLength},
        {"wrong length before lower case", "abc", LowerCase(id.substr(0, 73)),
         Reason::kWrongLength},
        {"lower case", "abc", LowerCase(id), Reason::kNotHexadecimal},
        {"letter G", "abc", Replaced(id, 10, 'G'), Reason::kNotHexadecimal},
        {"space", "abc", Replaced(id, 73, ' '), Reason::kNotHexadecimal},
        {"byte above 0x7F", "abc", Replaced(id, 0, '\xC1'), Reason::kNotHexadecimal},
        {"another salt", "abd", id, Reason::kChecksumMismatch},
        {"two digits appended", "abc", id + "00", Reason::kChecksumMismatch},
        {"zeros of a valid length", "abc", std::string(34, '0'), Reason::kChecksumMismatch},
        {"X instead of H", "abc",
         "39535152562223212730550E3B0951311A37580057330C3459012F185351525B2427535123",
         Reason::kNotAVolumeToken},
        {"serial in lower case", "abc",
         "29015307040604565130550E3B0951311A37580057330C3459012F185351525B2427535657",
         Reason::kNotAVolumeToken},
        {"serial of 7 digits", "abc",
         "295351525622232132560F390A503319365A0356310F355B022E1A5051525B242753565B",
         Reason::kNotAVolumeToken},
    };
    for (const InvalidCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = Verify(c.identifier, c.salt);
        EXPECT_EQ(verifier::ReasonName(result.reason), verifier::ReasonName(c.reason));
        EXPECT_TRUE(result.joined.empty()) << "parts of an invalid identifier";
    }
}

// The checksum catches every single changed character, in either segment.
TEST(Verify, CatchesEveryChangedCharacter) {
    for (const ValidCase& c : ValidCases()) {
        SCOPED_TRACE(c.name);
        for (std::size_t position = 0; position < c.identifier.size(); ++position) {
            for (const char digit : std::string("0123456789ABCDEF")) {
                if (digit == c.identifier[position]) {
                    continue;
                }
                const auto result = Verify(Replaced(c.identifier, position, digit), c.salt);
                EXPECT_EQ(verifier::ReasonName(result.reason), "checksum-mismatch")
                    << "position " << position << " changed to " << digit;
            }
        }
    }
}

}  // namespace
