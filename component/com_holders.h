// Small RAII holders of automation and component resources: an interface
// reference and a BSTR, each released when its holder goes out of scope.
#pragma once

#include <windows.h>
#include <oleauto.h>

template <class Interface>
class ComPtr {
  public:
    ComPtr() = default;
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    Interface* operator->() const { return m_pointer; }
    Interface* get() const { return m_pointer; }

    // The address to receive a new reference; any held one is released first.
    Interface** put() {
        reset();
        return &m_pointer;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }

    void reset() {
        if (m_pointer != nullptr) {
            m_pointer->Release();
            m_pointer = nullptr;
        }
    }

  private:
    Interface* m_pointer = nullptr;
};

class UniqueBstr {
  public:
    UniqueBstr() = default;
    explicit UniqueBstr(BSTR value) : m_value(value) {}
    ~UniqueBstr() { SysFreeString(m_value); }
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;

    BSTR get() const { return m_value; }

    // The address to receive a new BSTR; any held one is freed first.
    BSTR* put() {
        SysFreeString(m_value);
        m_value = nullptr;
        return &m_value;
    }

  private:
    BSTR m_value = nullptr;
};
