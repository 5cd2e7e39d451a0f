#include "class_factory.h"

#include <new>

#include "com_module.h"
#include "critical_section.h"
#include "debug_trace.h"
#include "interface_map.h"

namespace {

// Filled in when the library is loaded, before any thread can ask for it.
const InterfaceMapEntry kClassFactoryInterfaceMap[] = {
    {&IID_IClassFactory, 0, OffsetEntryMark()},
    {nullptr, 0, nullptr},
};

}  // namespace

CComClassFactory::CComClassFactory() {
    InitializeCriticalSection(&m_csRefs);
}

CComClassFactory::~CComClassFactory() {
    DeleteCriticalSection(&m_csRefs);
}

HRESULT CComClassFactory::CreateClassObject(ObjectCreator createInstance, REFIID iid, void** out) {
    CComClassFactory* factory = new (std::nothrow) CComClassFactory();
    if (factory == nullptr) {
        return E_OUTOFMEMORY;
    }
    factory->m_pfnCreateInstance = createInstance;
    const HRESULT result = factory->QueryInterface(iid, out);
    if (result != S_OK) {
        delete factory;
    }
    return result;
}

HRESULT STDMETHODCALLTYPE CComClassFactory::QueryInterface(REFIID iid, void** out) {
    return QueryInterfaceFromMap(this, kClassFactoryInterfaceMap, iid, out);
}

ULONG STDMETHODCALLTYPE CComClassFactory::AddRef() {
    CriticalSectionLock lock(m_csRefs);
    const LONG count = InterlockedIncrement(&m_dwRef);
    if (count == 2) {
        g_module.LockModule();
    }
    return count;
}

ULONG STDMETHODCALLTYPE CComClassFactory::Release() {
    LONG count;
    {
        CriticalSectionLock lock(m_csRefs);
        InterlockedDecrement(&m_dwRef);
        count = m_dwRef;
    }
    if (count == 0) {
        delete this;
    } else if (count == 1) {
        g_module.UnlockModule();
    }
    return count;
}

HRESULT STDMETHODCALLTYPE CComClassFactory::CreateInstance(IUnknown* outer, REFIID iid,
                                                           void** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    // An aggregated object can only hand its outer object its own IUnknown.
    if (outer != nullptr && !IsEqualGUID(iid, IID_IUnknown)) {
        DebugTraceCategory(
            kTraceCategoryClassFactory, 0,
            "CComClassFactory: asked for non IUnknown interface while creating an aggregated "
            "object");
        return CLASS_E_NOAGGREGATION;
    }
    return m_pfnCreateInstance(outer, iid, out);
}

HRESULT STDMETHODCALLTYPE CComClassFactory::LockServer(BOOL lock) {
    if (lock) {
        g_module.LockModule();
    } else {
        g_module.UnlockModule();
    }
    return S_OK;
}
