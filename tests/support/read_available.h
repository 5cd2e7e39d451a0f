// Reads a child's output pipe while the child runs: only what has arrived, so
// that the reader can keep watching the child between reads.
#pragma once

#include <windows.h>

#include <string>

namespace test_support {

// Appends what `pipe` holds now, without waiting for more.
inline void ReadAvailable(HANDLE pipe, std::string& text) {
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[4096];
        const DWORD wanted = available < sizeof buffer ? available : sizeof buffer;
        DWORD read = 0;
        if (!ReadFile(pipe, buffer, wanted, &read, nullptr) || read == 0) {
            return;
        }
        text.append(buffer, read);
    }
}

}  // namespace test_support
