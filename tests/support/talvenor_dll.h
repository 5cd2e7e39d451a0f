// Loading ieTalvenor.DLL the way a host does, and small helpers for tests that
// drive it: reference counts, the debugger output, COM initialisation.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <objsafe.h>
#include <oleauto.h>

#include <string>
#include <vector>

#ifndef TALVENOR_DLL_PATH
#error "TALVENOR_DLL_PATH must name the built DLL"
#endif

namespace test_support {

constexpr char kDllPath[] = TALVENOR_DLL_PATH;

// {9BAC30D5-A416-40C2-810B-D55B31413BB4}
constexpr CLSID kClsidTalvenor = {
    0x9BAC30D5, 0xA416, 0x40C2, {0x81, 0x0B, 0xD5, 0x5B, 0x31, 0x41, 0x3B, 0xB4}};
// {7D612352-681B-44B0-AE84-543B989C6DF0}
constexpr IID kIidITalvenor = {
    0x7D612352, 0x681B, 0x44B0, {0xAE, 0x84, 0x54, 0x3B, 0x98, 0x9C, 0x6D, 0xF0}};
// {3DFCA7D6-BD9A-4AE0-8887-B207E218D666}
constexpr GUID kLibidTalvenor = {
    0x3DFCA7D6, 0xBD9A, 0x4AE0, {0x88, 0x87, 0xB2, 0x07, 0xE2, 0x18, 0xD6, 0x66}};

// ITalvenor as the type library lays it out: IDispatch, then the four members.
struct ITalvenorTable : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE getID(BSTR* salt, BSTR* id) = 0;
    virtual HRESULT STDMETHODCALLTYPE ComputerName(BSTR* name) = 0;
    virtual HRESULT STDMETHODCALLTYPE TestInstallation(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Version(BSTR* version) = 0;
};

// The DLL, loaded for the life of the holder, with its four exports: this
// build's, or another copy by its path.
class TalvenorDll {
  public:
    explicit TalvenorDll(const char* path = kDllPath) : m_module(LoadLibraryA(path)) {
        canUnloadNow = Export<HRESULT(WINAPI*)()>("DllCanUnloadNow");
        getClassObject = Export<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
        registerServer = Export<HRESULT(WINAPI*)()>("DllRegisterServer");
        unregisterServer = Export<HRESULT(WINAPI*)()>("DllUnregisterServer");
    }
    ~TalvenorDll() {
        if (m_module != nullptr) {
            FreeLibrary(m_module);
        }
    }
    TalvenorDll(const TalvenorDll&) = delete;
    TalvenorDll& operator=(const TalvenorDll&) = delete;

    bool loaded() const { return m_module != nullptr && getClassObject != nullptr; }
    HMODULE module() const { return m_module; }

    // The class factory of Talvenor, or null.
    IClassFactory* Factory() const {
        IClassFactory* factory = nullptr;
        getClassObject(kClsidTalvenor, IID_IClassFactory, reinterpret_cast<void**>(&factory));
        return factory;
    }

    // A new stand-alone object queried for `iid`, or null.
    template <class Interface>
    Interface* Create(REFIID iid) const {
        Interface* object = nullptr;
        if (IClassFactory* factory = Factory()) {
            factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&object));
            factory->Release();
        }
        return object;
    }

    HRESULT(WINAPI* canUnloadNow)() = nullptr;
    HRESULT(WINAPI* getClassObject)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(WINAPI* registerServer)() = nullptr;
    HRESULT(WINAPI* unregisterServer)() = nullptr;

  private:
    template <class Function>
    Function Export(const char* name) {
        if (m_module == nullptr) {
            return nullptr;
        }
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(m_module, name)));
    }

    HMODULE m_module;
};

// The reference count an object reports, read without changing it.
inline ULONG RefCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// Registers the type library carried by the DLL, as self-registration would.
inline HRESULT RegisterTypeLibFromDll() {
    wchar_t path[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, kDllPath, -1, path, MAX_PATH);
    ITypeLib* library = nullptr;
    HRESULT result = LoadTypeLib(path, &library);
    if (SUCCEEDED(result)) {
        result = RegisterTypeLib(library, path, nullptr);
        library->Release();
    }
    return result;
}

inline void UnregisterTypeLibOfDll() {
    UnRegisterTypeLib(kLibidTalvenor, 1, 0, 0, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
}

// Collects what the process writes with OutputDebugStringA while it lives: the
// platform raises DBG_PRINTEXCEPTION_C for each write, which a vectored handler
// sees first.
class DebugOutputCapture {
  public:
    DebugOutputCapture() {
        Active() = this;
        m_handler = AddVectoredExceptionHandler(1, &DebugOutputCapture::Handler);
    }
    ~DebugOutputCapture() {
        RemoveVectoredExceptionHandler(m_handler);
        Active() = nullptr;
    }
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    // Every write, in order.
    const std::vector<std::string>& writes() const { return m_writes; }

    // All writes joined.
    std::string text() const {
        std::string joined;
        for (const std::string& write : m_writes) {
            joined += write;
        }
        return joined;
    }

  private:
    static DebugOutputCapture*& Active() {
        static DebugOutputCapture* active = nullptr;
        return active;
    }

    static LONG CALLBACK Handler(EXCEPTION_POINTERS* exception) {
        const EXCEPTION_RECORD* record = exception->ExceptionRecord;
        if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2 &&
            Active() != nullptr) {
            Active()->m_writes.emplace_back(
                reinterpret_cast<const char*>(record->ExceptionInformation[1]));
            return EXCEPTION_CONTINUE_EXECUTION;
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }

    void* m_handler = nullptr;
    std::vector<std::string> m_writes;
};

// COM initialised on the calling thread for the life of the holder.
class ComApartment {
  public:
    explicit ComApartment(DWORD model = COINIT_APARTMENTTHREADED) {
        CoInitializeEx(nullptr, model);
    }
    ~ComApartment() { CoUninitialize(); }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
};

}  // namespace test_support
