// An independent rendering of the identifier rules, for tests that check what
// the component derives on a real machine: written from the rules, sharing no
// code with the engine.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace test_support {

inline std::string HexByte(unsigned value) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", value & 0xFFu);
    return digits;
}

// Each byte of `text` XOR the salt byte at the same position modulo the salt's length.
inline std::string SaltedHex(const std::string& text, const std::string& salt) {
    std::string out;
    for (std::size_t k = 0; k < text.size(); ++k) {
        out += HexByte(static_cast<unsigned char>(text[k]) ^
                       static_cast<unsigned char>(salt[k % salt.size()]));
    }
    return out;
}

// The value of an upper-case hexadecimal digit, or -1 for any other character.
inline int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// SaltedHex undone: the bytes that the digit pairs of `digits` stand for, each
// XOR the salt byte at its position modulo the salt's length. The digits must
// have been checked to be upper-case hexadecimal.
inline std::string UnsaltedHex(const std::string& digits, const std::string& salt) {
    std::string bytes;
    for (std::size_t k = 0; 2 * k + 1 < digits.size(); ++k) {
        const int mixed = HexDigitValue(digits[2 * k]) * 16 + HexDigitValue(digits[2 * k + 1]);
        bytes += static_cast<char>(mixed ^ static_cast<unsigned char>(salt[k % salt.size()]));
    }
    return bytes;
}

// Eight upper-case hexadecimal digits, as the rules write the C: serial and the check value.
inline std::string Hex8(std::uint32_t value) {
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08X", static_cast<unsigned>(value));
    return digits;
}

// The rules mask the sum of the even positions with 0x04071FF1 and that of the
// odd positions with 0x0489FC0D; XOR lets the two masks act as one.
constexpr std::uint32_t kCheckMask = 0x008EE3FCu;

// The check text that the first segment (the salted hexadecimal digits) calls
// for: the sums of its characters at even and at odd positions, masked and
// combined, in eight digits.
inline std::string CheckText(const std::string& firstSegment) {
    std::uint32_t even = 0;
    std::uint32_t odd = 0;
    for (std::size_t i = 0; i < firstSegment.size(); ++i) {
        (i % 2 == 0 ? even : odd) += static_cast<unsigned char>(firstSegment[i]);
    }
    return Hex8(even ^ odd ^ kCheckMask);
}

// The identifier for `salt` on a machine with this C: serial and these tokens.
inline std::string ReferenceIdentifier(std::uint32_t volumeSerial, const std::string& machineToken,
                                       const std::string& userToken, const std::string& salt) {
    const std::string first = SaltedHex("H" + Hex8(volumeSerial) + machineToken + userToken, salt);
    return first + SaltedHex(CheckText(first), salt);
}

}  // namespace test_support
