#include "debug_trace.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr std::size_t kTraceBufferSize = 512;

// vsnprintf always terminates the buffer, so an over-long line is cut, never
// handed on unterminated.
void FormatLine(char (&buffer)[kTraceBufferSize], const char* format, std::va_list arguments) {
    std::vsnprintf(buffer, kTraceBufferSize, format, arguments);
}

}  // namespace

void DebugTrace(const char* format, ...) {
    char buffer[kTraceBufferSize];
    std::va_list arguments;
    va_start(arguments, format);
    FormatLine(buffer, format, arguments);
    va_end(arguments);
    OutputDebugStringA(buffer);
}

void DebugTraceCategory(DWORD category, UINT level, const char* format, ...) {
    if (category == 0 || level != 0) {
        return;
    }
    char buffer[kTraceBufferSize];
    std::va_list arguments;
    va_start(arguments, format);
    FormatLine(buffer, format, arguments);
    va_end(arguments);
    OutputDebugStringA("ATL: ");
    OutputDebugStringA(buffer);
}
