// The library's entry points: process attach and detach, and the exports
// through which the component runtime gets class objects and asks to unload.
#include <windows.h>
#include <objbase.h>

#include "call_depth.h"
#include "com_module.h"
#include "object_map.h"
#include "random_token.h"
#include "talvenor_idl.h"

namespace {

// Whether process attach set the module up, so that process detach tears down
// only what was set up.
bool g_attached = false;

// The TLS slots of the module's per-thread values: the generator state and the
// depth of nested calls. A host frees an idle server and loads it again, many
// times over its life, so every load takes its slots at process attach and
// gives them back at process detach.
engine::ThreadSlot* const kThreadSlots[] = {&engine::g_generatorStateSlot, &g_callDepthSlot};

bool AllocateThreadSlots() {
    for (engine::ThreadSlot* slot : kThreadSlots) {
        if (!slot->Allocate()) {
            return false;
        }
    }
    return true;
}

void FreeThreadSlots() {
    for (engine::ThreadSlot* slot : kThreadSlots) {
        slot->Free();
    }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        // Without its slots the component cannot keep a generator state, and a
        // token drawn without one would be stored for good: the load fails
        // before anything is set up, and the host's request for the class
        // fails with it. The process detach that may follow finds nothing to
        // undo.
        if (!AllocateThreadSlots()) {
            FreeThreadSlots();
            return FALSE;
        }
        g_module.Init(g_objectMap, instance, &LIBID_IETALVENORLib);
        DisableThreadLibraryCalls(instance);
        g_attached = true;
    } else if (reason == DLL_PROCESS_DETACH && g_attached) {
        g_module.Shutdown();
        FreeThreadSlots();
        g_attached = false;
    }
    return TRUE;
}

STDAPI DllCanUnloadNow() {
    return g_module.m_cLocks == 0 ? S_OK : S_FALSE;
}

STDAPI DllGetClassObject(REFCLSID classId, REFIID iid, LPVOID* out) {
    return g_module.LookupClassObject(classId, iid, out);
}
