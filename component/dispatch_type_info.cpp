#include "dispatch_type_info.h"

#include <cstring>
#include <new>

#include "call_depth.h"
#include "com_module.h"
#include "critical_section.h"
#include "script_call.h"
#include "talvenor.h"

CDispatchTypeInfo g_talvenorTypeInfo(&IID_ITalvenor, &LIBID_IETALVENORLib, 1, 0);

HRESULT CDispatchTypeInfo::EnsureLoaded(LCID locale) {
    return m_pTypeInfo.load() != nullptr ? S_OK : LoadTypeInfo(locale);
}

HRESULT CDispatchTypeInfo::LoadTypeInfo(LCID locale) {
    if (m_pTypeInfo.load() != nullptr) {
        return S_OK;
    }
    HRESULT result = E_FAIL;
    {
        CriticalSectionLock lock(g_module.m_csShared);
        if (m_pTypeInfo.load() != nullptr) {
            result = S_OK;
        } else {
            ITypeLib* library = nullptr;
            result = LoadRegTypeLib(*m_plibid, m_wMajorVersion, m_wMinorVersion, locale, &library);
            if (SUCCEEDED(result)) {
                ITypeInfo* typeInfo = nullptr;
                result = library->GetTypeInfoOfGuid(*m_pguid, &typeInfo);
                if (SUCCEEDED(result)) {
                    // Keep the ITypeInfo2 view where offered; only ITypeInfo's
                    // operations are used on it either way.
                    ITypeInfo* kept = typeInfo;
                    ITypeInfo2* typeInfo2 = nullptr;
                    if (SUCCEEDED(typeInfo->QueryInterface(IID_ITypeInfo2,
                                                           reinterpret_cast<void**>(&typeInfo2)))) {
                        kept = typeInfo2;
                        typeInfo->Release();
                    }
                    BuildNameCache(kept);
                    m_pTypeInfo.store(kept);
                }
                library->Release();
            }
        }
    }
    // Registered on every load attempt; releasing twice finds nothing the second time.
    g_module.AddShutdownCallback(ReleaseTypeInfo, this);
    return result;
}

void CDispatchTypeInfo::BuildNameCache(ITypeInfo* typeInfo) {
    TYPEATTR* attributes = nullptr;
    if (FAILED(typeInfo->GetTypeAttr(&attributes))) {
        return;
    }
    const int count = attributes->cFuncs;
    m_nNameCount = count;
    m_pNameCache = nullptr;
    if (count != 0) {
        m_pNameCache = new (std::nothrow) NameCacheEntry[count]();
        if (m_pNameCache == nullptr) {
            m_nNameCount = 0;
        }
    }
    for (int index = 0; index < m_nNameCount; ++index) {
        FUNCDESC* function = nullptr;
        if (FAILED(typeInfo->GetFuncDesc(index, &function))) {
            continue;
        }
        BSTR name = nullptr;
        if (SUCCEEDED(
                typeInfo->GetDocumentation(function->memid, &name, nullptr, nullptr, nullptr))) {
            m_pNameCache[index] = {name, static_cast<int>(SysStringLen(name)), function->memid};
        }
        typeInfo->ReleaseFuncDesc(function);
    }
    typeInfo->ReleaseTypeAttr(attributes);
}

// Searched from the last entry down; exact, case-sensitive comparison.
bool CDispatchTypeInfo::FindCachedName(const OLECHAR* name, DISPID* dispid) const {
    const int length = lstrlenW(name);
    for (int index = m_nNameCount - 1; index >= 0; --index) {
        const NameCacheEntry& entry = m_pNameCache[index];
        if (entry.name != nullptr && entry.length == length &&
            std::memcmp(entry.name, name, length * sizeof(OLECHAR)) == 0) {
            *dispid = entry.dispid;
            return true;
        }
    }
    return false;
}

HRESULT CDispatchTypeInfo::GetTypeInfo(LCID locale, ITypeInfo** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    HRESULT result = EnsureLoaded(locale);
    ITypeInfo* typeInfo = m_pTypeInfo.load();
    *out = typeInfo;
    if (typeInfo != nullptr) {
        typeInfo->AddRef();
        result = S_OK;
    }
    return result;
}

HRESULT CDispatchTypeInfo::GetIDsOfNames(LPOLESTR* names, UINT count, LCID locale,
                                         DISPID* dispids) {
    HRESULT result = EnsureLoaded(locale);
    ITypeInfo* typeInfo = m_pTypeInfo.load();
    if (typeInfo == nullptr) {
        return result;
    }
    for (UINT position = 0; position < count; ++position) {
        if (FindCachedName(names[position], &dispids[position])) {
            continue;
        }
        // A miss hands the whole request to the type information.
        result = typeInfo->GetIDsOfNames(names, count, dispids);
        if (FAILED(result)) {
            return result;
        }
    }
    return result;
}

HRESULT CDispatchTypeInfo::Invoke(IDispatch* instance, DISPID member, LCID locale, WORD flags,
                                  DISPPARAMS* parameters, VARIANT* result, EXCEPINFO* exception,
                                  UINT* argumentError) {
    HRESULT status = EnsureLoaded(locale);
    ITypeInfo* typeInfo = m_pTypeInfo.load();
    if (typeInfo != nullptr) {
        status =
            typeInfo->Invoke(instance, member, flags, parameters, result, exception, argumentError);
    }
    return status;
}

void CDispatchTypeInfo::ReleaseTypeInfo(void* holder) {
    auto* self = static_cast<CDispatchTypeInfo*>(holder);
    if (ITypeInfo* typeInfo = self->m_pTypeInfo.exchange(nullptr)) {
        typeInfo->Release();
    }
    if (self->m_pNameCache != nullptr) {
        for (int index = 0; index < self->m_nNameCount; ++index) {
            SysFreeString(self->m_pNameCache[index].name);
        }
        delete[] self->m_pNameCache;
        self->m_pNameCache = nullptr;
        self->m_nNameCount = 0;
    }
}

// IDispatch of ITalvenor: every object serves it from the shared holder.

HRESULT STDMETHODCALLTYPE CTalvenor::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) {
        return E_POINTER;
    }
    *count = 1;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CTalvenor::GetTypeInfo(UINT, LCID locale, ITypeInfo** out) {
    return g_talvenorTypeInfo.GetTypeInfo(locale, out);
}

HRESULT STDMETHODCALLTYPE CTalvenor::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID locale,
                                                   DISPID* dispids) {
    return g_talvenorTypeInfo.GetIDsOfNames(names, count, locale, dispids);
}

HRESULT STDMETHODCALLTYPE CTalvenor::Invoke(DISPID member, REFIID, LCID locale, WORD flags,
                                            DISPPARAMS* parameters, VARIANT* result,
                                            EXCEPINFO* exception, UINT* argumentError) {
    const NestedCallGuard nesting;
    if (nesting.tooDeep()) {
        return NestedCallGuard::kTooDeep;
    }
    ScriptCall call(member, flags, parameters);
    if (FAILED(call.status())) {
        return call.status();
    }
    return g_talvenorTypeInfo.Invoke(static_cast<ITalvenor*>(this), member, locale, call.flags(),
                                     call.parameters(), result, exception, argumentError);
}
