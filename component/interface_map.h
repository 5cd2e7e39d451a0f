// Interface maps: constant tables from which QueryInterface finds an object's
// interfaces.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <cstdint>

// A function entry's handler: (object start, requested identifier, out-pointer, entry data).
using InterfaceEntryFunction = HRESULT(WINAPI*)(void* object, REFIID iid, void** out, DWORD data);

struct InterfaceMapEntry {
    const IID* pInterfaceId;  // null makes a blind entry, tried for every identifier
    DWORD dwData;             // offset entry: sub-object position; function entry: its argument
    InterfaceEntryFunction pFunc;  // kOffsetEntry, a handler, or null to end the table
};

// The mark of an entry whose interface is the sub-object at dwData.
inline InterfaceEntryFunction OffsetEntryMark() {
    return reinterpret_cast<InterfaceEntryFunction>(static_cast<std::uintptr_t>(1));
}

// Position of the Base sub-object within a Derived object.
template <class Derived, class Base>
DWORD OffsetOfInterface() {
    constexpr std::uintptr_t kProbeAddress = 0x1000;
    Derived* object = reinterpret_cast<Derived*>(kProbeAddress);
    return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(static_cast<Base*>(object)) -
                              kProbeAddress);
}

// Walks `map` for `iid` on the object at `object`. IUnknown is the first entry's
// sub-object. An offset entry hands out its sub-object after an AddRef through
// that sub-object's own table; a function entry's S_OK ends the walk, and so
// does its failure unless the entry is blind.
HRESULT QueryInterfaceFromMap(void* object, const InterfaceMapEntry* map, REFIID iid, void** out);
