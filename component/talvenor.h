// CTalvenor: the scriptable object. It carries three interfaces: ITalvenor
// (which also serves IDispatch and is the object's identity), ISupportErrorInfo
// and IObjectSafety. Their IUnknown operations come from the wrapper that holds
// it (object_model.h): a stand-alone object, or the inner part of an aggregate.
#pragma once

#include <windows.h>
#include <objsafe.h>
#include <oaidl.h>

#include "interface_map.h"
#include "talvenor_idl.h"

class CTalvenor : public ITalvenor, public ISupportErrorInfo, public IObjectSafety {
  public:
    // IDispatch, served from the type library (dispatch_type_info.cpp).
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** out) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                            DISPID* dispids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID locale, WORD flags,
                                     DISPPARAMS* parameters, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override;

    // ITalvenor's property-get members getID, ComputerName, TestInstallation and
    // Version (scriptable_members.cpp). They report S_OK on every path but a
    // null out-pointer; a failure shows as a null result.
    HRESULT STDMETHODCALLTYPE get_getID(BSTR* iSalt, BSTR* oID) override;
    HRESULT STDMETHODCALLTYPE get_ComputerName(BSTR* oName) override;
    HRESULT STDMETHODCALLTYPE get_TestInstallation(LONG* oValue) override;
    HRESULT STDMETHODCALLTYPE get_Version(BSTR* oVer) override;

    // ISupportErrorInfo (object_model.cpp).
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

    // IObjectSafety (object_safety.cpp).
    HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID iid, DWORD* supported,
                                                        DWORD* enabled) override;
    HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID iid, DWORD mask,
                                                        DWORD enabled) override;

    // The interface map: IDispatch, ITalvenor, ISupportErrorInfo, IObjectSafety.
    static const InterfaceMapEntry* _GetEntries();

    // The interface-map walk on this object alone: no outer object is asked.
    HRESULT QueryInterfaceFromOwnMap(REFIID iid, void** out);

    // Completion step after construction, and the step before destruction.
    HRESULT OnConstructed() { return S_OK; }
    void OnFinalRelease() {}

  protected:
    CTalvenor() : m_dwRef(0) {}
    ~CTalvenor() = default;

    // Whether this object answers `iid`, by the interface map alone.
    HRESULT SafetyProbe(REFIID iid);

    // Enabled object-safety options; bits are only ever added.
    volatile LONG currentSafety = 0;

    union {
        volatile LONG m_dwRef;  // stand-alone: the reference count
        IUnknown* m_pOuter;     // inner part of an aggregate: the controlling unknown
    };
};

// The version text the Version member returns.
const char* TalvenorVersionText();
