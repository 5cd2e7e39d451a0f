// ieTalvenor.DLL driven as a host drives it: the class factory and the module
// lock count that decides unloading, the identity and reference counting of
// stand-alone and aggregated objects, and what unloading the library releases.
#include <gtest/gtest.h>
#include <windows.h>
#include <objsafe.h>
#include <ocidl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "talvenor_dll.h"

namespace {

using test_support::DebugOutputCapture;
using test_support::kClsidTalvenor;
using test_support::kIidITalvenor;
using test_support::RefCount;
using test_support::TalvenorDll;

// An identifier that no class or interface of the library answers.
constexpr GUID kStrangerId = {
    0x5E0C1B7A, 0x2F4D, 0x4C61, {0x9A, 0x3E, 0x71, 0x08, 0xD2, 0x6B, 0x44, 0x1F}};

// Out-pointers start out holding this, so a test sees whether a call cleared them.
void* const kUnset = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x5A5A5A50));

// The interface `iid` of `object`, or null.
template <class Interface = IUnknown>
Interface* Query(IUnknown* object, REFIID iid) {
    void* out = nullptr;
    object->QueryInterface(iid, &out);
    return static_cast<Interface*>(out);
}

// A host object that aggregates Talvenor. It keeps the aggregated object's own
// IUnknown, serves ITalvenor from it, refuses every other interface but its
// own IUnknown, and counts the calls that reach its QueryInterface and AddRef. It
// lives on the test's stack and starts with the test's one reference.
class Outer : public IUnknown {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        ++queryCalls;
        if (IsEqualGUID(iid, IID_IUnknown)) {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        if (inner != nullptr && IsEqualGUID(iid, kIidITalvenor)) {
            return inner->QueryInterface(iid, out);
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        ++addRefCalls;
        return ++count;
    }
    ULONG STDMETHODCALLTYPE Release() override { return --count; }

    IUnknown* inner = nullptr;  // the aggregated object's own IUnknown
    ULONG count = 1;
    int addRefCalls = 0;
    int queryCalls = 0;
};

// Each test loads the library afresh, so the lock count starts at 0 and no
// class factory is cached.
class ModuleTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dll_.loaded()) << test_support::kDllPath; }

    HRESULT CanUnload() const { return dll_.canUnloadNow(); }

    IClassFactory* Factory() const { return dll_.Factory(); }
    // A stand-alone object's ITalvenor, the factory already released.
    IUnknown* CreateStandalone() const { return dll_.Create<IUnknown>(kIidITalvenor); }

    // Makes `outer` aggregate a new object, keeping the object's own IUnknown.
    void Aggregate(Outer& outer) const {
        IClassFactory* factory = Factory();
        ASSERT_NE(factory, nullptr);
        ASSERT_EQ(
            factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)),
            S_OK);
        factory->Release();
        ASSERT_NE(outer.inner, nullptr);
    }

    TalvenorDll dll_;
};

// Class factory and module lock count.

TEST_F(ModuleTest, OutsideFactoryReferencesHoldOneLockUnit) {
    EXPECT_EQ(CanUnload(), S_OK);  // right after load
    IClassFactory* first = Factory();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(CanUnload(), S_FALSE);
    EXPECT_EQ(RefCount(first), 2u);  // the cache's reference and ours

    void* second = kUnset;
    ASSERT_EQ(dll_.getClassObject(kClsidTalvenor, IID_IUnknown, &second), S_OK);
    EXPECT_EQ(second, static_cast<void*>(first));
    // One unit for both references: a single unlock balances it.
    EXPECT_EQ(first->LockServer(FALSE), S_OK);
    EXPECT_EQ(CanUnload(), S_OK);
    EXPECT_EQ(first->LockServer(TRUE), S_OK);

    EXPECT_EQ(first->Release(), 2u);
    EXPECT_EQ(CanUnload(), S_FALSE);
    EXPECT_EQ(static_cast<IUnknown*>(second)->Release(), 1u);  // the cache's, kept
    EXPECT_EQ(CanUnload(), S_OK);
}

TEST_F(ModuleTest, RefusedClassObjectRequestsLeaveNoLock) {
    const struct {
        const char* name;
        const CLSID* classId;
        const IID* iid;
        bool nullOut;
        HRESULT expected;
    } kCases[] = {
        {"unknown class", &kStrangerId, &IID_IClassFactory, false, CLASS_E_CLASSNOTAVAILABLE},
        {"unknown class, IUnknown", &kStrangerId, &IID_IUnknown, false, CLASS_E_CLASSNOTAVAILABLE},
        {"factory lacks IDispatch", &kClsidTalvenor, &IID_IDispatch, false, E_NOINTERFACE},
        {"factory lacks ITalvenor", &kClsidTalvenor, &kIidITalvenor, false, E_NOINTERFACE},
        {"null out", &kClsidTalvenor, &IID_IClassFactory, true, E_POINTER},
        {"null out, unknown class", &kStrangerId, &IID_IClassFactory, true, E_POINTER},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        void* out = kUnset;
        EXPECT_EQ(dll_.getClassObject(*c.classId, *c.iid, c.nullOut ? nullptr : &out), c.expected);
        if (!c.nullOut) {
            EXPECT_EQ(out, nullptr);
        }
        EXPECT_EQ(CanUnload(), S_OK);
    }
}

TEST_F(ModuleTest, RefusedInterfaceKeepsTheCachedFactory) {
    IClassFactory* held = Factory();
    ASSERT_NE(held, nullptr);
    void* out = kUnset;
    EXPECT_EQ(dll_.getClassObject(kClsidTalvenor, IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(held->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(RefCount(held), 2u);  // nothing added to or dropped from the cache's and ours
    EXPECT_EQ(CanUnload(), S_FALSE);

    EXPECT_EQ(held->Release(), 1u);
    EXPECT_EQ(CanUnload(), S_OK);
    IClassFactory* later = Factory();
    EXPECT_EQ(later, held);
    later->Release();
}

TEST_F(ModuleTest, LockServerMovesTheLockCountWithoutBound) {
    // '+' is LockServer(TRUE), '-' LockServer(FALSE); after each step, with the
    // factory released, the module is unloadable exactly when the locks balance.
    const struct {
        const char* steps;
        std::vector<HRESULT> expected;
    } kCases[] = {
        {"++--", {S_FALSE, S_FALSE, S_FALSE, S_OK}},
        {"+-", {S_FALSE, S_OK}},
        {"-+", {S_FALSE, S_OK}},
        {"--++", {S_FALSE, S_FALSE, S_FALSE, S_OK}},
        {"-++-", {S_FALSE, S_OK, S_FALSE, S_OK}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.steps);
        const std::string steps = c.steps;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            IClassFactory* factory = Factory();
            ASSERT_NE(factory, nullptr);
            EXPECT_EQ(factory->LockServer(steps[i] == '+'), S_OK);
            EXPECT_EQ(factory->Release(), 1u);
            EXPECT_EQ(CanUnload(), c.expected[i]) << "after step " << i;
        }
    }
}

TEST_F(ModuleTest, ConcurrentFirstRequestsShareOneFactory) {
    constexpr int kThreads = 8;
    std::vector<IClassFactory*> factories(kThreads, nullptr);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            factories[i] = Factory();
        });
    }
    go = true;
    for (std::thread& thread : threads) thread.join();
    for (IClassFactory* factory : factories) {
        ASSERT_NE(factory, nullptr);
        EXPECT_EQ(factory, factories[0]);
    }
    EXPECT_EQ(RefCount(factories[0]), 1u + kThreads);
    for (IClassFactory* factory : factories) factory->Release();
    EXPECT_EQ(CanUnload(), S_OK);
}

// Creating objects.

TEST_F(ModuleTest, StandaloneCreationHoldsOneLockPerObject) {
    const struct {
        const char* name;
        const IID* iid;
        bool isIdentity;  // the ITalvenor sub-object, which is the object's IUnknown
    } kCases[] = {
        {"IUnknown", &IID_IUnknown, true},
        {"IDispatch", &IID_IDispatch, true},
        {"ITalvenor", &kIidITalvenor, true},
        {"ISupportErrorInfo", &IID_ISupportErrorInfo, false},
        {"IObjectSafety", &IID_IObjectSafety, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        IClassFactory* factory = Factory();
        ASSERT_NE(factory, nullptr);
        void* out = kUnset;
        EXPECT_EQ(factory->CreateInstance(nullptr, *c.iid, &out), S_OK);
        factory->Release();
        ASSERT_NE(out, nullptr);
        ASSERT_NE(out, kUnset);
        auto* object = static_cast<IUnknown*>(out);
        EXPECT_EQ(CanUnload(), S_FALSE);
        EXPECT_EQ(object->AddRef(), 2u);  // created with a count of 1
        EXPECT_EQ(object->Release(), 1u);
        IUnknown* identity = Query(object, IID_IUnknown);
        EXPECT_EQ(identity == object, c.isIdentity);
        EXPECT_EQ(identity->Release(), 1u);
        EXPECT_EQ(object->Release(), 0u);
        EXPECT_EQ(CanUnload(), S_OK);
    }
}

TEST_F(ModuleTest, RefusedCreationLeavesNoObjectAndNoLock) {
    const char kTraceLine[] =
        "CComClassFactory: asked for non IUnknown interface while creating an aggregated object";
    const struct {
        const char* name;
        bool aggregated;
        const IID* iid;
        bool nullOut;
        HRESULT expected;
    } kCases[] = {
        {"null out", false, &kIidITalvenor, true, E_POINTER},
        {"null out, aggregated", true, &IID_IUnknown, true, E_POINTER},
        {"interface not in the map", false, &IID_IPersistPropertyBag, false, E_NOINTERFACE},
        {"aggregated ITalvenor", true, &kIidITalvenor, false, CLASS_E_NOAGGREGATION},
        {"aggregated IDispatch", true, &IID_IDispatch, false, CLASS_E_NOAGGREGATION},
        {"aggregated, not in the map", true, &IID_IPersistPropertyBag, false,
         CLASS_E_NOAGGREGATION},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Outer outer;
        IClassFactory* factory = Factory();
        ASSERT_NE(factory, nullptr);
        void* out = kUnset;
        HRESULT result;
        std::vector<std::string> writes;
        {
            DebugOutputCapture capture;
            result = factory->CreateInstance(c.aggregated ? &outer : nullptr, *c.iid,
                                             c.nullOut ? nullptr : &out);
            writes = capture.writes();
        }
        factory->Release();
        EXPECT_EQ(result, c.expected);
        if (!c.nullOut) {
            EXPECT_EQ(out, nullptr);
        }
        EXPECT_EQ(CanUnload(), S_OK);
        EXPECT_EQ(outer.addRefCalls, 0);
        if (c.expected == CLASS_E_NOAGGREGATION) {
            EXPECT_EQ(writes, (std::vector<std::string>{"ATL: ", kTraceLine}));
        } else {
            EXPECT_TRUE(writes.empty());
        }
    }
}

// Identity and reference counting of a stand-alone object.

TEST_F(ModuleTest, SubObjectsShareOneIdentityAndOneCount) {
    IUnknown* identity = CreateStandalone();  // the ITalvenor sub-object
    ASSERT_NE(identity, nullptr);
    const struct {
        const IID* iid;
        bool isIdentity;
    } kSubObjects[] = {
        {&IID_IDispatch, true},
        {&kIidITalvenor, true},
        {&IID_ISupportErrorInfo, false},
        {&IID_IObjectSafety, false},
    };
    std::vector<IUnknown*> held;
    for (const auto& c : kSubObjects) {
        IUnknown* sub = Query(identity, *c.iid);
        ASSERT_NE(sub, nullptr);
        held.push_back(sub);
        EXPECT_EQ(sub == identity, c.isIdentity);
        const ULONG before = RefCount(identity);
        IUnknown* unknown = Query(sub, IID_IUnknown);
        EXPECT_EQ(unknown, identity);
        EXPECT_EQ(RefCount(identity), before + 1);
        unknown->Release();

        for (const IID* refused : {&kStrangerId, &IID_IPersistPropertyBag, &IID_IClassFactory}) {
            void* out = kUnset;
            EXPECT_EQ(sub->QueryInterface(*refused, &out), E_NOINTERFACE);
            EXPECT_EQ(out, nullptr);
        }
        EXPECT_EQ(sub->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
        EXPECT_EQ(sub->QueryInterface(IID_IObjectSafety, nullptr), E_POINTER);
        EXPECT_EQ(RefCount(identity), before);
    }
    EXPECT_NE(held[2], held[3]);  // ISupportErrorInfo and IObjectSafety are separate
    for (IUnknown* sub : held) sub->Release();
    EXPECT_EQ(identity->Release(), 0u);
}

TEST_F(ModuleTest, ConcurrentCountingLosesNoReference) {
    IUnknown* object = CreateStandalone();
    ASSERT_NE(object, nullptr);
    constexpr int kThreads = 4;
    constexpr int kRounds = 100000;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([object] {
            for (int n = 0; n < kRounds; ++n) object->AddRef();
            for (int n = 0; n < kRounds; ++n) object->Release();
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(CanUnload(), S_FALSE);
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(CanUnload(), S_OK);
}

TEST_F(ModuleTest, OnlyITalvenorReportsErrorInfo) {
    IUnknown* object = CreateStandalone();
    ASSERT_NE(object, nullptr);
    auto* errorInfo = Query<ISupportErrorInfo>(object, IID_ISupportErrorInfo);
    ASSERT_NE(errorInfo, nullptr);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(kIidITalvenor), S_OK);
    for (const IID* other : {&IID_IDispatch, &IID_IUnknown, &IID_IObjectSafety,
                             &IID_ISupportErrorInfo, &kStrangerId}) {
        EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(*other), S_FALSE);
    }
    errorInfo->Release();
    EXPECT_EQ(object->Release(), 0u);
}

// Aggregation: the inner object's interfaces belong to the outer object.

TEST_F(ModuleTest, InnerInterfacesCountOnTheOuterObject) {
    Outer outer;
    ASSERT_NO_FATAL_FAILURE(Aggregate(outer));
    EXPECT_NE(outer.inner, static_cast<IUnknown*>(&outer));
    EXPECT_EQ(outer.addRefCalls, 0);  // the aggregate takes no reference on its outer
    EXPECT_EQ(RefCount(outer.inner), 1u);
    IUnknown* self = Query(outer.inner, IID_IUnknown);
    EXPECT_EQ(self, outer.inner);  // the aggregate's own IUnknown answers itself
    EXPECT_EQ(self->Release(), 1u);
    EXPECT_EQ(outer.addRefCalls, 0);
    EXPECT_EQ(CanUnload(), S_FALSE);

    for (const IID* iid :
         {&kIidITalvenor, &IID_IDispatch, &IID_ISupportErrorInfo, &IID_IObjectSafety}) {
        IUnknown* inner = Query(outer.inner, *iid);
        ASSERT_NE(inner, nullptr);
        EXPECT_EQ(outer.count, 2u);
        EXPECT_EQ(inner->AddRef(), 3u);
        EXPECT_EQ(RefCount(outer.inner), 1u);  // the aggregate's own count is untouched
        EXPECT_EQ(inner->Release(), 2u);

        IUnknown* identity = Query(inner, IID_IUnknown);
        EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
        EXPECT_EQ(outer.count, 3u);
        identity->Release();
        EXPECT_EQ(inner->Release(), 1u);
    }
    EXPECT_EQ(outer.inner->Release(), 0u);
    EXPECT_EQ(CanUnload(), S_OK);
}

TEST_F(ModuleTest, InterfaceTheOuterRefusesComesFromTheMap) {
    Outer outer;
    ASSERT_NO_FATAL_FAILURE(Aggregate(outer));
    IUnknown* talvenor = Query(&outer, kIidITalvenor);  // the outer serves it from the aggregate
    ASSERT_NE(talvenor, nullptr);
    IUnknown* fromAggregate = Query(outer.inner, kIidITalvenor);
    EXPECT_EQ(talvenor, fromAggregate);
    fromAggregate->Release();
    EXPECT_EQ(outer.count, 2u);

    IUnknown* safety = Query(talvenor, IID_IObjectSafety);
    ASSERT_NE(safety, nullptr);
    EXPECT_EQ(outer.count, 3u);
    IUnknown* direct = Query(outer.inner, IID_IObjectSafety);
    EXPECT_EQ(safety, direct);
    direct->Release();

    void* out = kUnset;
    EXPECT_EQ(talvenor->QueryInterface(IID_IPersistPropertyBag, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(outer.count, 3u);

    safety->Release();
    talvenor->Release();
    EXPECT_EQ(outer.count, 1u);
    EXPECT_EQ(outer.inner->Release(), 0u);
    EXPECT_EQ(CanUnload(), S_OK);
}

TEST_F(ModuleTest, SafetyProbeOfAnAggregateCountsOnTheOuterObject) {
    Outer outer;
    ASSERT_NO_FATAL_FAILURE(Aggregate(outer));
    auto* safety = Query<IObjectSafety>(outer.inner, IID_IObjectSafety);
    ASSERT_NE(safety, nullptr);
    const int addRefsBefore = outer.addRefCalls;
    const int queriesBefore = outer.queryCalls;
    const ULONG countBefore = outer.count;
    DWORD supported = ~0u;
    DWORD enabled = ~0u;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER));
    EXPECT_EQ(enabled, 0u);
    EXPECT_EQ(outer.addRefCalls, addRefsBefore + 1);  // the probe's reference
    EXPECT_EQ(outer.queryCalls, queriesBefore);       // the probe asks the map alone
    EXPECT_EQ(outer.count, countBefore);
    EXPECT_EQ(RefCount(outer.inner), 1u);
    safety->Release();
    EXPECT_EQ(outer.inner->Release(), 0u);
}

// Unloading: process detach tears the module down; the next load starts afresh.

// True when the library is mapped into the process.
bool Loaded() {
    return GetModuleHandleA(test_support::kDllPath) != nullptr;
}

TEST(ModuleUnloadTest, ReloadAfterFreeLibraryStartsFresh) {
    auto dll = std::make_unique<TalvenorDll>();
    ASSERT_TRUE(dll->loaded());
    IClassFactory* factory = dll->Factory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);  // a lock the host never gives back
    EXPECT_EQ(factory->Release(), 1u);
    EXPECT_EQ(dll->canUnloadNow(), S_FALSE);
    dll.reset();
    ASSERT_FALSE(Loaded());

    dll = std::make_unique<TalvenorDll>();
    ASSERT_TRUE(dll->loaded());
    EXPECT_EQ(dll->canUnloadNow(), S_OK);
}

TEST(ModuleUnloadTest, UnloadReleasesTheSharedTypeInformation) {
    ASSERT_EQ(test_support::RegisterTypeLibFromDll(), S_OK);
    struct Unregister {
        ~Unregister() { test_support::UnregisterTypeLibOfDll(); }
    } unregister;

    auto dll = std::make_unique<TalvenorDll>();
    ASSERT_TRUE(dll->loaded());
    auto* object = dll->Create<test_support::ITalvenorTable>(kIidITalvenor);
    ASSERT_NE(object, nullptr);
    ITypeInfo* typeInfo = nullptr;
    ASSERT_EQ(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &typeInfo), S_OK);
    ASSERT_NE(typeInfo, nullptr);
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(dll->canUnloadNow(), S_OK);

    const ULONG before = RefCount(typeInfo);  // the library's holder and ours, at least
    dll.reset();
    ASSERT_FALSE(Loaded());
    EXPECT_EQ(RefCount(typeInfo), before - 1);
    typeInfo->Release();
}

}  // namespace
