// The host's standard handles as raw byte streams: read and written with
// ReadFile and WriteFile, never through the C runtime, whose text mode would
// change the bytes of a message's length.
#pragma once

#include <windows.h>

#include <string>

#include "byte_streams.h"

namespace host {

class StandardInput : public ByteSource {
  public:
    StandardInput();
    bool Read(char* buffer, std::size_t capacity, std::size_t& count) override;

  private:
    HANDLE m_handle;
};

class StandardOutput : public ByteSink {
  public:
    StandardOutput();
    bool Write(const char* bytes, std::size_t size) override;

  private:
    HANDLE m_handle;
};

// Writes `line` and a line break to standard error, where browsers log what a
// host says; nothing happens when there is no standard error.
void WriteStandardErrorLine(const std::string& line);

}  // namespace host
