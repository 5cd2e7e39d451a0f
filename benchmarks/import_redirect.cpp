#include "import_redirect.h"

namespace bench {

void* FindExport(const char* module, const char* function) {
    HMODULE handle = GetModuleHandleA(module);
    if (handle == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<void*>(GetProcAddress(handle, function));
}

ImportRedirect::ImportRedirect(HMODULE importer, void* target, void* replacement)
    : target_(target), replacement_(replacement) {
    if (importer == nullptr || target == nullptr) {
        return;
    }
    auto* base = reinterpret_cast<BYTE*>(importer);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) {
        return;
    }
    auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
    for (; descriptor->Name != 0; ++descriptor) {
        auto* thunk = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (; thunk->u1.Function != 0; ++thunk) {
            if (reinterpret_cast<void*>(thunk->u1.Function) == target) {
                slots_.push_back(&thunk->u1.Function);
            }
        }
    }
}

void ImportRedirect::Install() {
    if (!installed_) {
        for (Slot* slot : slots_) {
            Write(slot, replacement_);
        }
        installed_ = true;
    }
}

void ImportRedirect::Restore() {
    if (installed_) {
        for (Slot* slot : slots_) {
            Write(slot, target_);
        }
        installed_ = false;
    }
}

void ImportRedirect::Write(Slot* slot, void* value) {
    // The import address table may be read-only once the loader is done with it.
    DWORD protection = 0;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
    *slot = reinterpret_cast<Slot>(value);
    VirtualProtect(slot, sizeof *slot, protection, &protection);
}

}  // namespace bench
