// Redirects a loaded module's imports of one platform function to a function of
// the benchmark's own, so that what ieTalvenor.DLL calls can be counted, timed
// or replaced without changing the DLL: the loader has written the function's
// address into the module's import address table, and that slot is rewritten
// in place.
#pragma once

#include <windows.h>

#include <vector>

namespace bench {

// The address that `function`, exported by the already loaded `module`, has in
// this process; null when the module is not loaded or lacks the export. The
// loader resolves imports (by name, by ordinal, through forwarders) to the same
// address, so it identifies the import slots whatever way the DLL names it.
void* FindExport(const char* module, const char* function);

// The import slots of `importer` that hold `target`, pointed at `replacement`
// between Install() and Restore() (or the end of the object). Finding the slots
// allocates and installing does not, so a set of redirects of the allocation
// functions can all be made before any of them is installed.
class ImportRedirect {
  public:
    ImportRedirect(HMODULE importer, void* target, void* replacement);
    ~ImportRedirect() { Restore(); }
    ImportRedirect(const ImportRedirect&) = delete;
    ImportRedirect& operator=(const ImportRedirect&) = delete;

    // False when `importer` does not import `target`.
    bool found() const { return !slots_.empty(); }
    void Install();
    void Restore();

  private:
    using Slot = decltype(IMAGE_THUNK_DATA::u1.Function);

    static void Write(Slot* slot, void* value);

    void* target_;
    void* replacement_;
    std::vector<Slot*> slots_;
    bool installed_ = false;
};

}  // namespace bench
