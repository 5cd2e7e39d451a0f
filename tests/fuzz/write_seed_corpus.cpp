// Writes the committed seed corpus of engine_fuzz (tests/fuzz/corpus) in the
// wire format of fuzz_scenario.h, and prints each seed as the fuzz target
// decodes it. Run by hand after a change of the format:
//
//   engine_fuzz_seed_writer <source>/tests/fuzz/corpus
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_scenario.h"

namespace {

using fuzz::ScenarioBytes;
namespace wire = fuzz::wire;

constexpr std::uint32_t kSerial = 0x1234ABCD;
constexpr std::uint64_t kClock = 1700000000;

// Letters of "plugin" made upper case by the case mask: "PlugIn" is P and I.
constexpr std::uint8_t kPlugInCase = 0x01 | 0x10;

// The fixed head of a scenario, up to and without the machine key's values.
ScenarioBytes Head(std::uint8_t flags, std::uint32_t serial = kSerial, std::uint64_t clock = kClock,
                   std::uint8_t endlessErrorSelector = 0) {
    ScenarioBytes bytes;
    bytes.Byte(flags).U32(serial).U64(clock).Byte(endlessErrorSelector);
    return bytes;
}

void PlugInValue(ScenarioBytes& bytes, std::uint8_t caseMask, std::uint8_t type,
                 const std::string& data) {
    bytes.Byte(wire::kCasedPlugIn).Byte(caseMask).Byte(type).Byte(wire::kRawData).Counted(data);
}

void RawValue(ScenarioBytes& bytes, const std::string& name, std::uint8_t type,
              const std::string& data) {
    bytes.Byte(wire::kRawName).Counted(name).Byte(type).Byte(wire::kRawData).Counted(data);
}

void DeriveStep(ScenarioBytes& bytes, const std::string& salt) {
    bytes.Byte(0).Byte(wire::kRawSalt).Counted(salt);
}

// No failures, no failing allocation, then the step count.
void NoFailures(ScenarioBytes& bytes, std::size_t stepCount) {
    bytes.Byte(0).Byte(0).Byte(static_cast<std::uint8_t>(stepCount - 1));
}

struct Seed {
    const char* name;
    ScenarioBytes bytes;
};

std::vector<Seed> Seeds() {
    std::vector<Seed> seeds;

    // A first run: no keys; both tokens are generated, then reused.
    {
        ScenarioBytes bytes = Head(0);
        bytes.Byte(0).Byte(0);
        NoFailures(bytes, 3);
        DeriveStep(bytes, "abc");
        DeriveStep(bytes, "abc");
        bytes.Byte(wire::kIsInstalledStep);
        seeds.push_back({"first_run", bytes});
    }
    // Stored tokens behind other values, in other cases of the name, one with
    // a terminating zero and trailing bytes.
    {
        ScenarioBytes bytes = Head(wire::kDecoyKeys);
        bytes.Byte(2);
        RawValue(bytes, "Other", REG_SZ, "xyz");
        PlugInValue(bytes, 0x3F, REG_BINARY, "Mach1neTok");
        bytes.Byte(1);
        PlugInValue(bytes, 0, REG_SZ, std::string("UserTok123\0junk", 15));
        NoFailures(bytes, 2);
        bytes.Byte(wire::kIsInstalledStep);
        DeriveStep(bytes, "salt");
        seeds.push_back({"stored_tokens", bytes});
    }
    // Salts around the length limit: 255 bytes is accepted, 256 is not.
    for (std::uint8_t extra : {5, 6}) {
        ScenarioBytes bytes = Head(0);
        bytes.Byte(0).Byte(0);
        NoFailures(bytes, 1);
        bytes.Byte(0).Byte(wire::kBoundarySalt).Byte(extra).Byte(7);
        seeds.push_back({extra == 5 ? "salt_255" : "salt_256", bytes});
    }
    // A long salt, a salt cut short by a zero byte, and a doubled one.
    {
        ScenarioBytes bytes = Head(0, 0xFFFFFFFF, 0);
        bytes.Byte(0).Byte(0);
        NoFailures(bytes, 3);
        bytes.Byte(0).Byte(wire::kPatternSalt).U16(600).Byte(1);
        DeriveStep(bytes, std::string("\x80\xFF\0tail", 7));
        bytes.Byte(0).Byte(wire::kDoubledSalt).Counted("xy");
        seeds.push_back({"long_salt", bytes});
    }
    // Values the search must pass over: names of 259 and 260 characters, data
    // of 1025 bytes, a near miss of the name. The user token fills exactly 1024 bytes.
    {
        ScenarioBytes bytes = Head(0);
        bytes.Byte(4);
        bytes.Byte(wire::kLongName)
            .Byte(9)
            .Byte('p')
            .Byte(REG_SZ)
            .Byte(wire::kRawData)
            .Counted("x");
        bytes.Byte(wire::kLongName)
            .Byte(10)
            .Byte('q')
            .Byte(REG_SZ)
            .Byte(wire::kRawData)
            .Counted("y");
        bytes.Byte(wire::kCasedPlugIn).Byte(kPlugInCase).Byte(REG_SZ);
        bytes.Byte(wire::kBoundaryData).Byte(5).Byte('A');
        bytes.Byte(wire::kSuffixedName).Byte(0).Counted(" ").Byte(REG_SZ).Byte(wire::kEmptyData);
        bytes.Byte(2);
        RawValue(bytes, "\x80\xFFname", 200, "\xFE\x80\x01");
        bytes.Byte(wire::kCasedPlugIn).Byte(0x02).Byte(REG_DWORD);
        bytes.Byte(wire::kBoundaryData).Byte(4).Byte(0);
        NoFailures(bytes, 2);
        DeriveStep(bytes, "\x01");
        bytes.Byte(wire::kIsInstalledStep);
        seeds.push_back({"hostile_values", bytes});
    }
    // A name that reads "PlugIn" up to a zero byte but goes on: not the token
    // value, since the whole name is compared. A token is generated and stored
    // beside it.
    {
        ScenarioBytes bytes = Head(0);
        bytes.Byte(1);
        bytes.Byte(wire::kSuffixedName).Byte(kPlugInCase).Counted(std::string("\0x", 2));
        bytes.Byte(REG_SZ).Byte(wire::kRawData).Counted("Bogus12345");
        bytes.Byte(0);
        NoFailures(bytes, 2);
        DeriveStep(bytes, "abc");
        bytes.Byte(wire::kIsInstalledStep);
        seeds.push_back({"name_with_zero", bytes});
    }
    // A machine key that may only be read, with and without a stored token.
    for (bool stored : {true, false}) {
        ScenarioBytes bytes = Head(wire::kMachineKeyReadOnly);
        bytes.Byte(stored ? 1 : 0);
        if (stored) {
            PlugInValue(bytes, kPlugInCase, REG_SZ, "ReadOnlyTok");
        }
        bytes.Byte(0);
        NoFailures(bytes, 2);
        DeriveStep(bytes, "abc");
        bytes.Byte(wire::kIsInstalledStep);
        seeds.push_back({stored ? "read_only_stored" : "read_only_empty", bytes});
    }
    // Failing calls: machine key creation (falls back to reading), an
    // enumeration, the token write, a close; and a failing allocation.
    {
        ScenarioBytes bytes = Head(wire::kMachineKeyExists);
        bytes.Byte(1);
        RawValue(bytes, "Other", REG_SZ, "xyz");
        bytes.Byte(0);
        bytes.Byte(4);
        bytes.Byte(0).Byte(0).Byte(1);  // RegCreateKeyExA call 1: access denied
        bytes.Byte(2).Byte(2).Byte(4);  // RegEnumValueA call 3: more data
        bytes.Byte(3).Byte(0).Byte(0);  // RegSetValueExA call 1: file not found
        bytes.Byte(5).Byte(1).Byte(2);  // RegCloseKey call 2: invalid handle
        bytes.Byte(2);                  // the second allocation fails
        bytes.Byte(2);
        DeriveStep(bytes, "abc");
        DeriveStep(bytes, "abc");
        bytes.Byte(wire::kIsInstalledStep);
        seeds.push_back({"failing_calls", bytes});
    }
    // The volume query failing, then every call on the user key failing.
    {
        ScenarioBytes bytes = Head(wire::kVolumeFails);
        bytes.Byte(0).Byte(0);
        NoFailures(bytes, 1);
        DeriveStep(bytes, "abc");
        seeds.push_back({"volume_fails", bytes});

        ScenarioBytes userDenied = Head(0);
        userDenied.Byte(0).Byte(0);
        userDenied.Byte(1).Byte(0).Byte(wire::kEveryCallScope | wire::kUserRootScope).Byte(1);
        userDenied.Byte(0).Byte(0);
        DeriveStep(userDenied, "abc");
        seeds.push_back({"user_key_denied", userDenied});
    }
    // Every enumeration failing with "more data" (with TALVENOR_FUZZ_ENDLESS=1):
    // the searches give up at their bound. A writable machine key gets its
    // unreadable token replaced; a read-only one yields no machine token.
    for (bool readOnly : {false, true}) {
        ScenarioBytes bytes =
            Head(wire::kEndlessEnumeration | (readOnly ? wire::kMachineKeyReadOnly : 0), kSerial,
                 kClock, 4);
        bytes.Byte(1);
        PlugInValue(bytes, kPlugInCase, REG_SZ, "Unreadable");
        bytes.Byte(0);
        NoFailures(bytes, 1);
        DeriveStep(bytes, "abc");
        seeds.push_back({readOnly ? "endless_read_only" : "endless_writable", bytes});
    }
    return seeds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    for (const Seed& seed : Seeds()) {
        const std::string path = std::string(argv[1]) + "/" + seed.name;
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) {
            std::perror(path.c_str());
            return 1;
        }
        const std::vector<std::uint8_t>& bytes = seed.bytes.bytes();
        const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
        if (std::fclose(file) != 0 || !written) {
            std::perror(path.c_str());
            return 1;
        }
        const fuzz::Scenario scenario = fuzz::DecodeScenario(bytes.data(), bytes.size(), true);
        std::printf("%s (%zu bytes)\n%s\n", seed.name, bytes.size(),
                    fuzz::DescribeScenario(scenario).c_str());
    }
    return 0;
}
