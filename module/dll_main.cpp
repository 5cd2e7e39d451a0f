// The library's entry points: process attach and detach, and the exports
// through which the component runtime gets class objects and asks to unload.
#include <windows.h>
#include <objbase.h>

#include "com_module.h"
#include "object_map.h"
#include "talvenor_idl.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module.Init(g_objectMap, instance, &LIBID_IETALVENORLib);
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        g_module.Shutdown();
    }
    return TRUE;
}

STDAPI DllCanUnloadNow() {
    return g_module.m_cLocks == 0 ? S_OK : S_FALSE;
}

STDAPI DllGetClassObject(REFCLSID classId, REFIID iid, LPVOID* out) {
    return g_module.LookupClassObject(classId, iid, out);
}
