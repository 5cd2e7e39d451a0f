// The two ends a session talks through: bytes come in from a source and go
// out to a sink. The host runs them over its standard handles; tests and the
// fuzz target run them over memory.
#pragma once

#include <cstddef>

namespace host {

class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Reads at most `capacity` bytes into `buffer` and sets `count` to how many
    // arrived, 0 once the input has ended. False when the input cannot be read.
    virtual bool Read(char* buffer, std::size_t capacity, std::size_t& count) = 0;
};

class ByteSink {
  public:
    virtual ~ByteSink() = default;
    // Writes all `size` bytes; false when they cannot all be written.
    virtual bool Write(const char* bytes, std::size_t size) = 0;
};

}  // namespace host
