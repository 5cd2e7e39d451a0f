// talvenor-verify run as a program: its JSON lines, exit status and messages.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "worked_identifiers.h"

namespace {

struct CommandRun {
    std::string output;  // standard output and standard error
    int status;
};

// Runs `shellCommand` with "$VERIFY" set to the command's path.
CommandRun RunShell(const std::string& shellCommand) {
    const std::string line =
        "VERIFY='" TALVENOR_VERIFY_PATH "'; export VERIFY; { " + shellCommand + "; } 2>&1";
    FILE* pipe = popen(line.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    CommandRun run{"", -1};
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        run.output.append(buffer, count);
    }
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(VerifyCommand, PrintsOneLinePerIdentifierAndFailsOnAnInvalidOne) {
    std::string corrupted = worked::kAbcId;
    corrupted.back() = '5';
    const CommandRun run =
        RunShell(std::string("\"$VERIFY\" --salt abc ") + worked::kAbcId + " " + corrupted);
    EXPECT_EQ(run.output, std::string(R"({"identifier":")") + worked::kAbcId +
                              R"(","valid":true,"reason":"none","volumeSerial":"C0FFEE42",)"
                              R"("joined":"HC0FFEE42Q7mZk2PxT9b4RnW8cLy1","splitKnown":true,)"
                              R"("machineToken":"Q7mZk2PxT9","userToken":"b4RnW8cLy1"})"
                              "\n"
                              R"({"identifier":")" +
                              corrupted +
                              R"(","valid":false,"reason":"checksum-mismatch"})"
                              "\n");
    EXPECT_EQ(run.status, 1);
}

// The salt's characters up to U+00FF given in UTF-8 are the component's bytes;
// identifiers come from standard input, lines ending in CR LF; token bytes of
// any value are escaped.
TEST(VerifyCommand, ReadsLatinSaltAndStandardInput) {
    const CommandRun run = RunShell(std::string("printf '%s\\r\\n' ") + worked::kOddTokenId +
                                    " | \"$VERIFY\" --salt '\xC3\xA9\xC2\x80\xC3\xBF '");
    EXPECT_EQ(
        run.output,
        std::string(R"({"identifier":")") + worked::kOddTokenId +
            R"(","valid":true,"reason":"none","volumeSerial":"C0FFEE42",)"
            R"("joined":"HC0FFEE42\u00E9\u0001\u007F\"\\\u00FFA\u000A\u00809b4RnW8cLy1",)"
            R"("splitKnown":true,"machineToken":"\u00E9\u0001\u007F\"\\\u00FFA\u000A\u00809",)"
            R"("userToken":"b4RnW8cLy1"})"
            "\n");
    EXPECT_EQ(run.status, 0);
}

TEST(VerifyCommand, RefusesASaltTheComponentCannotTake) {
    struct Case {
        const char* name;
        const char* salt;
        const char* message;
    };
    for (const Case& c : {Case{"U+0100", "a\xC4\x80", "U+0100"},
                          Case{"truncated sequence", "a\xC3", "not valid UTF-8"},
                          Case{"overlong A", "\xC1\x81", "not valid UTF-8"}}) {
        SCOPED_TRACE(c.name);
        const CommandRun run =
            RunShell(std::string("\"$VERIFY\" --salt '") + c.salt + "' " + worked::kAbcId);
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find('{'), std::string::npos) << "no verdict for a refused salt";
        EXPECT_EQ(run.status, 2);
    }
}

}  // namespace
