#include "salt_rules.h"

namespace host {

namespace {

// In UTF-8, U+0080 to U+00FF are the two-byte sequences led by 0xC2 and 0xC3,
// which carry the character's top two bits; every other lead byte above 0x7F
// starts a character above U+00FF.
constexpr unsigned char kFirstLatin1Lead = 0xC2;
constexpr unsigned char kLastLatin1Lead = 0xC3;
constexpr unsigned char kContinuationMask = 0xC0;
constexpr unsigned char kContinuationTag = 0x80;

bool IsContinuation(unsigned char byte) {
    return (byte & kContinuationMask) == kContinuationTag;
}

}  // namespace

std::optional<std::string> ControlSaltBytes(const std::string& salt) {
    if (salt.empty()) {
        return std::nullopt;
    }
    std::string bytes;
    for (std::size_t at = 0; at < salt.size() && salt[at] != '\0'; ++at) {
        const auto lead = static_cast<unsigned char>(salt[at]);
        if (lead < 0x80) {
            bytes += static_cast<char>(lead);
            continue;
        }
        if (lead < kFirstLatin1Lead || lead > kLastLatin1Lead || at + 1 == salt.size() ||
            !IsContinuation(static_cast<unsigned char>(salt[at + 1]))) {
            return std::nullopt;
        }
        const auto trail = static_cast<unsigned char>(salt[++at]);
        bytes += static_cast<char>(((lead & 0x03) << 6) | (trail & 0x3F));
    }
    return bytes;
}

}  // namespace host
