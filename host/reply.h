// The host's answers:
//   {"protocol": 1, "id": 7, "values": {"identifier": "…", "computerName": "…",
//    "testInstallation": 1, "version": "1.0.0.4"}}
//   {"protocol": 1, "id": 7, "error": {"code": "bad-request", "message": "…"}}
// "id" is null where the request had no valid one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "protocol.h"

namespace host {

// The four values the control gives a script.
struct Values {
    std::optional<std::string> identifier;  // null where getID gives none
    std::string computerName;               // UTF-8
    int testInstallation = 0;               // 1 or 0
    std::string version;
};

// Both give compact JSON in UTF-8. Text that is not valid UTF-8 is written
// with U+FFFD in place of the bad bytes rather than refused.
std::string ValuesReply(std::optional<std::uint32_t> id, const Values& values);
std::string ErrorReply(std::optional<std::uint32_t> id, ErrorCode code, const char* message);

}  // namespace host
