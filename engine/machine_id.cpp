#include "machine_id.h"

#include <cstdint>
#include <cstring>

#include "engine_text.h"
#include "platform.h"
#include "random_token.h"
#include "token_store.h"

namespace engine {

namespace {

constexpr std::size_t kMaxSaltLength = 255;
constexpr char kVolumeRoot[] = "c:\\";
constexpr std::size_t kVolumeTokenLength = 9;  // "H" and 8 hexadecimal digits
constexpr std::size_t kCheckTextLength = 8;
constexpr std::uint32_t kEvenSumMask = 0x04071FF1;
constexpr std::uint32_t kOddSumMask = 0x0489FC0D;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Writes each byte of `text` XOR the salt byte at the same position modulo the
// salt's length as two hexadecimal digits; the salt index starts at 0 on every call.
char* AppendSaltedHex(char* out, const char* text, std::size_t length, const char* salt,
                      std::size_t saltLength) {
    std::size_t saltIndex = 0;
    for (std::size_t position = 0; position < length; ++position) {
        if (saltIndex == saltLength) {
            saltIndex = 0;
        }
        const unsigned mixed = static_cast<unsigned char>(text[position]) ^
                               static_cast<unsigned char>(salt[saltIndex]);
        *out++ = kHexDigits[mixed >> 4];
        *out++ = kHexDigits[mixed & 0xF];
        ++saltIndex;
    }
    return out;
}

// Writes `value` as 8 upper-case hexadecimal digits, zero-padded ("%08X"),
// and a terminator.
void WriteHex8(char* out, std::uint32_t value) {
    for (int digit = 7; digit >= 0; --digit) {
        *out++ = kHexDigits[(value >> (4 * digit)) & 0xF];
    }
    *out = '\0';
}

// Character codes at even positions summed into one word, at odd positions into
// another, both masked and combined.
std::uint32_t CheckValue(const char* segment, std::size_t length) {
    std::uint32_t evenSum = 0;
    std::uint32_t oddSum = 0;
    for (std::size_t position = 0; position < length; ++position) {
        const auto code = static_cast<unsigned char>(segment[position]);
        if (position % 2 == 0) {
            evenSum += code;
        } else {
            oddSum += code;
        }
    }
    return (evenSum ^ kEvenSumMask) ^ (oddSum ^ kOddSumMask);
}

}  // namespace

const char* ComputeMachineId(const char* salt) {
    const std::size_t saltLength = std::strlen(salt);
    if (saltLength == 0 || saltLength > kMaxSaltLength) {
        return kEmptyText;
    }

    DWORD serial = 0;
    if (!GetVolumeInformationA(kVolumeRoot, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
        return kEmptyText;
    }
    char volumeToken[kVolumeTokenLength + 1];
    volumeToken[0] = 'H';
    WriteHex8(volumeToken + 1, serial);

    // Seeded on every derivation, before the tokens are asked for: a token
    // generated now depends only on the current second.
    srand(static_cast<std::uint32_t>(time(nullptr)));
    UniqueText machineToken(GetMachineToken());
    UniqueText userToken(GetUserToken());
    if (machineToken.get()[0] == '\0' || userToken.get()[0] == '\0') {
        return kEmptyText;
    }

    const std::size_t machineLength = std::strlen(machineToken.get());
    const std::size_t userLength = std::strlen(userToken.get());
    const std::size_t joinedLength = kVolumeTokenLength + machineLength + userLength;
    char* joined = AllocateText(joinedLength);
    if (joined == nullptr) {
        return kEmptyText;
    }
    UniqueText joinedOwner(joined);
    std::memcpy(joined, volumeToken, kVolumeTokenLength);
    std::memcpy(joined + kVolumeTokenLength, machineToken.get(), machineLength);
    std::memcpy(joined + kVolumeTokenLength + machineLength, userToken.get(), userLength + 1);
    machineToken.reset();
    userToken.reset();

    const std::size_t firstSegmentLength = 2 * joinedLength;
    char* identifier = AllocateText(firstSegmentLength + 2 * kCheckTextLength);
    if (identifier == nullptr) {
        return kEmptyText;
    }
    char* end = AppendSaltedHex(identifier, joined, joinedLength, salt, saltLength);

    char checkText[kCheckTextLength + 1];
    WriteHex8(checkText, CheckValue(identifier, firstSegmentLength));
    end = AppendSaltedHex(end, checkText, kCheckTextLength, salt, saltLength);
    *end = '\0';
    return identifier;
}

}  // namespace engine
