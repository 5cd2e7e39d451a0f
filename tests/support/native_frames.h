// Native messaging frames as a browser writes and reads them: a 32-bit length
// in the machine's byte order, then the message.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace test_support {

// The four bytes of a length as a frame starts with it.
inline std::string LengthBytes(std::uint32_t length) {
    std::string bytes(sizeof length, '\0');
    std::memcpy(&bytes[0], &length, sizeof length);
    return bytes;
}

inline std::string Frame(const std::string& message) {
    return LengthBytes(static_cast<std::uint32_t>(message.size())) + message;
}

// The messages of a stream of frames. `whole` is false when the stream ends
// inside a frame; the messages before it are still returned.
inline std::vector<std::string> SplitFrames(const std::string& stream, bool& whole) {
    std::vector<std::string> messages;
    std::size_t at = 0;
    whole = true;
    while (at < stream.size()) {
        std::uint32_t length = 0;
        if (stream.size() - at < sizeof length) {
            whole = false;
            break;
        }
        std::memcpy(&length, stream.data() + at, sizeof length);
        at += sizeof length;
        if (stream.size() - at < length) {
            whole = false;
            break;
        }
        messages.push_back(stream.substr(at, length));
        at += length;
    }
    return messages;
}

}  // namespace test_support
