#include "request.h"

#include <nlohmann/json.hpp>

namespace host {

namespace {

using Json = nlohmann::json;

constexpr char kValuesRequest[] = "values";

std::optional<std::uint32_t> ValidId(const Json& object) {
    // The parser keeps non-negative integers as unsigned; negative ones are
    // signed, and fractions, exponents and integers beyond 64 bits floating.
    const auto id = object.find("id");
    if (id == object.end() || !id->is_number_unsigned()) {
        return std::nullopt;
    }
    const auto value = id->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(kMaxRequestId)) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

bool HasProtocol(const Json& object) {
    const auto protocol = object.find("protocol");
    return protocol != object.end() && protocol->is_number_integer() &&
           protocol->get<std::int64_t>() == kProtocolVersion;
}

bool IsValuesRequest(const Json& object) {
    const auto request = object.find("request");
    return request != object.end() && request->is_string() &&
           request->get_ref<const std::string&>() == kValuesRequest;
}

}  // namespace

Request ParseRequest(const std::string& message) {
    Request request;
    // Without exceptions: malformed input, invalid UTF-8 inside strings
    // included, gives a discarded value.
    const Json object = Json::parse(message, nullptr, false);
    if (object.is_discarded() || !object.is_object()) {
        request.error =
            RequestError{ErrorCode::kInvalidJson, "the message is not a JSON object in UTF-8"};
        return request;
    }
    request.id = ValidId(object);
    if (!HasProtocol(object)) {
        request.error = RequestError{ErrorCode::kUnsupportedProtocol,
                                     "the message does not carry \"protocol\": 1"};
    } else if (!request.id) {
        request.error =
            RequestError{ErrorCode::kBadRequest, "\"id\" must be an integer from 0 to 2147483647"};
    } else if (!IsValuesRequest(object)) {
        request.error = RequestError{ErrorCode::kUnknownRequest, "\"request\" must be \"values\""};
    } else {
        const auto salt = object.find("salt");
        if (salt == object.end() || !salt->is_string()) {
            request.error = RequestError{ErrorCode::kBadRequest, "\"salt\" must be a string"};
        } else {
            request.salt = salt->get_ref<const std::string&>();
        }
    }
    return request;
}

}  // namespace host
