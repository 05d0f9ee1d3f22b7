// Property, string and custom-type fields: the fast-access paths of property and string fields,
// each with its own cached pointer, their raw-pointer entries, and handles passed by free entries.
#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;

// Where calls on a field go, seen through a query both libraries offer.
Where where(TvxObject* h) { return where_through(CSPropertyField_GetDataSize, h); }

using PropertyStringCustomFieldsFamily = FamilyTest;

constexpr unsigned long long kResult = 0x5150;

struct FastCase {
    const char* entry;
    const char* fetch;  // the pointer entry of the variant
    const char* raw;
    bool raw_has_error_pair;
    unsigned long long want;  // what the exported entry hands back when the raw entry returns kResult
    std::vector<Want> tail;   // what the raw entry receives after the raw pointer
    std::function<unsigned long long(TvxObject*, int*, wchar_t**)> call;
};

TEST_F(PropertyStringCustomFieldsFamily, EachFastAccessEntryFetchesItsVariantsPointerOnce) {
    load_common_and_remote();
    ErrorPair e;
    void* vector_object = tvxrec_new_object("common");
    tvxrec_set_result("common", "TvxVector_new", bits(vector_object));
    SharedTvxVector* vector = TvxVector_new(&e.size, &e.message);
    ASSERT_NE(vector, nullptr);
    tvxrec_clear_results();

    int n = 0, a = 0, b = 0, c = 0;
    int* ints = nullptr;
    char** texts = nullptr;
    const char* pushed[2] = {"x", "y"};
    const char* kProp = "CSPropertyField_GetFastAccessPtr";
    const char* kString = "StringField_fast_access_ptr";
    const std::vector<FastCase> cases = {
        {"CSPropertyField_GetData", kProp, "PropertyField_GetData", true, kResult, {P(&n)},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSPropertyField_GetData(h, &n, s, m)); }},
        {"CSPropertyField_GetDataPointer", kProp, "PropertyField_GetDataPointer", true, kResult, {P(&n)},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSPropertyField_GetDataPointer(h, &n, s, m)); }},
        {"CSPropertyField_GetEntityData", kProp, "PropertyField_GetEntityData", true, kResult, {I(3), P(&n)},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSPropertyField_GetEntityData(h, 3, &n, s, m)); }},
        {"CSPropertyField_GetEntityDataById", kProp, "PropertyField_GetEntityDataById", true, kResult, {I(4), P(&n)},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSPropertyField_GetEntityDataById(h, 4, &n, s, m)); }},
        {"CSPropertyField_GetLocation", kProp, "PropertyField_GetLocation", true, kResult, {},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSPropertyField_GetLocation(h, s, m)); }},
        {"CSProperty_GetDataFast", kProp, "Property_GetDataFast", false, 1, {I(7), P(&ints), P(&a), P(&b), P(&c)},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSProperty_GetDataFast(h, 7, &ints, &a, &b, &c, s, m)); }},
        {"CSStringField_GetEntityData_For_TvxVector", kString, "StringField_GetEntityData_For_TvxVector", true, 0,
         {P(vector_object), P(&texts), P(&n), I(5)},
         [&](TvxObject* h, int* s, wchar_t** m) {
             CSStringField_GetEntityData_For_TvxVector(h, vector, &texts, &n, 5, s, m);
             return 0ull;
         }},
        {"CSStringField_GetEntityDataById_For_TvxVector", kString, "StringField_GetEntityDataById_For_TvxVector", true,
         0, {P(vector_object), P(&texts), P(&n), I(6)},
         [&](TvxObject* h, int* s, wchar_t** m) {
             CSStringField_GetEntityDataById_For_TvxVector(h, vector, &texts, &n, 6, s, m);
             return 0ull;
         }},
        {"CSStringField_PushBack", kString, "StringField_PushBack", true, 0, {I(1), I(2), P(pushed)},
         [&](TvxObject* h, int* s, wchar_t** m) {
             CSStringField_PushBack(h, 1, 2, pushed, s, m);
             return 0ull;
         }},
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        const FastCase& fc = cases[k];
        SCOPED_TRACE(fc.entry);
        const bool property = fc.fetch == kProp;
        TvxObject* field = property ? CSPropertyField_new(2, 3, &e.size, &e.message)
                                    : CSStringField_new(2, 3, &e.size, &e.message);
        const Where at = where(field);
        ASSERT_EQ(at.library, "common");
        const void* raw = fake(0x1000 + 0x10 * k);
        tvxrec_set_result("common", fc.fetch, bits(raw));
        tvxrec_set_result("common", fc.raw, kResult);

        EXPECT_EQ(fc.call(field, &e.size, &e.message), fc.want);
        EXPECT_EQ(e.size, 0) << e.str();
        std::vector<RecordedCall> calls = recorded_calls();
        ASSERT_EQ(entries_called(), (Calls{std::string("common:") + fc.fetch, std::string("common:") + fc.raw}));
        EXPECT_EQ(calls[0].args[0].p, at.object);
        EXPECT_EQ(calls[1].args[0].p, raw);
        expect_tail(calls[1], fc.tail);

        // Later calls use the cached pointer; the caller's pair is the raw entry's, or untouched
        // when the raw entry has none.
        expect_cached_raw_call(field, fc.call, fc.raw, fc.raw_has_error_pair, fc.want);
        tvxrec_clear_results();
        release(field);
    }
    TvxVector_delete(vector, &e.size, &e.message);
}

TEST_F(PropertyStringCustomFieldsFamily, EachVariantCachesItsOwnPointer) {
    load_common_and_remote();
    ErrorPair e;
    TvxObject* h = CSPropertyField_new(1, 1, &e.size, &e.message);
    tvxrec_set_result("common", "Field_fast_access_ptr", 0xA000);
    tvxrec_set_result("common", "CSPropertyField_GetFastAccessPtr", 0xB000);
    tvxrec_set_result("common", "StringField_fast_access_ptr", 0xC000);
    const char* texts[1] = {"t"};
    tvxrec_clear_log();
    for (int round = 0; round < 2; ++round) {
        CSPropertyField_GetLocation(h, &e.size, &e.message);
        CSStringField_PushBack(h, 0, 1, texts, &e.size, &e.message);
        CSField_GetUnit(h, &e.size, &e.message);
    }
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(),
              (Calls{"common:CSPropertyField_GetFastAccessPtr", "common:PropertyField_GetLocation",
                     "common:StringField_fast_access_ptr", "common:StringField_PushBack",
                     "common:Field_fast_access_ptr", "common:Field_GetUnit", "common:PropertyField_GetLocation",
                     "common:StringField_PushBack", "common:Field_GetUnit"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    if (calls.size() == 9) {
        for (size_t k : {1u, 6u}) EXPECT_EQ(calls[k].args[0].p, fake(0xB000));
        for (size_t k : {3u, 7u}) EXPECT_EQ(calls[k].args[0].p, fake(0xC000));
        for (size_t k : {5u, 8u}) EXPECT_EQ(calls[k].args[0].p, fake(0xA000));
    }
    release(h);
}

TEST_F(PropertyStringCustomFieldsFamily, RemoteAndNullHandlesTakeTheOrdinaryPath) {
    load_remote();  // the remote library alone is the default library
    ErrorPair e;
    TvxObject* strings = CSStringField_new_on_client(nullptr, 1, 1, &e.size, &e.message);
    const Where own = where(strings);
    ASSERT_EQ(own.library, "remote");
    const char* texts[1] = {"t"};
    CSStringField_PushBack(strings, 0, 1, texts, &e.size, &e.message);
    CSStringField_PushBack(strings, 0, 1, texts, &e.size, &e.message);
    CSStringField_PushBack(nullptr, 0, 1, texts, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"remote:CSStringField_PushBack", "remote:CSStringField_PushBack",
                                       "remote:CSStringField_PushBack"}));
    std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(calls[1].args[0].p, own.object);
    EXPECT_EQ(calls[2].args[0].p, nullptr);
    // The property field reads are of the common class: no slot in the remote library.
    tvxrec_clear_log();
    int n = 0;
    EXPECT_EQ(CSPropertyField_GetData(strings, &n, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function CSPropertyField_GetData");
    EXPECT_TRUE(entries_called().empty());
    e.clear();

    // A null handle has nothing to cache: the ordinary form, with the caller's pair.
    load_common();
    tvxrec_set_result("common", "CSPropertyField_GetFastAccessPtr", 0xB000);
    tvxrec_set_error("common", "CSProperty_GetDataFast", L"no field");
    int* data = nullptr;
    int a = 0, b = 0, c = 0;
    EXPECT_FALSE(CSProperty_GetDataFast(nullptr, 2, &data, &a, &b, &c, &e.size, &e.message));
    EXPECT_EQ(e.str(), "no field");
    EXPECT_EQ(entries_called(), (Calls{"common:CSProperty_GetDataFast"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, nullptr);
    release(strings);
}

TEST_F(PropertyStringCustomFieldsFamily, RawPointerEntriesGoOnlyToTheCommonLibrary) {
    load_remote();
    CPropertyField* property = reinterpret_cast<CPropertyField*>(0x6000);
    CStringField* strings = reinterpret_cast<CStringField*>(0x6100);
    int* data = nullptr;
    int a = 0, b = 0, c = 0;
    EXPECT_FALSE(Property_GetDataFast(property, 0, &data, &a, &b, &c));  // silent: no pair
    ErrorPair e;
    EXPECT_EQ(StringField_GetNumberEntities(strings, &e.size, &e.message), 0);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function StringField_GetNumberEntities");
    EXPECT_TRUE(entries_called().empty());
    e.clear();

    load_common();
    tvxrec_set_result("common", "Property_GetDataFast", 1);
    EXPECT_TRUE(Property_GetDataFast(property, 8, &data, &a, &b, &c));
    // A vector handle reaches the raw entry as its vector object.
    void* vector_object = tvxrec_new_object("common");
    tvxrec_set_result("common", "TvxVector_new", bits(vector_object));
    SharedTvxVector* vector = TvxVector_new(&e.size, &e.message);
    char** texts = nullptr;
    size_t* sizes = nullptr;
    int n = 0;
    StringField_GetEntityDataById_For_TvxVector_with_size(strings, vector, &texts, &sizes, &n, 3, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"common:Property_GetDataFast", "common:TvxVector_new",
                                       "common:StringField_GetEntityDataById_For_TvxVector_with_size"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(calls[0].args[0].p, property);
    expect_tail(calls[0], {I(8), P(&data), P(&a), P(&b), P(&c)});
    EXPECT_EQ(calls[2].args[0].p, strings);
    expect_tail(calls[2], {P(vector_object), P(&texts), P(&sizes), P(&n), I(3)});
    TvxVector_delete(vector, &e.size, &e.message);
}

TEST_F(PropertyStringCustomFieldsFamily, TransformationsTakeAnyHandlesEffectiveObject) {
    load_common_and_remote();
    ErrorPair e;
    TvxObject* source = CSPropertyField_new_on_client(nullptr, 2, 3, &e.size, &e.message);
    const Where own = where(source);
    ASSERT_EQ(own.library, "remote");
    TvxObject* made = CSPropertyField_newWithTransformation(1, 2, source, "from", "to", &e.size, &e.message);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(entries_called(), (Calls{"common:CSPropertyField_newWithTransformation"}));  // nothing moved
    EXPECT_EQ(recorded_calls()[0].args[2].p, own.object);
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(source));
    EXPECT_EQ(where(made).library, "common");

    // Once the remote field has met a common scoping it has a local copy, and the copy is what
    // the common library receives.
    static const char serialized[] = "serialized";
    tvxrec_set_result("remote", "SerializationStream_getOutputString", bits(serialized));
    TvxObject* scoping = Scoping_new(&e.size, &e.message);
    CSPropertyField_SetCScoping(source, scoping, &e.size, &e.message);
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(source));
    const Where copy = where(source);
    ASSERT_EQ(copy.library, "common");
    TvxObject* again = CSPropertyField_newWithTransformation(1, 2, source, "from", "to", &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"common:CSPropertyField_newWithTransformation"}));
    EXPECT_EQ(recorded_calls()[0].args[2].p, copy.object);
    for (TvxObject* h : {source, scoping, made, again}) release(h);
}

}  // namespace
