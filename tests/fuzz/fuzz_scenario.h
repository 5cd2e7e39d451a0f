// One fuzz input, decoded: what the platform stand-in holds before the engine
// runs (volume, clock, both token keys with their values), which of its calls
// and allocations fail, and the sequence of engine operations to run on it.
//
// The wire format is read from the front, one field after the other; a field
// past the end of the input reads as zero bytes, so every input, the empty one
// included, is a valid scenario. Counts and kinds are taken modulo their range,
// so most mutations of a byte still land on a meaningful value.
//
//   flags         1 byte   ScenarioFlags
//   serial        4 bytes  little-endian volume serial number
//   clock         8 bytes  little-endian seconds for time()
//   endless error 1 byte   error selector for an endless enumeration
//   machine key   1 byte   value count (mod 8), then that many values
//   user key      1 byte   value count (mod 8), then that many values
//   failures      1 byte   count (mod 8), then that many failures
//   allocation    1 byte   the nth engine allocation that fails; 0: none
//   steps         1 byte   count (mod 4, plus 1), then that many steps
//
//   value     = name, type (1 byte), data
//   name      = kind (1 byte, mod 4) and its fields, see NameKind
//   data      = kind (1 byte, mod 4) and its fields, see DataKind
//   failure   = function (1 byte, index into kFailingFunctions), scope (1 byte),
//               error selector (1 byte)
//               scope bit 7 set: every call on one root (bit 6: HKCU, else HKLM); for
//               RegEnumValueA always ERROR_NO_MORE_ITEMS, unless endless enumerations
//               are honoured
//               scope bit 7 clear: only call number 1 + (scope & 0x7F) of the function
//   step      = kind (1 byte; bit 0 set: IsInstalled, else a derivation followed by a salt)
//   salt      = kind (1 byte, mod 4) and its fields, see SaltKind
//
// Selectors index their table modulo its size. No error code is ERROR_SUCCESS:
// a failure that reports success without doing anything is no platform behaviour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fake_platform.h"

namespace fuzz {

namespace wire {

enum ScenarioFlags : std::uint8_t {
    kVolumeFails = 0x01,
    kMachineKeyExists = 0x02,
    kMachineKeyReadOnly = 0x04,
    kUserKeyExists = 0x08,
    kUserKeyReadOnly = 0x10,
    kDecoyKeys = 0x20,
    // An enumeration that never reports its end: every RegEnumValueA returns the
    // endless error. The engine's search then gives up after a million calls per
    // key, seconds under the sanitizers, and libFuzzer would spend most of its
    // time there, so the flag only counts when DecodeScenario is told to
    // honour it (the endless enumeration test, outside the fuzzing loop).
    kEndlessEnumeration = 0x40,
};

enum NameKind : std::uint8_t {
    kCasedPlugIn = 0,   // case mask (1 byte): bit i makes letter i of "plugin" upper case
    kRawName = 1,       // length (1 byte), bytes
    kLongName = 2,      // length 250 + (1 byte mod 16), fill byte (1 byte)
    kSuffixedName = 3,  // case mask (1 byte), suffix length (1 byte), suffix bytes
};
constexpr std::size_t kLongNameBase = 250;
constexpr std::size_t kLongNameSpread = 16;  // 250 to 265: around the 259-character limit

enum DataKind : std::uint8_t {
    kRawData = 0,       // length (1 byte), bytes
    kEmptyData = 1,     // nothing
    kLongData = 2,      // length (2 bytes, mod 4097), fill byte (1 byte)
    kBoundaryData = 3,  // length 1020 + (1 byte mod 8), fill byte (1 byte)
};
constexpr std::size_t kLongDataLimit = 4097;
constexpr std::size_t kBoundaryDataBase = 1020;  // 1020 to 1027: around the 1024-byte limit
constexpr std::size_t kBoundaryDataSpread = 8;

enum SaltKind : std::uint8_t {
    kRawSalt = 0,       // length (1 byte), bytes; a zero byte ends the salt the engine sees
    kPatternSalt = 1,   // length (2 bytes, mod 1024), start byte (1 byte); no zero bytes
    kBoundarySalt = 2,  // length 250 + (1 byte mod 12), start byte (1 byte); no zero bytes
    kDoubledSalt = 3,   // length (1 byte), bytes, taken twice in a row
};
constexpr std::size_t kPatternSaltLimit = 1024;
constexpr std::size_t kBoundarySaltBase = 250;  // 250 to 261: around the 255-byte limit
constexpr std::size_t kBoundarySaltSpread = 12;

constexpr std::uint8_t kEveryCallScope = 0x80;
constexpr std::uint8_t kUserRootScope = 0x40;
constexpr std::uint8_t kNthCallMask = 0x7F;

constexpr std::uint8_t kIsInstalledStep = 0x01;

constexpr std::size_t kMaxValuesPerKey = 8;
constexpr std::size_t kMaxFailures = 8;
constexpr std::size_t kMaxSteps = 4;

constexpr fake::Fn kFailingFunctions[] = {
    fake::Fn::kRegCreateKeyExA,       fake::Fn::kRegOpenKeyExA, fake::Fn::kRegEnumValueA,
    fake::Fn::kRegSetValueExA,        fake::Fn::kRegFlushKey,   fake::Fn::kRegCloseKey,
    fake::Fn::kGetVolumeInformationA,
};

constexpr LONG kErrorCodes[] = {
    ERROR_FILE_NOT_FOUND,
    ERROR_ACCESS_DENIED,
    fake::kErrorInvalidHandle,
    fake::kErrorInvalidParameter,
    ERROR_MORE_DATA,
    ERROR_NO_MORE_ITEMS,
    1018,  // ERROR_KEY_DELETED
    1,     // ERROR_INVALID_FUNCTION
    -1,
    0x7FFFFFFF,
};

}  // namespace wire

struct StoredValue {
    std::string name;
    DWORD type = REG_SZ;
    std::string data;
};

struct InjectedFailure {
    fake::Fn function = fake::Fn::kRegCreateKeyExA;
    std::size_t nth = 0;  // 0: every call on `root`
    HKEY root = nullptr;  // only for failures of every call
    LONG error = 0;
};

enum class StepKind { kDerive, kIsInstalled };

struct Step {
    StepKind kind = StepKind::kDerive;
    std::string salt;  // the bytes handed over, zeros included; the engine sees up to the first
};

struct Scenario {
    std::uint8_t flags = 0;
    DWORD volumeSerial = 0;
    std::int64_t clock = 0;
    std::optional<LONG> endlessEnumerationError;
    std::vector<StoredValue> machineValues;
    std::vector<StoredValue> userValues;
    std::vector<InjectedFailure> failures;
    std::size_t failingAllocation = 0;  // 0: none
    std::vector<Step> steps;

    bool Has(wire::ScenarioFlags flag) const { return (flags & flag) != 0; }
};

// Any input decodes; ScenarioFlags::kEndlessEnumeration counts only with
// `honourEndlessEnumeration`.
Scenario DecodeScenario(const std::uint8_t* data, std::size_t size, bool honourEndlessEnumeration);

// A readable account of a scenario, printed with a failed check.
std::string DescribeScenario(const Scenario& scenario);

// Bytes quoted with the unprintable ones escaped, long ones cut, and the length.
std::string Printable(const std::string& bytes);

// Builds inputs in the wire format above, field by field (for the seed corpus).
class ScenarioBytes {
  public:
    ScenarioBytes& Byte(std::uint8_t value);
    ScenarioBytes& U16(std::uint16_t value);
    ScenarioBytes& U32(std::uint32_t value);
    ScenarioBytes& U64(std::uint64_t value);
    ScenarioBytes& Raw(const std::string& bytes);
    // A length byte followed by the bytes.
    ScenarioBytes& Counted(const std::string& bytes);

    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

  private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace fuzz
