// The object map: the classes this module serves, read in array order up to
// the entry whose class identifier is null.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <comcat.h>

// Makes an object of a class: stand-alone, or aggregated when `outer` is given.
using ObjectCreator = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

// Makes the class object of a class, handing it the class's object creator.
using ClassObjectCreator = HRESULT (*)(ObjectCreator context, REFIID iid, void** out);

struct ObjectMapEntry {
    const CLSID* pClassId;
    HRESULT (*pfnRegistryUpdate)(BOOL doRegister);
    ClassObjectCreator pfnCreateClassObject;
    ObjectCreator pfnCreateObject;
    IUnknown* pClassObject;  // the cached class object; null until first requested
    DWORD dwCookie;
    const wchar_t* (*pfnDescription)();
    const CATID* (*pfnCategoryMap)();  // a list ended by GUID_NULL, or null
    void (*pfnClassHook)(bool starting);
};

// The module's map: the class Talvenor, then the terminating entry.
extern ObjectMapEntry g_objectMap[];
