// The registered component driven by eight threads at once, as the threads of
// a browser drive it: class factories from DllGetClassObject and from the
// component runtime, objects from the factory and from CoCreateInstance,
// server locks, safety options, and every member called through the interface
// table and by name. Every identifier is checked against the one the rules
// give for tokens the test stores itself, and the module must be unloadable
// once everything has been released.
#include <gtest/gtest.h>
#include <objsafe.h>
#include <windows.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "reference_identifier.h"
#include "talvenor_client.h"
#include "talvenor_dll.h"
#include "wine_machine.h"

namespace {

using test_support::ComApartment;
using test_support::IdentifierByName;
using test_support::IdentifierByTable;
using test_support::ITalvenorTable;
using test_support::kClsidTalvenor;
using test_support::kIidITalvenor;

constexpr int kThreads = 8;
constexpr int kRounds = 100;
// Cheap operations repeated in every round, so that the threads' updates of
// the module's lock count and of the reference counts really overlap.
constexpr int kBurstCycles = 500;
// After their rounds all threads move the counts at the same moment.
constexpr int kCountCycles = 200000;

// Tokens of the shape the component generates, stored by the test before the
// threads start, so that every identifier is known in advance.
constexpr char kMachineToken[] = "Mq7TzR2kPa";
constexpr char kUserToken[] = "u4XnB8wLc0";

// The salt every thread uses; each thread also has one of its own.
const std::wstring kSharedSalt = L"abc";

// Enough failures of one thread for the main thread to report, not so many
// that a broken run floods the log.
constexpr std::size_t kFailuresKeptPerThread = 20;

std::string Narrow(const std::wstring& salt) {
    return test_support::NarrowText(salt.c_str(), static_cast<UINT>(salt.size()));
}

// A salt of the thread's own, ending in a character above U+007F (é).
std::wstring ThreadSalt(int thread) {
    return L"thread" + std::to_wstring(thread) + L"\u00E9";
}

std::string ExpectedIdentifier(const std::wstring& salt) {
    return test_support::ReferenceIdentifier(test_support::PrefixVolumeSerial(), kMachineToken,
                                             kUserToken, Narrow(salt));
}

// What one thread saw: every distinct identifier per salt, and what went wrong.
struct ThreadReport {
    std::map<std::string, std::set<std::string>> identifiersBySalt;
    std::vector<std::string> failures;

    void Fail(const std::string& what) {
        if (failures.size() < kFailuresKeptPerThread) {
            failures.push_back(what);
        }
    }
    void Fail(int round, const std::string& what) {
        Fail("round " + std::to_string(round) + ": " + what);
    }
    void Check(int round, bool condition, const char* what) {
        if (!condition) {
            Fail(round, what);
        }
    }
    void Record(const std::wstring& salt, const std::string& identifier) {
        identifiersBySalt[Narrow(salt)].insert(identifier);
    }
};

class ConcurrentClients : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        registration_ = new test_support::RegisteredDll;
        test_support::DeleteTokenKeys();
        test_support::WriteRegistryValue(HKEY_LOCAL_MACHINE, test_support::kMachineTokenKey,
                                         "PlugIn", REG_SZ, kMachineToken);
        test_support::WriteRegistryValue(HKEY_CURRENT_USER, test_support::kUserTokenKey, "PlugIn",
                                         REG_SZ, kUserToken);
    }
    static void TearDownTestSuite() {
        delete registration_;
        registration_ = nullptr;
        test_support::DeleteTokenKeys();
    }

    void SetUp() override {
        ASSERT_TRUE(registration_->registered()) << "regsvr32 " << test_support::kDllPath;
        ASSERT_TRUE(dll_.loaded()) << test_support::kDllPath;
        ASSERT_EQ(test_support::StoredMachineToken(), kMachineToken);
        ASSERT_EQ(test_support::StoredUserToken(), kUserToken);
    }

    // One round of one thread: every way a host obtains, uses and gives back
    // the component. `shared` is an object of the multithreaded apartment that
    // threads of that apartment call at the same time, or null.
    void RunRound(int thread, int round, ITalvenorTable* shared, ThreadReport& report) const {
        const std::wstring ownSalt = ThreadSalt(thread);

        // The class factory, alternately straight from the export and through
        // the component runtime, with a server lock held for the round.
        IClassFactory* factory = nullptr;
        const HRESULT gotFactory =
            round % 2 == 0
                ? dll_.getClassObject(kClsidTalvenor, IID_IClassFactory,
                                      reinterpret_cast<void**>(&factory))
                : CoGetClassObject(kClsidTalvenor, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                   reinterpret_cast<void**>(&factory));
        if (gotFactory != S_OK || factory == nullptr) {
            report.Fail(round, "no class factory");
            return;
        }
        report.Check(round, factory->LockServer(TRUE) == S_OK, "LockServer(TRUE)");

        ITalvenorTable* direct = nullptr;
        report.Check(round,
                     factory->CreateInstance(nullptr, kIidITalvenor,
                                             reinterpret_cast<void**>(&direct)) == S_OK &&
                         direct != nullptr,
                     "IClassFactory::CreateInstance");
        IDispatch* created = nullptr;
        report.Check(round,
                     CoCreateInstance(kClsidTalvenor, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                      reinterpret_cast<void**>(&created)) == S_OK &&
                         created != nullptr,
                     "CoCreateInstance");

        if (direct != nullptr) {
            report.Record(ownSalt, IdentifierByTable(direct, ownSalt));
            report.Record(kSharedSalt, IdentifierByTable(direct, kSharedSalt));
            BSTR text = nullptr;
            report.Check(round, direct->ComputerName(&text) == S_OK, "ComputerName");
            report.Check(round, test_support::NarrowText(text) == test_support::ThisComputerName(),
                         "ComputerName is this computer's name");
            SysFreeString(text);
            text = nullptr;
            report.Check(round, direct->Version(&text) == S_OK, "Version");
            report.Check(round, test_support::NarrowText(text) == "1.0.0.4", "Version is 1.0.0.4");
            SysFreeString(text);
            LONG installed = -1;
            report.Check(round, direct->TestInstallation(&installed) == S_OK, "TestInstallation");
            report.Check(round, installed == 1, "TestInstallation is 1");
        }

        if (created != nullptr) {
            report.Record(kSharedSalt, IdentifierByName(created, kSharedSalt));
            report.Check(round, test_support::ReadByName(created, L"Version") == "1.0.0.4",
                         "Version by name");
            CheckSafetyOfAFreshObject(round, created, report);
        }

        if (shared != nullptr) {
            report.Record(kSharedSalt, IdentifierByTable(shared, kSharedSalt));
            report.Record(ownSalt, IdentifierByName(shared, ownSalt));
            IObjectSafety* safety = nullptr;
            if (shared->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)) ==
                S_OK) {
                DWORD supported = 0;
                DWORD enabled = 0;
                report.Check(round,
                             safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported,
                                                               &enabled) == S_OK &&
                                 supported == INTERFACESAFE_FOR_UNTRUSTED_CALLER &&
                                 enabled == INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                             "safety options of the shared object");
                safety->Release();
            } else {
                report.Fail(round, "shared object without IObjectSafety");
            }
        }

        // While the round's objects and lock are still held.
        for (int cycle = 0; cycle < kBurstCycles; ++cycle) {
            factory->LockServer(TRUE);
            factory->AddRef();
            IUnknown* object = nullptr;
            if (factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)) !=
                S_OK) {
                report.Fail(round, "IClassFactory::CreateInstance in a burst");
                factory->Release();
                factory->LockServer(FALSE);
                break;
            }
            object->Release();
            factory->Release();
            factory->LockServer(FALSE);
        }

        if (created != nullptr) {
            report.Check(round, created->Release() == 0, "last Release of the created object");
        }
        if (direct != nullptr) {
            report.Check(round, direct->Release() == 0, "last Release of the factory's object");
        }
        report.Check(round, factory->LockServer(FALSE) == S_OK, "LockServer(FALSE)");
        factory->Release();
    }

    // The counts only, as fast as a thread can move them: the shared object's
    // references in the multithreaded apartment, server locks in the others;
    // then the class factory's references, which take the factory's own lock
    // and so are kept out of the first loop, where they would make the threads
    // take turns.
    void MoveCounts(ITalvenorTable* shared, ThreadReport& report) const {
        IClassFactory* factory = nullptr;
        if (dll_.getClassObject(kClsidTalvenor, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory)) != S_OK) {
            report.Fail("no class factory for moving the counts");
            return;
        }
        for (int cycle = 0; cycle < kCountCycles; ++cycle) {
            if (shared != nullptr) {
                shared->AddRef();
                shared->Release();
            } else {
                factory->LockServer(TRUE);
                factory->LockServer(FALSE);
            }
        }
        for (int cycle = 0; cycle < kCountCycles; ++cycle) {
            factory->AddRef();
            factory->Release();
        }
        factory->Release();
    }

    // A browser's handshake on an object nobody else has seen: nothing enabled,
    // then caller safety for IDispatch asked for and reported.
    static void CheckSafetyOfAFreshObject(int round, IDispatch* object, ThreadReport& report) {
        IObjectSafety* safety = nullptr;
        if (object->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)) != S_OK) {
            report.Fail(round, "no IObjectSafety");
            return;
        }
        const DWORD bothOptions =
            INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
        DWORD supported = 0;
        DWORD enabled = ~0u;
        report.Check(
            round,
            safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled) == S_OK &&
                supported == INTERFACESAFE_FOR_UNTRUSTED_CALLER && enabled == 0,
            "safety options of a fresh object");
        report.Check(
            round,
            safety->SetInterfaceSafetyOptions(IID_IDispatch, bothOptions, bothOptions) == S_OK,
            "SetInterfaceSafetyOptions for IDispatch");
        report.Check(
            round,
            safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled) == S_OK &&
                enabled == INTERFACESAFE_FOR_UNTRUSTED_CALLER,
            "caller safety enabled");
        safety->Release();
    }

    static test_support::RegisteredDll* registration_;
    test_support::TalvenorDll dll_;
};

test_support::RegisteredDll* ConcurrentClients::registration_ = nullptr;

TEST_F(ConcurrentClients, EightThreadsAgreeOnEveryIdentifierAndReleaseEverything) {
    // The main thread belongs to the multithreaded apartment and makes the
    // object that the threads of that apartment share.
    ComApartment apartment(COINIT_MULTITHREADED);
    ITalvenorTable* shared = nullptr;
    ASSERT_EQ(CoCreateInstance(kClsidTalvenor, nullptr, CLSCTX_INPROC_SERVER, kIidITalvenor,
                               reinterpret_cast<void**>(&shared)),
              S_OK);
    ASSERT_NE(shared, nullptr);
    {
        IObjectSafety* safety = nullptr;
        ASSERT_EQ(shared->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)),
                  S_OK);
        EXPECT_EQ(
            safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                              INTERFACESAFE_FOR_UNTRUSTED_CALLER),
            S_OK);
        safety->Release();
    }
    // The runtime's object lives in the module this test loaded: its lock count
    // is the one DllCanUnloadNow reports below.
    ASSERT_EQ(dll_.canUnloadNow(), S_FALSE);

    std::vector<ThreadReport> reports(kThreads);
    std::atomic<int> waitingToStart{kThreads};
    std::atomic<int> waitingToMoveCounts{kThreads};
    const auto meet = [](std::atomic<int>& waiting) {
        --waiting;
        while (waiting.load() > 0) {
            std::this_thread::yield();
        }
    };
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&, thread] {
            // Even threads are single-threaded apartments, as a browser's
            // windows are; odd ones join the multithreaded apartment and share
            // its object.
            const bool multithreaded = thread % 2 == 1;
            ITalvenorTable* const sharedHere = multithreaded ? shared : nullptr;
            ComApartment threadApartment(multithreaded ? COINIT_MULTITHREADED
                                                       : COINIT_APARTMENTTHREADED);
            meet(waitingToStart);
            for (int round = 0; round < kRounds; ++round) {
                RunRound(thread, round, sharedHere, reports[thread]);
            }
            meet(waitingToMoveCounts);
            MoveCounts(sharedHere, reports[thread]);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    EXPECT_EQ(shared->Release(), 0u);
    EXPECT_EQ(dll_.canUnloadNow(), S_OK) << "a lock or an object outlived its release";

    std::map<std::string, std::set<std::string>> identifiersBySalt;
    for (int thread = 0; thread < kThreads; ++thread) {
        for (const std::string& failure : reports[thread].failures) {
            ADD_FAILURE() << "thread " << thread << ", " << failure;
        }
        for (const auto& entry : reports[thread].identifiersBySalt) {
            identifiersBySalt[entry.first].insert(entry.second.begin(), entry.second.end());
        }
    }
    std::vector<std::wstring> salts = {kSharedSalt};
    for (int thread = 0; thread < kThreads; ++thread) {
        salts.push_back(ThreadSalt(thread));
    }
    for (const std::wstring& salt : salts) {
        SCOPED_TRACE(Narrow(salt));
        EXPECT_EQ(identifiersBySalt[Narrow(salt)], std::set<std::string>{ExpectedIdentifier(salt)});
    }
    EXPECT_EQ(identifiersBySalt.size(), salts.size());

    // Nothing the threads did replaced a stored token.
    EXPECT_EQ(test_support::StoredMachineToken(), kMachineToken);
    EXPECT_EQ(test_support::StoredUserToken(), kUserToken);
}

}  // namespace
