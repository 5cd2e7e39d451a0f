// The salted machine identifier.
#pragma once

namespace engine {

// Derives the identifier for `salt` (1 to 255 bytes) from the serial number of
// the C: volume, the machine token and the user token, creating a missing token
// on the way. Every joined byte is mixed with the salt and written as two
// upper-case hexadecimal digits, followed by a salted checksum: 2L + 16
// characters for a joined text of L bytes (74 with generated tokens).
//
// Returns a fresh text owned by the caller, or the shared empty text on any
// failure (engine_text.h).
const char* ComputeMachineId(const char* salt);

}  // namespace engine
