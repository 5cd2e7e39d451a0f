// A host's life: read requests until the input ends, answering each in turn.
#pragma once

#include <string>

#include "byte_streams.h"
#include "values_provider.h"

namespace host {

struct SessionEnd {
    // 0 when the input ended at a message boundary, 1 when the host had to
    // stop with the stream out of step or broken.
    int exitCode;
    // For standard error: why the host stopped early; empty on a clean end.
    std::string problem;
};

// Answers every whole message of `input` on `output`, in order: a request it
// can answer with values, any other with an error answer. Stops at the first
// length over the limit without reading further, at input that ends inside
// a message, and when a read or a write fails.
SessionEnd RunSession(ByteSource& input, ByteSink& output, ValuesProvider& provider);

}  // namespace host
