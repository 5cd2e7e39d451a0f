// Conversions between the engine's ANSI texts and the automation runtime's BSTRs.
#pragma once

#include <windows.h>
#include <oleauto.h>

// A new BSTR holding `text` converted from the ANSI code page, owned by the
// caller; null when it cannot be allocated. An empty text gives an empty BSTR.
BSTR AnsiToBstr(const char* text);
