// Texts handed between the engine's operations and their callers.
//
// A result is either a fresh zero-terminated allocation from the runtime heap,
// owned by the receiver, or the one shared empty text that stands for "no
// result". The shared empty text is never released; FreeText knows it.
#pragma once

#include <cstddef>
#include <memory>

namespace engine {

// The shared empty text: a failed derivation, a missing token.
extern const char* const kEmptyText;

// Releases a text an engine operation returned; the shared empty text is left alone.
void FreeText(const char* text);

// Room for a text of `length` bytes and its terminator, released with FreeText;
// null when the heap is exhausted.
char* AllocateText(std::size_t length);

// Copies the first `length` bytes of `bytes` into a fresh terminated text,
// or returns the shared empty text when the heap is exhausted.
const char* CopyText(const char* bytes, std::size_t length);

struct TextDeleter {
    void operator()(const char* text) const { FreeText(text); }
};

// Owns an engine text for the length of a scope.
using UniqueText = std::unique_ptr<const char, TextDeleter>;

}  // namespace engine
