#include "engine_values.h"

#include <windows.h>

#include "computer_name.h"
#include "engine_text.h"
#include "machine_id.h"
#include "token_store.h"

namespace host {

namespace {

// `text` in the ANSI code page, as the control turns it into the script's
// UTF-16, then in UTF-8 for JSON. Empty when a conversion fails.
std::string AnsiToUtf8(const char* text) {
    const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0) {
        return std::string();
    }
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], units);
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return std::string();
    }
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &utf8[0], bytes, nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(bytes) - 1);
    return utf8;
}

}  // namespace

std::optional<std::string> EngineValues::Identifier(const std::string& saltBytes) {
    const engine::UniqueText identifier(engine::ComputeMachineId(saltBytes.c_str()));
    if (identifier.get()[0] == '\0') {
        return std::nullopt;
    }
    return std::string(identifier.get());
}

std::string EngineValues::ComputerName() {
    char name[kComputerNameBufferSize];
    ReadComputerName(name);
    return AnsiToUtf8(name);
}

int EngineValues::TestInstallation() {
    return engine::IsInstalled();
}

std::string EngineValues::Version() {
    return TALVENOR_VERSION;
}

}  // namespace host
