// Diagnostics for the debugger output; nothing is ever written to a file.
#pragma once

#include <windows.h>

// Formats one line (at most 511 characters) and writes it with OutputDebugStringA.
void DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes "ATL: " and the formatted text, as two separate debugger writes, when
// `category` is non-zero and `level` is 0.
void DebugTraceCategory(DWORD category, UINT level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The category of the class factory's diagnostics.
constexpr DWORD kTraceCategoryClassFactory = 0x40;
