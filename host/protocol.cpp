#include "protocol.h"

namespace host {

namespace {

struct ErrorCodeEntry {
    ErrorCode code;
    const char* name;
};

constexpr ErrorCodeEntry kErrorCodeNames[] = {
    {ErrorCode::kInvalidJson, "invalid-json"},
    {ErrorCode::kUnsupportedProtocol, "unsupported-protocol"},
    {ErrorCode::kBadRequest, "bad-request"},
    {ErrorCode::kUnknownRequest, "unknown-request"},
};

}  // namespace

const char* ErrorCodeName(ErrorCode code) {
    for (const ErrorCodeEntry& entry : kErrorCodeNames) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return "bad-request";
}

}  // namespace host
