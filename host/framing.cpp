#include "framing.h"

#include <cstring>

namespace host {

namespace {

constexpr std::size_t kLengthSize = sizeof(std::uint32_t);

enum class Filled { kWhole, kEndedEarly, kFailed };

// Fills `size` bytes of `buffer`, however the source splits them up.
// `kEndedEarly` with `filled` 0 means the input ended before the first byte.
Filled Fill(ByteSource& source, char* buffer, std::size_t size, std::size_t& filled) {
    filled = 0;
    while (filled < size) {
        std::size_t count = 0;
        if (!source.Read(buffer + filled, size - filled, count)) {
            return Filled::kFailed;
        }
        if (count == 0) {
            return Filled::kEndedEarly;
        }
        filled += count;
    }
    return Filled::kWhole;
}

}  // namespace

FrameRead ReadFrame(ByteSource& source, std::string& message) {
    message.clear();
    char lengthBytes[kLengthSize];
    std::size_t filled = 0;
    switch (Fill(source, lengthBytes, kLengthSize, filled)) {
        case Filled::kFailed:
            return {FrameStatus::kReadFailed, 0};
        case Filled::kEndedEarly:
            return {filled == 0 ? FrameStatus::kEnd : FrameStatus::kEndInLength, 0};
        case Filled::kWhole:
            break;
    }
    std::uint32_t length = 0;
    std::memcpy(&length, lengthBytes, kLengthSize);
    if (length > kMaxMessageLength) {
        return {FrameStatus::kTooLong, length};
    }
    message.resize(length);
    switch (Fill(source, &message[0], length, filled)) {
        case Filled::kFailed:
            return {FrameStatus::kReadFailed, length};
        case Filled::kEndedEarly:
            return {FrameStatus::kEndInMessage, length};
        case Filled::kWhole:
            break;
    }
    return {FrameStatus::kMessage, length};
}

bool WriteFrame(ByteSink& sink, const std::string& message) {
    const auto length = static_cast<std::uint32_t>(message.size());
    std::string frame(kLengthSize, '\0');
    std::memcpy(&frame[0], &length, kLengthSize);
    frame += message;
    return sink.Write(frame.data(), frame.size());
}

}  // namespace host
