// Observes which BSTRs a loaded DLL frees: the DLL's import slot of oleaut32's
// SysFreeString is pointed at a recorder that notes each argument and then frees it.
// The BSTR cache of the automation runtime hands a freed address out again at once,
// so what is freed cannot be told from the addresses of later strings.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <iterator>
#include <vector>

namespace test_support {

// Redirects `module`'s import of SysFreeString while it lives; one at a time.
class SysFreeStringRecorder {
  public:
    explicit SysFreeStringRecorder(HMODULE module) {
        real_ = reinterpret_cast<void(WINAPI*)(BSTR)>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("oleaut32.dll"), "SysFreeString")));
        auto* base = reinterpret_cast<BYTE*>(module);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
            base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        auto* descriptor =
            reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
        for (; imports.VirtualAddress != 0 && descriptor->Name != 0; ++descriptor) {
            auto* thunk = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
            for (; thunk->u1.Function != 0; ++thunk) {
                if (reinterpret_cast<void*>(thunk->u1.Function) == reinterpret_cast<void*>(real_)) {
                    slot_ = &thunk->u1.Function;
                }
            }
        }
        if (slot_ != nullptr) {
            Active() = this;
            Write(reinterpret_cast<ULONG_PTR>(&Record));
        }
    }
    ~SysFreeStringRecorder() {
        if (slot_ != nullptr) {
            Write(reinterpret_cast<ULONG_PTR>(real_));
            Active() = nullptr;
        }
    }

    bool installed() const { return slot_ != nullptr; }
    const std::vector<BSTR>& freed() const { return freed_; }
    // The BSTRs freed since the last clear(), leaving out calls with null.
    std::vector<BSTR> freedStrings() const {
        std::vector<BSTR> strings;
        std::copy_if(freed_.begin(), freed_.end(), std::back_inserter(strings),
                     [](BSTR text) { return text != nullptr; });
        return strings;
    }
    void clear() { freed_.clear(); }

  private:
    static SysFreeStringRecorder*& Active() {
        static SysFreeStringRecorder* active = nullptr;
        return active;
    }
    static void WINAPI Record(BSTR text) {
        Active()->freed_.push_back(text);
        Active()->real_(text);
    }
    void Write(ULONG_PTR value) {
        DWORD protection = 0;
        VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &protection);
        *slot_ = value;
        VirtualProtect(slot_, sizeof *slot_, protection, &protection);
    }

    void(WINAPI* real_)(BSTR) = nullptr;
    decltype(IMAGE_THUNK_DATA::u1.Function)* slot_ = nullptr;
    std::vector<BSTR> freed_;
};

}  // namespace test_support
