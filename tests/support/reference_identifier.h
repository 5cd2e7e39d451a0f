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

// The identifier for `salt` on a machine with this C: serial and these tokens.
inline std::string ReferenceIdentifier(std::uint32_t volumeSerial, const std::string& machineToken,
                                       const std::string& userToken, const std::string& salt) {
    char volumeToken[16];
    std::snprintf(volumeToken, sizeof volumeToken, "H%08X", static_cast<unsigned>(volumeSerial));
    const std::string first = SaltedHex(volumeToken + machineToken + userToken, salt);
    std::uint32_t even = 0;
    std::uint32_t odd = 0;
    for (std::size_t i = 0; i < first.size(); ++i) {
        (i % 2 == 0 ? even : odd) += static_cast<unsigned char>(first[i]);
    }
    char check[16];
    std::snprintf(check, sizeof check, "%08X", static_cast<unsigned>(even ^ odd ^ 0x008EE3FCu));
    return first + SaltedHex(check, salt);
}

}  // namespace test_support
