// ITalvenor's four members. Each stores its result in its out-parameter and
// reports S_OK; a failed derivation or an unusable salt shows as a null BSTR.
// A BSTR found in oID or oName on entry is the caller's to give up and is freed
// first; oVer is overwritten without being freed.
#include <cstdlib>

#include "bstr_text.h"
#include "computer_name.h"
#include "engine_text.h"
#include "machine_id.h"
#include "talvenor.h"
#include "token_store.h"

namespace {

// The project's version, which the build defines.
constexpr char kVersionText[] = TALVENOR_VERSION;

// The largest UTF-16 unit a salt may hold: each unit up to it is one byte.
constexpr wchar_t kLargestSaltUnit = 0xFF;

// Converts `salt` into a fresh ANSI text, each UTF-16 unit up to U+00FF becoming
// the byte of the same value and the text ending at the salt's first null
// character. Returns null when a unit above U+00FF makes the salt unusable or
// the buffer cannot be allocated; the caller frees the text with free(). The
// conversion is the component's own, so that no locale set in the host
// process can change which salts are taken or the bytes they give.
char* SaltToAnsi(BSTR salt, UINT byteLength) {
    // A byte string of odd length (VBScript's ChrB, MidB, LeftB) ends in half a
    // unit, which the terminator's first byte completes: its last character
    // counts too. One byte per unit and the terminator: byteLength + 1 is
    // always enough.
    const UINT units = (byteLength + 1) / sizeof(OLECHAR);
    char* ansi = static_cast<char*>(std::malloc(static_cast<std::size_t>(byteLength) + 1));
    if (ansi == nullptr) {
        return nullptr;
    }
    UINT length = 0;
    for (; length < units && salt[length] != L'\0'; ++length) {
        if (salt[length] > kLargestSaltUnit) {
            std::free(ansi);
            return nullptr;
        }
        ansi[length] = static_cast<char>(salt[length]);
    }
    ansi[length] = '\0';
    return ansi;
}

}  // namespace

const char* TalvenorVersionText() {
    return kVersionText;
}

HRESULT STDMETHODCALLTYPE CTalvenor::get_getID(BSTR* iSalt, BSTR* oID) {
    if (oID == nullptr) {
        return E_POINTER;
    }
    SysFreeString(*oID);
    *oID = nullptr;
    if (iSalt == nullptr) {
        return S_OK;
    }
    const UINT byteLength = SysStringByteLen(*iSalt);
    if (byteLength == 0) {
        return S_OK;
    }
    char* salt = SaltToAnsi(*iSalt, byteLength);
    if (salt == nullptr) {
        return S_OK;
    }
    engine::UniqueText identifier(engine::ComputeMachineId(salt));
    if (identifier.get()[0] != '\0') {
        *oID = AnsiToBstr(identifier.get());
    }
    std::free(salt);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CTalvenor::get_ComputerName(BSTR* oName) {
    if (oName == nullptr) {
        return E_POINTER;
    }
    SysFreeString(*oName);
    *oName = nullptr;
    char name[kComputerNameBufferSize];
    ReadComputerName(name);
    *oName = AnsiToBstr(name);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CTalvenor::get_TestInstallation(LONG* oValue) {
    if (oValue == nullptr) {
        return E_POINTER;
    }
    *oValue = engine::IsInstalled();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CTalvenor::get_Version(BSTR* oVer) {
    if (oVer == nullptr) {
        return E_POINTER;
    }
    *oVer = AnsiToBstr(TalvenorVersionText());
    return S_OK;
}
