// Answers a module's volume and registry calls from memory, with what the real
// ones answer once both installation tokens are stored, so that the work of
// ieTalvenor.DLL itself can be timed apart from the platform's: a derivation
// spends almost all of its time in those calls, and their time varies from
// call to call far more than the DLL's own work takes.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "import_redirect.h"

namespace bench {

class PlatformStandIn {
  public:
    // Reads the C: volume serial number and the two stored tokens from the
    // platform; the stand-in answers with them, the token as the only value
    // of each key. Nothing is redirected before Install().
    explicit PlatformStandIn(HMODULE module);
    ~PlatformStandIn();
    PlatformStandIn(const PlatformStandIn&) = delete;
    PlatformStandIn& operator=(const PlatformStandIn&) = delete;

    // False when the serial or a token could not be read.
    bool ready() const { return ready_; }
    void Install();
    void Restore();

  private:
    bool ready_ = false;
    std::vector<std::unique_ptr<test_support::ImportRedirect>> redirects_;
};

}  // namespace bench
