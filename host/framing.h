// The browsers' native messaging framing: every message, in both directions,
// is a 32-bit length in the machine's byte order followed by that many bytes
// of UTF-8 JSON.
#pragma once

#include <cstdint>
#include <string>

#include "byte_streams.h"

namespace host {

// Requests are a few hundred bytes. A longer message is refused from its
// length alone, before any of its bytes are read, so no input can make the
// host hold more than this.
constexpr std::uint32_t kMaxMessageLength = 4096;

enum class FrameStatus {
    kMessage,       // a whole message was read
    kEnd,           // the input ended at a message boundary
    kTooLong,       // the length is over kMaxMessageLength; nothing after it was read
    kEndInLength,   // the input ended inside a length
    kEndInMessage,  // the input ended inside a message
    kReadFailed,    // the input could not be read
};

struct FrameRead {
    FrameStatus status;
    // The length the message declared, where its four bytes were read.
    std::uint32_t length;
};

// Reads the next message into `message` (replacing what it held).
FrameRead ReadFrame(ByteSource& source, std::string& message);

// Writes `message` with its length in front; false when the sink refuses it.
bool WriteFrame(ByteSink& sink, const std::string& message);

}  // namespace host
