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

#include "import_redirect.h"

namespace test_support {

// Redirects `module`'s import of SysFreeString while it lives; one at a time.
class SysFreeStringRecorder {
  public:
    explicit SysFreeStringRecorder(HMODULE module)
        : real_(reinterpret_cast<void(WINAPI*)(BSTR)>(FindExport("oleaut32.dll", "SysFreeString"))),
          redirect_(module, reinterpret_cast<void*>(real_), reinterpret_cast<void*>(&Record)) {
        if (redirect_.found()) {
            Active() = this;
            redirect_.Install();
        }
    }
    ~SysFreeStringRecorder() {
        if (redirect_.found()) {
            redirect_.Restore();
            Active() = nullptr;
        }
    }

    bool installed() const { return redirect_.found(); }
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

    void(WINAPI* real_)(BSTR);
    ImportRedirect redirect_;
    std::vector<BSTR> freed_;
};

}  // namespace test_support
