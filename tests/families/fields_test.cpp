// Fields: the fast-access path of the CSField_ read entries, the raw field pointer entries, the
// copy entries whose remote form takes other arguments, and raw pointers that are never handles.
#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;

// Where calls on a field go, seen through a query both libraries offer.
Where where(TvxObject* h) { return where_through(CSField_GetDataSize, h); }

class FieldsFamily : public FamilyTest {
protected:
    TvxObject* common_field() {
        ErrorPair e;
        return Field_new(3, 10, "Nodal", &e.size, &e.message);
    }
    TvxObject* remote_field() {
        ErrorPair e;
        return Field_new_on_client(nullptr, 3, 10, "Nodal", &e.size, &e.message);
    }
    // Gives a remote handle a local copy: a two-object call with a common handle moves it.
    void move_into_common(TvxObject* remote_handle) {
        static const char serialized[] = "serialized";
        tvxrec_set_result("remote", "SerializationStream_getOutputString", bits(serialized));
        TvxObject* anchor = common_field();
        ErrorPair e;
        CSField_SetSupport(remote_handle, anchor, &e.size, &e.message);
        EXPECT_EQ(e.size, 0) << e.str();
        EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(remote_handle));
        release(anchor);
        tvxrec_clear_log();
    }
};

constexpr unsigned long long kResult = 0x5150;

struct FastCase {
    const char* entry;
    const char* raw;
    bool raw_has_error_pair;
    unsigned long long want;  // what the exported entry hands back when the raw entry returns kResult
    std::vector<Want> tail;   // what the raw entry receives after the raw pointer
    std::function<unsigned long long(TvxObject*, int*, wchar_t**)> call;
};

TEST_F(FieldsFamily, EachFastAccessEntryFetchesOnceThenCallsItsRawPartner) {
    load_common_and_remote();
    int n = 0, a = 0, b = 0, c = 0, d = 0;
    double values[2] = {1.5, 2.5};
    double* cursor = nullptr;
    const std::vector<FastCase> cases = {
        {"CSField_GetData", "Field_GetData", true, kResult, {P(&n)},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSField_GetData(h, &n, s, m)); }},
        {"CSField_GetScoping", "Field_GetScoping", true, kResult, {P(&n)},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSField_GetScoping(h, &n, s, m)); }},
        {"CSField_GetEntityData", "Field_GetEntityData", true, kResult, {I(3), P(&n)},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSField_GetEntityData(h, 3, &n, s, m)); }},
        {"CSField_GetEntityDataById", "Field_GetEntityDataById", true, kResult, {I(4), P(&n)},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSField_GetEntityDataById(h, 4, &n, s, m)); }},
        {"CSField_GetUnit", "Field_GetUnit", true, kResult, {},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSField_GetUnit(h, s, m)); }},
        {"CSField_GetLocation", "Field_GetLocation", true, kResult, {},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSField_GetLocation(h, s, m)); }},
        {"CSField_ElementaryDataSize", "Field_ElementaryDataSize", true, kResult, {},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSField_ElementaryDataSize(h, s, m)); }},
        {"CSField_GetEShellLayers", "Field_GetEShellLayers", true, kResult, {},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSField_GetEShellLayers(h, s, m)); }},
        {"CSField_GetNumberEntities", "Field_GetNumberOfEntities", true, kResult, {},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSField_GetNumberEntities(h, s, m)); }},
        {"CSField_GetNumberElementaryData", "Field_GetNumberElementaryData", true, kResult, {},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSField_GetNumberElementaryData(h, s, m)); }},
        {"CSField_GetNumberOfComponents", "Field_GetNumberOfComponents", true, kResult, {},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSField_GetNumberOfComponents(h, s, m)); }},
        {"CSField_PushBack", "Field_PushBack", true, 0, {I(5), I(6), P(values)},
         [&](TvxObject* h, int* s, wchar_t** m) {
             CSField_PushBack(h, 5, 6, values, s, m);
             return 0ull;
         }},
        {"CSField_cursor", "Field_fast_cursor", false, 1, {I(7), P(&cursor), P(&a), P(&b), P(&c), P(&d)},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSField_cursor(h, 7, &cursor, &a, &b, &c, &d, s, m)); }},
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        const FastCase& fc = cases[k];
        SCOPED_TRACE(fc.entry);
        TvxObject* field = common_field();  // a fresh handle: nothing cached yet
        const Where at = where(field);
        ASSERT_EQ(at.library, "common");
        const void* raw = fake(0x1000 + 0x10 * k);
        tvxrec_set_result("common", "Field_fast_access_ptr", bits(raw));
        tvxrec_set_result("common", fc.raw, kResult);

        ErrorPair e;
        EXPECT_EQ(fc.call(field, &e.size, &e.message), fc.want);
        EXPECT_EQ(e.size, 0) << e.str();
        std::vector<RecordedCall> calls = recorded_calls();
        ASSERT_EQ(entries_called(), (Calls{"common:Field_fast_access_ptr", std::string("common:") + fc.raw}));
        EXPECT_EQ(calls[0].args[0].p, at.object);
        EXPECT_EQ(calls[1].args[0].p, raw);  // the raw pointer stands where the handle was
        expect_tail(calls[1], fc.tail);

        // Later calls use the cached pointer; the caller's pair is the raw entry's, or untouched
        // when the raw entry has none.
        expect_cached_raw_call(field, fc.call, fc.raw, fc.raw_has_error_pair, fc.want);
        tvxrec_clear_results();
        release(field);
    }
}

TEST_F(FieldsFamily, AnEmptyOrFailingFetchIsSilentAndAskedAgain) {
    load_common_and_remote();
    TvxObject* field = common_field();
    const Where at = where(field);
    tvxrec_set_error("common", "Field_fast_access_ptr", L"no pointer");  // and no pointer either
    tvxrec_set_result("common", "CSField_GetNumberEntities", 4);
    ErrorPair e;
    EXPECT_EQ(CSField_GetNumberEntities(field, &e.size, &e.message), 4);
    EXPECT_EQ(CSField_GetNumberEntities(field, &e.size, &e.message), 4);
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"common:Field_fast_access_ptr", "common:CSField_GetNumberEntities",
                                       "common:Field_fast_access_ptr", "common:CSField_GetNumberEntities"}));
    EXPECT_EQ(recorded_calls()[1].args[0].p, at.object);

    // Once the library answers, the answer is kept for good.
    tvxrec_clear_results();
    tvxrec_set_result("common", "Field_fast_access_ptr", 0x2000);
    tvxrec_clear_log();
    CSField_GetNumberEntities(field, &e.size, &e.message);
    tvxrec_set_result("common", "Field_fast_access_ptr", 0);
    CSField_GetUnit(field, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:Field_fast_access_ptr", "common:Field_GetNumberOfEntities",
                                       "common:Field_GetUnit"}));
    EXPECT_EQ(recorded_calls()[2].args[0].p, fake(0x2000));
    release(field);
}

TEST_F(FieldsFamily, RemoteHandlesTakeTheOrdinaryPathUntilMoved) {
    load_common_and_remote();
    TvxObject* field = remote_field();
    const Where own = where(field);
    ASSERT_EQ(own.library, "remote");
    tvxrec_set_result("common", "Field_fast_access_ptr", 0x3000);
    ErrorPair e;
    CSField_GetNumberOfComponents(field, &e.size, &e.message);
    CSField_GetNumberOfComponents(field, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"remote:CSField_GetNumberOfComponents", "remote:CSField_GetNumberOfComponents"}));
    EXPECT_EQ(recorded_calls()[1].args[0].p, own.object);
    // A common-class fast entry has no slot in the remote library.
    tvxrec_clear_log();
    int n = 0;
    EXPECT_EQ(CSField_GetData(field, &n, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function CSField_GetData");
    EXPECT_TRUE(entries_called().empty());
    e.clear();

    // Moved, the handle's local copy is a common field: it gets a raw pointer of its own.
    move_into_common(field);
    const Where copy = where(field);
    ASSERT_EQ(copy.library, "common");
    ASSERT_NE(copy.object, own.object);
    CSField_GetNumberOfComponents(field, &e.size, &e.message);
    CSField_GetData(field, &n, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"common:Field_fast_access_ptr", "common:Field_GetNumberOfComponents",
                                       "common:Field_GetData"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, copy.object);
    EXPECT_EQ(recorded_calls()[2].args[0].p, fake(0x3000));
    release(field);
}

TEST_F(FieldsFamily, NullHandlesGoToTheirHomeLibraryWithoutFetching) {
    load_remote();  // the remote library alone is the default library
    ErrorPair e;
    double values[1] = {0.5};
    CSField_GetNumberOfComponents(nullptr, &e.size, &e.message);
    CSField_PushBack(nullptr, 1, 2, values, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"remote:CSField_GetNumberOfComponents", "remote:CSField_PushBack"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, nullptr);
    // Common-class entries do not fall back to the default library.
    tvxrec_clear_log();
    EXPECT_EQ(CSField_GetUnit(nullptr, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function CSField_GetUnit");
    EXPECT_TRUE(entries_called().empty());
    e.clear();

    // With the common library, the cursor's ordinary form gets the null object and the caller's pair.
    load_common();
    tvxrec_set_result("common", "Field_fast_access_ptr", 0x4000);
    tvxrec_set_error("common", "CSField_cursor", L"no field");
    double* data = nullptr;
    int a = 0, b = 0, c = 0, d = 0;
    EXPECT_FALSE(CSField_cursor(nullptr, 1, &data, &a, &b, &c, &d, &e.size, &e.message));
    EXPECT_EQ(e.str(), "no field");
    EXPECT_EQ(entries_called(), (Calls{"common:CSField_cursor"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, nullptr);
}

TEST_F(FieldsFamily, RawPointerEntriesGoOnlyToTheCommonLibrary) {
    TVX_LOAD(double_path("double_both"), "local", 1);
    load_remote();
    CField* raw = reinterpret_cast<CField*>(0x6000);
    ErrorPair e;
    int n = 0;
    EXPECT_EQ(Field_GetData(raw, &n, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Field_GetData");
    double* data = nullptr;
    int a = 0, b = 0, c = 0, d = 0;
    EXPECT_FALSE(Field_fast_cursor(raw, 0, &data, &a, &b, &c, &d));  // silent: no pair to report in
    EXPECT_TRUE(entries_called().empty());

    load_common();
    tvxrec_set_result("common", "Field_fast_cursor", 1);
    tvxrec_set_result("common", "Field_GetNumberElementaryDataById", 9);
    EXPECT_TRUE(Field_fast_cursor(raw, 2, &data, &a, &b, &c, &d));
    EXPECT_EQ(Field_GetNumberElementaryDataById(raw, 5, &e.size, &e.message), 9);
    EXPECT_EQ(entries_called(), (Calls{"common:Field_fast_cursor", "common:Field_GetNumberElementaryDataById"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(calls[0].args[0].p, raw);
    expect_tail(calls[0], {I(2), P(&data), P(&a), P(&b), P(&c), P(&d)});
    EXPECT_EQ(calls[1].args[0].p, raw);
    EXPECT_EQ(calls[1].args[1].i, 5);
}

TEST_F(FieldsFamily, CopiesFollowTheirOwnForms) {
    load_common_and_remote();
    ErrorPair e;
    TvxObject* client = new_client();
    const Where at_client = where(client);
    // The remote form of Field_getCopy takes an id and the client, in that order.
    TvxObject* copy = Field_getCopy_on_client(12, client, &e.size, &e.message);
    TvxObject* copy_without_client = Field_getCopy_on_client(13, nullptr, &e.size, &e.message);
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy_without_client, nullptr);
    std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(entries_called(), (Calls{"remote:Field_getCopy", "remote:Field_getCopy"}));
    expect_tail(calls[0], {P(at_client.object)});
    EXPECT_EQ(calls[0].args[0].i, 12);
    EXPECT_EQ(calls[1].args[0].i, 13);
    EXPECT_EQ(calls[1].args[1].p, nullptr);
    EXPECT_EQ(where(copy).library, "remote");

    // The handle form is of the common class: a remote field finds no slot, although the remote
    // library exports a Field_getCopy of its own (the remote form).
    EXPECT_EQ(Field_getCopy(copy, true, false, true, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Field_getCopy");
    EXPECT_TRUE(entries_called().empty());
    e.clear();
    // Moved into the common library, the same handle is copied there from its local copy.
    move_into_common(copy);
    const Where local = where(copy);
    TvxObject* local_copy = Field_getCopy(copy, true, false, true, &e.size, &e.message);
    ASSERT_NE(local_copy, nullptr);
    calls = recorded_calls();
    ASSERT_EQ(entries_called(), (Calls{"common:Field_getCopy"}));
    EXPECT_EQ(calls[0].args[0].p, local.object);
    EXPECT_EQ(calls[0].args[1].u, 1u);
    EXPECT_EQ(calls[0].args[2].u, 0u);
    EXPECT_EQ(calls[0].args[3].u, 1u);
    EXPECT_EQ(where(local_copy).library, "common");
    for (TvxObject* h : {client, copy, copy_without_client, local_copy}) release(h);
}

TEST_F(FieldsFamily, FieldDefinitionPointersPassAsRawPointers) {
    load_common_and_remote();
    TvxObject* field = common_field();
    const Where at = where(field);
    CFieldDefinition* definition = reinterpret_cast<CFieldDefinition*>(0x7000);
    tvxrec_set_result("common", "CSField_GetFieldDefinition", bits(definition));
    ErrorPair e;
    EXPECT_EQ(CSField_GetFieldDefinition(field, &e.size, &e.message), definition);  // not wrapped
    CSField_SetFastAccessFieldDefinition(field, definition, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    const std::vector<RecordedCall> calls = recorded_calls();
    ASSERT_EQ(entries_called(), (Calls{"common:CSField_GetFieldDefinition", "common:CSField_SetFastAccessFieldDefinition"}));
    EXPECT_EQ(calls[1].args[0].p, at.object);
    EXPECT_EQ(calls[1].args[1].p, definition);
    release(field);
}

}  // namespace
