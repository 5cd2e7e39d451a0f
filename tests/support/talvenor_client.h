// Calls on a Talvenor object made the way its clients make them, with every
// result turned into a plain string, and the platform's registration of the
// DLL for tests that create the component by its class identifier.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <string>

#include "child_process.h"
#include "reference_identifier.h"
#include "talvenor_dll.h"
#include "wine_machine.h"

namespace test_support {

// A BSTR owned for the life of the holder.
class OwnedBstr {
  public:
    OwnedBstr() = default;
    explicit OwnedBstr(const std::wstring& text)
        : m_text(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    ~OwnedBstr() { SysFreeString(m_text); }
    OwnedBstr(const OwnedBstr&) = delete;
    OwnedBstr& operator=(const OwnedBstr&) = delete;

    BSTR* address() { return &m_text; }
    // For an out-parameter: the string held so far is freed first.
    BSTR* out() {
        SysFreeString(m_text);
        m_text = nullptr;
        return &m_text;
    }
    BSTR get() const { return m_text; }

  private:
    BSTR m_text = nullptr;
};

// Each UTF-16 unit of `text` as the byte of the same value; the identifiers,
// names and versions the component returns never hold a unit above U+00FF, so
// any such unit shows as '?' and makes a comparison fail.
inline std::string NarrowText(const wchar_t* text, UINT length) {
    std::string narrow;
    for (UINT i = 0; i < length; ++i) {
        narrow += text[i] <= 0xFF ? static_cast<char>(text[i]) : '?';
    }
    return narrow;
}

inline std::string NarrowText(BSTR text) {
    return text == nullptr ? std::string() : NarrowText(text, SysStringLen(text));
}

// The result of a call that did not answer S_OK, worded so that it can never
// equal a value the component returns.
inline std::string FailedCall(const char* member, HRESULT result) {
    char text[64];
    std::snprintf(text, sizeof text, "<%s failed: 0x%08lX>", member,
                  static_cast<unsigned long>(result));
    return text;
}

// getID(salt) through the interface table, as a compiled client calls it.
inline std::string IdentifierByTable(ITalvenorTable* object, const std::wstring& salt) {
    OwnedBstr saltText(salt);
    BSTR identifier = nullptr;
    const HRESULT result = object->getID(saltText.address(), &identifier);
    const std::string text = NarrowText(identifier);
    SysFreeString(identifier);
    return result == S_OK ? text : FailedCall("getID", result);
}

// A property read by name through IDispatch, as a script engine reads it:
// GetIDsOfNames, then Invoke as a method and property get, with the salt as the
// one argument when one is given. Texts come back as they are, numbers in
// decimal.
inline std::string ReadByName(IDispatch* object, const wchar_t* member,
                              const std::wstring* salt = nullptr) {
    LPOLESTR name = const_cast<LPOLESTR>(member);
    DISPID dispid = DISPID_UNKNOWN;
    HRESULT result = object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid);
    if (result != S_OK) {
        return FailedCall("GetIDsOfNames", result);
    }
    VARIANT argument;
    VariantInit(&argument);
    DISPPARAMS parameters = {nullptr, nullptr, 0, 0};
    if (salt != nullptr) {
        argument.vt = VT_BSTR;
        argument.bstrVal = SysAllocStringLen(salt->data(), static_cast<UINT>(salt->size()));
        parameters = {&argument, nullptr, 1, 0};
    }
    VARIANT value;
    VariantInit(&value);
    result = object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT,
                            DISPATCH_METHOD | DISPATCH_PROPERTYGET, &parameters, &value, nullptr,
                            nullptr);
    std::string text;
    if (result != S_OK) {
        text = FailedCall("Invoke", result);
    } else if (value.vt == VT_BSTR) {
        text = NarrowText(value.bstrVal);
    } else if (value.vt == VT_I4) {
        text = std::to_string(value.lVal);
    } else if (value.vt != VT_EMPTY) {
        char wrongType[48];
        std::snprintf(wrongType, sizeof wrongType, "<Invoke gave a value of type %u>",
                      static_cast<unsigned>(value.vt));
        text = wrongType;
    }
    VariantClear(&value);
    VariantClear(&argument);
    return text;
}

inline std::string IdentifierByName(IDispatch* object, const std::wstring& salt) {
    return ReadByName(object, L"getID", &salt);
}

// The identifier the rules give for `salt` (bytes up to 0xFF) on this prefix
// with the tokens stored at the moment of the call.
inline std::string ExpectedIdentifierForStoredTokens(const std::string& salt) {
    return ReferenceIdentifier(PrefixVolumeSerial(), StoredMachineToken(), StoredUserToken(), salt);
}

// The DLL registered with the platform's regsvr32 for the life of the holder,
// so that the component runtime finds the class and dispatch finds the type library.
class RegisteredDll {
  public:
    RegisteredDll()
        : m_exitCode(RunProcess(std::string("regsvr32.exe /s \"") + kDllPath + "\"").exitCode) {}
    ~RegisteredDll() { RunProcess(std::string("regsvr32.exe /s /u \"") + kDllPath + "\""); }
    RegisteredDll(const RegisteredDll&) = delete;
    RegisteredDll& operator=(const RegisteredDll&) = delete;

    bool registered() const { return m_exitCode == 0; }

  private:
    DWORD m_exitCode;
};

}  // namespace test_support
