// Where a session gets the values it answers with: the identifier engine and
// the platform in the host, a stand-in in the fuzz target.
#pragma once

#include <optional>
#include <string>

namespace host {

class ValuesProvider {
  public:
    virtual ~ValuesProvider() = default;
    // The identifier for salt bytes the control's rules let through
    // (salt_rules.h), or none where the engine refuses them or fails.
    virtual std::optional<std::string> Identifier(const std::string& saltBytes) = 0;
    // The computer name as the control reads it, in UTF-8.
    virtual std::string ComputerName() = 0;
    // 1 when the machine's installation token exists, else 0.
    virtual int TestInstallation() = 0;
    virtual std::string Version() = 0;
};

}  // namespace host
