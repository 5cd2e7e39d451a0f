// The installation tokens kept in the registry: one for the machine under
// HKEY_LOCAL_MACHINE, one per user under HKEY_CURRENT_USER, each in the value
// "PlugIn" of the key Kestrane\RND.
//
// Every operation returning a token returns a fresh copy owned by the caller,
// or the shared empty text when there is none (engine_text.h).
#pragma once

#include "platform.h"

namespace engine {

// The data of the first value of `key` whose lower-cased name is "plugin", read
// up to its first zero byte; the shared empty text when no value matches. Values
// that cannot be read (name over 259 characters, data over 1024 bytes) are
// passed over. The key stays open.
const char* FindPlugInValue(HKEY key);

// The token stored in `key`, or a new one generated and written there when the
// key holds none. Takes over the key: flushes and closes it.
const char* ReadOrCreateToken(HKEY key);

// The machine token: created where the machine key is writable, only read where
// it is not.
const char* GetMachineToken();

// The current user's token, created on the user's first derivation.
const char* GetUserToken();

// 1 when the machine token exists and is non-empty, else 0. Creates nothing.
int IsInstalled();

}  // namespace engine
