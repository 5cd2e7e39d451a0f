// talvenor-verify run as a program: its JSON lines, exit status and messages.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "identifier_vectors.h"

namespace {

constexpr unsigned kTimeLimitSeconds = 10;
constexpr int kAllValid = 0;
constexpr int kSomeInvalid = 1;
constexpr int kUsageError = 2;

constexpr char kAbcId[] =
    "29215327242624565130550E3B0951311A37580057330C3459012F185351525B2427535624";
constexpr char kAbcVerdict[] =
    R"({"identifier":"29215327242624565130550E3B0951311A37580057330C3459012F185351525B2427535624",)"
    R"("valid":true,"reason":"none","volumeSerial":"C0FFEE42",)"
    R"("joined":"HC0FFEE42Q7mZk2PxT9b4RnW8cLy1","splitKnown":true,)"
    R"("machineToken":"Q7mZk2PxT9","userToken":"b4RnW8cLy1"})"
    "\n";

struct CommandRun {
    std::string output;
    std::string errors;
    int status;
};

std::string Contents(std::FILE* file) {
    std::rewind(file);
    std::string text;
    char buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, count);
    }
    return text;
}

// Runs talvenor-verify with these arguments and `input` on its standard input,
// stopped by SIGALRM when it runs over the time limit.
CommandRun RunVerify(std::vector<std::string> arguments, const std::string& input = "") {
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::fwrite(input.data(), 1, input.size(), in);
    std::fflush(in);
    std::rewind(in);
    std::vector<char*> argv = {const_cast<char*>(TALVENOR_VERIFY_PATH)};
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(fileno(in), STDIN_FILENO);
        dup2(fileno(out), STDOUT_FILENO);
        dup2(fileno(err), STDERR_FILENO);
        alarm(kTimeLimitSeconds);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
        ADD_FAILURE() << "talvenor-verify ran over " << kTimeLimitSeconds
                      << " s and was stopped; arguments: " << ::testing::PrintToString(arguments);
    }
    CommandRun run{Contents(out), Contents(err), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    std::fclose(in);
    std::fclose(out);
    std::fclose(err);
    return run;
}

// The example of the README and of --help, byte for byte.
TEST(VerifyCommand, PrintsOneLinePerIdentifierAndFailsOnAnInvalidOne) {
    std::string corrupted = kAbcId;
    corrupted.back() = '5';
    const CommandRun run = RunVerify({"--salt", "abc", kAbcId, corrupted});
    EXPECT_EQ(run.output, std::string(kAbcVerdict) + R"({"identifier":")" + corrupted +
                              R"(","valid":false,"reason":"checksum-mismatch"})"
                              "\n");
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.status, kSomeInvalid);
}

bool IsPrintableAscii(const std::string& line) {
    for (const char c : line) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

// Every vector whose salt the component takes, its salt given in UTF-8 and its
// identifier's bytes as they are: the line printed is the vector's verdict in
// printable ASCII, and the exit status says whether it is valid.
TEST(VerifyCommand, PrintsEveryVectorsVerdict) {
    for (const vectors::Vector& v : vectors::All()) {
        if (v.Reason() == "refused-salt") {
            continue;
        }
        SCOPED_TRACE(v.name);
        const CommandRun run = RunVerify({"--salt", v.saltText, v.identifier});
        ASSERT_FALSE(run.output.empty()) << run.errors;
        EXPECT_EQ(run.output.find('\n'), run.output.size() - 1) << "one line";
        const std::string line = run.output.substr(0, run.output.size() - 1);
        EXPECT_TRUE(IsPrintableAscii(line)) << line;
        nlohmann::json expected = v.expected;
        expected["identifier"] = vectors::Text(v.identifier);
        EXPECT_TRUE(vectors::SameVerdict(nlohmann::json::parse(line), expected));
        EXPECT_EQ(run.status, v.Valid() ? kAllValid : kSomeInvalid);
    }
}

// A salt that getID turns away is one no identifier was made with: the command
// says why and checks nothing.
TEST(VerifyCommand, RefusesASaltTheComponentCannotTake) {
    std::string latin256;
    for (int i = 0; i < 256; ++i) {
        latin256 += "\xC3\xA9";  // é: one salt byte, two bytes of UTF-8
    }
    struct Case {
        std::string name;
        std::string salt;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"empty", "", "the salt is empty"},
        {"256 characters", std::string(256, 'a'), "the salt has 256 characters"},
        {"256 characters of two UTF-8 bytes each", latin256, "the salt has 256 characters"},
        {"U+0100", "a\xC4\x80", "U+0100"},
        {"truncated sequence", "a\xC3", "not valid UTF-8"},
        {"overlong A", "\xC1\x81", "not valid UTF-8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& identifiers : {std::string(kAbcId), std::string()}) {
            const CommandRun run = identifiers.empty()
                                       ? RunVerify({"--salt", c.salt}, std::string(kAbcId) + "\n")
                                       : RunVerify({"--salt", c.salt, identifiers});
            EXPECT_TRUE(run.errors.find(c.message) != std::string::npos)
                << "no \"" << c.message << "\" in the message \"" << run.errors << "\"";
            EXPECT_EQ(run.output, "") << "no verdict for a refused salt";
            EXPECT_EQ(run.status, kUsageError);
        }
    }
}

// On standard input, whitespace around an identifier is not part of it and a
// blank line is no identifier; the last line may lack its line end.
TEST(VerifyCommand, ReadsIdentifiersFromStandardInputWithoutTheirWhitespace) {
    std::string corrupted = kAbcId;
    corrupted.back() = '5';
    std::ostringstream input;
    input << "\n  \t\r\n"
          << "  " << kAbcId << " \t\r\n"
          << "\r\n"
          << "\v\f\n"
          << "\t" << corrupted << "\n"
          << kAbcId;
    const CommandRun run = RunVerify({"--salt", "abc"}, input.str());
    const std::string corruptedVerdict = std::string(R"({"identifier":")") + corrupted +
                                         R"(","valid":false,"reason":"checksum-mismatch"})"
                                         "\n";
    EXPECT_EQ(run.output, kAbcVerdict + corruptedVerdict + kAbcVerdict);
    EXPECT_EQ(run.status, kSomeInvalid);

    const CommandRun valid = RunVerify({"--salt", "abc"}, std::string(" ") + kAbcId + "\r\n\n");
    EXPECT_EQ(valid.output, kAbcVerdict);
    EXPECT_EQ(valid.status, kAllValid);
}

}  // namespace
