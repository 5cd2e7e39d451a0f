// libFuzzer target for the identifier engine, run against the in-memory
// platform stand-in.
//
// Each input is decoded into a scenario (fuzz_scenario.h): salts of any bytes
// and length, the contents of the machine and user token keys, the volume
// serial number and the clock, and failures of registry calls, of the volume
// query and of the engine's heap. The engine's operations run on the stand-in
// while ExpectedEngine works out, from the identifier's rules alone, what each
// of them must return and which platform calls it must make. Any difference,
// and any broken invariant of the identifier itself, stops the run with a trap
// that libFuzzer reports as a crash, together with the scenario in words.
//
// The identifier is also checked without the model: it is either the shared
// empty text or 2L + 16 upper-case hexadecimal digits whose first segment,
// unmixed with the salt, starts with the volume token and whose second segment,
// unmixed, is the checksum of the first.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine_text.h"
#include "expected_engine.h"
#include "fake_platform.h"
#include "fuzz_scenario.h"
#include "machine_id.h"
#include "reference_identifier.h"
#include "token_store.h"

namespace {

using fake::Fn;
using fuzz::ExpectedDerivation;
using fuzz::ExpectedEngine;
using fuzz::Scenario;

constexpr std::size_t kVolumeTokenLength = 9;
constexpr std::size_t kCheckTextLength = 8;
constexpr std::size_t kMaxSaltLength = 255;
constexpr std::uint32_t kEvenSumMask = 0x04071FF1;
constexpr std::uint32_t kOddSumMask = 0x0489FC0D;

constexpr Fn kAllFunctions[] = {
    Fn::kRegCreateKeyExA, Fn::kRegOpenKeyExA, Fn::kRegEnumValueA,         Fn::kRegSetValueExA,
    Fn::kRegFlushKey,     Fn::kRegCloseKey,   Fn::kGetVolumeInformationA, Fn::kTime,
};

// Values under neighbouring keys that the engine must neither read nor change.
struct DecoyValue {
    HKEY root;
    const char* path;
    const char* data;
};
const DecoyValue kDecoys[] = {
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestrane", "DecoyParent"},
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestrane\\RND\\Sub", "DecoyChild"},
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestrane\\RNDX", "DecoySibling"},
    {HKEY_CURRENT_USER, "Software\\Kestrane", "DecoyUser"},
};

const Scenario* g_currentScenario = nullptr;

// Set by TALVENOR_FUZZ_ENDLESS=1: inputs may then make every enumeration endless
// (fuzz_scenario.h). For running chosen inputs, not for fuzzing.
bool g_honourEndlessEnumeration = false;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "\nengine_fuzz: %s\n", what.c_str());
    if (g_currentScenario != nullptr) {
        std::fprintf(stderr, "%s", fuzz::DescribeScenario(*g_currentScenario).c_str());
    }
    std::fflush(stderr);
    __builtin_trap();
}

void Require(bool condition, const char* what) {
    if (!condition) {
        Fail(what);
    }
}

std::string Hex8(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

// Checks a non-empty identifier against the rules that need no model: its shape,
// its volume token and its checksum. Returns the tokens it was made of.
std::string CheckIdentifierShape(const char* identifier, const std::string& salt, DWORD serial) {
    Require(!salt.empty() && salt.size() <= kMaxSaltLength,
            "an identifier for a salt that is empty or longer than 255 bytes");
    const std::size_t length = std::strlen(identifier);
    Require(length >= 2 * kVolumeTokenLength + 2 * kCheckTextLength && length % 2 == 0,
            "identifier length is not 2L + 16 with L of at least 9");
    for (std::size_t i = 0; i < length; ++i) {
        Require(test_support::HexDigitValue(identifier[i]) >= 0,
                "identifier holds a character other than 0-9 and A-F");
    }
    const std::size_t joinedLength = (length - 2 * kCheckTextLength) / 2;
    const std::string joined =
        test_support::UnsaltedHex(std::string(identifier, 2 * joinedLength), salt);
    if (joined.compare(0, kVolumeTokenLength, "H" + Hex8(serial)) != 0) {
        Fail("first segment does not start with the volume token H" + Hex8(serial));
    }

    std::uint32_t evenSum = 0;
    std::uint32_t oddSum = 0;
    for (std::size_t i = 0; i < 2 * joinedLength; ++i) {
        (i % 2 == 0 ? evenSum : oddSum) += static_cast<unsigned char>(identifier[i]);
    }
    const std::string checkText = Hex8((evenSum ^ kEvenSumMask) ^ (oddSum ^ kOddSumMask));
    const std::string secondSegment = test_support::UnsaltedHex(
        std::string(identifier + 2 * joinedLength, 2 * kCheckTextLength), salt);
    if (secondSegment != checkText) {
        Fail("second segment unmixes to " + fuzz::Printable(secondSegment) +
             ", the first segment's " + "check text is " + fuzz::Printable(checkText));
    }
    return joined.substr(kVolumeTokenLength);
}

void CheckDerivation(const char* identifier, const std::string& givenSalt, DWORD serial,
                     const ExpectedDerivation& expected) {
    Require(identifier != nullptr, "ComputeMachineId returned null");
    if (identifier[0] == '\0') {
        Require(identifier == engine::kEmptyText,
                "an empty identifier that is not the shared empty text");
        if (!expected.identifier.empty()) {
            Fail("empty identifier, expected " + expected.identifier + " from machine token " +
                 fuzz::Printable(expected.machineToken) + " and user token " +
                 fuzz::Printable(expected.userToken));
        }
        return;
    }
    if (expected.identifier.empty()) {
        Fail(std::string("identifier ") + identifier +
             " where the empty text was due: " + expected.emptyBecause);
    }
    const std::string salt = givenSalt.substr(0, givenSalt.find('\0'));
    const std::string tokens = CheckIdentifierShape(identifier, salt, serial);
    if (tokens != expected.machineToken + expected.userToken) {
        Fail("identifier made of the tokens " + fuzz::Printable(tokens) +
             ", expected machine token " + fuzz::Printable(expected.machineToken) +
             " and user token " + fuzz::Printable(expected.userToken));
    }
    if (expected.identifier != identifier) {
        Fail(std::string("identifier ") + identifier + ", expected " + expected.identifier);
    }
}

void ArrangeKey(HKEY root, const char* path, bool exists, bool readOnly,
                const std::vector<fuzz::StoredValue>& values) {
    if (exists) {
        fake::AddKey(root, path);
    }
    for (const fuzz::StoredValue& value : values) {
        fake::SetValue(root, path, value.name, value.data, value.type);
    }
    if (readOnly) {
        fake::MakeKeyReadOnly(root, path);
    }
}

void ArrangePlatform(const Scenario& scenario) {
    using fuzz::wire::ScenarioFlags;
    fake::Reset();
    fake::SetVolumeSerial(scenario.volumeSerial);
    if (scenario.Has(ScenarioFlags::kVolumeFails)) {
        fake::FailVolume();
    }
    fake::SetClock(static_cast<time_t>(scenario.clock));
    ArrangeKey(HKEY_LOCAL_MACHINE, fuzz::kMachineKeyPath,
               scenario.Has(ScenarioFlags::kMachineKeyExists),
               scenario.Has(ScenarioFlags::kMachineKeyReadOnly), scenario.machineValues);
    ArrangeKey(HKEY_CURRENT_USER, fuzz::kUserKeyPath, scenario.Has(ScenarioFlags::kUserKeyExists),
               scenario.Has(ScenarioFlags::kUserKeyReadOnly), scenario.userValues);
    if (scenario.Has(ScenarioFlags::kDecoyKeys)) {
        for (const DecoyValue& decoy : kDecoys) {
            fake::SetValue(decoy.root, decoy.path, "PlugIn", decoy.data);
        }
    }
    if (scenario.endlessEnumerationError) {
        fake::MakeEnumerationEndless(*scenario.endlessEnumerationError);
    }
    for (const fuzz::InjectedFailure& failure : scenario.failures) {
        if (failure.nth != 0) {
            fake::FailNthCall(failure.function, failure.nth, failure.error);
        } else {
            fake::FailCalls(failure.function, failure.error, failure.root);
        }
    }
    if (scenario.failingAllocation != 0) {
        fake::FailNthAllocation(scenario.failingAllocation);
    }
}

std::string DescribeCall(const fake::Call& call) {
    std::string text = std::string(fake::Name(call.function)) + " -> " +
                       std::to_string(call.result) + " (path " + fuzz::Printable(call.path) +
                       ", access " + Hex8(call.access) + ", index " + std::to_string(call.index) +
                       ", data " + std::to_string(call.data.size()) + " bytes)";
    return text;
}

bool SameCall(const fake::Call& a, const fake::Call& b) {
    return a.function == b.function && a.result == b.result && a.root == b.root &&
           a.path == b.path && a.reserved == b.reserved && a.options == b.options &&
           a.access == b.access && a.classGiven == b.classGiven &&
           a.securityGiven == b.securityGiven && a.index == b.index &&
           a.nameCapacity == b.nameCapacity && a.dataCapacity == b.dataCapacity &&
           a.enumReservedGiven == b.enumReservedGiven && a.valueName == b.valueName &&
           a.type == b.type && a.data == b.data && a.dataLength == b.dataLength &&
           a.volumeRoot == b.volumeRoot && a.volumeNameGiven == b.volumeNameGiven &&
           a.volumeNameSize == b.volumeNameSize && a.serialGiven == b.serialGiven &&
           a.otherVolumeOutsGiven == b.otherVolumeOutsGiven &&
           a.fileSystemNameSize == b.fileSystemNameSize;
}

// Handle-based calls carry the path of their key in the stand-in's log.
fake::Call WithKeyPath(fake::Call call) {
    if (call.function != Fn::kRegCreateKeyExA && call.function != Fn::kRegOpenKeyExA &&
        call.root != nullptr) {
        call.path = call.root == HKEY_LOCAL_MACHINE ? fuzz::kMachineKeyPath : fuzz::kUserKeyPath;
    }
    return call;
}

void CheckCalls(const ExpectedEngine& expected) {
    const std::vector<fake::Call>& actual = fake::Calls();
    const std::vector<fake::Call>& wanted = expected.calls();
    for (std::size_t i = 0; i < actual.size() && i < wanted.size(); ++i) {
        if (!SameCall(actual[i], WithKeyPath(wanted[i]))) {
            Fail("call " + std::to_string(i + 1) + " was " + DescribeCall(actual[i]) +
                 ", expected " + DescribeCall(WithKeyPath(wanted[i])));
        }
    }
    if (actual.size() != wanted.size()) {
        Fail("the engine made " + std::to_string(actual.size()) + " logged calls, expected " +
             std::to_string(wanted.size()));
    }
    // Counts and last calls are exact even where the log stops at its limit.
    for (Fn function : kAllFunctions) {
        if (fake::CallCount(function) != expected.CallCount(function)) {
            Fail(std::string(fake::Name(function)) + " called " +
                 std::to_string(fake::CallCount(function)) + " times, expected " +
                 std::to_string(expected.CallCount(function)));
        }
        if (expected.CallCount(function) != 0 &&
            !SameCall(fake::LastCall(function), WithKeyPath(expected.LastCall(function)))) {
            Fail("last call was " + DescribeCall(fake::LastCall(function)) + ", expected " +
                 DescribeCall(WithKeyPath(expected.LastCall(function))));
        }
    }
}

void CheckValues(const char* key, const std::vector<fake::Value>& actual,
                 const std::vector<fake::Value>& wanted) {
    bool same = actual.size() == wanted.size();
    for (std::size_t i = 0; same && i < actual.size(); ++i) {
        same = actual[i].name == wanted[i].name && actual[i].type == wanted[i].type &&
               actual[i].data == wanted[i].data;
    }
    if (!same) {
        std::string what = std::string(key) + " holds";
        for (const fake::Value& value : actual) {
            what += " " + fuzz::Printable(value.name) + "=" + fuzz::Printable(value.data);
        }
        what += ", expected";
        for (const fake::Value& value : wanted) {
            what += " " + fuzz::Printable(value.name) + "=" + fuzz::Printable(value.data);
        }
        Fail(what);
    }
}

void CheckPlatformAfterwards(const Scenario& scenario, const ExpectedEngine& expected) {
    Require(fake::OutstandingBlocks() == 0, "an engine heap block is still out");
    Require(fake::AllocationCount() == expected.allocations(),
            "the engine allocated a different number of blocks than its rules call for");
    // Every key the engine opened was closed; only a failed RegCloseKey leaves one open.
    Require(fake::OpenHandleCount() == expected.openHandles(), "a registry key was left open");
    CheckCalls(expected);
    CheckValues("HKLM key", fake::Values(HKEY_LOCAL_MACHINE, fuzz::kMachineKeyPath),
                expected.machineValues());
    CheckValues("HKCU key", fake::Values(HKEY_CURRENT_USER, fuzz::kUserKeyPath),
                expected.userValues());
    if (scenario.Has(fuzz::wire::kDecoyKeys)) {
        for (const DecoyValue& decoy : kDecoys) {
            CheckValues(decoy.path, fake::Values(decoy.root, decoy.path),
                        {fake::Value{"PlugIn", REG_SZ, decoy.data}});
        }
    }
}

void RunScenario(const Scenario& scenario) {
    ArrangePlatform(scenario);
    ExpectedEngine expected(scenario, fake::Values(HKEY_LOCAL_MACHINE, fuzz::kMachineKeyPath),
                            fake::Values(HKEY_CURRENT_USER, fuzz::kUserKeyPath));
    for (const fuzz::Step& step : scenario.steps) {
        if (step.kind == fuzz::StepKind::kIsInstalled) {
            const int installed = engine::IsInstalled();
            const bool wanted = expected.IsInstalled();
            if (installed != (wanted ? 1 : 0)) {
                Fail("IsInstalled answered " + std::to_string(installed) + ", expected " +
                     (wanted ? "1" : "0"));
            }
            continue;
        }
        // A buffer of exactly the salt and its terminator, so that ASan sees any
        // read past it.
        std::vector<char> saltBuffer(step.salt.begin(), step.salt.end());
        saltBuffer.push_back('\0');
        const char* identifier = engine::ComputeMachineId(saltBuffer.data());
        CheckDerivation(identifier, step.salt, scenario.volumeSerial, expected.Derive(step.salt));
        engine::FreeText(identifier);
        Require(fake::OutstandingBlocks() == 0,
                "an engine heap block is still out after the identifier was released");
    }
    CheckPlatformAfterwards(scenario, expected);
    if (scenario.endlessEnumerationError) {
        // Tells the endless enumeration test that its inputs were taken as meant.
        std::fprintf(stderr, "engine_fuzz: endless enumeration honoured, %zu RegEnumValueA calls\n",
                     fake::CallCount(Fn::kRegEnumValueA));
    }
}

// Engine and model must both reproduce an identifier worked out separately (by
// a short script from the derivation rules) before any verdict of the model can
// count: a first run with the clock at 0, serial FFFFFFFF and salt 80 FF 01
// generates the tokens "9t7tkU115Q" and "PkxE8sX7hJ".
//
// It also leaves the stand-in's state grown to its working size: libFuzzer runs
// an input a second time, looking for leaks, whenever it allocates more than it
// frees, which a first call of each registry function otherwise does.
void CheckAgainstKnownIdentifier() {
    constexpr char kKnownIdentifier[] =
        "C8B947C6B947C6B947B98B36F49454B1CE34D1AF6AF8BA39F3A736E8B5B0CF39C5BA32B6CA";
    const std::string salt = "\x80\xFF\x01";
    Scenario scenario;
    scenario.volumeSerial = 0xFFFFFFFF;
    scenario.clock = 0;
    ArrangePlatform(scenario);
    ExpectedEngine expected(scenario, {}, {});
    const ExpectedDerivation derivation = expected.Derive(salt);
    if (derivation.machineToken != "9t7tkU115Q" || derivation.userToken != "PkxE8sX7hJ" ||
        derivation.identifier != kKnownIdentifier) {
        Fail("the fuzz target's own model of the engine computes " + derivation.identifier);
    }
    const char* identifier = engine::ComputeMachineId(salt.c_str());
    if (std::strcmp(identifier, kKnownIdentifier) != 0) {
        Fail(std::string("the engine computes ") + identifier + " for the known identifier");
    }
    engine::FreeText(identifier);
    Require(engine::IsInstalled() == 1, "IsInstalled answers 0 after a first run");
    fake::Reset();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    const char* endless = std::getenv("TALVENOR_FUZZ_ENDLESS");
    g_honourEndlessEnumeration = endless != nullptr && std::strcmp(endless, "1") == 0;
    CheckAgainstKnownIdentifier();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Scenario scenario = fuzz::DecodeScenario(data, size, g_honourEndlessEnumeration);
    g_currentScenario = &scenario;
    RunScenario(scenario);
    g_currentScenario = nullptr;
    // The stand-in's state is released within the run: libFuzzer runs an input a
    // second time, under LeakSanitizer, when its mallocs and frees do not match.
    fake::Reset();
    return 0;
}
