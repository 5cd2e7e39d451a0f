#include "standard_streams.h"

namespace host {

namespace {

bool WriteAll(HANDLE handle, const char* bytes, std::size_t size) {
    while (size > 0) {
        const DWORD chunk = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(handle, bytes, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

}  // namespace

StandardInput::StandardInput() : m_handle(GetStdHandle(STD_INPUT_HANDLE)) {}

bool StandardInput::Read(char* buffer, std::size_t capacity, std::size_t& count) {
    count = 0;
    if (m_handle == nullptr || m_handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const DWORD wanted = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
    DWORD read = 0;
    if (!ReadFile(m_handle, buffer, wanted, &read, nullptr)) {
        // A pipe whose writer has closed its end reports a broken pipe rather
        // than a read of nothing: that is the end of the input too.
        return GetLastError() == ERROR_BROKEN_PIPE;
    }
    count = read;
    return true;
}

StandardOutput::StandardOutput() : m_handle(GetStdHandle(STD_OUTPUT_HANDLE)) {}

bool StandardOutput::Write(const char* bytes, std::size_t size) {
    return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE &&
           WriteAll(m_handle, bytes, size);
}

void WriteStandardErrorLine(const std::string& line) {
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::string text = line + "\n";
    WriteAll(handle, text.data(), text.size());
}

}  // namespace host
