// What every message between the page library, the extension and the host
// shares: the protocol version each one carries, and the codes of the error
// answers the host gives.
#pragma once

namespace host {

// The value of "protocol" in every request and answer. A part that meets
// another value refuses the message, so that later versions can tell the
// parts of this one apart.
constexpr int kProtocolVersion = 1;

enum class ErrorCode {
    kInvalidJson,          // not UTF-8, not JSON, or not a JSON object
    kUnsupportedProtocol,  // "protocol" missing or not kProtocolVersion
    kBadRequest,           // a field missing or of the wrong type
    kUnknownRequest,       // "request" missing or naming no request
};

// The code as it is written in an answer's "error" object.
const char* ErrorCodeName(ErrorCode code);

}  // namespace host
