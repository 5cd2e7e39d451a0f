#include "session.h"

#include "framing.h"
#include "reply.h"
#include "request.h"
#include "salt_rules.h"

namespace host {

namespace {

// The values in the order a script reading the control's members one after
// the other sees them: the first derivation on a machine creates its
// installation token, which the installation test then finds.
Values ReadValues(const std::string& salt, ValuesProvider& provider) {
    Values values;
    if (const std::optional<std::string> saltBytes = ControlSaltBytes(salt)) {
        values.identifier = provider.Identifier(*saltBytes);
    }
    values.computerName = provider.ComputerName();
    values.testInstallation = provider.TestInstallation();
    values.version = provider.Version();
    return values;
}

std::string Answer(const std::string& message, ValuesProvider& provider) {
    const Request request = ParseRequest(message);
    if (request.error) {
        return ErrorReply(request.id, request.error->code, request.error->message);
    }
    return ValuesReply(request.id, ReadValues(request.salt, provider));
}

std::string TooLong(std::uint32_t length) {
    return "a message of " + std::to_string(length) + " bytes is over the limit of " +
           std::to_string(kMaxMessageLength) + "; stopping without reading it";
}

}  // namespace

SessionEnd RunSession(ByteSource& input, ByteSink& output, ValuesProvider& provider) {
    std::string message;
    for (;;) {
        const FrameRead frame = ReadFrame(input, message);
        switch (frame.status) {
            case FrameStatus::kMessage:
                break;
            case FrameStatus::kEnd:
                return {0, std::string()};
            case FrameStatus::kTooLong:
                return {1, TooLong(frame.length)};
            case FrameStatus::kEndInLength:
                return {1, "the input ended inside a message's length"};
            case FrameStatus::kEndInMessage:
                return {1, "the input ended inside a message of " + std::to_string(frame.length) +
                               " bytes"};
            case FrameStatus::kReadFailed:
                return {1, "the input could not be read"};
        }
        if (!WriteFrame(output, Answer(message, provider))) {
            return {1, "an answer could not be written"};
        }
    }
}

}  // namespace host
