// Redirects a loaded module's imports of one platform function to a function of
// the test's or benchmark's own, so that what ieTalvenor.DLL calls can be
// recorded, counted, timed or replaced without changing the DLL: the loader has
// written the function's address into the module's import address table, and
// that slot is rewritten in place.
#pragma once

#include <windows.h>

#include <vector>

namespace test_support {

// The address that `function`, exported by the already loaded `module`, has in
// this process; null when the module is not loaded or lacks the export. The
// loader resolves imports (by name, by ordinal, through forwarders) to the same
// address, so it identifies the import slots whatever way the DLL names it.
inline void* FindExport(const char* module, const char* function) {
    HMODULE handle = GetModuleHandleA(module);
    if (handle == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<void*>(GetProcAddress(handle, function));
}

// Writes `value` into a function-pointer slot of a loaded module, such as an
// import address table or an interface's table of operations, which may be
// read-only once the loader is done with it.
template <class Slot>
void OverwriteSlot(Slot* slot, Slot value) {
    DWORD protection = 0;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
    *slot = value;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
}

// The import slots of `importer` that hold `target`, pointed at `replacement`
// between Install() and Restore() (or the end of the object). Finding the slots
// allocates and installing does not, so a set of redirects of the allocation
// functions can all be made before any of them is installed.
class ImportRedirect {
  public:
    ImportRedirect(HMODULE importer, void* target, void* replacement)
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
        auto* descriptor =
            reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
        for (; descriptor->Name != 0; ++descriptor) {
            auto* thunk = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
            for (; thunk->u1.Function != 0; ++thunk) {
                if (reinterpret_cast<void*>(thunk->u1.Function) == target) {
                    slots_.push_back(&thunk->u1.Function);
                }
            }
        }
    }
    ~ImportRedirect() { Restore(); }
    ImportRedirect(const ImportRedirect&) = delete;
    ImportRedirect& operator=(const ImportRedirect&) = delete;

    // False when `importer` does not import `target`.
    bool found() const { return !slots_.empty(); }

    void Install() {
        if (!installed_) {
            for (Slot* slot : slots_) {
                Write(slot, replacement_);
            }
            installed_ = true;
        }
    }

    void Restore() {
        if (installed_) {
            for (Slot* slot : slots_) {
                Write(slot, target_);
            }
            installed_ = false;
        }
    }

  private:
    using Slot = decltype(IMAGE_THUNK_DATA::u1.Function);

    static void Write(Slot* slot, void* value) {
        OverwriteSlot(slot, reinterpret_cast<Slot>(value));
    }

    void* target_;
    void* replacement_;
    std::vector<Slot*> slots_;
    bool installed_ = false;
};

}  // namespace test_support
