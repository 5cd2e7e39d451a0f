// The verifier against identifiers derived apart from it (identifier_vectors.h),
// and what one identifier gives away to anyone who holds it.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "identifier_vectors.h"
#include "reference_identifier.h"
#include "verify.h"

namespace {

using test_support::CheckText;
using test_support::Hex8;
using vectors::Vector;
using verifier::Verify;

constexpr std::size_t kCheckTextLength = 8;
constexpr std::size_t kSecondSegmentLength = 2 * kCheckTextLength;
constexpr std::size_t kGeneratedJoinedLength = 29;

// The verdict in the shape that talvenor-verify prints and the vectors hold.
nlohmann::json VerdictOf(const verifier::Verification& verification) {
    nlohmann::json verdict = {{"valid", verification.Valid()},
                              {"reason", verifier::ReasonName(verification.reason)}};
    if (verification.Valid()) {
        verdict["volumeSerial"] = Hex8(verification.volumeSerial);
        verdict["joined"] = vectors::Text(verification.joined);
        verdict["splitKnown"] = verification.SplitKnown();
        if (verification.SplitKnown()) {
            verdict["machineToken"] = vectors::Text(std::string(verification.MachineToken()));
            verdict["userToken"] = vectors::Text(std::string(verification.UserToken()));
        }
    }
    return verdict;
}

TEST(Verify, GivesEveryVectorsVerdict) {
    for (const Vector& v : vectors::All()) {
        SCOPED_TRACE(v.name);
        const verifier::Verification verification = Verify(v.identifier, v.salt);
        EXPECT_TRUE(vectors::SameVerdict(VerdictOf(verification), v.expected));
        if (!verification.Valid()) {
            EXPECT_TRUE(verification.joined.empty()) << "parts of an invalid identifier";
        }
    }
}

// Every rule and every kind of salt and token that the vectors exist for is
// there, so that a port tested against them meets each one.
TEST(Vectors, CoverEveryRuleAndEveryKindOfSaltAndToken) {
    const auto joinedLength = [](const Vector& v) {
        return (v.identifier.size() - kSecondSegmentLength) / 2;
    };
    const auto anyByteAbove7F = [](const std::string& bytes) {
        for (const char c : bytes) {
            if (static_cast<unsigned char>(c) > 0x7F) {
                return true;
            }
        }
        return false;
    };
    struct Need {
        std::string what;
        std::function<bool(const Vector&)> metBy;
    };
    std::vector<Need> needs;
    for (const char* reason : {"none", "refused-salt", "wrong-length", "not-hexadecimal",
                               "checksum-mismatch", "not-a-volume-token", "zero-byte-in-token"}) {
        needs.push_back({std::string("reason ") + reason,
                         [reason](const Vector& v) { return v.Reason() == reason; }});
    }
    for (const std::size_t length : {1, 3, 8, 9, 255}) {
        needs.push_back(
            {"valid with a salt of " + std::to_string(length) + " bytes",
             [length](const Vector& v) { return v.Valid() && v.salt.size() == length; }});
    }
    const std::vector<Need> more = {
        {"valid with a salt byte above 0x7F",
         [&](const Vector& v) { return v.Valid() && anyByteAbove7F(v.salt); }},
        {"valid with a token byte above 0x7F",
         [&](const Vector& v) {
             return v.Valid() && v.madeFrom && anyByteAbove7F(v.madeFrom->machineToken);
         }},
        {"valid with L other than 29",
         [&](const Vector& v) { return v.Valid() && joinedLength(v) != kGeneratedJoinedLength; }},
        {"valid at the longest length",
         [](const Vector& v) {
             return v.Valid() && v.identifier.size() == verifier::kLongestIdentifier;
         }},
        {"derived by the rules but 2 characters longer than the longest",
         [](const Vector& v) {
             return v.madeFrom && v.identifier.size() == verifier::kLongestIdentifier + 2;
         }},
        {"valid under a salt other than the one it was made with",
         [](const Vector& v) { return v.Valid() && v.madeFrom && v.madeFrom->salt != v.salt; }},
    };
    needs.insert(needs.end(), more.begin(), more.end());
    for (const Need& need : needs) {
        bool met = false;
        for (const Vector& v : vectors::All()) {
            met = met || need.metBy(v);
        }
        EXPECT_TRUE(met) << "no vector: " << need.what;
    }
}

// Whether `joined` starts with a volume token: "H" and eight upper-case
// hexadecimal digits.
bool IsVolumeToken(const std::string& joined) {
    return joined.size() >= 9 && joined[0] == 'H' &&
           joined.substr(1, 8).find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// A second, separate rendering of the rules (tests/support) derives the same
// identifiers from the same parts. It formats the volume token from a serial,
// so the vectors with a deliberately broken one are left to the Python script.
TEST(Vectors, AgreeWithTheReferenceDerivation) {
    int compared = 0;
    for (const Vector& v : vectors::All()) {
        if (!v.madeFrom) {
            continue;
        }
        const vectors::Parts& parts = *v.madeFrom;
        if (parts.volumeToken.size() != 9 || !IsVolumeToken(parts.volumeToken)) {
            continue;
        }
        SCOPED_TRACE(v.name);
        const std::string serial = parts.volumeToken.substr(1);
        EXPECT_EQ(test_support::ReferenceIdentifier(
                      static_cast<std::uint32_t>(std::stoul(serial, nullptr, 16)),
                      parts.machineToken, parts.userToken, parts.salt),
                  v.identifier);
        ++compared;
    }
    EXPECT_GE(compared, 15);
}

std::string Replaced(std::string text, std::size_t position, char c) {
    text[position] = c;
    return text;
}

// The checksum catches every single changed character, in either segment:
// every other digit at every position, and at every position of the longest
// identifiers (thousands of characters) the next digit.
TEST(Verify, CatchesEveryChangedCharacter) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    constexpr std::size_t kEveryDigitUpTo = 600;
    for (const Vector& v : vectors::All()) {
        if (!v.Valid()) {
            continue;
        }
        SCOPED_TRACE(v.name);
        const int replacements = v.identifier.size() <= kEveryDigitUpTo ? 15 : 1;
        for (std::size_t position = 0; position < v.identifier.size(); ++position) {
            const std::size_t digit = std::string_view(kDigits).find(v.identifier[position]);
            for (int step = 1; step <= replacements; ++step) {
                const char other = kDigits[(digit + step) % 16];
                const auto result = Verify(Replaced(v.identifier, position, other), v.salt);
                ASSERT_EQ(verifier::ReasonName(result.reason), "checksum-mismatch")
                    << "position " << position << " changed to " << other;
            }
        }
    }
}

// Anyone holding an identifier, without the salt: the second segment is the
// check text mixed with the salt's bytes j mod n for j from 0 to 7, and the
// check text can be computed, so those 8 bytes come out, and they decode the
// joined text's first 8 bytes. A salt of up to 8 bytes is whole in them: of
// the lengths that repeat in those bytes, the first under which the first
// segment decodes to a volume token gives the serial and both tokens.
TEST(WhatAnIdentifierGivesAway, TheSaltsFirstEightBytesAndAShortSaltWhole) {
    int shortSalts = 0;
    for (const Vector& v : vectors::All()) {
        if (!v.Valid() || !v.madeFrom || v.madeFrom->salt != v.salt) {
            continue;
        }
        SCOPED_TRACE(v.name);
        const std::string first =
            v.identifier.substr(0, v.identifier.size() - kSecondSegmentLength);
        const std::string metByCheckText =
            test_support::UnsaltedHex(v.identifier.substr(first.size()), CheckText(first));
        std::string expected;
        for (std::size_t j = 0; j < kCheckTextLength; ++j) {
            expected += v.salt[j % v.salt.size()];
        }
        EXPECT_EQ(metByCheckText, expected);
        EXPECT_EQ(vectors::Text(test_support::UnsaltedHex(first.substr(0, 2 * kCheckTextLength),
                                                          metByCheckText)),
                  v.expected.at("joined").get<std::string>().substr(0, kCheckTextLength))
            << "\"H\" and the serial's first 7 digits, whatever the salt's length";
        if (v.salt.size() > kCheckTextLength) {
            continue;
        }
        ++shortSalts;
        std::string recovered;
        for (std::size_t length = 1; length <= kCheckTextLength && recovered.empty(); ++length) {
            std::string candidate = metByCheckText.substr(0, length);
            bool repeats = true;
            for (std::size_t j = 0; j < kCheckTextLength; ++j) {
                repeats = repeats && metByCheckText[j] == candidate[j % length];
            }
            if (repeats && IsVolumeToken(test_support::UnsaltedHex(first, candidate))) {
                recovered = candidate;
            }
        }
        if (recovered.empty()) {
            ADD_FAILURE() << "no salt length of up to 8 bytes fits";
            continue;
        }
        EXPECT_EQ(vectors::Text(test_support::UnsaltedHex(first, recovered)),
                  v.expected.at("joined").get<std::string>());
    }
    EXPECT_GE(shortSalts, 5);
}

}  // namespace
