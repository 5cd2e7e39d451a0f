// The type library that ieTalvenor.DLL carries, loaded from the DLL with the platform's
// LoadTypeLib: the library, the class Talvenor and the dual interface ITalvenor with its
// four property-get members, checked against the declarations scripts rely on.
#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>

#include <memory>
#include <string>
#include <vector>

#ifndef TALVENOR_DLL_PATH
#error "TALVENOR_DLL_PATH must name the built ieTalvenor.DLL"
#endif

namespace {

struct Releaser {
    void operator()(IUnknown* object) const { object->Release(); }
};
using TypeLibPtr = std::unique_ptr<ITypeLib, Releaser>;
using TypeInfoPtr = std::unique_ptr<ITypeInfo, Releaser>;

constexpr wchar_t kLibId[] = L"{3DFCA7D6-BD9A-4AE0-8887-B207E218D666}";
constexpr wchar_t kClsid[] = L"{9BAC30D5-A416-40C2-810B-D55B31413BB4}";
constexpr wchar_t kIid[] = L"{7D612352-681B-44B0-AE84-543B989C6DF0}";
constexpr wchar_t kIidIDispatch[] = L"{00020400-0000-0000-C000-000000000046}";
constexpr wchar_t kStdOleLibId[] = L"{00020430-0000-0000-C000-000000000046}";
constexpr USHORT kOutRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;  // 0xA
// IUnknown's three operations and IDispatch's four come before the members.
constexpr int kFirstMemberSlot = 7;
constexpr int kPointerSize = static_cast<int>(sizeof(void*));

struct ParamCase {
    const wchar_t* name;
    VARTYPE pointee;  // every parameter is a pointer to this type
    USHORT flags;
};

struct MemberCase {
    MEMBERID dispid;
    const wchar_t* name;
    const wchar_t* helpString;
    std::vector<ParamCase> params;  // the last one is the [out, retval] result
};

// The salt is [in]: the automation runtime hands a parameter without a direction flag
// to the member as an empty string instead of the caller's text.
const MemberCase kMembers[] = {
    {1,
     L"getID",
     L"property getID",
     {{L"iSalt", VT_BSTR, PARAMFLAG_FIN}, {L"oID", VT_BSTR, kOutRetval}}},
    {2, L"ComputerName", L"property getComputerName", {{L"oName", VT_BSTR, kOutRetval}}},
    {3, L"TestInstallation", L"property TestInstallation", {{L"oValue", VT_I4, kOutRetval}}},
    {4, L"Version", L"property Version", {{L"oVer", VT_BSTR, kOutRetval}}},
};

std::wstring TakeBstr(BSTR text) {
    std::wstring copy = text != nullptr ? std::wstring(text, SysStringLen(text)) : std::wstring();
    SysFreeString(text);
    return copy;
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

struct Documentation {
    std::wstring name;
    std::wstring helpString;
    DWORD helpContext = ~0u;
    bool hasHelpFile = true;
};

template <typename Source>
Documentation DocumentationOf(Source* source, MEMBERID member) {
    BSTR name = nullptr, helpString = nullptr, helpFile = nullptr;
    Documentation doc;
    EXPECT_EQ(source->GetDocumentation(member, &name, &helpString, &doc.helpContext, &helpFile),
              S_OK);
    doc.hasHelpFile = helpFile != nullptr;
    SysFreeString(helpFile);
    doc.name = TakeBstr(name);
    doc.helpString = TakeBstr(helpString);
    return doc;
}

TYPEATTR TypeAttrOf(ITypeInfo* info) {
    TYPEATTR* attr = nullptr;
    EXPECT_EQ(info->GetTypeAttr(&attr), S_OK);
    const TYPEATTR copy = *attr;
    info->ReleaseTypeAttr(attr);
    return copy;
}

TLIBATTR LibAttrOf(ITypeLib* library) {
    TLIBATTR* attr = nullptr;
    EXPECT_EQ(library->GetLibAttr(&attr), S_OK);
    const TLIBATTR copy = *attr;
    library->ReleaseTLibAttr(attr);
    return copy;
}

TypeInfoPtr ImplementedType(ITypeInfo* info, UINT index) {
    HREFTYPE ref = 0;
    ITypeInfo* implemented = nullptr;
    EXPECT_EQ(info->GetRefTypeOfImplType(index, &ref), S_OK);
    EXPECT_EQ(info->GetRefTypeInfo(ref, &implemented), S_OK);
    return TypeInfoPtr(implemented);
}

std::vector<std::wstring> NamesOf(ITypeInfo* info, MEMBERID member) {
    BSTR names[8] = {};
    UINT count = 0;
    EXPECT_EQ(info->GetNames(member, names, 8, &count), S_OK);
    std::vector<std::wstring> result;
    for (UINT i = 0; i < count; ++i) result.push_back(TakeBstr(names[i]));
    return result;
}

class TypeLibraryTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        wchar_t path[MAX_PATH] = {};
        MultiByteToWideChar(CP_ACP, 0, TALVENOR_DLL_PATH, -1, path, MAX_PATH);
        ITypeLib* loaded = nullptr;
        ASSERT_EQ(LoadTypeLib(path, &loaded), S_OK) << TALVENOR_DLL_PATH;
        library_.reset(loaded);
    }
    static void TearDownTestSuite() { library_.reset(); }

    void SetUp() override { ASSERT_NE(library_, nullptr); }

    static TypeInfoPtr TypeInfoAt(UINT index) {
        ITypeInfo* info = nullptr;
        EXPECT_EQ(library_->GetTypeInfo(index, &info), S_OK);
        return TypeInfoPtr(info);
    }
    // ITalvenor as scripts see it; its interface view comes through the -1 impl type.
    static TypeInfoPtr DispatchView() { return TypeInfoAt(1); }
    static TypeInfoPtr InterfaceView() { return ImplementedType(DispatchView().get(), -1); }

    static TypeLibPtr library_;
};
TypeLibPtr TypeLibraryTest::library_;

TEST_F(TypeLibraryTest, LibraryCarriesItsIdentityVersionAndHelpString) {
    const Documentation doc = DocumentationOf(library_.get(), MEMBERID_NIL);
    EXPECT_EQ(doc.name, L"IETALVENORLib");
    EXPECT_EQ(doc.helpString, L"ieTalvenor 1.0 Type Library");
    EXPECT_EQ(doc.helpContext, 0u);
    EXPECT_FALSE(doc.hasHelpFile);

    const TLIBATTR attr = LibAttrOf(library_.get());
    EXPECT_EQ(GuidText(attr.guid), kLibId);
    EXPECT_EQ(attr.lcid, 0u);
    EXPECT_EQ(attr.wMajorVerNum, 1);
    EXPECT_EQ(attr.wMinorVerNum, 0);
    // Compiled for the build's own pointer size: a 64-bit host looks type libraries up
    // under their 64-bit registration.
    EXPECT_EQ(attr.syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
    // The loader marks every library it read from a file; the library declares no flags.
    EXPECT_EQ(attr.wLibFlags & ~LIBFLAG_FHASDISKIMAGE, 0);
}

TEST_F(TypeLibraryTest, HoldsTheClassThenTheInterface) {
    ASSERT_EQ(library_->GetTypeInfoCount(), 2u);
    const struct {
        const wchar_t* name;
        const wchar_t* guid;
        TYPEKIND kind;
    } kTypes[] = {{L"Talvenor", kClsid, TKIND_COCLASS}, {L"ITalvenor", kIid, TKIND_DISPATCH}};
    for (UINT i = 0; i < 2; ++i) {
        SCOPED_TRACE(kTypes[i].name);
        EXPECT_EQ(DocumentationOf(library_.get(), i).name, kTypes[i].name);
        TYPEKIND kind = TKIND_MAX;
        EXPECT_EQ(library_->GetTypeInfoType(i, &kind), S_OK);
        EXPECT_EQ(kind, kTypes[i].kind);
        EXPECT_EQ(GuidText(TypeAttrOf(TypeInfoAt(i).get()).guid), kTypes[i].guid);
    }
}

TEST_F(TypeLibraryTest, ClassIsCreatableWithITalvenorAsItsDefaultInterface) {
    const TypeInfoPtr coclass = TypeInfoAt(0);
    const TYPEATTR attr = TypeAttrOf(coclass.get());
    EXPECT_EQ(attr.wTypeFlags, TYPEFLAG_FCANCREATE);
    EXPECT_EQ(attr.wMajorVerNum, 0);
    EXPECT_EQ(attr.wMinorVerNum, 0);
    const Documentation doc = DocumentationOf(coclass.get(), MEMBERID_NIL);
    EXPECT_EQ(doc.helpString, L"Talvenor Class");
    EXPECT_EQ(doc.helpContext, 0u);

    ASSERT_EQ(attr.cImplTypes, 1);
    INT implFlags = 0;
    EXPECT_EQ(coclass->GetImplTypeFlags(0, &implFlags), S_OK);
    EXPECT_EQ(implFlags, IMPLTYPEFLAG_FDEFAULT);
    const TypeInfoPtr implemented = ImplementedType(coclass.get(), 0);
    EXPECT_EQ(DocumentationOf(implemented.get(), MEMBERID_NIL).name, L"ITalvenor");
    EXPECT_EQ(GuidText(TypeAttrOf(implemented.get()).guid), kIid);
}

TEST_F(TypeLibraryTest, InterfaceIsADualAutomationInterfaceOverIDispatch) {
    const TypeInfoPtr view = InterfaceView();
    const TYPEATTR attr = TypeAttrOf(view.get());
    EXPECT_EQ(attr.typekind, TKIND_INTERFACE);
    EXPECT_EQ(GuidText(attr.guid), kIid);
    // 0x1140
    EXPECT_EQ(attr.wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);
    EXPECT_EQ(attr.wMajorVerNum, 0);
    EXPECT_EQ(attr.wMinorVerNum, 0);
    EXPECT_EQ(attr.cFuncs, 4);
    EXPECT_EQ(attr.cVars, 0);
    EXPECT_EQ(attr.cbSizeVft, (kFirstMemberSlot + 4) * kPointerSize);  // eleven operations
    const Documentation doc = DocumentationOf(view.get(), MEMBERID_NIL);
    EXPECT_EQ(doc.helpString, L"ITalvenor Interface");
    EXPECT_EQ(doc.helpContext, 0u);

    // The dispatch view is the one the library lists; it is marked dual as well.
    const TYPEATTR dispatch = TypeAttrOf(DispatchView().get());
    EXPECT_EQ(GuidText(dispatch.guid), kIid);
    EXPECT_EQ(dispatch.wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE),
              TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE);
}

TEST_F(TypeLibraryTest, BaseIsIDispatchImportedFromStdOle2) {
    const TypeInfoPtr view = InterfaceView();
    ASSERT_EQ(TypeAttrOf(view.get()).cImplTypes, 1);
    const TypeInfoPtr base = ImplementedType(view.get(), 0);
    EXPECT_EQ(DocumentationOf(base.get(), MEMBERID_NIL).name, L"IDispatch");
    EXPECT_EQ(GuidText(TypeAttrOf(base.get()).guid), kIidIDispatch);

    ITypeLib* containing = nullptr;
    UINT index = 0;
    ASSERT_EQ(base->GetContainingTypeLib(&containing, &index), S_OK);
    const TypeLibPtr stdole(containing);
    const TLIBATTR attr = LibAttrOf(stdole.get());
    EXPECT_EQ(GuidText(attr.guid), kStdOleLibId);
    EXPECT_EQ(attr.wMajorVerNum, 2);
    EXPECT_EQ(attr.wMinorVerNum, 0);
    EXPECT_EQ(attr.lcid, 0u);
}

// The interface view: the vtable members in DISPID order after IDispatch's operations.
TEST_F(TypeLibraryTest, MembersArePropertyGetsInDispidOrderInTheInterfaceTable) {
    const TypeInfoPtr view = InterfaceView();
    for (UINT i = 0; i < 4; ++i) {
        const MemberCase& want = kMembers[i];
        SCOPED_TRACE(want.name);
        FUNCDESC* func = nullptr;
        ASSERT_EQ(view->GetFuncDesc(i, &func), S_OK);
        EXPECT_EQ(func->memid, want.dispid);
        EXPECT_EQ(func->funckind, FUNC_PUREVIRTUAL);
        EXPECT_EQ(func->invkind, INVOKE_PROPERTYGET);
        EXPECT_EQ(func->callconv, CC_STDCALL);
        EXPECT_EQ(func->wFuncFlags, 0);
        EXPECT_EQ(func->oVft, (kFirstMemberSlot + static_cast<int>(i)) * kPointerSize);
        EXPECT_EQ(func->elemdescFunc.tdesc.vt, VT_HRESULT);
        EXPECT_EQ(func->cParamsOpt, 0);
        ASSERT_EQ(func->cParams, static_cast<SHORT>(want.params.size()));
        std::vector<std::wstring> names = {want.name};
        for (size_t p = 0; p < want.params.size(); ++p) {
            const ELEMDESC& param = func->lprgelemdescParam[p];
            ASSERT_EQ(param.tdesc.vt, VT_PTR) << want.params[p].name;
            EXPECT_EQ(param.tdesc.lptdesc->vt, want.params[p].pointee) << want.params[p].name;
            EXPECT_EQ(param.paramdesc.wParamFlags, want.params[p].flags) << want.params[p].name;
            names.push_back(want.params[p].name);
        }
        view->ReleaseFuncDesc(func);
        EXPECT_EQ(NamesOf(view.get(), want.dispid), names);
        const Documentation doc = DocumentationOf(view.get(), want.dispid);
        EXPECT_EQ(doc.helpString, want.helpString);
        EXPECT_EQ(doc.helpContext, 0u);
    }
}

// The dispatch view: each member is a property get whose [out, retval] is its value.
TEST_F(TypeLibraryTest, DispatchViewResolvesNamesToPropertyGets) {
    const TypeInfoPtr view = DispatchView();
    const int funcCount = TypeAttrOf(view.get()).cFuncs;
    for (const MemberCase& want : kMembers) {
        SCOPED_TRACE(want.name);
        LPOLESTR name = const_cast<LPOLESTR>(want.name);
        MEMBERID dispid = MEMBERID_NIL;
        EXPECT_EQ(view->GetIDsOfNames(&name, 1, &dispid), S_OK);
        EXPECT_EQ(dispid, want.dispid);

        // The view may list the inherited operations too: find the member by its DISPID.
        int found = 0;
        for (int i = 0; i < funcCount; ++i) {
            FUNCDESC* func = nullptr;
            ASSERT_EQ(view->GetFuncDesc(i, &func), S_OK);
            if (func->memid == want.dispid) {
                ++found;
                EXPECT_EQ(func->funckind, FUNC_DISPATCH);
                EXPECT_EQ(func->invkind, INVOKE_PROPERTYGET);
                EXPECT_EQ(func->callconv, CC_STDCALL);
                EXPECT_EQ(func->elemdescFunc.tdesc.vt, want.params.back().pointee);
                EXPECT_EQ(func->cParams, static_cast<SHORT>(want.params.size() - 1));
                EXPECT_EQ(func->cParamsOpt, 0);
            }
            view->ReleaseFuncDesc(func);
        }
        EXPECT_EQ(found, 1);
    }
}

TEST_F(TypeLibraryTest, HelpStringNameGetComputerNameIsNoMember) {
    for (const TypeInfoPtr& view : {DispatchView(), InterfaceView()}) {
        LPOLESTR name = const_cast<LPOLESTR>(L"getComputerName");
        MEMBERID dispid = 0;
        EXPECT_EQ(view->GetIDsOfNames(&name, 1, &dispid), DISP_E_UNKNOWNNAME);
    }
}

}  // namespace
