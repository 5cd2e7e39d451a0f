// talvenor-verify: checks the identifiers that getID(salt) gave a page and
// prints each one's verdict and parts as a line of JSON.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "verify.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr char kProgram[] = "talvenor-verify";

constexpr char kUsage[] = R"(Usage: talvenor-verify --salt SALT [IDENTIFIER...]

Checks identifiers returned by the ieTalvenor component's getID(SALT) and
decodes them into the C: volume serial number, the machine token and the user
token. Identifiers come from the arguments or, when none are given, from
standard input, one per line; whitespace around an identifier there is
ignored and blank lines are skipped.

SALT is the text the page passed to getID: 1 to 255 characters, each from
U+0001 to U+00FF, which the component takes as one byte each. Any other salt
(empty, too long, another character, not valid UTF-8) is a usage error: the
component gives no identifier for it.

Prints one JSON object per identifier, each on its own line, for example:
  {"identifier":"2921...5624","valid":true,"reason":"none","volumeSerial":"C0FFEE42",
   "joined":"HC0FFEE42Q7mZk2PxT9b4RnW8cLy1","splitKnown":true,
   "machineToken":"Q7mZk2PxT9","userToken":"b4RnW8cLy1"}
  {"identifier":"2921...5625","valid":false,"reason":"checksum-mismatch"}
A valid identifier's parts follow its reason; the two tokens only when the
split is known, that is when both are generated ones of 10 characters.
The reason is the first of: wrong-length (odd, under 34 or over 4,130
characters), not-hexadecimal, checksum-mismatch, not-a-volume-token,
zero-byte-in-token. Bytes outside printable ASCII are written as \u00XX, the
character of the same number. docs/identifier.md describes every field.

A valid identifier was neither corrupted nor mistyped; it is not proof of
origin, since anyone who knows the salt can make one, and anyone holding one
identifier learns the salt's first 8 bytes (docs/identifier.md).

Exit status: 0 when every identifier is valid, 1 when any is not, 2 for a
usage error or a salt the component does not take.
)";

constexpr int kAllValid = 0;
constexpr int kSomeInvalid = 1;
constexpr int kUsageError = 2;

constexpr long kMalformed = -1;
constexpr long kLargestSaltCharacter = 0xFF;

// Decodes the UTF-8 sequence at `text[at]` and moves `at` past it. Returns the
// code point, or kMalformed for a stray continuation byte, a truncated or
// overlong sequence, a surrogate or a value beyond U+10FFFF.
long DecodeUtf8(std::string_view text, std::size_t& at) {
    const auto lead = static_cast<unsigned char>(text[at++]);
    int continuationBytes = 0;
    long codePoint = 0;
    long smallest = 0;
    if (lead < 0x80) {
        return lead;
    }
    if (lead >= 0xC0 && lead <= 0xDF) {
        continuationBytes = 1;
        codePoint = lead & 0x1F;
        smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuationBytes = 2;
        codePoint = lead & 0x0F;
        smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF7) {
        continuationBytes = 3;
        codePoint = lead & 0x07;
        smallest = 0x10000;
    } else {
        return kMalformed;
    }
    for (; continuationBytes > 0; --continuationBytes) {
        if (at == text.size() || (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80) {
            return kMalformed;
        }
        codePoint = codePoint << 6 | (static_cast<unsigned char>(text[at++]) & 0x3F);
    }
    if (codePoint < smallest || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return kMalformed;
    }
    return codePoint;
}

// The component's bytes for a salt given as UTF-8: each character up to U+00FF
// is the byte of the same value, as the page's text becomes when getID converts
// it. Any other character, or malformed UTF-8, leaves `problem` set.
std::string SaltBytes(std::string_view utf8, std::string& problem) {
    std::string bytes;
    for (std::size_t at = 0; at < utf8.size();) {
        const long codePoint = DecodeUtf8(utf8, at);
        if (codePoint == kMalformed) {
            problem = "the salt is not valid UTF-8";
            return {};
        }
        if (codePoint > kLargestSaltCharacter) {
            char text[96];
            std::snprintf(
                text, sizeof text,
                "the salt holds U+%04lX; the component takes characters up to U+00FF only",
                codePoint);
            problem = text;
            return {};
        }
        bytes.push_back(static_cast<char>(codePoint));
    }
    return bytes;
}

// What is wrong with the length of a salt the component would turn away, or
// nothing. Such a salt gives no identifier, so no identifier is checked with it.
std::string SaltLengthProblem(std::string_view salt) {
    if (salt.empty()) {
        return "the salt is empty; the component takes 1 to 255 characters";
    }
    if (salt.size() > verifier::kLongestSalt) {
        return "the salt has " + std::to_string(salt.size()) +
               " characters; the component takes 1 to 255";
    }
    return {};
}

std::string_view WithoutSurroundingWhitespace(std::string_view text) {
    constexpr std::string_view kWhitespace = " \t\r\n\v\f";
    const std::size_t first = text.find_first_not_of(kWhitespace);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kWhitespace) - first + 1);
}

// A JSON string of `bytes`, each byte the character of the same number (a token
// may hold any byte), escaped so that the line is plain ASCII.
void AppendJsonString(std::string& out, std::string_view bytes) {
    out += '"';
    for (const char c : bytes) {
        const auto code = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (code < 0x20 || code >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", code);
            out += escape;
        } else {
            out += c;
        }
    }
    out += '"';
}

std::string JsonLine(std::string_view identifier, const verifier::Verification& verification) {
    std::string line = "{\"identifier\":";
    AppendJsonString(line, identifier);
    line += verification.Valid() ? ",\"valid\":true" : ",\"valid\":false";
    line += ",\"reason\":";
    AppendJsonString(line, verifier::ReasonName(verification.reason));
    if (verification.Valid()) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "%08X",
                      static_cast<unsigned>(verification.volumeSerial));
        line += ",\"volumeSerial\":";
        AppendJsonString(line, serial);
        line += ",\"joined\":";
        AppendJsonString(line, verification.joined);
        line += verification.SplitKnown() ? ",\"splitKnown\":true" : ",\"splitKnown\":false";
        if (verification.SplitKnown()) {
            line += ",\"machineToken\":";
            AppendJsonString(line, verification.MachineToken());
            line += ",\"userToken\":";
            AppendJsonString(line, verification.UserToken());
        }
    }
    line += "}\n";
    return line;
}

int UsageError(const std::string& problem) {
    std::fprintf(stderr, "%s: %s (see --help)\n", kProgram, problem.c_str());
    return kUsageError;
}

// Everything but reading the command line; `arguments` are UTF-8.
int Run(const std::vector<std::string>& arguments) {
    std::string saltText;
    bool saltGiven = false;
    std::vector<std::string> identifiers;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help") {
            std::fputs(kUsage, stdout);
            return kAllValid;
        } else if (argument == "--salt") {
            if (saltGiven || i + 1 == arguments.size()) {
                return UsageError("--salt takes one SALT, once");
            }
            saltText = arguments[++i];
            saltGiven = true;
        } else if (argument.rfind("--", 0) == 0) {
            return UsageError("unknown option " + argument);
        } else {
            identifiers.push_back(argument);
        }
    }
    if (!saltGiven) {
        return UsageError("--salt SALT is required");
    }
    std::string problem;
    const std::string salt = SaltBytes(saltText, problem);
    if (problem.empty()) {
        problem = SaltLengthProblem(salt);
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
        return kUsageError;
    }

    bool allValid = true;
    const auto check = [&](std::string_view identifier) {
        const verifier::Verification verification = verifier::Verify(identifier, salt);
        allValid = allValid && verification.Valid();
        std::fputs(JsonLine(identifier, verification).c_str(), stdout);
    };
    if (!identifiers.empty()) {
        for (const std::string& identifier : identifiers) {
            check(identifier);
        }
    } else {
        std::string line;
        while (std::getline(std::cin, line)) {
            // Identifiers pasted or written on Windows (CR LF) come with
            // whitespace that is not theirs; a blank line holds none.
            const std::string_view identifier = WithoutSurroundingWhitespace(line);
            if (!identifier.empty()) {
                check(identifier);
            }
        }
    }
    return allValid ? kAllValid : kSomeInvalid;
}

}  // namespace

// The one platform difference: how the arguments are read.
#ifdef _WIN32
// Windows hands the arguments over as UTF-16; they are passed on as UTF-8, so
// that each unit up to U+00FF becomes the same salt byte as on other systems.
// A lone surrogate becomes U+FFFD, which the salt's rule refuses.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string argument(static_cast<std::size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, argument.data(), size, nullptr, nullptr);
        argument.resize(std::strlen(argument.c_str()));  // without the terminator
        arguments.push_back(argument);
    }
    return Run(arguments);
}
#else
int main(int argc, char** argv) {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
