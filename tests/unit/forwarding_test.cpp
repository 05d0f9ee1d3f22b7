// What the catalogue cannot express about the forwarding shapes: fast-access caching, releasing,
// duplicating, arrays of handles, client positions and home libraries next to a default library.
#include <string>
#include <vector>

#include "dispatch/forward.h"
#include "loader/registry.h"
#include "tests/support/test_support.h"

namespace {

using namespace tvxtest;
using tvx::API;

class Forwarding : public LedgerTest {
protected:

    void load_common_and_remote(const char* common_double = "double_common") {
        TVX_LOAD(double_path(common_double), "common", 1);
        TVX_LOAD(double_path("double_remote"), "remote", 1);
        common = tvx::registry::find("common");
        remote = tvx::registry::find("remote");
    }

    TvxObject* handle_of(API* lib, const char* id) {
        return tvx::new_handle(static_cast<CSharedObjectBase*>(tvxrec_new_object(id)), lib);
    }
    TvxObject* moved_remote_handle() {
        TvxObject* h = handle_of(remote, "remote");
        h->set_local_copy(static_cast<CSharedObjectBase*>(tvxrec_new_object("common")), common);
        return h;
    }

    API* common = nullptr;
    API* remote = nullptr;
};


TEST_F(Forwarding, FastAccessFetchesOnceAndThenCallsTheRawEntry) {
    load_common_and_remote();
    TvxObject* field = handle_of(common, "common");
    tvxrec_set_result("common", "Field_fast_access_ptr", 0x4000);
    tvxrec_set_result("common", "Field_GetNumberOfEntities", 7);
    ErrorPair e;
    EXPECT_EQ(CSField_GetNumberEntities(field, &e.size, &e.message), 7);
    EXPECT_EQ(CSField_GetNumberEntities(field, &e.size, &e.message), 7);
    EXPECT_EQ(entries_called(), (Calls{"common:Field_fast_access_ptr", "common:Field_GetNumberOfEntities",
                                       "common:Field_GetNumberOfEntities"}));
    const RecordedCall raw_call = recorded_calls()[1];
    EXPECT_EQ(raw_call.args[0].p, reinterpret_cast<const void*>(0x4000));  // the raw pointer, not the handle
    EXPECT_EQ(field->field_ptr, reinterpret_cast<CField*>(0x4000));
    release(field);
}

TEST_F(Forwarding, AnEmptyFastAccessAnswerIsNotKept) {
    load_common_and_remote();
    TvxObject* field = handle_of(common, "common");
    ErrorPair e;
    CSField_GetUnit(field, &e.size, &e.message);
    CSField_GetUnit(field, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:Field_fast_access_ptr", "common:CSField_GetUnit",
                                       "common:Field_fast_access_ptr", "common:CSField_GetUnit"}));
    EXPECT_EQ(field->field_ptr, nullptr);
    release(field);
}

TEST_F(Forwarding, FastPathWithoutErrorPairLeavesTheCallersPairAlone) {
    load_common_and_remote();
    TvxObject* scoping = handle_of(common, "common");
    tvxrec_set_result("common", "Scoping_fast_access_ptr", 0x5000);
    tvxrec_set_result("common", "Scoping_fast_get_size", 3);
    // A failing fetch: its message never reaches the caller.
    tvxrec_set_error("common", "Scoping_fast_access_ptr", L"fetch failed");
    int size = 99;
    wchar_t sentinel[] = L"kept";
    wchar_t* message = sentinel;
    EXPECT_EQ(Scoping_GetSize(scoping, &size, &message), 3);
    EXPECT_EQ(size, 99);
    EXPECT_EQ(message, sentinel);
    EXPECT_EQ(entries_called(), (Calls{"common:Scoping_fast_access_ptr", "common:Scoping_fast_get_size"}));
    release(scoping);
}

TEST_F(Forwarding, FastAccessFallsBackWhenTheRawEntryIsMissing) {
    load_common_and_remote("double_common_missing");  // lacks Field_GetData
    TvxObject* field = handle_of(common, "common");
    tvxrec_set_result("common_missing", "Field_fast_access_ptr", 0x4000);
    ErrorPair e;
    int n = 0;
    CSField_GetData(field, &n, &e.size, &e.message);
    EXPECT_EQ(e.size, 0);
    EXPECT_EQ(entries_called(), (Calls{"common_missing:Field_fast_access_ptr", "common_missing:CSField_GetData"}));
    release(field);
}

TEST_F(Forwarding, RemoteHandlesNeverTakeTheFastPath) {
    load_common_and_remote();
    TvxObject* field = handle_of(remote, "remote");
    ErrorPair e;
    CSField_GetNumberOfComponents(field, &e.size, &e.message);
    CSField_GetNumberOfComponents(field, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"remote:CSField_GetNumberOfComponents", "remote:CSField_GetNumberOfComponents"}));
    EXPECT_EQ(field->field_ptr, nullptr);
    int n = 0;
    EXPECT_EQ(CSField_GetData(field, &n, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function CSField_GetData");
    release(field);
}

TEST_F(Forwarding, ReleasingDestroysTheHandleEvenWhenTheLibraryFails) {
    load_common_and_remote();
    // A moved handle shows its destruction: the destructor releases its own object remotely.
    TvxObject* field = moved_remote_handle();
    const void* own = field->object;
    const void* copy = field->local_copy;
    tvxrec_set_error("common", "CSField_Delete", L"cannot delete");
    ErrorPair e;
    CSField_Delete(field, &e.size, &e.message);
    EXPECT_EQ(e.str(), "cannot delete");
    EXPECT_EQ(entries_called(), (Calls{"common:CSField_Delete", "remote:Quorix_delete_shared_object"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(calls[0].args[0].p, copy);
    EXPECT_EQ(calls[1].args[0].p, own);
}

TEST_F(Forwarding, ReleasingKeepsTheHandleWhenTheLibraryLacksTheEntry) {
    load_common_and_remote();
    TvxObject* field = handle_of(remote, "remote");  // CSField_Delete is a common entry
    ErrorPair e;
    CSField_Delete(field, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function CSField_Delete");
    EXPECT_EQ(field->library, remote);  // still a live handle
    release(field);
}

TEST_F(Forwarding, ReleasingAMovedHandleReleasesTheCopyThenTheOwnObject) {
    load_common_and_remote();
    TvxObject* h = moved_remote_handle();
    release(h);
    EXPECT_EQ(entries_called(), (Calls{"common:Quorix_delete_shared_object", "remote:Quorix_delete_shared_object"}));
    // A handle that was never moved calls nothing when destroyed.
    TvxObject* plain = handle_of(remote, "remote");
    tvxrec_clear_log();
    release(plain);
    EXPECT_EQ(entries_called(), (Calls{"remote:Quorix_delete_shared_object"}));
}

TEST_F(Forwarding, DuplicatesKeepTheClassAndFollowTheLocalCopy) {
    load_common_and_remote();
    tvxrec_hand_out_objects("common", 1);
    tvxrec_hand_out_objects("remote", 1);
    ErrorPair e;
    EXPECT_EQ(Quorix_duplicate_TVXClientAPIobject(nullptr, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.size, 0);
    EXPECT_EQ(tvxrec_count(), 0u);

    TvxObject* op = Operator_new("my_operator", &e.size, &e.message);
    ASSERT_NE(dynamic_cast<Operator*>(op), nullptr);
    TvxObject* op2 = Quorix_duplicate_TVXClientAPIobject(op, &e.size, &e.message);
    EXPECT_NE(dynamic_cast<Operator*>(op2), nullptr);
    EXPECT_NE(op2->object, op->object);

    TvxObject* wf = WorkFlow_new_on_client(nullptr, &e.size, &e.message);
    ASSERT_NE(dynamic_cast<Workflow*>(wf), nullptr);
    TvxObject* wf2 = Quorix_duplicate_TVXClientAPIobject(wf, &e.size, &e.message);
    EXPECT_NE(dynamic_cast<Workflow*>(wf2), nullptr);
    EXPECT_EQ(wf2->library, remote);

    TvxObject* moved = moved_remote_handle();
    tvxrec_clear_log();
    TvxObject* dup = Quorix_duplicate_TVXClientAPIobject(moved, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:Quorix_duplicate_object_reference"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, moved->local_copy);
    EXPECT_EQ(dup->library, common);
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(dup));
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(moved));
    EXPECT_EQ(moved->library, remote);
    for (TvxObject* h : {op, op2, wf, wf2, moved, dup}) release(h);
}

TEST_F(Forwarding, DuplicatingInALibraryWithoutTheEntryReportsIt) {
    TVX_LOAD(double_path("double_empty"), "common", 1);
    TvxObject* h = handle_of(tvx::registry::find("common"), "common");
    ErrorPair e;
    EXPECT_EQ(Quorix_duplicate_TVXClientAPIobject(h, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Quorix_duplicate_object_reference");
    tvxrec_release("common", h->object);
    tvx::destroy(h);
}

TEST_F(Forwarding, HasBeenMovedLocallyOnlyForHandlesWithACopy) {
    load_common_and_remote();
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(nullptr));
    TvxObject* c = handle_of(common, "common");
    TvxObject* m = moved_remote_handle();
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(c));
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(m));
    release(c);
    release(m);
}

TEST_F(Forwarding, ArraysOfHandlesWrapEveryObjectAndOutliveTheirArray) {
    load_common_and_remote();
    void* objects[2] = {tvxrec_new_object("common"), nullptr};
    tvxrec_set_result("common", "Quorix_deserializeMany", reinterpret_cast<unsigned long long>(objects));
    size_t count = 2;  // the double leaves the count as the caller set it
    ErrorPair e;
    TvxObject** array = Quorix_deserializeMany("bytes", 5, &count, &e.size, &e.message);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(array[0]->object, objects[0]);
    EXPECT_EQ(array[0]->library, common);
    ASSERT_NE(array[1], nullptr);  // wrapped as the library gave it
    EXPECT_EQ(array[1]->object, nullptr);
    EXPECT_EQ(entries_called(), (Calls{"common:Quorix_deserializeMany", "common:Quorix_delete_shared_object_array"}));
    EXPECT_EQ(recorded_calls()[1].args[0].p, static_cast<const void*>(objects));
    EXPECT_EQ(recorded_calls()[1].args[1].u, 2u);

    TvxObject* first = array[0];
    TvxObject* second = array[1];
    e.size = 5;
    wchar_t sentinel[] = L"kept";
    e.message = sentinel;
    Quorix_delete_shared_object_array(array, count, &e.size, &e.message);
    EXPECT_EQ(e.size, 0);
    EXPECT_EQ(e.message, sentinel);
    e.message = nullptr;
    release(first);  // still valid after the array went
    tvx::destroy(second);

    // A null array from the library: null, and still handed back to the library.
    tvxrec_clear_results();
    tvxrec_clear_log();
    count = 0;
    EXPECT_EQ(Quorix_deserializeMany("x", 1, &count, &e.size, &e.message), nullptr);
    EXPECT_EQ(entries_called(), (Calls{"common:Quorix_deserializeMany", "common:Quorix_delete_shared_object_array"}));
    Quorix_delete_shared_object_array(nullptr, 0, &e.size, &e.message);
    EXPECT_EQ(e.size, 0);
}

TEST_F(Forwarding, AnEmptyArrayIsStillAnArray) {
    load_common_and_remote();
    void* none[1] = {nullptr};
    tvxrec_set_result("common", "Quorix_deserializeMany", reinterpret_cast<unsigned long long>(none));
    size_t count = 0;
    ErrorPair e;
    TvxObject** array = Quorix_deserializeMany("", 0, &count, &e.size, &e.message);
    EXPECT_NE(array, nullptr);
    Quorix_delete_shared_object_array(array, 0, &e.size, &e.message);
}

TEST_F(Forwarding, AFailedArrayCallKeepsItsMessage) {
    load_common_and_remote();
    tvxrec_set_error("common", "Quorix_deserializeMany", L"bad bytes");
    size_t count = 0;
    ErrorPair e;
    EXPECT_EQ(Quorix_deserializeMany("x", 1, &count, &e.size, &e.message), nullptr);
    // The library's array release reports into a pair of its own, so the failure is not lost.
    EXPECT_EQ(e.str(), "bad bytes");
}

TEST_F(Forwarding, HandleArraysReachTheLibraryAsTheirEffectiveObjects) {
    load_common_and_remote();
    TvxObject* handles[3] = {handle_of(remote, "remote"), nullptr, moved_remote_handle()};
    const tvx::ObjectArray objects(handles, 3);
    ASSERT_NE(objects.data(), nullptr);
    EXPECT_EQ(objects.data()[0], handles[0]->object);
    EXPECT_EQ(objects.data()[1], nullptr);
    EXPECT_EQ(objects.data()[2], handles[2]->local_copy);
    EXPECT_EQ(tvx::ObjectArray(handles, 0).data(), nullptr);
    EXPECT_EQ(tvx::ObjectArray(handles, -1).data(), nullptr);

    std::vector<TvxObject*> many;
    for (int i = 0; i < 40; ++i) many.push_back(handle_of(remote, "remote"));
    const tvx::ObjectArray big(many.data(), 40);
    EXPECT_EQ(big.data()[39], many[39]->object);

    // Remote handles go to the common library unchanged; count 0 sends a null array.
    ErrorPair e;
    tvxrec_clear_log();
    Collection_OfFieldNewWithData(handles, 3, nullptr, 0, nullptr, &e.size, &e.message);
    Collection_OfFieldNewWithData(handles, 0, nullptr, 0, nullptr, &e.size, &e.message);
    const std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].library, "common");
    EXPECT_NE(calls[0].args[0].p, nullptr);
    EXPECT_EQ(calls[1].args[0].p, nullptr);
    for (TvxObject* h : {handles[0], handles[2]}) release(h);
    for (TvxObject* h : many) release(h);
}

TEST_F(Forwarding, ClientsStandWhereTheRemoteFormTakesThem) {
    load_common_and_remote();
    TvxObject* client = handle_of(common, "common");  // any library: client entries go remote
    ErrorPair e;
    Operator_new_on_client("op", client, &e.size, &e.message);
    Operator_new_on_client("op", nullptr, &e.size, &e.message);
    Quorix_load_library_on_client("a", "b", "c", nullptr, &e.size, &e.message);
    const std::vector<RecordedCall> calls = recorded_calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].library, "remote");
    EXPECT_EQ(calls[0].entry, "Operator_new");
    EXPECT_STREQ(calls[0].args[0].s, "op");
    EXPECT_EQ(calls[0].args[1].p, client->object);
    EXPECT_EQ(calls[1].args[1].p, nullptr);
    EXPECT_EQ(calls[2].entry, "Quorix_load_library");
    EXPECT_EQ(calls[2].args[3].p, nullptr);
    release(client);
}

TEST_F(Forwarding, HomeLibrariesIgnoreTheDefaultLibrary) {
    TVX_LOAD(double_path("double_both"), "local", 1);
    TVX_LOAD(double_path("double_remote"), "remote", 1);
    ASSERT_EQ(tvx::registry::default_library(), tvx::registry::find("local"));
    tvxrec_hand_out_objects("remote", 1);
    ErrorPair e;
    TvxObject* client = Client_new("localhost", "50052", &e.size, &e.message);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->library, tvx::registry::find("remote"));
    int n = 0;
    EXPECT_EQ(Field_GetDataPointer(nullptr, &n, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Field_GetDataPointer");
    e.clear();
    Quorix_initialization_on_client(client);  // no error pair
    // Free entries of class both use the default library.
    Quorix_deleteString("text", &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"remote:Client_new", "remote:Quorix_initialization", "both:Quorix_deleteString"}));
    release(client);
}

}  // namespace
