#include "reply.h"

#include <nlohmann/json.hpp>

namespace host {

namespace {

// Keys keep the order of the protocol's description, for people reading a trace.
using Json = nlohmann::ordered_json;

Json Envelope(std::optional<std::uint32_t> id) {
    Json reply = Json::object();
    reply["protocol"] = kProtocolVersion;
    reply["id"] = id ? Json(*id) : Json(nullptr);
    return reply;
}

std::string Serialize(const Json& reply) {
    // Replacing bad UTF-8 instead of the default refusal: serializing cannot fail.
    return reply.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string ValuesReply(std::optional<std::uint32_t> id, const Values& values) {
    Json reply = Envelope(id);
    Json& fields = reply["values"];
    fields["identifier"] = values.identifier ? Json(*values.identifier) : Json(nullptr);
    fields["computerName"] = values.computerName;
    fields["testInstallation"] = values.testInstallation;
    fields["version"] = values.version;
    return Serialize(reply);
}

std::string ErrorReply(std::optional<std::uint32_t> id, ErrorCode code, const char* message) {
    Json reply = Envelope(id);
    Json& error = reply["error"];
    error["code"] = ErrorCodeName(code);
    error["message"] = message;
    return Serialize(reply);
}

}  // namespace host
