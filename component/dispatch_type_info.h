// The shared holder of ITalvenor's type information, through which every
// object's IDispatch resolves names and invokes members. It loads the
// registered type library on first use and keeps it, with a cache of member
// names, until the module shuts down.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <atomic>

class CDispatchTypeInfo {
  public:
    constexpr CDispatchTypeInfo(const GUID* interfaceId, const GUID* libraryId, WORD majorVersion,
                                WORD minorVersion)
        : m_pguid(interfaceId),
          m_plibid(libraryId),
          m_wMajorVersion(majorVersion),
          m_wMinorVersion(minorVersion) {}

    HRESULT GetTypeInfo(LCID locale, ITypeInfo** out);
    HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, LCID locale, DISPID* dispids);
    HRESULT Invoke(IDispatch* instance, DISPID member, LCID locale, WORD flags,
                   DISPPARAMS* parameters, VARIANT* result, EXCEPINFO* exception,
                   UINT* argumentError);

    // The module's shutdown callback: releases the type information and the cache.
    static void ReleaseTypeInfo(void* holder);

  private:
    struct NameCacheEntry {
        BSTR name;  // null when the function's name could not be read; matches nothing
        int length;
        DISPID dispid;
    };

    HRESULT EnsureLoaded(LCID locale);
    HRESULT LoadTypeInfo(LCID locale);
    void BuildNameCache(ITypeInfo* typeInfo);
    bool FindCachedName(const OLECHAR* name, DISPID* dispid) const;

    const GUID* m_pguid;
    const GUID* m_plibid;
    WORD m_wMajorVersion;
    WORD m_wMinorVersion;
    // Set once, after the cache is complete; read without the lock.
    std::atomic<ITypeInfo*> m_pTypeInfo{nullptr};
    NameCacheEntry* m_pNameCache = nullptr;
    int m_nNameCount = 0;
};

// The one holder of ITalvenor's type information, shared by all objects and threads.
extern CDispatchTypeInfo g_talvenorTypeInfo;
