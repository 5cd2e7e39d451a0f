// IDispatch of ITalvenor, served from the registered type library, driven as a script
// engine drives it. The type information is loaded once per loaded DLL and kept until
// the DLL unloads, so every test loads the DLL afresh (and checks that no earlier copy
// is still loaded) with the type library registered or not, and unregisters it after.
#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "import_redirect.h"
#include "reference_identifier.h"
#include "talvenor_dll.h"
#include "wine_machine.h"

namespace {

using namespace test_support;

constexpr char kDllName[] = "ieTalvenor.DLL";
constexpr LCID kLocale = LOCALE_NEUTRAL;
constexpr WORD kGet = DISPATCH_PROPERTYGET;
constexpr WORD kScriptCall = DISPATCH_METHOD | DISPATCH_PROPERTYGET;  // o.getID("abc")

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

struct Result {
    HRESULT code = E_UNEXPECTED;
    VARIANT value;
    Result() { VariantInit(&value); }
    ~Result() { VariantClear(&value); }
    std::wstring Text() const {
        return value.vt == VT_BSTR ? std::wstring(value.bstrVal, SysStringLen(value.bstrVal))
                                   : L"<not a BSTR>";
    }
};

// Invokes `member` with `salt` as its one argument, or with none.
void InvokeOn(IDispatch* target, DISPID member, WORD flags, const wchar_t* salt, Result* out) {
    VARIANT argument;
    VariantInit(&argument);
    DISPPARAMS parameters = {nullptr, nullptr, 0, 0};
    if (salt != nullptr) {
        argument.vt = VT_BSTR;
        argument.bstrVal = SysAllocString(salt);
        parameters = {&argument, nullptr, 1, 0};
    }
    VariantClear(&out->value);
    EXCEPINFO exception = {};
    UINT argumentError = 0;
    out->code = target->Invoke(member, IID_NULL, kLocale, flags, &parameters, &out->value,
                               &exception, &argumentError);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    VariantClear(&argument);
}

HRESULT IdsOf(IDispatch* target, std::vector<const wchar_t*> names, std::vector<DISPID>* ids) {
    ids->assign(names.size(), -99);
    return target->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(names.data()),
                                 static_cast<UINT>(names.size()), kLocale, ids->data());
}

class DispatchTestBase : public ::testing::Test {
  protected:
    explicit DispatchTestBase(bool registered) : registered_(registered) {}

    void SetUp() override {
        ASSERT_EQ(GetModuleHandleA(kDllName), nullptr) << "the DLL must be loaded afresh";
        UnregisterTypeLibOfDll();
        if (registered_) {
            ASSERT_EQ(RegisterTypeLibFromDll(), S_OK);
        }
        dll_ = std::make_unique<TalvenorDll>();
        ASSERT_TRUE(dll_->loaded()) << kDllPath;
        object_ = dll_->Create<ITalvenorTable>(kIidITalvenor);
        ASSERT_NE(object_, nullptr);
    }
    void TearDown() override {
        if (object_ != nullptr) {
            EXPECT_EQ(object_->Release(), 0u);
        }
        dll_.reset();
        EXPECT_EQ(GetModuleHandleA(kDllName), nullptr) << "the DLL must unload with its cache";
        UnregisterTypeLibOfDll();
    }

    ComApartment apartment_;
    bool registered_;
    std::unique_ptr<TalvenorDll> dll_;
    ITalvenorTable* object_ = nullptr;
};

class UnregisteredDispatchTest : public DispatchTestBase {
  protected:
    UnregisteredDispatchTest() : DispatchTestBase(false) {}
};

class DispatchTest : public DispatchTestBase {
  protected:
    DispatchTest() : DispatchTestBase(true) {}
};

TEST_F(UnregisteredDispatchTest, TypeInfoCountIsOneWithoutTheLibrary) {
    UINT count = 0;
    EXPECT_EQ(object_->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(object_->GetTypeInfoCount(nullptr), E_POINTER);
}

TEST_F(UnregisteredDispatchTest, FailsWithTheLoadersCodeUntilTheLibraryIsRegistered) {
    ITypeLib* library = nullptr;
    const HRESULT loaderCode = LoadRegTypeLib(kLibidTalvenor, 1, 0, kLocale, &library);
    ASSERT_TRUE(FAILED(loaderCode));

    // A failed load is not kept: every call tries again and fails the same way.
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE(attempt);
        std::vector<DISPID> ids;
        EXPECT_EQ(IdsOf(object_, {L"getID"}, &ids), loaderCode);
        Result invoked;
        InvokeOn(object_, 4, kGet, nullptr, &invoked);
        EXPECT_EQ(invoked.code, loaderCode);
        ITypeInfo* typeInfo = reinterpret_cast<ITypeInfo*>(&invoked);  // a non-null sentinel
        EXPECT_EQ(object_->GetTypeInfo(0, kLocale, &typeInfo), loaderCode);
        EXPECT_EQ(typeInfo, nullptr);
        EXPECT_EQ(object_->GetTypeInfo(0, kLocale, nullptr), E_POINTER);
    }

    // Registered while the DLL stays loaded: the next call loads the library.
    ASSERT_EQ(RegisterTypeLibFromDll(), S_OK);
    std::vector<DISPID> ids;
    EXPECT_EQ(IdsOf(object_, {L"getID"}, &ids), S_OK);
    EXPECT_EQ(ids, std::vector<DISPID>{1});
    Result version;
    InvokeOn(object_, 4, kGet, nullptr, &version);
    EXPECT_EQ(version.code, S_OK);
    EXPECT_EQ(version.Text(), L"1.0.0.4");
}

// Counts the calls of the type information's own GetIDsOfNames while it lives:
// that operation's slot in the table of `typeInfo`, which the automation
// runtime shares between its type information objects, points at a counter.
class TypeInfoNameLookups {
  public:
    explicit TypeInfoNameLookups(ITypeInfo* typeInfo)
        : slot_(&(*reinterpret_cast<Lookup**>(typeInfo))[kGetIDsOfNamesSlot]), real_(*slot_) {
        Active() = this;
        OverwriteSlot(slot_, &Count);
    }
    ~TypeInfoNameLookups() {
        OverwriteSlot(slot_, real_);
        Active() = nullptr;
    }
    TypeInfoNameLookups(const TypeInfoNameLookups&) = delete;
    TypeInfoNameLookups& operator=(const TypeInfoNameLookups&) = delete;

    int calls = 0;

  private:
    using Lookup = HRESULT(STDMETHODCALLTYPE*)(ITypeInfo*, LPOLESTR*, UINT, MEMBERID*);
    // IUnknown's three, then GetTypeAttr, GetTypeComp, GetFuncDesc, GetVarDesc,
    // GetNames, GetRefTypeOfImplType and GetImplTypeFlags.
    static constexpr int kGetIDsOfNamesSlot = 10;

    static TypeInfoNameLookups*& Active() {
        static TypeInfoNameLookups* active = nullptr;
        return active;
    }
    static HRESULT STDMETHODCALLTYPE Count(ITypeInfo* self, LPOLESTR* names, UINT count,
                                           MEMBERID* ids) {
        ++Active()->calls;
        return Active()->real_(self, names, count, ids);
    }

    Lookup* slot_;
    Lookup real_;
};

struct NamesCase {
    const char* name;
    std::vector<const wchar_t*> names;
    HRESULT expected;
    std::vector<DISPID> ids;  // checked on success
    // Names spelled as the type library documents them come from the DLL's
    // cache; any other name is handed to the type information.
    bool typeInfoAsked;
};

const NamesCase kNames[] = {
    {"getID", {L"getID"}, S_OK, {1}, false},
    {"ComputerName", {L"ComputerName"}, S_OK, {2}, false},
    {"TestInstallation", {L"TestInstallation"}, S_OK, {3}, false},
    {"Version", {L"Version"}, S_OK, {4}, false},
    {"AllFourAtOnce",
     {L"getID", L"ComputerName", L"TestInstallation", L"Version"},
     S_OK,
     {1, 2, 3, 4},
     false},
    {"LowerCaseGetId", {L"getid"}, S_OK, {1}, true},
    {"UpperCaseVersion", {L"VERSION"}, S_OK, {4}, true},
    {"MemberThenItsArgumentName", {L"getID", L"iSalt"}, S_OK, {1, 0}, true},
    {"UnknownName", {L"noSuchMember"}, DISP_E_UNKNOWNNAME, {}, true},
    {"HelpStringNameIsNoMember", {L"getComputerName"}, DISP_E_UNKNOWNNAME, {}, true},
    {"KnownMemberThenUnknownArgument", {L"Version", L"nothing"}, DISP_E_UNKNOWNNAME, {}, true},
};

TEST_F(DispatchTest, NamesResolveToTheirDispatchIdentifiers) {
    ITypeInfo* typeInfo = nullptr;
    ASSERT_EQ(object_->GetTypeInfo(0, kLocale, &typeInfo), S_OK);
    for (const NamesCase& c : kNames) {
        SCOPED_TRACE(c.name);
        std::vector<DISPID> ids;
        const TypeInfoNameLookups lookups(typeInfo);
        EXPECT_EQ(IdsOf(object_, c.names, &ids), c.expected);
        if (c.expected == S_OK) {
            EXPECT_EQ(ids, c.ids);
        }
        EXPECT_EQ(lookups.calls > 0, c.typeInfoAsked) << lookups.calls << " calls";
    }
    typeInfo->Release();
}

TEST_F(DispatchTest, InvokeGetIdReturnsTheIdentifierOfTheSalt) {
    for (WORD flags : {kScriptCall, kGet}) {
        SCOPED_TRACE(flags);
        DeleteTokenKeys();
        Result id;
        InvokeOn(object_, 1, flags, L"abc", &id);
        EXPECT_EQ(id.code, S_OK);
        ASSERT_EQ(id.value.vt, VT_BSTR);
        EXPECT_EQ(id.Text(), Widen(ReferenceIdentifier(PrefixVolumeSerial(), StoredMachineToken(),
                                                       StoredUserToken(), "abc")));
    }
}

TEST_F(DispatchTest, InvokeReachesTheOtherThreeMembers) {
    char computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof computer;
    ASSERT_TRUE(GetComputerNameA(computer, &size));
    Result name, version;
    InvokeOn(object_, 2, kGet, nullptr, &name);
    InvokeOn(object_, 4, kGet, nullptr, &version);
    EXPECT_EQ(name.code, S_OK);
    EXPECT_EQ(name.Text(), Widen(computer));
    EXPECT_EQ(version.code, S_OK);
    EXPECT_EQ(version.Text(), L"1.0.0.4");

    DeleteTokenKeys();
    Result before, id, after;
    InvokeOn(object_, 3, kGet, nullptr, &before);
    InvokeOn(object_, 1, kScriptCall, L"abc", &id);
    InvokeOn(object_, 3, kGet, nullptr, &after);
    EXPECT_EQ(before.code, S_OK);
    EXPECT_EQ(before.value.vt, VT_I4);
    EXPECT_EQ(before.value.lVal, 0);
    EXPECT_EQ(after.code, S_OK);
    EXPECT_EQ(after.value.vt, VT_I4);
    EXPECT_EQ(after.value.lVal, 1);
}

// A failing invocation carries the type information's own code: the library's own
// ITypeInfo, loaded here independently, answers the same call on the same object.
TEST_F(DispatchTest, FailingInvocationPassesTheTypeInformationsCode) {
    ITypeLib* library = nullptr;
    ASSERT_EQ(LoadRegTypeLib(kLibidTalvenor, 1, 0, kLocale, &library), S_OK);
    ITypeInfo* typeInfo = nullptr;
    ASSERT_EQ(library->GetTypeInfoOfGuid(kIidITalvenor, &typeInfo), S_OK);
    library->Release();
    const struct {
        DISPID member;
        const wchar_t* salt;
    } kCalls[] = {{99, nullptr}, {1, nullptr}};
    for (const auto& call : kCalls) {
        SCOPED_TRACE(call.member);
        Result direct, dispatched;
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        EXCEPINFO exception = {};
        UINT argumentError = 0;
        direct.code = typeInfo->Invoke(static_cast<IDispatch*>(object_), call.member, kGet, &none,
                                       &direct.value, &exception, &argumentError);
        InvokeOn(object_, call.member, kGet, call.salt, &dispatched);
        EXPECT_TRUE(FAILED(direct.code));
        EXPECT_EQ(dispatched.code, direct.code);
    }
    typeInfo->Release();
}

TEST_F(DispatchTest, GetTypeInfoHandsOutOneSharedTypeInfoWhateverTheIndex) {
    std::vector<ITypeInfo*> handedOut;
    ULONG previousCount = 0;
    for (UINT index : {0u, 1u, 99u}) {
        SCOPED_TRACE(index);
        ITypeInfo* typeInfo = nullptr;
        ASSERT_EQ(object_->GetTypeInfo(index, kLocale, &typeInfo), S_OK);
        ASSERT_NE(typeInfo, nullptr);
        const ULONG count = RefCount(typeInfo);
        if (!handedOut.empty()) {
            EXPECT_EQ(typeInfo, handedOut.front());
            EXPECT_EQ(count, previousCount + 1);
        }
        previousCount = count;
        handedOut.push_back(typeInfo);
    }
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(handedOut.front()->GetTypeAttr(&attributes), S_OK);
    EXPECT_TRUE(IsEqualGUID(attributes->guid, kIidITalvenor));
    handedOut.front()->ReleaseTypeAttr(attributes);
    for (ITypeInfo* typeInfo : handedOut) typeInfo->Release();
    EXPECT_EQ(object_->GetTypeInfo(0, kLocale, nullptr), E_POINTER);
}

// Both threads exist and wait before anything of the DLL has been dispatched; one
// event then releases them into their first GetIDsOfNames together.
TEST_F(DispatchTest, TwoThreadsMakingTheFirstCallTogetherBothSucceed) {
    ITalvenorTable* second = dll_->Create<ITalvenorTable>(kIidITalvenor);
    ASSERT_NE(second, nullptr);
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE ready[2] = {CreateEventA(nullptr, TRUE, FALSE, nullptr),
                       CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HRESULT codes[2] = {E_UNEXPECTED, E_UNEXPECTED};
    std::vector<DISPID> ids[2];
    ITalvenorTable* targets[2] = {object_, second};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            ComApartment apartment(COINIT_MULTITHREADED);
            SetEvent(ready[i]);
            WaitForSingleObject(go, INFINITE);
            codes[i] = IdsOf(targets[i], {L"getID", L"Version"}, &ids[i]);
        });
    }
    WaitForMultipleObjects(2, ready, TRUE, INFINITE);
    SetEvent(go);
    for (std::thread& thread : threads) thread.join();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(codes[i], S_OK) << "thread " << i;
        EXPECT_EQ(ids[i], (std::vector<DISPID>{1, 4})) << "thread " << i;
    }
    CloseHandle(ready[0]);
    CloseHandle(ready[1]);
    CloseHandle(go);
    EXPECT_EQ(second->Release(), 0u);
}

}  // namespace
