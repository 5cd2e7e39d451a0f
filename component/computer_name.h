// This computer's NetBIOS name, read the one way that both the control and the
// native host report it.
#pragma once

// NetBIOS names have at most 15 characters; one more holds the terminator.
constexpr unsigned kComputerNameBufferSize = 16;

// Writes the computer name into `name` in the ANSI code page, always
// terminated. The buffer is zeroed first: if the platform fails, the result
// is an empty name rather than whatever the buffer held.
void ReadComputerName(char (&name)[kComputerNameBufferSize]);
