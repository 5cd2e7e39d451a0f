// Checks and decodes a machine identifier on the side that receives it, given
// the salt the page passed to getID. The format is described in
// docs/identifier.md. Plain C++17, independent of the Windows code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace verifier {

// The longest salt the component takes, in bytes.
constexpr std::size_t kLongestSalt = 255;
// The longest token the component reads: its registry data buffer's 1,024 bytes.
constexpr std::size_t kLongestToken = 1024;
// The longest identifier the component can give, 4,130 characters: 2L + 16 for
// a joined text of L bytes, here the volume token's 9 and two of the longest
// tokens, L = 2057.
constexpr std::size_t kLongestIdentifier = 2 * (9 + 2 * kLongestToken) + 16;

// Why an identifier is not valid: the first rule it breaks, in this order.
enum class Reason {
    kNone,              // valid
    kRefusedSalt,       // empty, longer than 255 bytes, or holding a zero byte
    kWrongLength,       // not 2L + 16 characters with L from 9 to 2057
    kNotHexadecimal,    // a character other than 0-9 and A-F
    kChecksumMismatch,  // the check text does not match the first segment
    kNotAVolumeToken,   // the first segment does not decode to "H" and 8 hexadecimal digits
    kZeroByteInToken,   // a token byte decodes to 0, which no stored token holds
};

// The reason's stable name, as printed in JSON: "none", "refused-salt",
// "wrong-length", "not-hexadecimal", "checksum-mismatch", "not-a-volume-token",
// "zero-byte-in-token".
std::string_view ReasonName(Reason reason);

struct Verification {
    Reason reason = Reason::kNone;
    // The parts, set only when valid.
    std::uint32_t volumeSerial = 0;
    std::string joined;  // "H", the serial's 8 digits, the machine token, the user token

    bool Valid() const { return reason == Reason::kNone; }

    // Generated tokens are 10 bytes each, which makes the joined text 29 bytes
    // long. At any other length the two stored tokens have no visible boundary.
    bool SplitKnown() const;
    // Views into `joined`; empty unless SplitKnown().
    std::string_view MachineToken() const;
    std::string_view UserToken() const;
};

// Checks `identifier` against `salt` (the salt's bytes, as the component saw
// them) and decodes it.
Verification Verify(std::string_view identifier, std::string_view salt);

}  // namespace verifier
