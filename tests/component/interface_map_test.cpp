// QueryInterfaceFromMap over a test object of three sub-objects, each counting the
// AddRef calls that reach it through its own table, and maps mixing offset entries,
// function entries and blind function entries whose handler logs every call.
#include <gtest/gtest.h>
#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

#include "interface_map.h"

namespace {

// Three identifiers of the test's own, and one the maps never name.
constexpr IID kIidA = {0x11111111, 0x0001, 0x0001, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr IID kIidB = {0x22222222, 0x0002, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr IID kIidC = {0x33333333, 0x0003, 0x0003, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr IID kIidUnlisted = {0x44444444, 0x0004, 0x0004, {1, 2, 3, 4, 5, 6, 7, 8}};

class SubObject : public IUnknown {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++addRefs; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    ULONG addRefs = 0;
};

struct HandlerCall {
    void* object;
    IID iid;
    void** out;
    DWORD data;
};

// A handler's data selects its result; on S_OK it hands out `handedOut`.
struct TestObject {
    SubObject subObjects[3];
    std::vector<HRESULT> results;
    std::vector<HandlerCall> calls;
    int handedOut = 0;
};

HRESULT WINAPI LoggingHandler(void* object, REFIID iid, void** out, DWORD data) {
    auto* self = static_cast<TestObject*>(object);
    self->calls.push_back({object, iid, out, data});
    const HRESULT result = self->results[data];
    if (result == S_OK) {
        *out = &self->handedOut;
    }
    return result;
}

enum class Kind { kOffset, kFunction, kBlind };

// kOffset: `value` is a sub-object index; kFunction and kBlind: the handler's data.
struct PlannedEntry {
    Kind kind;
    const IID* iid;
    DWORD value;
};

enum class Expect { kNull, kSubObject0, kSubObject1, kSubObject2, kHandedOut };

struct MapCase {
    const char* name;
    std::vector<PlannedEntry> entries;
    std::vector<HRESULT> results;  // per handler data value
    const IID* requested;
    HRESULT expected;
    Expect out;
    std::vector<DWORD> handlerCalls;  // data of each handler called, in order
    std::vector<ULONG> addRefs;       // per sub-object
};

// Each row: map, handler results, requested identifier, then the expected result,
// out-pointer, handler calls and AddRef counts.
// clang-format off
const MapCase kCases[] = {
    {"IUnknownIsTheFirstEntrysSubObjectWithoutAWalk",
     {{Kind::kOffset, &kIidA, 1}, {Kind::kBlind, nullptr, 0}, {Kind::kOffset, &IID_IUnknown, 2}},
     {S_OK}, &IID_IUnknown, S_OK, Expect::kSubObject1, {}, {0, 1, 0}},
    {"OffsetEntryMatchHandsOutItsSubObject",
     {{Kind::kOffset, &kIidA, 0}, {Kind::kOffset, &kIidB, 2}},
     {}, &kIidB, S_OK, Expect::kSubObject2, {}, {0, 0, 1}},
    {"FirstMatchingEntryWins",
     {{Kind::kOffset, &kIidA, 0}, {Kind::kOffset, &kIidB, 1}, {Kind::kOffset, &kIidB, 2}},
     {}, &kIidB, S_OK, Expect::kSubObject1, {}, {0, 1, 0}},
    {"FunctionEntryOfAnotherIdentifierIsNotCalled",
     {{Kind::kOffset, &kIidA, 0}, {Kind::kFunction, &kIidB, 0}, {Kind::kOffset, &kIidC, 2}},
     {S_OK}, &kIidC, S_OK, Expect::kSubObject2, {}, {0, 0, 1}},
    {"FunctionEntryOkEndsTheWalk",
     {{Kind::kOffset, &kIidA, 0}, {Kind::kFunction, &kIidC, 0}, {Kind::kOffset, &kIidC, 2}},
     {S_OK}, &kIidC, S_OK, Expect::kHandedOut, {0}, {0, 0, 0}},
    {"NonBlindFunctionFailureIsReturnedAtOnce",
     {{Kind::kOffset, &kIidA, 0}, {Kind::kFunction, &kIidC, 0}, {Kind::kOffset, &kIidC, 2}},
     {E_ACCESSDENIED}, &kIidC, E_ACCESSDENIED, Expect::kNull, {0}, {0, 0, 0}},
    {"BlindFunctionFailureGoesOn",
     {{Kind::kOffset, &kIidA, 0}, {Kind::kBlind, nullptr, 0}, {Kind::kOffset, &kIidC, 2}},
     {E_NOINTERFACE}, &kIidC, S_OK, Expect::kSubObject2, {0}, {0, 0, 1}},
    {"BlindFunctionOkEndsTheWalk",
     {{Kind::kOffset, &kIidA, 0}, {Kind::kBlind, nullptr, 0}, {Kind::kOffset, &kIidC, 2}},
     {S_OK}, &kIidC, S_OK, Expect::kHandedOut, {0}, {0, 0, 0}},
    {"SuccessOtherThanOkGoesOn",
     {{Kind::kOffset, &kIidA, 0}, {Kind::kFunction, &kIidC, 0}, {Kind::kBlind, nullptr, 1},
      {Kind::kFunction, &kIidC, 2}},
     {S_FALSE, S_FALSE, S_OK}, &kIidC, S_OK, Expect::kHandedOut, {0, 1, 2}, {0, 0, 0}},
    {"EndOfTheMapIsNoInterface",
     {{Kind::kOffset, &kIidA, 0}, {Kind::kOffset, &kIidB, 1}, {Kind::kBlind, nullptr, 0},
      {Kind::kFunction, &kIidC, 1}},
     {E_FAIL, S_OK}, &kIidUnlisted, E_NOINTERFACE, Expect::kNull, {0}, {0, 0, 0}},
    {"SuccessOtherThanOkAtTheEndIsNoInterface",
     {{Kind::kOffset, &kIidA, 0}, {Kind::kFunction, &kIidC, 0}},
     {S_FALSE}, &kIidC, E_NOINTERFACE, Expect::kNull, {0}, {0, 0, 0}},
};
// clang-format on

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const MapCase& c, std::ostream* os) {
    *os << c.name;
}

class InterfaceMapTest : public ::testing::TestWithParam<MapCase> {
  protected:
    DWORD OffsetOf(int index) const {
        return static_cast<DWORD>(reinterpret_cast<const BYTE*>(&object_.subObjects[index]) -
                                  reinterpret_cast<const BYTE*>(&object_));
    }

    std::vector<InterfaceMapEntry> BuildMap(const std::vector<PlannedEntry>& plannedEntries) const {
        std::vector<InterfaceMapEntry> map;
        for (const PlannedEntry& planned : plannedEntries) {
            if (planned.kind == Kind::kOffset) {
                map.push_back(
                    {planned.iid, OffsetOf(static_cast<int>(planned.value)), OffsetEntryMark()});
            } else {
                map.push_back({planned.kind == Kind::kBlind ? nullptr : planned.iid, planned.value,
                               &LoggingHandler});
            }
        }
        map.push_back({nullptr, 0, nullptr});
        return map;
    }

    void* Expected(Expect expect) {
        switch (expect) {
            case Expect::kSubObject0:
                return static_cast<IUnknown*>(&object_.subObjects[0]);
            case Expect::kSubObject1:
                return static_cast<IUnknown*>(&object_.subObjects[1]);
            case Expect::kSubObject2:
                return static_cast<IUnknown*>(&object_.subObjects[2]);
            case Expect::kHandedOut:
                return &object_.handedOut;
            case Expect::kNull:
                break;
        }
        return nullptr;
    }

    TestObject object_;
};

TEST_P(InterfaceMapTest, Walk) {
    const MapCase& c = GetParam();
    object_.results = c.results;
    const std::vector<InterfaceMapEntry> map = BuildMap(c.entries);
    int sentinel = 0;
    void* out = &sentinel;

    EXPECT_EQ(QueryInterfaceFromMap(&object_, map.data(), *c.requested, &out), c.expected);
    EXPECT_EQ(out, Expected(c.out));
    std::vector<DWORD> calledData;
    for (const HandlerCall& call : object_.calls) {
        calledData.push_back(call.data);
        // Each handler gets the object start, the requested identifier and the caller's out.
        EXPECT_EQ(call.object, &object_);
        EXPECT_TRUE(IsEqualGUID(call.iid, *c.requested));
        EXPECT_EQ(call.out, &out);
    }
    EXPECT_EQ(calledData, c.handlerCalls);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(object_.subObjects[i].addRefs, c.addRefs[i]) << "sub-object " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Maps, InterfaceMapTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<MapCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(InterfaceMapNullOut, IsPointerErrorBeforeAnyWork) {
    TestObject object;
    object.results = {S_OK};
    const InterfaceMapEntry map[] = {
        {&kIidA, 0, OffsetEntryMark()}, {nullptr, 0, &LoggingHandler}, {nullptr, 0, nullptr}};
    for (const IID* iid : {&IID_IUnknown, &kIidA, &kIidUnlisted}) {
        EXPECT_EQ(QueryInterfaceFromMap(&object, map, *iid, nullptr), E_POINTER);
    }
    EXPECT_TRUE(object.calls.empty());
    EXPECT_EQ(object.subObjects[0].addRefs, 0u);
}

}  // namespace
