// Checks and decodes a machine identifier on the side that receives it, given
// the salt the page passed to getID. The format is described in
// docs/identifier.md. Plain C++17, independent of the Windows code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace verifier {

// Why an identifier is not valid: the first rule it breaks, in this order.
enum class Reason {
    kNone,              // valid
    kRefusedSalt,       // empty, longer than 255 bytes, or holding a zero byte
    kWrongLength,       // not 2L + 16 characters with L at least 9
    kNotHexadecimal,    // a character other than 0-9 and A-F
    kChecksumMismatch,  // the check text does not match the first segment
    kNotAVolumeToken,   // the first segment does not decode to "H" and 8 hexadecimal digits
};

// The reason's stable name, as printed in JSON: "none", "refused-salt",
// "wrong-length", "not-hexadecimal", "checksum-mismatch", "not-a-volume-token".
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
