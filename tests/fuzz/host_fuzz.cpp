// libFuzzer target for the native host's message handling: framing, request
// parsing, the salt rules, answers and the session loop, with a stand-in for
// the engine-backed values.
//
// An input is what a browser writes to the host's standard input, after one
// leading byte that shapes the reads:
//   bits 0-6  the most bytes one read returns (0: all that is left)
//   bit 7     the input fails to read where it would end, instead of ending
//
// A model worked out from the protocol's rules says how the stream splits into
// messages, where the session must stop and with which exit status, and what
// each message must be answered with; any difference from what the session
// wrote, and any answer that is not a well-formed JSON object, stops the run
// with a trap that libFuzzer reports as a crash. Memory stays bounded: the test
// runs with a per-allocation limit far below what an unchecked length could
// ask for.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "native_frames.h"
#include "session.h"

namespace {

using Json = nlohmann::json;

constexpr std::uint32_t kLimit = 4096;
constexpr std::size_t kLongestSalt = 255;
constexpr std::uint8_t kReadSizeMask = 0x7F;
constexpr std::uint8_t kFailAtEnd = 0x80;

// The stand-in's values. Its computer name is not UTF-8, so that every
// answer exercises the replacement of bad bytes when it is written.
constexpr char kStandInName[] = "N\xFFME";
constexpr char kStandInNameInAnswers[] = "N\xEF\xBF\xBDME";
constexpr char kStandInVersion[] = "9.8.7.6";

[[noreturn]] void Fail(const std::string& what, const std::string& detail = std::string()) {
    std::fprintf(stderr, "\nhost_fuzz: %s\n%s\n", what.c_str(), detail.c_str());
    std::fflush(stderr);
    __builtin_trap();
}

class ChunkedSource : public host::ByteSource {
  public:
    ChunkedSource(const std::uint8_t* data, std::size_t size, std::size_t mostPerRead,
                  bool failAtEnd)
        : m_data(data), m_size(size), m_mostPerRead(mostPerRead), m_failAtEnd(failAtEnd) {}

    bool Read(char* buffer, std::size_t capacity, std::size_t& count) override {
        count = 0;
        if (m_at == m_size) {
            return !m_failAtEnd;
        }
        count = m_size - m_at;
        if (count > capacity) {
            count = capacity;
        }
        if (m_mostPerRead != 0 && count > m_mostPerRead) {
            count = m_mostPerRead;
        }
        std::memcpy(buffer, m_data + m_at, count);
        m_at += count;
        return true;
    }

  private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
    std::size_t m_mostPerRead;
    bool m_failAtEnd;
};

class MemorySink : public host::ByteSink {
  public:
    bool Write(const char* bytes, std::size_t size) override {
        written.append(bytes, size);
        return true;
    }
    std::string written;
};

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xF];
    }
    return hex;
}

// Like the engine, the stand-in refuses empty and over-long salts; any other
// salt gives a text made of its bytes, so that an answer shows which salt
// reached it. Every salt it is asked for is kept.
std::optional<std::string> StandInIdentifier(const std::string& saltBytes) {
    if (saltBytes.empty() || saltBytes.size() > kLongestSalt) {
        return std::nullopt;
    }
    return "ID" + Hex(saltBytes);
}

class StandInValues : public host::ValuesProvider {
  public:
    std::optional<std::string> Identifier(const std::string& saltBytes) override {
        askedFor.push_back(saltBytes);
        return StandInIdentifier(saltBytes);
    }
    std::string ComputerName() override { return kStandInName; }
    int TestInstallation() override { return 1; }
    std::string Version() override { return kStandInVersion; }

    std::vector<std::string> askedFor;
};

// How the stream must split: its whole messages, in order, and how the session ends.
struct ExpectedStream {
    std::vector<std::string> messages;
    int exitCode = 0;
};

ExpectedStream SplitStream(const std::uint8_t* data, std::size_t size, bool failAtEnd) {
    ExpectedStream expected;
    std::size_t at = 0;
    for (;;) {
        if (at == size) {
            expected.exitCode = failAtEnd ? 1 : 0;
            return expected;
        }
        if (size - at < 4) {
            expected.exitCode = 1;
            return expected;
        }
        const std::uint32_t length = static_cast<std::uint32_t>(data[at]) |
                                     static_cast<std::uint32_t>(data[at + 1]) << 8 |
                                     static_cast<std::uint32_t>(data[at + 2]) << 16 |
                                     static_cast<std::uint32_t>(data[at + 3]) << 24;
        at += 4;
        if (length > kLimit || size - at < length) {
            expected.exitCode = 1;
            return expected;
        }
        expected.messages.emplace_back(reinterpret_cast<const char*>(data + at), length);
        at += length;
    }
}

// The code points of text the JSON parser has accepted, which is valid UTF-8.
std::vector<char32_t> CodePoints(const std::string& text) {
    std::vector<char32_t> points;
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length && at + k < text.size(); ++k) {
            point = point << 6 | (static_cast<unsigned char>(text[at + k]) & 0x3F);
        }
        points.push_back(point);
        at += length;
    }
    return points;
}

// The salt rules of the control's getID: the bytes it hands the engine.
std::optional<std::string> SaltBytes(const std::string& salt) {
    if (salt.empty()) {
        return std::nullopt;
    }
    std::string bytes;
    for (char32_t point : CodePoints(salt)) {
        if (point == 0) {
            break;
        }
        if (point > 0xFF) {
            return std::nullopt;
        }
        bytes += static_cast<char>(point);
    }
    return bytes;
}

struct ExpectedAnswer {
    Json id;           // an integer, or null
    std::string code;  // the error code; empty for values
    std::optional<std::string> saltBytes;
};

// The answer the protocol's rules give a message, checked in their order.
ExpectedAnswer AnswerFor(const std::string& message) {
    ExpectedAnswer expected{Json(nullptr), std::string(), std::nullopt};
    const Json request = Json::parse(message, nullptr, false);
    if (request.is_discarded() || !request.is_object()) {
        expected.code = "invalid-json";
        return expected;
    }
    const auto id = request.find("id");
    const bool idValid =
        id != request.end() && id->is_number_unsigned() && id->get<std::uint64_t>() <= 0x7FFFFFFFu;
    if (idValid) {
        expected.id = *id;
    }
    const auto protocol = request.find("protocol");
    const auto name = request.find("request");
    const auto salt = request.find("salt");
    if (protocol == request.end() || !protocol->is_number_integer() ||
        protocol->get<std::int64_t>() != 1) {
        expected.code = "unsupported-protocol";
    } else if (!idValid) {
        expected.code = "bad-request";
    } else if (name == request.end() || !name->is_string() ||
               name->get<std::string>() != "values") {
        expected.code = "unknown-request";
    } else if (salt == request.end() || !salt->is_string()) {
        expected.code = "bad-request";
    } else {
        expected.saltBytes = SaltBytes(salt->get<std::string>());
    }
    return expected;
}

// The session's answers, which must end with a whole frame.
std::vector<std::string> SplitAnswers(const std::string& output) {
    bool whole = false;
    std::vector<std::string> answers = test_support::SplitFrames(output, whole);
    if (!whole) {
        // What is left after the last whole frame tells which part of a frame the output ends in.
        std::size_t framed = 0;
        for (const std::string& answer : answers) {
            framed += sizeof(std::uint32_t) + answer.size();
        }
        Fail(output.size() - framed < sizeof(std::uint32_t)
                 ? "the output ends inside an answer's length"
                 : "the output ends inside an answer");
    }
    return answers;
}

void CheckAnswer(const ExpectedAnswer& expected, const std::string& text) {
    const Json answer = Json::parse(text, nullptr, false);
    if (answer.is_discarded() || !answer.is_object() || answer.size() != 3) {
        Fail("an answer is not a JSON object of three members", text);
    }
    const auto protocol = answer.find("protocol");
    if (protocol == answer.end() || *protocol != Json(1)) {
        Fail("an answer without \"protocol\": 1", text);
    }
    const auto id = answer.find("id");
    if (id == answer.end() || *id != expected.id) {
        Fail("an answer with the id " + (id == answer.end() ? "(none)" : id->dump()) +
                 ", due: " + expected.id.dump(),
             text);
    }
    if (!expected.code.empty()) {
        const auto error = answer.find("error");
        if (error == answer.end() || !error->is_object() || error->size() != 2 ||
            error->find("code") == error->end() || (*error)["code"] != Json(expected.code) ||
            error->find("message") == error->end() || !(*error)["message"].is_string()) {
            Fail("the answer due is the error " + expected.code, text);
        }
        return;
    }
    const auto values = answer.find("values");
    const std::optional<std::string> identifier =
        expected.saltBytes ? StandInIdentifier(*expected.saltBytes) : std::nullopt;
    const Json due = {{"identifier", identifier ? Json(*identifier) : Json(nullptr)},
                      {"computerName", kStandInNameInAnswers},
                      {"testInstallation", 1},
                      {"version", kStandInVersion}};
    if (values == answer.end() || *values != due) {
        Fail("the values due are " + due.dump(), text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t mostPerRead = data[0] & kReadSizeMask;
    const bool failAtEnd = (data[0] & kFailAtEnd) != 0;
    ++data;
    --size;

    ChunkedSource input(data, size, mostPerRead, failAtEnd);
    MemorySink output;
    StandInValues values;
    const host::SessionEnd end = host::RunSession(input, output, values);

    const ExpectedStream expected = SplitStream(data, size, failAtEnd);
    if (end.exitCode != expected.exitCode) {
        Fail("exit status " + std::to_string(end.exitCode) + ", due " +
             std::to_string(expected.exitCode));
    }
    if (end.problem.empty() != (expected.exitCode == 0)) {
        Fail("a stop with status 1 says why, a clean end says nothing: \"" + end.problem + "\"");
    }
    const std::vector<std::string> answers = SplitAnswers(output.written);
    if (answers.size() != expected.messages.size()) {
        Fail(std::to_string(answers.size()) + " answers to " +
             std::to_string(expected.messages.size()) + " whole messages");
    }
    std::vector<std::string> dueSalts;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const ExpectedAnswer due = AnswerFor(expected.messages[i]);
        CheckAnswer(due, answers[i]);
        if (due.saltBytes) {
            dueSalts.push_back(*due.saltBytes);
        }
    }
    // Refused requests and salts never reach the values.
    if (values.askedFor != dueSalts) {
        Fail("the values were asked for " + std::to_string(values.askedFor.size()) +
             " salts, due " + std::to_string(dueSalts.size()));
    }
    return 0;
}
