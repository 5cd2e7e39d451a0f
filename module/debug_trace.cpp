#include "debug_trace.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr std::size_t kTraceBufferSize = 512;

// The platform C runtime's bounded formatter, count 512. It leaves a line
// that fills the buffer unterminated, so the last byte is always made the
// terminator: an over-long line is cut, never handed on unterminated.
void FormatLine(char (&buffer)[kTraceBufferSize], const char* format, std::va_list arguments) {
    _vsnprintf(buffer, kTraceBufferSize, format, arguments);
    buffer[kTraceBufferSize - 1] = '\0';
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
