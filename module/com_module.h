// The module object: the library's process-wide state, set up at process
// attach and torn down at process detach.
#pragma once

#include <windows.h>

#include "object_map.h"

using ShutdownCallback = void (*)(void* argument);

class CComModule {
  public:
    HRESULT Init(ObjectMapEntry* objectMap, HINSTANCE instance, const GUID* typeLibId);
    HRESULT Shutdown();

    // Hands out the cached class object of `classId`, creating it on first request.
    HRESULT LookupClassObject(REFCLSID classId, REFIID iid, void** out);

    // Every live object, every outside reference to a class object and every
    // server lock holds one unit of the lock count; the module may unload at 0.
    LONG LockModule();
    LONG UnlockModule();

    // Registers a function that Shutdown runs; the newest runs first.
    HRESULT AddShutdownCallback(ShutdownCallback callback, void* argument);

    DWORD cbSize;
    HINSTANCE m_hInst;
    HINSTANCE m_hInstTypeLib;  // module whose file holds the type library
    ObjectMapEntry* m_pObjMap;
    volatile LONG m_cLocks;
    CRITICAL_SECTION m_csShared;        // shared type information; shutdown callbacks
    CRITICAL_SECTION m_csClassObjects;  // lazy creation of class objects

    struct ShutdownNode {
        ShutdownCallback callback;
        void* argument;
        ShutdownNode* next;
    };
    ShutdownNode* m_pShutdownList;
    GUID m_typeLibId;
};

// The one module object; zero-filled at load, set up by DllMain.
extern CComModule g_module;
