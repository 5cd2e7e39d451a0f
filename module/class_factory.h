// The class object of Talvenor: created on first request, cached in the object
// map and handed to the host, which creates objects through it.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "object_map.h"

class CComClassFactory final : public IClassFactory {
  public:
    // The object map's class-object creator: a new factory that creates objects
    // with `createInstance`, queried for `iid`.
    static HRESULT CreateClassObject(ObjectCreator createInstance, REFIID iid, void** out);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    // The count of 1 is the cache's; from 2 on, outside references hold one module lock.
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  private:
    CComClassFactory();
    ~CComClassFactory();

    volatile LONG m_dwRef = 0;
    ObjectCreator m_pfnCreateInstance = nullptr;
    CRITICAL_SECTION m_csRefs;  // serialises AddRef and Release with the lock rule
};
