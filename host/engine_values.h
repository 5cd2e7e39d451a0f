// The values of a request read as the control reads them: the identifier
// from the engine, the computer name from the platform, the installation test
// from the token store, and the component version this host was built with.
#pragma once

#include "values_provider.h"

namespace host {

class EngineValues : public ValuesProvider {
  public:
    std::optional<std::string> Identifier(const std::string& saltBytes) override;
    std::string ComputerName() override;
    int TestInstallation() override;
    std::string Version() override;
};

}  // namespace host
