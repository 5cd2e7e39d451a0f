// The system registrar's interface, which the toolchain's headers do not
// declare: it runs registration scripts against the registry.
#pragma once

#include <windows.h>
#include <unknwn.h>

// {44EC053A-400F-11D0-9DCD-00A0C90391D3}: the registrar object.
constexpr CLSID CLSID_SystemRegistrar = {
    0x44EC053A, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};

// {44EC053B-400F-11D0-9DCD-00A0C90391D3}
constexpr IID IID_IRegistrar = {
    0x44EC053B, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};

struct IRegistrar : public IUnknown {
    // Names a text that replaces %name% in the scripts that follow.
    virtual HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClearReplacements() = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceRegisterSz(LPCOLESTR resourceFile,
                                                         LPCOLESTR resourceId,
                                                         LPCOLESTR resourceType) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregisterSz(LPCOLESTR resourceFile,
                                                           LPCOLESTR resourceId,
                                                           LPCOLESTR resourceType) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileRegister(LPCOLESTR fileName) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileUnregister(LPCOLESTR fileName) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringRegister(LPCOLESTR data) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringUnregister(LPCOLESTR data) = 0;
    // Runs the script resource `resourceId` of type `resourceType` in the
    // module file `resourceFile` forwards (writing) or backwards (removing).
    virtual HRESULT STDMETHODCALLTYPE ResourceRegister(LPCOLESTR resourceFile, UINT resourceId,
                                                       LPCOLESTR resourceType) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregister(LPCOLESTR resourceFile, UINT resourceId,
                                                         LPCOLESTR resourceType) = 0;
};
