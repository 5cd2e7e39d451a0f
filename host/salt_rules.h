// The salt a page passes, taken as the control's getID takes it, so that both
// routes give a page the same identifier for the same salt.
#pragma once

#include <optional>
#include <string>

namespace host {

// The bytes the control hands the engine for `salt` (UTF-8): each character
// up to U+00FF becomes the byte of the same value, and the text ends at the
// first U+0000. No bytes (the control gives no identifier without asking the
// engine) when the salt is empty or a character before the first U+0000 is
// above U+00FF. The engine itself refuses an empty or over-long result.
std::optional<std::string> ControlSaltBytes(const std::string& salt);

}  // namespace host
