// The platform calls that one identifier derivation makes once both
// installation tokens are stored, in the same order and with the same
// arguments, and nothing else: the floor that getID's speed is compared with.
#pragma once

namespace bench {

// Reads the C: volume serial number, then for the machine key and then the
// user key: creates (opens) it, enumerates its values up to the token value,
// flushes and closes it. True when the serial was read and both tokens found,
// as they are once one derivation has run.
bool MakeTheCallsOfOneDerivation();

}  // namespace bench
