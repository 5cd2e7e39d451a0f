// The resources of ieTalvenor.DLL read back from the built file: the registration
// script, the type library, the string table and the version information, each in
// its own resource language and in no other.
#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#ifndef TALVENOR_DLL_PATH
#error "TALVENOR_DLL_PATH must name the built ieTalvenor.DLL"
#endif

namespace {

constexpr WORD kUsEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);    // 1033
constexpr WORD kSpanish = MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MODERN);  // 3082
constexpr WORD kStringBlock = 100 / 16 + 1;  // string ids 96..111 share one resource

// The registration script as the registrar reads it: tab-indented lines, each ending
// in CR LF, the last one included.
const struct {
    int tabs;
    const char* text;
} kScriptLines[] = {
    {0, "HKCR"},
    {0, "{"},
    {1, "IeTalvenor.Talvenor.1 = s 'Talvenor Class'"},
    {1, "{"},
    {2, "CLSID = s '{9BAC30D5-A416-40C2-810B-D55B31413BB4}'"},
    {1, "}"},
    {1, "IeTalvenor.Talvenor = s 'Talvenor Class'"},
    {1, "{"},
    {2, "CLSID = s '{9BAC30D5-A416-40C2-810B-D55B31413BB4}'"},
    {1, "}"},
    {1, "NoRemove CLSID"},
    {1, "{"},
    {2, "ForceRemove {9BAC30D5-A416-40C2-810B-D55B31413BB4} = s 'Talvenor Class'"},
    {2, "{"},
    {3, "ProgID = s 'IeTalvenor.Talvenor.1'"},
    {3, "VersionIndependentProgID = s 'IeTalvenor.Talvenor'"},
    {3, "InprocServer32 = s '%MODULE%'"},
    {3, "{"},
    {4, "val ThreadingModel = s 'both'"},
    {3, "}"},
    {2, "}"},
    {1, "}"},
    {0, "}"},
};

// Enumeration callbacks that gather resource names (numeric ids) and languages.
BOOL CALLBACK CollectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR names) {
    reinterpret_cast<std::vector<ULONG_PTR>*>(names)->push_back(reinterpret_cast<ULONG_PTR>(name));
    return TRUE;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD lang, LONG_PTR langs) {
    reinterpret_cast<std::vector<WORD>*>(langs)->push_back(lang);
    return TRUE;
}

class ResourcesTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        module_ = LoadLibraryExA(TALVENOR_DLL_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }
    static void TearDownTestSuite() {
        if (module_ != nullptr) FreeLibrary(module_);
        module_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(module_, nullptr) << TALVENOR_DLL_PATH; }

    // The bytes of one resource, or nothing when that type, name and language is absent.
    static std::optional<std::string> Resource(const char* type, const char* name, WORD lang) {
        HRSRC found = FindResourceExA(module_, type, name, lang);
        if (found == nullptr) return std::nullopt;
        const void* data = LockResource(LoadResource(module_, found));
        return std::string(static_cast<const char*>(data), SizeofResource(module_, found));
    }

    static HMODULE module_;
};
HMODULE ResourcesTest::module_ = nullptr;

TEST_F(ResourcesTest, RegistrationScriptIsEmbeddedByteForByte) {
    std::string expected;
    for (const auto& line : kScriptLines) {
        expected += std::string(line.tabs, '\t') + line.text + "\r\n";
    }
    const std::optional<std::string> script =
        Resource("REGISTRY", MAKEINTRESOURCEA(102), kUsEnglish);
    ASSERT_TRUE(script.has_value());
    EXPECT_EQ(*script, expected);
}

TEST_F(ResourcesTest, TypeLibraryIsEmbeddedInTheMsftFormat) {
    const std::optional<std::string> library = Resource("TYPELIB", MAKEINTRESOURCEA(1), kSpanish);
    ASSERT_TRUE(library.has_value());
    ASSERT_GE(library->size(), 16u);
    EXPECT_EQ(library->substr(0, 4), "MSFT");
    // The header records U.S. English; the library's own attribute stays neutral.
    EXPECT_EQ(library->substr(12, 4), std::string("\x09\x04\x00\x00", 4));
}

TEST_F(ResourcesTest, StringTableHoldsTheModuleAndClassNames) {
    const std::optional<std::string> block =
        Resource(MAKEINTRESOURCEA(6) /* RT_STRING */, MAKEINTRESOURCEA(kStringBlock), kSpanish);
    ASSERT_TRUE(block.has_value());
    // Sixteen counted UTF-16 texts, for the ids 96..111 in order.
    std::vector<std::wstring> texts;
    size_t at = 0;
    for (int i = 0; i < 16 && at + 2 <= block->size(); ++i) {
        WORD length = 0;
        block->copy(reinterpret_cast<char*>(&length), 2, at);
        std::wstring text(length, L'\0');
        block->copy(reinterpret_cast<char*>(&text[0]), length * 2u, at + 2);
        texts.push_back(text);
        at += 2 + length * 2u;
    }
    ASSERT_EQ(texts.size(), 16u);
    for (int id = 96; id <= 111; ++id) {
        const wchar_t* want = id == 100 ? L"ieTalvenor" : id == 101 ? L"Talvenor Class" : L"";
        EXPECT_EQ(texts[id - 96], want) << "string " << id;
    }
}

class VersionInfoTest : public ResourcesTest {
  protected:
    void SetUp() override {
        ResourcesTest::SetUp();
        ASSERT_TRUE(Resource(MAKEINTRESOURCEA(16) /* RT_VERSION */, MAKEINTRESOURCEA(1), kSpanish));
        DWORD handle = 0;
        data_.resize(GetFileVersionInfoSizeA(TALVENOR_DLL_PATH, &handle));
        ASSERT_FALSE(data_.empty());
        ASSERT_TRUE(GetFileVersionInfoA(TALVENOR_DLL_PATH, 0, data_.size(), data_.data()));
    }
    // The value under `path`, or nothing when the version information lacks it.
    std::optional<std::string> Value(const std::string& path) {
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(data_.data(), path.c_str(), &value, &length)) return std::nullopt;
        return std::string(static_cast<const char*>(value), length);
    }
    std::vector<char> data_;
};

TEST_F(VersionInfoTest, FixedPartDescribesDebugDll1004) {
    const std::optional<std::string> raw = Value("\\");
    ASSERT_TRUE(raw.has_value());
    ASSERT_EQ(raw->size(), sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed;
    raw->copy(reinterpret_cast<char*>(&fixed), sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwFileVersionMS, 0x00010000u);  // 1.0
    EXPECT_EQ(fixed.dwFileVersionLS, 0x00000004u);  // .0.4
    EXPECT_EQ(fixed.dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed.dwProductVersionLS, 0x00000004u);
    EXPECT_EQ(fixed.dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed.dwFileFlags, 0x1u);  // VS_FF_DEBUG
    EXPECT_EQ(fixed.dwFileOS, 0x4u);     // VOS__WINDOWS32
    EXPECT_EQ(fixed.dwFileType, 0x2u);   // VFT_DLL
    EXPECT_EQ(fixed.dwFileSubtype, 0u);
    EXPECT_EQ(fixed.dwFileDateMS, 0u);
    EXPECT_EQ(fixed.dwFileDateLS, 0u);
}

TEST_F(VersionInfoTest, StringsArePresentIncludingTheEmptyOnes) {
    // An empty value must still be there: OLESelfRegister announces self-registration
    // by its mere presence.
    const struct {
        const char* name;
        const char* value;
    } kStrings[] = {
        {"Comments", ""},
        {"FileDescription", "IE Talvenor Module"},
        {"FileVersion", "1, 0, 0, 4"},
        {"InternalName", "ieTalvenor"},
        {"LegalTrademarks", ""},
        {"OLESelfRegister", ""},
        {"OriginalFilename", "ieTalvenor.DLL"},
        {"PrivateBuild", ""},
        {"ProductName", "ieTalvenor Module"},
        {"ProductVersion", "1, 0, 0, 4"},
        {"SpecialBuild", ""},
    };
    for (const auto& entry : kStrings) {
        const std::optional<std::string> value =
            Value(std::string("\\StringFileInfo\\040904b0\\") + entry.name);
        ASSERT_TRUE(value.has_value()) << entry.name;
        EXPECT_STREQ(value->c_str(), entry.value) << entry.name;
    }
    // The maker's name and legal notice are there too; their wording is free.
    for (const char* name : {"CompanyName", "LegalCopyright"}) {
        const std::optional<std::string> value =
            Value(std::string("\\StringFileInfo\\040904b0\\") + name);
        ASSERT_TRUE(value.has_value()) << name;
        EXPECT_STRNE(value->c_str(), "") << name;
    }
}

TEST_F(VersionInfoTest, TranslationIsUsEnglishUnicode) {
    const std::optional<std::string> raw = Value("\\VarFileInfo\\Translation");
    ASSERT_TRUE(raw.has_value());
    ASSERT_EQ(raw->size(), 4u);
    WORD pair[2] = {};
    raw->copy(reinterpret_cast<char*>(pair), 4);
    EXPECT_EQ(pair[0], 0x0409);
    EXPECT_EQ(pair[1], 0x04B0);
}

// Each resource exists once, under one name and one language: a loader asking in
// another language falls back to it instead of finding a stray copy.
TEST_F(ResourcesTest, EachResourceHasExactlyOneNameAndLanguage) {
    const struct {
        const char* type;
        const char* label;
        WORD name;
        WORD lang;
    } kPlacements[] = {
        {"REGISTRY", "REGISTRY", 102, kUsEnglish},
        {"TYPELIB", "TYPELIB", 1, kSpanish},
        {MAKEINTRESOURCEA(6), "RT_STRING", kStringBlock, kSpanish},
        {MAKEINTRESOURCEA(16), "RT_VERSION", 1, kSpanish},
    };
    for (const auto& placement : kPlacements) {
        SCOPED_TRACE(placement.label);
        std::vector<ULONG_PTR> names;
        EnumResourceNamesA(module_, placement.type, CollectName,
                           reinterpret_cast<LONG_PTR>(&names));
        EXPECT_EQ(names, std::vector<ULONG_PTR>{placement.name});
        std::vector<WORD> langs;
        EnumResourceLanguagesA(module_, placement.type, MAKEINTRESOURCEA(placement.name),
                               CollectLanguage, reinterpret_cast<LONG_PTR>(&langs));
        EXPECT_EQ(langs, std::vector<WORD>{placement.lang});
        // The other of the two languages in use does not find it either.
        const WORD other = placement.lang == kSpanish ? kUsEnglish : kSpanish;
        EXPECT_FALSE(Resource(placement.type, MAKEINTRESOURCEA(placement.name), other));
    }
}

}  // namespace
