// talvenor-host.exe through pipes, as a browser runs it. Every answer with
// values is checked against what the control gives a script in the same
// prefix, read through the DLL's interface table in this process, and every
// identifier also against the independent derivation from the prefix's C:
// serial and stored tokens. Framing faults, bad messages and the salts the
// control refuses are tables of cases.
#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "native_frames.h"
#include "piped_host.h"
#include "talvenor_client.h"
#include "talvenor_dll.h"
#include "wine_machine.h"

namespace {

using namespace test_support;
using Json = nlohmann::json;

constexpr std::uint32_t kLimit = 4096;

// The four values as the control gives them to a script, texts in UTF-8;
// an identifier of "null" where getID gives none.
struct ControlValues {
    std::string identifier;
    std::string computerName;
    long testInstallation;
    std::string version;
};

std::string Utf8(BSTR text) {
    if (text == nullptr) {
        return std::string();
    }
    const int units = static_cast<int>(SysStringLen(text));
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, units, &utf8[0], bytes, nullptr, nullptr);
    return utf8;
}

// A request for values as the extension writes it; `saltJson` is the salt's
// JSON text, quotes and escapes included.
std::string ValuesRequest(std::uint32_t id, const std::string& saltJson) {
    return R"({"protocol": 1, "id": )" + std::to_string(id) + R"(, "request": "values", "salt": )" +
           saltJson + "}";
}

// The answers of a run, each parsed; the stream of frames must be whole.
std::vector<Json> Answers(const HostRun& run) {
    bool whole = false;
    std::vector<Json> answers;
    for (const std::string& message : SplitFrames(run.output, whole)) {
        answers.push_back(Json::parse(message, nullptr, false));
        EXPECT_TRUE(answers.back().is_object()) << "an answer is not a JSON object: " << message;
    }
    EXPECT_TRUE(whole) << "the host's output ends inside a frame";
    return answers;
}

// The id an answer carries, as text ("null" for none).
std::string IdOf(const Json& answer) {
    const auto id = answer.find("id");
    return id == answer.end() ? "<no id>" : id->dump();
}

std::string ErrorCodeOf(const Json& answer) {
    const Json* error = answer.contains("error") ? &answer["error"] : nullptr;
    if (error == nullptr || !error->is_object() || !error->contains("code") ||
        !(*error)["code"].is_string()) {
        return "<no error code in " + answer.dump() + ">";
    }
    return (*error)["code"].get<std::string>();
}

class NativeHost : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { dll_ = std::make_unique<TalvenorDll>(); }
    static void TearDownTestSuite() {
        dll_.reset();
        DeleteTokenKeys();
    }

    void SetUp() override {
        ASSERT_TRUE(dll_->loaded()) << kDllPath;
        ASSERT_NE(PrefixVolumeSerial(), 0u) << "C:\\.windows-serial";
        object_ = dll_->Create<ITalvenorTable>(kIidITalvenor);
        ASSERT_NE(object_, nullptr);
        DeleteTokenKeys();
    }
    void TearDown() override {
        if (object_ != nullptr) {
            object_->Release();
        }
    }

    // What the control gives for `salt` (UTF-16, as a script passes it).
    ControlValues Control(const std::wstring& salt) {
        ControlValues values;
        OwnedBstr saltText(salt);
        BSTR identifier = nullptr;
        EXPECT_EQ(object_->getID(saltText.address(), &identifier), S_OK);
        values.identifier = identifier == nullptr ? "null" : Utf8(identifier);
        SysFreeString(identifier);
        BSTR name = nullptr;
        EXPECT_EQ(object_->ComputerName(&name), S_OK);
        values.computerName = Utf8(name);
        SysFreeString(name);
        LONG installed = -1;
        EXPECT_EQ(object_->TestInstallation(&installed), S_OK);
        values.testInstallation = installed;
        BSTR version = nullptr;
        EXPECT_EQ(object_->Version(&version), S_OK);
        values.version = Utf8(version);
        SysFreeString(version);
        return values;
    }

    // Checks an answer with values against the control's for the same salt.
    static void ExpectValues(const Json& answer, std::uint32_t id, const ControlValues& control) {
        SCOPED_TRACE(answer.dump());
        EXPECT_EQ(answer.value("protocol", Json()), Json(1));
        EXPECT_EQ(IdOf(answer), std::to_string(id));
        ASSERT_TRUE(answer.contains("values") && answer["values"].is_object());
        const Json& values = answer["values"];
        EXPECT_EQ(values.size(), 4u);
        EXPECT_EQ(values.value("identifier", Json("<missing>")).dump(),
                  control.identifier == "null" ? "null" : Json(control.identifier).dump());
        EXPECT_EQ(values.value("computerName", Json()), Json(control.computerName));
        EXPECT_EQ(values.value("testInstallation", Json()), Json(control.testInstallation));
        EXPECT_EQ(values.value("version", Json()), Json(control.version));
    }

    static std::unique_ptr<TalvenorDll> dll_;
    ITalvenorTable* object_ = nullptr;
};
std::unique_ptr<TalvenorDll> NativeHost::dll_;

// A salt as a page passes it: its JSON text in the request, the same text as
// the UTF-16 string a script hands the control, and the bytes the derivation
// must use by the salt rules (none: no identifier).
struct SaltCase {
    const char* name;
    std::string json;
    std::wstring script;
    std::optional<std::string> bytes;
};

std::string Repeated(char c, std::size_t count) {
    return std::string(count, c);
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

const SaltCase kSalts[] = {
    {"ThreeLetters", R"("abc")", L"abc", std::string("abc")},
    {"OneCharacter", R"("x")", L"x", std::string("x")},
    {"Longest255", Quoted(Repeated('s', 255)), std::wstring(255, L's'), Repeated('s', 255)},
    {"EscapedLatin1", R"("caf\u00e9")", L"caf\u00e9", std::string("caf\xE9")},
    {"RawUtf8Latin1", "\"caf\xC3\xA9\"", L"caf\u00e9", std::string("caf\xE9")},
    {"UnitsUpToFF", R"("\u0080z\u00ff\u00a0")", L"\u0080z\u00ff\u00a0",
     std::string("\x80z\xFF\xA0")},
    {"EscapedQuoteAndBackslash", R"("a\"b\\c")", L"a\"b\\c", std::string("a\"b\\c")},
    {"EmbeddedNullEndsTheSalt", R"("ab\u0000cd")", std::wstring(L"ab\0cd", 5), std::string("ab")},
    {"NullEndsTheSaltBeforeU0100", R"("ab\u0000\u0100")", std::wstring(L"ab\0\u0100", 4),
     std::string("ab")},
    {"NullFirstLeavesNothing", R"("\u0000abc")", std::wstring(L"\0abc", 4), std::nullopt},
    {"Empty", R"("")", L"", std::nullopt},
    {"TooLong256", Quoted(Repeated('s', 256)), std::wstring(256, L's'), std::nullopt},
    {"LongButNullAt10", Quoted(Repeated('t', 10) + "\\u0000" + Repeated('t', 300)),
     std::wstring(10, L't') + std::wstring(1, L'\0') + std::wstring(300, L't'), Repeated('t', 10)},
    {"U0100", R"("a\u0100")", L"a\u0100", std::nullopt},
    {"RawUtf8U20AC", "\"\xE2\x82\xAC\"", L"\u20ac", std::nullopt},
    {"SurrogatePair", R"("\ud83d\ude00")", L"\xD83D\xDE00", std::nullopt},
};

TEST_F(NativeHost, AnswersEverySaltAsTheControlDoesInOrder) {
    std::string input;
    for (std::size_t i = 0; i < std::size(kSalts); ++i) {
        input += Frame(ValuesRequest(static_cast<std::uint32_t>(100 + i), kSalts[i].json));
    }
    const HostRun run = RunHost(input, InputEnd::kClosed, "salt table");
    EXPECT_EQ(run.exitCode, 0u) << run.errors;
    EXPECT_EQ(run.errors, "");
    const std::vector<Json> answers = Answers(run);
    ASSERT_EQ(answers.size(), std::size(kSalts));
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const SaltCase& salt = kSalts[i];
        SCOPED_TRACE(salt.name);
        const ControlValues control = Control(salt.script);
        ExpectValues(answers[i], static_cast<std::uint32_t>(100 + i), control);
        const std::string reference =
            salt.bytes ? ExpectedIdentifierForStoredTokens(*salt.bytes) : "null";
        EXPECT_EQ(control.identifier, reference);
        if (salt.bytes) {
            EXPECT_EQ(reference.size(), 74u);
        }
    }
}

// A machine without tokens: the installation test reads 0 until the first
// derivation, which creates them, as with the control.
TEST_F(NativeHost, InstallationTestFollowsTheFirstDerivation) {
    const ControlValues before = Control(L"");
    EXPECT_EQ(before.testInstallation, 0);
    DeleteTokenKeys();
    const HostRun run =
        RunHost(Frame(ValuesRequest(1, R"("")")) + Frame(ValuesRequest(2, R"("abc")")) +
                    Frame(ValuesRequest(3, R"("")")),
                InputEnd::kClosed, "first derivation");
    EXPECT_EQ(run.exitCode, 0u) << run.errors;
    const std::vector<Json> answers = Answers(run);
    ASSERT_EQ(answers.size(), 3u);
    ExpectValues(answers[0], 1, before);
    const ControlValues after = Control(L"abc");
    EXPECT_EQ(after.testInstallation, 1);
    ExpectValues(answers[1], 2, after);
    ExpectValues(answers[2], 3, Control(L""));
}

// Names of the ANSI code page beyond ASCII reach the page as the characters
// the control gives a script, in UTF-8.
TEST_F(NativeHost, ComputerNameIsTheControlsInUtf8) {
    for (const char* name : {"TALVENOR-HOST15", "K\xC9STRANE-\xD8"}) {
        SCOPED_TRACE(name);
        const ScopedComputerName renamed(name);
        const HostRun run =
            RunHost(Frame(ValuesRequest(5, R"("abc")")), InputEnd::kClosed, "computer name");
        const std::vector<Json> answers = Answers(run);
        ASSERT_EQ(answers.size(), 1u);
        ExpectValues(answers[0], 5, Control(L"abc"));
    }
}

// Messages that get an error answer while the stream stays in step. Each is
// followed in the same stream by a good request, which must still be answered.
struct BadMessage {
    const char* name;
    std::string message;
    const char* code;
    const char* id;  // the id the answer echoes, as JSON
};

const BadMessage kBadMessages[] = {
    {"Empty", "", "invalid-json", "null"},
    {"InvalidUtf8InString",
     "{\"protocol\": 1, \"id\": 9, \"request\": \"values\", \"salt\": \"\xFF\"}", "invalid-json",
     "null"},
    {"OverlongUtf8",
     "{\"protocol\": 1, \"id\": 9, \"request\": \"values\", \"salt\": \"\xC0\xAF\"}",
     "invalid-json", "null"},
    {"LoneSurrogateEscape", R"({"protocol": 1, "id": 9, "request": "values", "salt": "\ud800"})",
     "invalid-json", "null"},
    {"Truncated", R"({"protocol": 1, "id": 9, "request": "val)", "invalid-json", "null"},
    {"TrailingText", R"({"protocol": 1, "id": 9, "request": "values", "salt": "a"} x)",
     "invalid-json", "null"},
    {"NotJson", "values abc", "invalid-json", "null"},
    {"Array", R"([1, "values", "abc"])", "invalid-json", "null"},
    {"String", R"("values")", "invalid-json", "null"},
    {"Number", "42", "invalid-json", "null"},
    {"Null", "null", "invalid-json", "null"},
    {"ProtocolMissing", R"({"id": 9, "request": "values", "salt": "a"})", "unsupported-protocol",
     "9"},
    {"Protocol2", R"({"protocol": 2, "id": 9, "request": "values", "salt": "a"})",
     "unsupported-protocol", "9"},
    {"ProtocolText", R"({"protocol": "1", "id": 9, "request": "values", "salt": "a"})",
     "unsupported-protocol", "9"},
    {"ProtocolFraction", R"({"protocol": 1.5, "id": 9, "request": "values", "salt": "a"})",
     "unsupported-protocol", "9"},
    {"IdMissing", R"({"protocol": 1, "request": "values", "salt": "a"})", "bad-request", "null"},
    {"IdString", R"({"protocol": 1, "id": "9", "request": "values", "salt": "a"})", "bad-request",
     "null"},
    {"IdFloat", R"({"protocol": 1, "id": 9.5, "request": "values", "salt": "a"})", "bad-request",
     "null"},
    {"IdWholeNumberWithAFraction",
     R"({"protocol": 1, "id": 7.0, "request": "values", "salt": "a"})", "bad-request", "null"},
    {"IdNegative", R"({"protocol": 1, "id": -1, "request": "values", "salt": "a"})", "bad-request",
     "null"},
    {"IdOverRange", R"({"protocol": 1, "id": 2147483648, "request": "values", "salt": "a"})",
     "bad-request", "null"},
    {"IdHuge",
     R"({"protocol": 1, "id": 123456789012345678901234567890, "request": "values", "salt": "a"})",
     "bad-request", "null"},
    {"IdNull", R"({"protocol": 1, "id": null, "request": "values", "salt": "a"})", "bad-request",
     "null"},
    {"RequestMissing", R"({"protocol": 1, "id": 9, "salt": "a"})", "unknown-request", "9"},
    {"RequestUnknown", R"({"protocol": 1, "id": 9, "request": "stats", "salt": "a"})",
     "unknown-request", "9"},
    {"RequestNotText", R"({"protocol": 1, "id": 9, "request": 1, "salt": "a"})", "unknown-request",
     "9"},
    {"SaltMissing", R"({"protocol": 1, "id": 9, "request": "values"})", "bad-request", "9"},
    {"SaltNumber", R"({"protocol": 1, "id": 9, "request": "values", "salt": 12})", "bad-request",
     "9"},
    {"SaltNull", R"({"protocol": 1, "id": 9, "request": "values", "salt": null})", "bad-request",
     "9"},
    {"SaltArray", R"({"protocol": 1, "id": 9, "request": "values", "salt": ["a"]})", "bad-request",
     "9"},
    {"SaltObject", R"({"protocol": 1, "id": 9, "request": "values", "salt": {"a": 1}})",
     "bad-request", "9"},
    {"IdLargestIsEchoed", R"({"protocol": 1, "id": 2147483647, "request": "values", "salt": 1})",
     "bad-request", "2147483647"},
    {"IdZeroIsEchoed", R"({"protocol": 1, "id": 0, "request": "stats"})", "unknown-request", "0"},
};

TEST_F(NativeHost, BadMessagesGetErrorAnswersAndTheStreamGoesOn) {
    std::string input;
    for (std::size_t i = 0; i < std::size(kBadMessages); ++i) {
        input += Frame(kBadMessages[i].message);
        input += Frame(ValuesRequest(static_cast<std::uint32_t>(1000 + i), R"("abc")"));
    }
    const HostRun run = RunHost(input, InputEnd::kClosed, "bad messages");
    EXPECT_EQ(run.exitCode, 0u) << run.errors;
    const std::vector<Json> answers = Answers(run);
    ASSERT_EQ(answers.size(), 2 * std::size(kBadMessages));
    const ControlValues control = Control(L"abc");
    for (std::size_t i = 0; i < std::size(kBadMessages); ++i) {
        const BadMessage& bad = kBadMessages[i];
        SCOPED_TRACE(bad.name);
        const Json& error = answers[2 * i];
        EXPECT_EQ(error.value("protocol", Json()), Json(1)) << error.dump();
        EXPECT_EQ(ErrorCodeOf(error), bad.code);
        EXPECT_EQ(IdOf(error), bad.id);
        EXPECT_FALSE(error.contains("values")) << error.dump();
        ExpectValues(answers[2 * i + 1], static_cast<std::uint32_t>(1000 + i), control);
    }
}

// Streams and how they end the host. A length over the limit is refused from its four
// bytes alone: the input stays open after them, so a host that waited for the
// message would never exit.
struct FramingCase {
    const char* name;
    std::string input;
    InputEnd end;
    DWORD exitCode;
    std::size_t answers;    // good requests answered before the host stopped
    const char* complaint;  // what standard error must say; empty: nothing
};

std::string Good(std::uint32_t id) {
    return Frame(ValuesRequest(id, R"("abc")"));
}

// A good request padded with spaces to exactly `length` bytes.
std::string PaddedRequest(std::uint32_t id, std::size_t length) {
    std::string message = ValuesRequest(id, R"("abc")");
    message.insert(message.size() - 1, length - message.size(), ' ');
    return message;
}

const FramingCase kFramingCases[] = {
    {"NoInput", "", InputEnd::kClosed, 0, 0, ""},
    {"MessageAtTheLimit", Frame(PaddedRequest(1, kLimit)) + Good(2), InputEnd::kClosed, 0, 2, ""},
    {"LengthOneOverTheLimit", Good(1) + LengthBytes(kLimit + 1), InputEnd::kLeftOpen, 1, 1,
     "a message of 4097 bytes is over the limit of 4096"},
    {"LengthFFFFFFFF", LengthBytes(0xFFFFFFFF), InputEnd::kLeftOpen, 1, 0,
     "a message of 4294967295 bytes is over the limit of 4096"},
    {"NothingAfterAnOversizedLengthIsRead", Frame(PaddedRequest(1, kLimit + 1)) + Good(2),
     InputEnd::kClosed, 1, 0, "a message of 4097 bytes is over the limit of 4096"},
    {"EndsInsideTheLength", Good(1) + LengthBytes(60).substr(0, 2), InputEnd::kClosed, 1, 1,
     "the input ended inside a message's length"},
    {"EndsInsideTheMessage", Good(1) + Frame(PaddedRequest(2, 60)).substr(0, 14), InputEnd::kClosed,
     1, 1, "the input ended inside a message of 60 bytes"},
};

TEST_F(NativeHost, FramingFaultsEndTheHostWithAMessage) {
    const ControlValues control = Control(L"abc");
    for (const FramingCase& c : kFramingCases) {
        SCOPED_TRACE(c.name);
        const HostRun run = RunHost(c.input, c.end, c.name);
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.exitCode, c.exitCode);
        const std::vector<Json> answers = Answers(run);
        ASSERT_EQ(answers.size(), c.answers);
        for (std::size_t i = 0; i < answers.size(); ++i) {
            ExpectValues(answers[i], static_cast<std::uint32_t>(i + 1), control);
        }
        if (*c.complaint == '\0') {
            EXPECT_EQ(run.errors, "");
        } else {
            EXPECT_NE(run.errors.find(c.complaint), std::string::npos) << run.errors;
        }
    }
}

}  // namespace
