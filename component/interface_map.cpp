#include "interface_map.h"

namespace {

IUnknown* SubObjectAt(void* object, DWORD offset) {
    return reinterpret_cast<IUnknown*>(static_cast<BYTE*>(object) + offset);
}

IUnknown* AddRefSubObject(void* object, DWORD offset) {
    IUnknown* subObject = SubObjectAt(object, offset);
    subObject->AddRef();
    return subObject;
}

}  // namespace

HRESULT QueryInterfaceFromMap(void* object, const InterfaceMapEntry* map, REFIID iid, void** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown)) {
        *out = AddRefSubObject(object, map[0].dwData);
        return S_OK;
    }
    for (const InterfaceMapEntry* entry = map; entry->pFunc != nullptr; ++entry) {
        const bool blind = entry->pInterfaceId == nullptr;
        if (!blind && !IsEqualGUID(*entry->pInterfaceId, iid)) {
            continue;
        }
        if (entry->pFunc == OffsetEntryMark()) {
            *out = AddRefSubObject(object, entry->dwData);
            return S_OK;
        }
        const HRESULT result = entry->pFunc(object, iid, out, entry->dwData);
        if (result == S_OK) {
            return S_OK;
        }
        if (!blind && FAILED(result)) {
            return result;
        }
    }
    return E_NOINTERFACE;
}
