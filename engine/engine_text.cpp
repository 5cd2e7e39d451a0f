#include "engine_text.h"

#include <cstdlib>
#include <cstring>

namespace engine {

namespace {
const char kEmptyTextStorage[1] = "";
}

const char* const kEmptyText = kEmptyTextStorage;

void FreeText(const char* text) {
    if (text != kEmptyText) {
        std::free(const_cast<char*>(text));
    }
}

const char* CopyText(const char* bytes, std::size_t length) {
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) {
        return kEmptyText;
    }
    std::memcpy(copy, bytes, length);
    copy[length] = '\0';
    return copy;
}

}  // namespace engine
