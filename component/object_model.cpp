#include "object_model.h"

#include <new>

#include "com_module.h"

namespace {

// The first entry's sub-object is the object's IUnknown identity. Filled in
// when the library is loaded, before any thread can ask for it.
const InterfaceMapEntry kTalvenorInterfaceMap[] = {
    {&IID_IDispatch, OffsetOfInterface<CTalvenor, ITalvenor>(), OffsetEntryMark()},
    {&IID_ITalvenor, OffsetOfInterface<CTalvenor, ITalvenor>(), OffsetEntryMark()},
    {&IID_ISupportErrorInfo, OffsetOfInterface<CTalvenor, ISupportErrorInfo>(), OffsetEntryMark()},
    {&IID_IObjectSafety, OffsetOfInterface<CTalvenor, IObjectSafety>(), OffsetEntryMark()},
    {nullptr, 0, nullptr},
};

// Interfaces whose failures may be described by error objects.
const IID* const kErrorInfoInterfaces[] = {&IID_ITalvenor};

// The creation steps shared by both forms: construct, complete, query; a wrapper
// whose completion or query fails is destroyed again.
template <class Wrapper, class... Arguments>
HRESULT CreateWrapper(REFIID iid, void** out, Arguments... arguments) {
    Wrapper* wrapper = new (std::nothrow) Wrapper(arguments...);
    if (wrapper == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT result = wrapper->OnConstructed();
    if (result == S_OK) {
        result = wrapper->QueryInterface(iid, out);
    }
    if (result != S_OK) {
        wrapper->Destroy();
    }
    return result;
}

}  // namespace

const InterfaceMapEntry* CTalvenor::_GetEntries() {
    return kTalvenorInterfaceMap;
}

HRESULT CTalvenor::QueryInterfaceFromOwnMap(REFIID iid, void** out) {
    return QueryInterfaceFromMap(this, _GetEntries(), iid, out);
}

HRESULT STDMETHODCALLTYPE CTalvenor::InterfaceSupportsErrorInfo(REFIID iid) {
    for (const IID* supported : kErrorInfoInterfaces) {
        if (IsEqualGUID(*supported, iid)) {
            return S_OK;
        }
    }
    return S_FALSE;
}

// Stand-alone object.

CStandaloneObject::CStandaloneObject() {
    g_module.LockModule();
}

CStandaloneObject::~CStandaloneObject() {
    g_module.UnlockModule();
}

HRESULT STDMETHODCALLTYPE CStandaloneObject::QueryInterface(REFIID iid, void** out) {
    return QueryInterfaceFromOwnMap(iid, out);
}

ULONG STDMETHODCALLTYPE CStandaloneObject::AddRef() {
    return InterlockedIncrement(&m_dwRef);
}

ULONG STDMETHODCALLTYPE CStandaloneObject::Release() {
    const LONG count = InterlockedDecrement(&m_dwRef);
    if (count == 0) {
        Destroy();
    }
    return count;
}

void CStandaloneObject::Destroy() {
    m_dwRef = 1;
    OnFinalRelease();
    delete this;
}

// Inner part of an aggregate.

CInnerObject::CInnerObject(IUnknown* outer) {
    m_pOuter = outer;
}

HRESULT STDMETHODCALLTYPE CInnerObject::QueryInterface(REFIID iid, void** out) {
    HRESULT result = m_pOuter->QueryInterface(iid, out);
    IUnknown* identity = static_cast<ITalvenor*>(this);
    if (FAILED(result) && identity != m_pOuter) {
        result = QueryInterfaceFromOwnMap(iid, out);
    }
    return result;
}

ULONG STDMETHODCALLTYPE CInnerObject::AddRef() {
    return m_pOuter->AddRef();
}

ULONG STDMETHODCALLTYPE CInnerObject::Release() {
    return m_pOuter->Release();
}

// Aggregated object.

CAggregatedObject::CAggregatedObject(IUnknown* outer) : m_contained(outer) {
    g_module.LockModule();
}

CAggregatedObject::~CAggregatedObject() {
    g_module.UnlockModule();
}

HRESULT STDMETHODCALLTYPE CAggregatedObject::QueryInterface(REFIID iid, void** out) {
    if (IsEqualGUID(iid, IID_IUnknown)) {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    return m_contained.QueryInterfaceFromOwnMap(iid, out);
}

ULONG STDMETHODCALLTYPE CAggregatedObject::AddRef() {
    return InterlockedIncrement(&m_dwRef);
}

ULONG STDMETHODCALLTYPE CAggregatedObject::Release() {
    const LONG count = InterlockedDecrement(&m_dwRef);
    if (count == 0) {
        Destroy();
    }
    return count;
}

HRESULT CAggregatedObject::OnConstructed() {
    // The aggregate's own completion has nothing to do; the inner object's decides.
    return m_contained.OnConstructed();
}

void CAggregatedObject::Destroy() {
    m_dwRef = 1;
    m_contained.OnFinalRelease();
    delete this;
}

// Creators.

HRESULT CreateStandaloneObject(REFIID iid, void** out) {
    return CreateWrapper<CStandaloneObject>(iid, out);
}

HRESULT CreateAggregatedObject(IUnknown* outer, REFIID iid, void** out) {
    return CreateWrapper<CAggregatedObject>(iid, out, outer);
}

HRESULT CreateObjectInstance(IUnknown* outer, REFIID iid, void** out) {
    if (outer == nullptr) {
        return CreateStandaloneObject(iid, out);
    }
    return CreateAggregatedObject(outer, iid, out);
}
