#include "verify.h"

#include <array>
#include <cstddef>

namespace verifier {

namespace {

constexpr std::size_t kVolumeTokenLength = 9;  // "H" and 8 hexadecimal digits
constexpr std::size_t kSerialDigits = 8;
constexpr std::size_t kGeneratedTokenLength = 10;
constexpr std::size_t kGeneratedJoinedLength = kVolumeTokenLength + 2 * kGeneratedTokenLength;
constexpr std::size_t kCheckTextLength = 8;
constexpr std::size_t kSecondSegmentLength = 2 * kCheckTextLength;
constexpr std::size_t kShortestIdentifier = 2 * kVolumeTokenLength + kSecondSegmentLength;
constexpr std::uint32_t kEvenSumMask = 0x04071FF1;
constexpr std::uint32_t kOddSumMask = 0x0489FC0D;
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr int kNotADigit = -1;

// Digit values indexed by character code: upper-case hexadecimal only, as the
// component writes them.
constexpr std::array<int, 256> MakeDigitValues() {
    std::array<int, 256> values{};
    for (int& value : values) {
        value = kNotADigit;
    }
    for (int digit = 0; digit < 16; ++digit) {
        values[static_cast<unsigned char>(kHexDigits[digit])] = digit;
    }
    return values;
}
constexpr std::array<int, 256> kDigitValues = MakeDigitValues();

int DigitValue(char c) {
    return kDigitValues[static_cast<unsigned char>(c)];
}

bool IsSaltAccepted(std::string_view salt) {
    // The component's salt is a zero-terminated text: it cannot hold a zero byte.
    return !salt.empty() && salt.size() <= kLongestSalt &&
           salt.find('\0') == std::string_view::npos;
}

bool IsUpperHex(std::string_view text) {
    for (const char c : text) {
        if (DigitValue(c) == kNotADigit) {
            return false;
        }
    }
    return true;
}

// The byte that the digit pair at `pair` stands for, the salt's mixing undone.
// The digits have been checked.
char UnsaltedByte(std::string_view digits, std::size_t pair, char saltByte) {
    const int mixed = DigitValue(digits[2 * pair]) * 16 + DigitValue(digits[2 * pair + 1]);
    return static_cast<char>(mixed ^ static_cast<unsigned char>(saltByte));
}

// Character codes at even positions summed into one word, at odd positions into
// another, both masked and combined.
std::uint32_t CheckValue(std::string_view firstSegment) {
    std::uint32_t evenSum = 0;
    std::uint32_t oddSum = 0;
    for (std::size_t position = 0; position + 1 < firstSegment.size(); position += 2) {
        evenSum += static_cast<unsigned char>(firstSegment[position]);
        oddSum += static_cast<unsigned char>(firstSegment[position + 1]);
    }
    return (evenSum ^ kEvenSumMask) ^ (oddSum ^ kOddSumMask);
}

// The second segment, unsalted with the salt index restarted at 0, must be the
// check value's 8 upper-case digits.
bool CheckTextMatches(std::string_view firstSegment, std::string_view secondSegment,
                      std::string_view salt) {
    const std::uint32_t value = CheckValue(firstSegment);
    std::size_t saltIndex = 0;
    for (std::size_t j = 0; j < kCheckTextLength; ++j) {
        if (saltIndex == salt.size()) {
            saltIndex = 0;
        }
        const char expected = kHexDigits[(value >> (4 * (kCheckTextLength - 1 - j))) & 0xF];
        if (UnsaltedByte(secondSegment, j, salt[saltIndex]) != expected) {
            return false;
        }
        ++saltIndex;
    }
    return true;
}

std::string UnsaltedText(std::string_view digits, std::string_view salt) {
    std::string text(digits.size() / 2, '\0');
    std::size_t saltIndex = 0;
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (saltIndex == salt.size()) {
            saltIndex = 0;
        }
        text[k] = UnsaltedByte(digits, k, salt[saltIndex]);
        ++saltIndex;
    }
    return text;
}

bool IsVolumeToken(std::string_view token) {
    return token[0] == 'H' && IsUpperHex(token.substr(1, kSerialDigits));
}

// A token is read from the registry up to its first zero byte, so no token the
// component joins holds one.
bool TokensHoldZero(std::string_view joined) {
    return joined.find('\0', kVolumeTokenLength) != std::string_view::npos;
}

std::uint32_t SerialOf(std::string_view volumeToken) {
    std::uint32_t serial = 0;
    for (const char c : volumeToken.substr(1, kSerialDigits)) {
        serial = serial << 4 | static_cast<std::uint32_t>(DigitValue(c));
    }
    return serial;
}

Verification Refusal(Reason reason) {
    Verification verification;
    verification.reason = reason;
    return verification;
}

}  // namespace

std::string_view ReasonName(Reason reason) {
    switch (reason) {
        case Reason::kNone:
            return "none";
        case Reason::kRefusedSalt:
            return "refused-salt";
        case Reason::kWrongLength:
            return "wrong-length";
        case Reason::kNotHexadecimal:
            return "not-hexadecimal";
        case Reason::kChecksumMismatch:
            return "checksum-mismatch";
        case Reason::kNotAVolumeToken:
            return "not-a-volume-token";
        case Reason::kZeroByteInToken:
            return "zero-byte-in-token";
    }
    return "unknown";
}

bool Verification::SplitKnown() const {
    return Valid() && joined.size() == kGeneratedJoinedLength;
}

std::string_view Verification::MachineToken() const {
    return SplitKnown() ? std::string_view(joined).substr(kVolumeTokenLength, kGeneratedTokenLength)
                        : std::string_view();
}

std::string_view Verification::UserToken() const {
    return SplitKnown()
               ? std::string_view(joined).substr(kVolumeTokenLength + kGeneratedTokenLength)
               : std::string_view();
}

Verification Verify(std::string_view identifier, std::string_view salt) {
    if (!IsSaltAccepted(salt)) {
        return Refusal(Reason::kRefusedSalt);
    }
    // The length first: an over-long text is refused without reading it.
    if (identifier.size() < kShortestIdentifier || identifier.size() > kLongestIdentifier ||
        identifier.size() % 2 != 0) {
        return Refusal(Reason::kWrongLength);
    }
    if (!IsUpperHex(identifier)) {
        return Refusal(Reason::kNotHexadecimal);
    }
    const std::string_view firstSegment =
        identifier.substr(0, identifier.size() - kSecondSegmentLength);
    if (!CheckTextMatches(firstSegment, identifier.substr(firstSegment.size()), salt)) {
        return Refusal(Reason::kChecksumMismatch);
    }
    Verification verification;
    verification.joined = UnsaltedText(firstSegment, salt);
    if (!IsVolumeToken(verification.joined)) {
        return Refusal(Reason::kNotAVolumeToken);
    }
    if (TokensHoldZero(verification.joined)) {
        return Refusal(Reason::kZeroByteInToken);
    }
    verification.volumeSerial = SerialOf(verification.joined);
    return verification;
}

}  // namespace verifier
