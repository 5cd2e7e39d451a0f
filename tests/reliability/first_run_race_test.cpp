// The first derivations on a machine without tokens, made at the same moment
// by several threads and by several processes. Racing first writers may each
// store a token of their own, so the identifiers of that first wave need not
// agree; each must still be a whole identifier derived from this volume and two
// generated tokens. Once the wave is over the stored tokens decide: every later
// call, on any thread or in any process, returns the identifier the rules give
// for them.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "reference_identifier.h"
#include "talvenor_client.h"
#include "talvenor_dll.h"
#include "wine_machine.h"

namespace {

using test_support::ITalvenorTable;
using test_support::kIidITalvenor;

constexpr int kThreads = 8;
constexpr int kThreadRaces = 20;
constexpr int kProcesses = 4;
constexpr int kProcessRaces = 5;
constexpr int kLaterCallsPerThread = 3;

const std::wstring kSalt = L"first-run";
const std::string kNarrowSalt = "first-run";

constexpr std::size_t kVolumeTokenLength = 9;  // "H" and 8 hexadecimal digits
constexpr std::size_t kGeneratedTokenLength = 10;
constexpr std::size_t kJoinedLength = kVolumeTokenLength + 2 * kGeneratedTokenLength;
constexpr std::size_t kIdentifierLength = 2 * kJoinedLength + 16;

// How long a racer waits for the others before giving up, so that a broken
// run ends instead of hanging.
constexpr DWORD kRaceTimeoutMilliseconds = 60000;

// Names the parent's synchronisation objects for the racing processes it starts.
constexpr char kRaceGroupVariable[] = "TALVENOR_FIRST_RUN_RACE_GROUP";
constexpr char kIdentifierLinePrefix[] = "identifier=";
constexpr char kChildTest[] = "FirstRunChild.DISABLED_DeriveWhenSignalled";

std::string ReadyName(const std::string& group) {
    return "TalvenorFirstRunReady-" + group;
}

std::string GoName(const std::string& group) {
    return "TalvenorFirstRunGo-" + group;
}

std::string VolumeToken() {
    char token[16];
    std::snprintf(token, sizeof token, "H%08X",
                  static_cast<unsigned>(test_support::PrefixVolumeSerial()));
    return token;
}

// Letters and digits only, of the length the component generates.
bool IsGeneratedToken(const std::string& token) {
    if (token.size() != kGeneratedTokenLength) {
        return false;
    }
    for (char c : token) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

// The joined text (volume token, machine token, user token) whose bytes,
// mixed with the salt, make the first segment of `identifier`; empty when the
// identifier is not upper-case hexadecimal of the length generated tokens give.
std::string JoinedTextOf(const std::string& identifier, const std::string& salt) {
    static const std::string kDigits = "0123456789ABCDEF";
    if (identifier.size() != kIdentifierLength ||
        identifier.find_first_not_of(kDigits) != std::string::npos) {
        return std::string();
    }
    return test_support::UnsaltedHex(identifier.substr(0, 2 * kJoinedLength), salt);
}

// A whole identifier for `salt` derived from this volume and two generated
// tokens, with the check digits the rules give for those tokens.
::testing::AssertionResult IsDerivedFromGeneratedTokens(const std::string& identifier,
                                                        const std::string& salt) {
    const std::string joined = JoinedTextOf(identifier, salt);
    if (joined.empty()) {
        return ::testing::AssertionFailure()
               << '"' << identifier << "\" is not " << kIdentifierLength
               << " upper-case hexadecimal characters";
    }
    if (joined.compare(0, kVolumeTokenLength, VolumeToken()) != 0) {
        return ::testing::AssertionFailure()
               << identifier << " does not start from the volume token " << VolumeToken();
    }
    const std::string machineToken = joined.substr(kVolumeTokenLength, kGeneratedTokenLength);
    const std::string userToken =
        joined.substr(kVolumeTokenLength + kGeneratedTokenLength, kGeneratedTokenLength);
    if (!IsGeneratedToken(machineToken) || !IsGeneratedToken(userToken)) {
        return ::testing::AssertionFailure()
               << identifier << " carries tokens \"" << machineToken << "\" and \"" << userToken
               << "\", which the component cannot have generated";
    }
    const std::string expected = test_support::ReferenceIdentifier(
        test_support::PrefixVolumeSerial(), machineToken, userToken, salt);
    if (identifier != expected) {
        return ::testing::AssertionFailure() << identifier << " should end in the check digits of "
                                             << "its tokens, as " << expected << " does";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult StoredTokensAreGenerated() {
    const std::string machineToken = test_support::StoredMachineToken();
    const std::string userToken = test_support::StoredUserToken();
    if (IsGeneratedToken(machineToken) && IsGeneratedToken(userToken)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "stored tokens \"" << machineToken << "\" and \"" << userToken << "\"";
}

// Each of `objects` asked for the identifier `calls` times, one thread per
// object, all threads starting together. The identifiers in the order of the
// threads, each thread's calls in turn.
std::vector<std::string> DeriveOnThreads(const std::vector<ITalvenorTable*>& objects, int calls) {
    std::vector<std::vector<std::string>> results(objects.size());
    std::atomic<int> waiting{static_cast<int>(objects.size())};
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        threads.emplace_back([&, i] {
            --waiting;
            while (waiting.load() > 0) {
                std::this_thread::yield();
            }
            for (int call = 0; call < calls; ++call) {
                results[i].push_back(test_support::IdentifierByTable(objects[i], kSalt));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::vector<std::string> all;
    for (const auto& own : results) {
        all.insert(all.end(), own.begin(), own.end());
    }
    return all;
}

std::string ThisProgram() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, sizeof path);
    return path;
}

// The identifier line a child printed, or a description of what it printed instead.
std::string IdentifierFromChild(const test_support::ProcessResult& result) {
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind(kIdentifierLinePrefix, 0) == 0) {
            return line.substr(sizeof kIdentifierLinePrefix - 1);
        }
    }
    return "<no identifier; exit code " + std::to_string(result.exitCode) + ", output:\n" +
           result.output + ">";
}

// `count` processes that each load the DLL, make an object, wait until all are
// ready, and derive once at the same moment. Their identifiers, in start order.
std::vector<std::string> DeriveInProcesses(int count, int race) {
    const std::string group = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(race);
    HANDLE ready = CreateSemaphoreA(nullptr, 0, count, ReadyName(group).c_str());
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, GoName(group).c_str());
    std::vector<std::string> identifiers;
    if (ready == nullptr || go == nullptr) {
        ADD_FAILURE() << "cannot create the race's synchronisation objects";
        return identifiers;
    }

    SetEnvironmentVariableA(kRaceGroupVariable, group.c_str());
    const std::string commandLine = "\"" + ThisProgram() + "\" --gtest_filter=" + kChildTest +
                                    " --gtest_also_run_disabled_tests";
    // Copies of this program running the child test.
    std::vector<std::unique_ptr<test_support::ChildProcess>> children;
    for (int i = 0; i < count; ++i) {
        children.push_back(std::make_unique<test_support::ChildProcess>(commandLine));
        EXPECT_TRUE(children.back()->started()) << commandLine;
    }
    SetEnvironmentVariableA(kRaceGroupVariable, nullptr);

    bool allReady = true;
    for (const auto& child : children) {
        allReady = allReady && child->started() &&
                   WaitForSingleObject(ready, kRaceTimeoutMilliseconds) == WAIT_OBJECT_0;
    }
    EXPECT_TRUE(allReady) << "not every child got ready to derive";
    SetEvent(go);
    for (const auto& child : children) {
        if (child->started()) {
            // A child that never got to derive is ended rather than waited for.
            identifiers.push_back(IdentifierFromChild(child->Finish(kRaceTimeoutMilliseconds)));
        }
    }
    CloseHandle(go);
    CloseHandle(ready);
    return identifiers;
}

class FirstRunRace : public ::testing::Test {
  protected:
    static void TearDownTestSuite() { test_support::DeleteTokenKeys(); }

    void SetUp() override { ASSERT_TRUE(dll_.loaded()) << test_support::kDllPath; }

    // Removes both tokens, as on a machine where the component never ran.
    static void StartWithoutTokens() {
        test_support::DeleteTokenKeys();
        ASSERT_FALSE(
            test_support::RegistryKeyExists(HKEY_LOCAL_MACHINE, test_support::kMachineTokenKey));
        ASSERT_FALSE(
            test_support::RegistryKeyExists(HKEY_CURRENT_USER, test_support::kUserTokenKey));
    }

    test_support::TalvenorDll dll_;
};

TEST_F(FirstRunRace, ThreadsDerivingTogetherEachGetAnIdentifierThenAgree) {
    std::vector<ITalvenorTable*> objects;
    for (int i = 0; i < kThreads; ++i) {
        objects.push_back(dll_.Create<ITalvenorTable>(kIidITalvenor));
        ASSERT_NE(objects.back(), nullptr);
    }
    for (int race = 0; race < kThreadRaces; ++race) {
        SCOPED_TRACE("race " + std::to_string(race));
        ASSERT_NO_FATAL_FAILURE(StartWithoutTokens());

        for (const std::string& identifier : DeriveOnThreads(objects, 1)) {
            EXPECT_TRUE(IsDerivedFromGeneratedTokens(identifier, kNarrowSalt));
        }
        ASSERT_TRUE(StoredTokensAreGenerated());

        const std::string machineToken = test_support::StoredMachineToken();
        const std::string userToken = test_support::StoredUserToken();
        const std::string expected = test_support::ExpectedIdentifierForStoredTokens(kNarrowSalt);
        for (const std::string& identifier : DeriveOnThreads(objects, kLaterCallsPerThread)) {
            EXPECT_EQ(identifier, expected);
        }
        EXPECT_EQ(test_support::StoredMachineToken(), machineToken);
        EXPECT_EQ(test_support::StoredUserToken(), userToken);
    }
    for (ITalvenorTable* object : objects) {
        EXPECT_EQ(object->Release(), 0u);
    }
}

TEST_F(FirstRunRace, ProcessesDerivingTogetherEachGetAnIdentifierThenAgree) {
    for (int race = 0; race < kProcessRaces; ++race) {
        SCOPED_TRACE("race " + std::to_string(race));
        ASSERT_NO_FATAL_FAILURE(StartWithoutTokens());

        const std::vector<std::string> first = DeriveInProcesses(kProcesses, 2 * race);
        EXPECT_EQ(first.size(), static_cast<std::size_t>(kProcesses));
        for (const std::string& identifier : first) {
            EXPECT_TRUE(IsDerivedFromGeneratedTokens(identifier, kNarrowSalt));
        }
        ASSERT_TRUE(StoredTokensAreGenerated());

        const std::string machineToken = test_support::StoredMachineToken();
        const std::string userToken = test_support::StoredUserToken();
        const std::string expected = test_support::ExpectedIdentifierForStoredTokens(kNarrowSalt);
        const std::vector<std::string> later = DeriveInProcesses(kProcesses, 2 * race + 1);
        EXPECT_EQ(later, std::vector<std::string>(kProcesses, expected));
        ITalvenorTable* object = dll_.Create<ITalvenorTable>(kIidITalvenor);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(test_support::IdentifierByTable(object, kSalt), expected);
        object->Release();
        EXPECT_EQ(test_support::StoredMachineToken(), machineToken);
        EXPECT_EQ(test_support::StoredUserToken(), userToken);
    }
}

// Not a test on its own: the body of each process that
// ProcessesDerivingTogetherEachGetAnIdentifierThenAgree starts. It gets ready,
// waits for the parent's signal, derives once and prints the identifier.
TEST(FirstRunChild, DISABLED_DeriveWhenSignalled) {
    char group[128] = {};
    ASSERT_NE(GetEnvironmentVariableA(kRaceGroupVariable, group, sizeof group), 0u)
        << "started without a race group";
    HANDLE ready = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, ReadyName(group).c_str());
    ASSERT_NE(ready, nullptr);
    HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, GoName(group).c_str());
    ASSERT_NE(go, nullptr);

    test_support::TalvenorDll dll;
    ASSERT_TRUE(dll.loaded()) << test_support::kDllPath;
    ITalvenorTable* object = dll.Create<ITalvenorTable>(kIidITalvenor);
    ASSERT_NE(object, nullptr);
    ReleaseSemaphore(ready, 1, nullptr);
    ASSERT_EQ(WaitForSingleObject(go, kRaceTimeoutMilliseconds), WAIT_OBJECT_0);
    const std::string identifier = test_support::IdentifierByTable(object, kSalt);
    std::printf("%s%s\n", kIdentifierLinePrefix, identifier.c_str());
    std::fflush(stdout);
    object->Release();
    CloseHandle(go);
    CloseHandle(ready);
}

}  // namespace
