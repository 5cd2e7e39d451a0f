#include "engine_text.h"

#include <cstring>

#include "platform.h"

namespace engine {

namespace {
const char kEmptyTextStorage[1] = "";
}

const char* const kEmptyText = kEmptyTextStorage;

void FreeText(const char* text) {
    if (text != kEmptyText) {
        ReleaseToHeap(const_cast<char*>(text));
    }
}

char* AllocateText(std::size_t length) {
    return static_cast<char*>(AllocateFromHeap(length + 1));
}

const char* CopyText(const char* bytes, std::size_t length) {
    char* copy = AllocateText(length);
    if (copy == nullptr) {
        return kEmptyText;
    }
    std::memcpy(copy, bytes, length);
    copy[length] = '\0';
    return copy;
}

}  // namespace engine
