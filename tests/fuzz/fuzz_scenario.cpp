#include "fuzz_scenario.h"

#include <cstdio>

namespace fuzz {

namespace {

constexpr char kPlugIn[] = "plugin";
constexpr std::size_t kPlugInLength = 6;

// Reads fields from the front of the input; past its end every byte reads as zero.
class FieldReader {
  public:
    FieldReader(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}

    std::uint8_t Byte() {
        if (left_ == 0) {
            return 0;
        }
        --left_;
        return *data_++;
    }

    std::uint64_t LittleEndian(std::size_t byteCount) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < byteCount; ++i) {
            value |= static_cast<std::uint64_t>(Byte()) << (8 * i);
        }
        return value;
    }

    std::string Bytes(std::size_t count) {
        std::string bytes;
        bytes.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            bytes.push_back(static_cast<char>(Byte()));
        }
        return bytes;
    }

    std::string Counted() { return Bytes(Byte()); }

  private:
    const std::uint8_t* data_;
    std::size_t left_;
};

LONG ErrorCode(std::uint8_t selector) {
    constexpr std::size_t count = sizeof wire::kErrorCodes / sizeof wire::kErrorCodes[0];
    return wire::kErrorCodes[selector % count];
}

std::string CasedPlugIn(std::uint8_t caseMask) {
    std::string name = kPlugIn;
    for (std::size_t i = 0; i < kPlugInLength; ++i) {
        if ((caseMask >> i) & 1) {
            name[i] = static_cast<char>(name[i] - 'a' + 'A');
        }
    }
    return name;
}

std::string DecodeName(FieldReader& in) {
    switch (in.Byte() % 4) {
        case wire::kCasedPlugIn:
            return CasedPlugIn(in.Byte());
        case wire::kRawName:
            return in.Counted();
        case wire::kLongName: {
            const std::size_t length = wire::kLongNameBase + in.Byte() % wire::kLongNameSpread;
            return std::string(length, static_cast<char>(in.Byte()));
        }
        default: {
            std::string name = CasedPlugIn(in.Byte());
            return name + in.Counted();
        }
    }
}

// Long data of one repeated byte, or of the alphabet when that byte is zero.
std::string FilledData(std::size_t length, std::uint8_t fill) {
    std::string data(length, static_cast<char>(fill));
    if (fill == 0) {
        for (std::size_t i = 0; i < length; ++i) {
            data[i] = static_cast<char>('a' + i % 26);
        }
    }
    return data;
}

std::string DecodeData(FieldReader& in) {
    switch (in.Byte() % 4) {
        case wire::kRawData:
            return in.Counted();
        case wire::kEmptyData:
            return std::string();
        case wire::kLongData: {
            const std::size_t length = in.LittleEndian(2) % wire::kLongDataLimit;
            return FilledData(length, in.Byte());
        }
        default: {
            const std::size_t length =
                wire::kBoundaryDataBase + in.Byte() % wire::kBoundaryDataSpread;
            return FilledData(length, in.Byte());
        }
    }
}

std::vector<StoredValue> DecodeValues(FieldReader& in) {
    std::vector<StoredValue> values(in.Byte() % wire::kMaxValuesPerKey);
    for (StoredValue& value : values) {
        value.name = DecodeName(in);
        value.type = in.Byte();
        value.data = DecodeData(in);
    }
    return values;
}

// Salt bytes 1 to 255, never zero, so that the whole length reaches the engine.
std::string PatternSalt(std::size_t length, std::uint8_t start) {
    std::string salt(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        salt[i] = static_cast<char>(1 + (start + 37 * i) % 255);
    }
    return salt;
}

std::string DecodeSalt(FieldReader& in) {
    switch (in.Byte() % 4) {
        case wire::kRawSalt:
            return in.Counted();
        case wire::kPatternSalt: {
            const std::size_t length = in.LittleEndian(2) % wire::kPatternSaltLimit;
            return PatternSalt(length, in.Byte());
        }
        case wire::kBoundarySalt: {
            const std::size_t length =
                wire::kBoundarySaltBase + in.Byte() % wire::kBoundarySaltSpread;
            return PatternSalt(length, in.Byte());
        }
        default: {
            const std::string once = in.Counted();
            return once + once;
        }
    }
}

InjectedFailure DecodeFailure(FieldReader& in, bool endlessAllowed) {
    constexpr std::size_t functionCount =
        sizeof wire::kFailingFunctions / sizeof wire::kFailingFunctions[0];
    InjectedFailure failure;
    failure.function = wire::kFailingFunctions[in.Byte() % functionCount];
    const std::uint8_t scope = in.Byte();
    if (scope & wire::kEveryCallScope) {
        failure.root = (scope & wire::kUserRootScope) ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    } else {
        failure.nth = 1 + (scope & wire::kNthCallMask);
    }
    failure.error = ErrorCode(in.Byte());
    // Every enumeration call on a key failing with anything but "no more items"
    // is an endless enumeration too, with its cost.
    if (failure.nth == 0 && failure.function == fake::Fn::kRegEnumValueA && !endlessAllowed) {
        failure.error = ERROR_NO_MORE_ITEMS;
    }
    return failure;
}

void DescribeValues(std::string& out, const char* key, const std::vector<StoredValue>& values) {
    for (const StoredValue& value : values) {
        out += std::string("  ") + key + " value " + Printable(value.name) + " type " +
               std::to_string(value.type) + " data " + Printable(value.data) + "\n";
    }
}

}  // namespace

Scenario DecodeScenario(const std::uint8_t* data, std::size_t size, bool honourEndlessEnumeration) {
    FieldReader in(data, size);
    Scenario scenario;
    scenario.flags = in.Byte();
    scenario.volumeSerial = static_cast<DWORD>(in.LittleEndian(4));
    scenario.clock = static_cast<std::int64_t>(in.LittleEndian(8));
    const LONG endlessError = ErrorCode(in.Byte());
    const bool endless = honourEndlessEnumeration && scenario.Has(wire::kEndlessEnumeration);
    if (endless) {
        scenario.endlessEnumerationError = endlessError;
    }
    scenario.machineValues = DecodeValues(in);
    scenario.userValues = DecodeValues(in);
    scenario.failures.resize(in.Byte() % wire::kMaxFailures);
    for (InjectedFailure& failure : scenario.failures) {
        failure = DecodeFailure(in, endless);
    }
    scenario.failingAllocation = in.Byte();
    scenario.steps.resize(1 + in.Byte() % wire::kMaxSteps);
    for (Step& step : scenario.steps) {
        if (in.Byte() & wire::kIsInstalledStep) {
            step.kind = StepKind::kIsInstalled;
        } else {
            step.kind = StepKind::kDerive;
            step.salt = DecodeSalt(in);
        }
    }
    return scenario;
}

std::string Printable(const std::string& bytes) {
    constexpr std::size_t kShown = 40;
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < kShown; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            text.push_back(static_cast<char>(byte));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        }
    }
    if (bytes.size() > kShown) {
        text += "...";
    }
    return "\"" + text + "\" (" + std::to_string(bytes.size()) + " bytes)";
}

std::string DescribeScenario(const Scenario& scenario) {
    char header[160];
    std::snprintf(header, sizeof header, "scenario: flags 0x%02X, serial 0x%08X, clock %lld\n",
                  scenario.flags, static_cast<unsigned>(scenario.volumeSerial),
                  static_cast<long long>(scenario.clock));
    std::string out = header;
    if (scenario.endlessEnumerationError) {
        out += "  endless enumeration, error " + std::to_string(*scenario.endlessEnumerationError) +
               "\n";
    }
    DescribeValues(out, "HKLM", scenario.machineValues);
    DescribeValues(out, "HKCU", scenario.userValues);
    for (const InjectedFailure& failure : scenario.failures) {
        out += std::string("  failure of ") + fake::Name(failure.function);
        if (failure.nth != 0) {
            out += " call " + std::to_string(failure.nth);
        } else {
            out +=
                failure.root == HKEY_CURRENT_USER ? " every call on HKCU" : " every call on HKLM";
        }
        out += ", error " + std::to_string(failure.error) + "\n";
    }
    if (scenario.failingAllocation != 0) {
        out += "  allocation " + std::to_string(scenario.failingAllocation) + " fails\n";
    }
    for (const Step& step : scenario.steps) {
        out += step.kind == StepKind::kIsInstalled
                   ? "  step IsInstalled\n"
                   : "  step derive, salt " + Printable(step.salt) + "\n";
    }
    return out;
}

ScenarioBytes& ScenarioBytes::Byte(std::uint8_t value) {
    bytes_.push_back(value);
    return *this;
}

ScenarioBytes& ScenarioBytes::U16(std::uint16_t value) {
    return Byte(static_cast<std::uint8_t>(value)).Byte(static_cast<std::uint8_t>(value >> 8));
}

ScenarioBytes& ScenarioBytes::U32(std::uint32_t value) {
    return U16(static_cast<std::uint16_t>(value)).U16(static_cast<std::uint16_t>(value >> 16));
}

ScenarioBytes& ScenarioBytes::U64(std::uint64_t value) {
    return U32(static_cast<std::uint32_t>(value)).U32(static_cast<std::uint32_t>(value >> 32));
}

ScenarioBytes& ScenarioBytes::Raw(const std::string& bytes) {
    for (char byte : bytes) {
        Byte(static_cast<std::uint8_t>(byte));
    }
    return *this;
}

ScenarioBytes& ScenarioBytes::Counted(const std::string& bytes) {
    return Byte(static_cast<std::uint8_t>(bytes.size())).Raw(bytes);
}

}  // namespace fuzz
