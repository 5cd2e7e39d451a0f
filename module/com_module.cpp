#include "com_module.h"

#include <new>

#include "critical_section.h"

CComModule g_module;

namespace {

template <class Action>
void ForEachClass(ObjectMapEntry* map, Action action) {
    for (ObjectMapEntry* entry = map; entry->pClassId != nullptr; ++entry) {
        action(*entry);
    }
}

}  // namespace

HRESULT CComModule::Init(ObjectMapEntry* objectMap, HINSTANCE instance, const GUID* typeLibId) {
    cbSize = sizeof(CComModule);
    m_pObjMap = objectMap;
    m_hInst = instance;
    m_hInstTypeLib = instance;
    m_cLocks = 0;
    InitializeCriticalSection(&m_csShared);
    InitializeCriticalSection(&m_csClassObjects);
    m_pShutdownList = nullptr;
    ForEachClass(m_pObjMap, [](ObjectMapEntry& entry) { entry.pfnClassHook(true); });
    if (typeLibId != nullptr) {
        m_typeLibId = *typeLibId;
    }
    return S_OK;
}

HRESULT CComModule::Shutdown() {
    ForEachClass(m_pObjMap, [](ObjectMapEntry& entry) {
        if (entry.pClassObject != nullptr) {
            entry.pClassObject->Release();
        }
        entry.pClassObject = nullptr;
        entry.pfnClassHook(false);
    });
    DeleteCriticalSection(&m_csShared);
    DeleteCriticalSection(&m_csClassObjects);
    while (m_pShutdownList != nullptr) {
        ShutdownNode* node = m_pShutdownList;
        m_pShutdownList = node->next;
        node->callback(node->argument);
        delete node;
    }
    return S_OK;
}

HRESULT CComModule::LookupClassObject(REFCLSID classId, REFIID iid, void** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    HRESULT result = S_OK;
    for (ObjectMapEntry* entry = m_pObjMap; entry->pClassId != nullptr; ++entry) {
        if (entry->pfnCreateClassObject == nullptr || !IsEqualGUID(*entry->pClassId, classId)) {
            continue;
        }
        if (entry->pClassObject == nullptr) {
            CriticalSectionLock lock(m_csClassObjects);
            // Another thread may have created it while this one waited.
            if (entry->pClassObject == nullptr) {
                result =
                    entry->pfnCreateClassObject(entry->pfnCreateObject, IID_IUnknown,
                                                reinterpret_cast<void**>(&entry->pClassObject));
            }
        }
        if (entry->pClassObject != nullptr) {
            result = entry->pClassObject->QueryInterface(iid, out);
        }
        break;
    }
    if (*out == nullptr && result == S_OK) {
        result = CLASS_E_CLASSNOTAVAILABLE;
    }
    return result;
}

LONG CComModule::LockModule() {
    return InterlockedIncrement(&m_cLocks);
}

LONG CComModule::UnlockModule() {
    return InterlockedDecrement(&m_cLocks);
}

HRESULT CComModule::AddShutdownCallback(ShutdownCallback callback, void* argument) {
    ShutdownNode* node = new (std::nothrow) ShutdownNode{callback, argument, nullptr};
    if (node == nullptr) {
        return E_OUTOFMEMORY;
    }
    CriticalSectionLock lock(m_csShared);
    node->next = m_pShutdownList;
    m_pShutdownList = node;
    return S_OK;
}
