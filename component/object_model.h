// The two forms of a Talvenor object and their creators.
//
// CStandaloneObject counts its own references. CAggregatedObject is made for an
// outer object: its own IUnknown counts the outer object's reference to it,
// while every interface of its CInnerObject forwards QueryInterface, AddRef and
// Release to the outer object. Every live object holds one unit of the module's
// lock count.
#pragma once

#include "talvenor.h"

class CStandaloneObject final : public CTalvenor {
  public:
    CStandaloneObject();
    ~CStandaloneObject();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // Destruction: count held at 1 while the final steps run, then freed.
    void Destroy();
};

class CInnerObject final : public CTalvenor {
  public:
    explicit CInnerObject(IUnknown* outer);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
};

class CAggregatedObject final : public IUnknown {
  public:
    explicit CAggregatedObject(IUnknown* outer);
    ~CAggregatedObject();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT OnConstructed();
    void Destroy();

  private:
    volatile LONG m_dwRef = 0;
    CInnerObject m_contained;
};

HRESULT CreateStandaloneObject(REFIID iid, void** out);
HRESULT CreateAggregatedObject(IUnknown* outer, REFIID iid, void** out);

// The object map's instance creator: aggregated when `outer` is given.
HRESULT CreateObjectInstance(IUnknown* outer, REFIID iid, void** out);
