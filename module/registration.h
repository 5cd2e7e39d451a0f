// Self-registration: the class through the registration script, the type
// library from the module's own file, and the two safety categories.
#pragma once

#include <windows.h>

// The object map's registry update for Talvenor: runs the "REGISTRY" 102
// script forwards or backwards through the system registrar.
HRESULT RunTalvenorRegistryScript(BOOL doRegister);

// Writes every single quote of `text` twice, so that it survives inside a
// single-quoted script string. `out` has room for twice the length plus one.
void EscapeSingleQuotes(const wchar_t* text, wchar_t* out);

// Number of characters of `path` up to and including its last \, / or :.
int DirPartLength(const wchar_t* path);
