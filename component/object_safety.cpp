// IObjectSafety: a browser asks whether the object may be driven by untrusted
// scripts (IDispatch) and initialised from untrusted data (the persistence
// interfaces), and enables those options.
#include <ocidl.h>

#include "debug_trace.h"
#include "talvenor.h"

namespace {

struct SafetyRule {
    const IID* interfaceId;
    DWORD option;  // the one option an interface of this kind carries
};

// Classification of an interface identifier, tested in this order.
const SafetyRule kSafetyTable[] = {
    {&IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER},
    {&IID_IPersistStreamInit, INTERFACESAFE_FOR_UNTRUSTED_DATA},
    {&IID_IPersistStorage, INTERFACESAFE_FOR_UNTRUSTED_DATA},
    {&IID_IPersistPropertyBag, INTERFACESAFE_FOR_UNTRUSTED_DATA},
};

// The option `iid` carries, or 0 for an unclassified identifier.
DWORD SafetyOptionOf(REFIID iid) {
    for (const SafetyRule& rule : kSafetyTable) {
        if (IsEqualGUID(*rule.interfaceId, iid)) {
            return rule.option;
        }
    }
    return 0;
}

}  // namespace

HRESULT CTalvenor::SafetyProbe(REFIID iid) {
    IUnknown* probe = nullptr;
    const HRESULT result = QueryInterfaceFromOwnMap(iid, reinterpret_cast<void**>(&probe));
    if (probe != nullptr) {
        probe->Release();
    }
    return result;
}

HRESULT STDMETHODCALLTYPE CTalvenor::GetInterfaceSafetyOptions(REFIID iid, DWORD* supported,
                                                               DWORD* enabled) {
    const HRESULT probe = SafetyProbe(iid);
    if (FAILED(probe)) {
        DebugTrace("Failed to get interface pointer!\n");
        return probe;
    }
    if (supported == nullptr || enabled == nullptr) {
        DebugTrace("Null pointers in the arguments!\n");
        return E_FAIL;
    }
    const DWORD option = SafetyOptionOf(iid);
    *supported = option;
    *enabled = static_cast<DWORD>(currentSafety) & option;
    return option != 0 ? S_OK : E_FAIL;
}

HRESULT STDMETHODCALLTYPE CTalvenor::SetInterfaceSafetyOptions(REFIID iid, DWORD mask,
                                                               DWORD enabled) {
    if (mask == 0 || enabled == 0) {
        DebugTrace("Null arguments!\n");
        return E_FAIL;
    }
    const HRESULT probe = SafetyProbe(iid);
    if (FAILED(probe)) {
        DebugTrace("Interface not supported!\n");
        return probe;
    }
    // The bits are added for every identifier the object answers, before it is
    // classified: a call for an unclassified identifier still enables them.
    const DWORD now =
        static_cast<DWORD>(InterlockedOr(&currentSafety, mask & enabled)) | (mask & enabled);
    const DWORD option = SafetyOptionOf(iid);
    return option != 0 && (now & option) != 0 ? S_OK : E_FAIL;
}
