#include "bstr_text.h"

BSTR AnsiToBstr(const char* text) {
    // The length in UTF-16 units, terminator included.
    const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0) {
        return nullptr;
    }
    BSTR converted = SysAllocStringLen(nullptr, static_cast<UINT>(units - 1));
    if (converted != nullptr) {
        MultiByteToWideChar(CP_ACP, 0, text, -1, converted, units);
    }
    return converted;
}
