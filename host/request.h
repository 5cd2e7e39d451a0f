// A request as the extension sends it:
//   {"protocol": 1, "id": 7, "request": "values", "salt": "my-site-salt"}
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "protocol.h"

namespace host {

// The largest id a request may carry: the extension's ids are non-negative
// 32-bit signed integers.
constexpr std::int64_t kMaxRequestId = 0x7FFFFFFF;

struct RequestError {
    ErrorCode code;
    const char* message;
};

struct Request {
    // The request's id where it is an integer from 0 to kMaxRequestId, even
    // when the request is refused for another reason; the answer echoes it.
    std::optional<std::uint32_t> id;
    // Why the request gets an error answer; empty for a values request.
    std::optional<RequestError> error;
    // The salt as the page gave it, UTF-8.
    std::string salt;
};

// Reads one message. Checks run in this order, the first failing one giving
// the error: UTF-8 JSON object, protocol, id, request name, salt.
Request ParseRequest(const std::string& message);

}  // namespace host
