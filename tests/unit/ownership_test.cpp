// Who frees what, off the common path: implementation libraries' messages are never freed here,
// handle arrays keep the call's outcome, deleting entries end their handle, bad arrays never reach
// a library, a third library's objects are moved like the others, and every object a library made
// is released exactly once.
#include <string>
#include <vector>

#include "dispatch/forward.h"
#include "loader/registry.h"
#include "tests/support/test_support.h"

namespace {

using namespace tvxtest;
using tvx::API;

const char kAddress[] = "localhost:50052";
const char kProtocol[] = "grpc";

class Ownership : public LedgerTest {
protected:
    API* load(const char* file, const char* name, const char* id) {
        ErrorPair e;
        QuorixCore_LoadAPIWithOptions(double_path(file).c_str(), name, 1, &e.size, &e.message);
        EXPECT_EQ(e.size, 0) << e.str();
        tvxrec_hand_out_objects(id, 1);
        return tvx::registry::find(name);
    }
    void load_common_and_remote() {
        common = load("double_common", "common", "common");
        remote = load("double_remote", "remote", "remote");
        tvxrec_set_result("remote", "Client_get_full_address", reinterpret_cast<unsigned long long>(kAddress));
        tvxrec_set_result("remote", "Client_get_protocol_name", reinterpret_cast<unsigned long long>(kProtocol));
        tvxrec_set_result("remote", "Operator_get_id_for_client", 7);
        tvxrec_set_result("remote", "Workflow_get_client_id", 9);
    }

    static CSharedObjectBase* object(const char* id) { return static_cast<CSharedObjectBase*>(tvxrec_new_object(id)); }
    static TvxObject* handle(API* lib, const char* id) { return tvx::new_handle(object(id), lib); }

    static const char* library_of_object(const void* p) {
        const char* id = tvxrec_object_library(p);
        return id != nullptr ? id : "(not a library object)";
    }

    API* common = nullptr;
    API* remote = nullptr;
};

// The message an implementation library handed back, checked and returned to its own allocator
// (never to the client's free, which would be wrong for these buffers).
std::string take_library_message(ErrorPair& e, int source) {
    std::string text = e.str();
    EXPECT_TRUE(tvxrec_is_recorder_message(e.message)) << "not the library's own buffer: " << text;
    if (source == TVXREC_MESSAGES_COUNTING) {
        EXPECT_EQ(tvxrec_return_counted_message(e.message), 1);
    }
    e.message = nullptr;
    e.size = 0;
    return text;
}

// Messages from a static array and from an arena of the library's own: this library must pass them
// on, extend them into new buffers, or drop them, and never hand them to its own free (which would
// abort the process: neither is heap memory).
class ForeignMessages : public Ownership, public ::testing::WithParamInterface<int> {};

TEST_P(ForeignMessages, AreExtendedIntoCopiesPassedOnUnchangedOrDroppedButNeverFreed) {
    const int source = GetParam();
    load_common_and_remote();
    tvxrec_message_source("common", source);
    tvxrec_message_source("remote", source);
    ErrorPair e;

    // Deep copy: the serialization's message is extended into a new buffer of ours.
    TvxObject* remote_field = handle(remote, "remote");
    tvxrec_set_error("remote", "Quorix_serialize", L"no bytes \u00e9");
    EXPECT_EQ(Quorix_deep_copy(remote_field, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.text(), L"Quorix_deep_copy failed: Unable to serialize from client: no bytes \u00e9");
    EXPECT_EQ(e.size, static_cast<int>(e.text().size() + 1));
    EXPECT_FALSE(tvxrec_is_recorder_message(e.message));
    e.clear();
    tvxrec_clear_results();
    tvxrec_set_error("common", "Quorix_deserialize", L"corrupt");
    tvxrec_set_result("common", "Quorix_deserialize", 0);
    EXPECT_EQ(Quorix_deep_copy(remote_field, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Quorix_deep_copy failed: Unable to deserialize: corrupt");
    e.clear();
    tvxrec_clear_results();

    // A failed move: the library's message gains the call context in a new buffer.
    TvxObject* common_field = handle(common, "common");
    tvxrec_set_error("remote", "Quorix_get_client", L"no client");
    CSField_SetCScoping(common_field, remote_field, &e.size, &e.message);
    EXPECT_EQ(e.str(), "no client when calling function CSField_SetCScoping");
    EXPECT_FALSE(tvxrec_is_recorder_message(e.message));
    e.clear();
    tvxrec_clear_results();
    load_common_and_remote();  // the addresses and ids again (loading only counts)

    // A failed step of an operator's move, with failing clean-up releases after it.
    TvxObject* remote_op = tvx::new_operator(object("remote"), remote);
    tvxrec_set_error("common", "DataSources_SetResultFilePathWithKeyUtf8", L"bad address");
    tvxrec_set_error("common", "Quorix_delete_shared_object", L"cannot release");
    Operator_connect_Field(remote_op, 0, common_field, &e.size, &e.message);
    EXPECT_EQ(e.str(), "bad address when calling function Operator_connect_Field");
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(remote_op));
    e.clear();
    tvxrec_clear_results();
    load_common_and_remote();

    // Handle arrays: the call's message reaches the caller as the library made it; the failing
    // release of the library's array reports into a pair of its own.
    size_t count = 0;
    tvxrec_set_error("common", "Quorix_deserializeMany", L"bad bytes");
    tvxrec_set_error("common", "Quorix_delete_shared_object_array", L"cannot free");
    EXPECT_EQ(Quorix_deserializeMany("x", 1, &count, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.size, 10);
    EXPECT_EQ(take_library_message(e, source), "bad bytes");
    TvxObject* label_space = handle(common, "common");
    tvxrec_set_error("common", "Collection_GetObjsForLabelSpace", L"no such label");
    EXPECT_EQ(Collection_GetObjsForLabelSpace(common_field, label_space, &count, &e.size, &e.message), nullptr);
    EXPECT_EQ(take_library_message(e, source), "no such label");
    tvxrec_clear_results();

    // A failed fast-access fetch never reaches the caller; the ordinary entry answers.
    tvxrec_set_error("common", "Field_fast_access_ptr", L"no fast access");
    tvxrec_set_result("common", "CSField_GetNumberOfComponents", 3);
    e.size = 0;
    EXPECT_EQ(CSField_GetNumberOfComponents(common_field, &e.size, &e.message), 3);
    EXPECT_EQ(e.size, 0);
    tvxrec_clear_results();

    // Destroying a moved handle releases its own object quietly, whatever the library says.
    CSField_SetCScoping(common_field, remote_field, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(remote_field));
    tvxrec_set_error("remote", "Quorix_delete_shared_object", L"server gone");
    release(remote_field);
    tvxrec_clear_results();
    EXPECT_EQ(last_call_of("Quorix_delete_shared_object").library, "remote");

    for (TvxObject* h : {common_field, remote_op, label_space}) release(h);
    if (source == TVXREC_MESSAGES_COUNTING) {
        // Made: serialize, get_client, set path, two releases, deserializeMany, its array release,
        // label-space call, fast access fetch, moved handle's own release.
        EXPECT_GE(tvxrec_counted_messages_made(), 9u);
    }
}

INSTANTIATE_TEST_SUITE_P(StaticAndArena, ForeignMessages,
                         ::testing::Values(int(TVXREC_MESSAGES_STATIC), int(TVXREC_MESSAGES_COUNTING)));

TEST_F(Ownership, AThirdLibrarysHandleIsMovedToo) {
    // No remote library: "common", and two others whose data objects are deep-copied.
    common = load("double_common", "common", "common");
    API* x = load("double_both", "x", "both");
    API* y = load("double_remote", "y", "remote");
    TvxObject* first = handle(y, "remote");
    TvxObject* second = handle(x, "both");
    tvxrec_clear_log();
    ErrorPair e;
    CSField_SetCScoping(first, second, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(first));
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(second));
    const RecordedCall call = last_call_of("CSField_SetCScoping");
    ASSERT_EQ(call.library, "common");
    EXPECT_EQ(call.args[0].p, static_cast<const void*>(first->local_copy));
    EXPECT_EQ(call.args[1].p, static_cast<const void*>(second->local_copy));
    EXPECT_STREQ(library_of_object(call.args[1].p), "common");
    // Each move: serialize, read, deserialize, release the stream, then release the (null) client
    // in the default library, since no library is registered as "remote".
    EXPECT_EQ(entries_called(),
              (Calls{"remote:Quorix_serialize", "remote:SerializationStream_getOutputString",
                     "common:Quorix_deserialize", "remote:Quorix_delete_shared_object",
                     "common:Quorix_delete_shared_object", "both:Quorix_serialize",
                     "both:SerializationStream_getOutputString", "common:Quorix_deserialize",
                     "both:Quorix_delete_shared_object", "common:Quorix_delete_shared_object",
                     "common:CSField_SetCScoping"}));
    release(first);
    release(second);
}

TEST_F(Ownership, AThirdLibrarysHandleThatCannotMoveStopsTheCall) {
    load_common_and_remote();
    API* x = load("double_both", "x", "both");
    TvxObject* op = tvx::new_operator(object("remote"), remote);
    TvxObject* field = handle(x, "both");
    tvxrec_clear_log();
    ErrorPair e;
    // The operator moves through a proxy; the field's move needs its client, which only the remote
    // library can give, so the call stops there and nothing reaches the common entry.
    Operator_connect_Field(op, 0, field, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Quorix_get_client when calling function "
                       "Operator_connect_Field");
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(op));
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(field));
    for (const RecordedCall& c : recorded_calls()) EXPECT_NE(c.entry, "Operator_connect_Field") << c.library;

    tvxrec_clear_results();
    release(op);
    release(field);
}

TEST_F(Ownership, AThirdLibrarysFailedDeepCopyStopsTheCall) {
    common = load("double_common", "common", "common");
    API* x = load("double_both", "x", "both");
    API* y = load("double_remote", "y", "remote");
    TvxObject* first = handle(y, "remote");
    TvxObject* second = handle(x, "both");
    tvxrec_set_error("both", "Quorix_serialize", L"unserializable");
    tvxrec_clear_log();
    ErrorPair e;
    CSField_SetCScoping(first, second, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Quorix_deep_copy failed: Unable to serialize from client: unserializable when calling "
                       "function CSField_SetCScoping");
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(first));
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(second));
    for (const RecordedCall& c : recorded_calls()) EXPECT_NE(c.entry, "CSField_SetCScoping") << c.library;
    tvxrec_clear_results();
    release(first);
    release(second);
}

TEST_F(Ownership, AHandleArrayComesBackWithTheCallsOutcomeWhateverItsReleaseSays) {
    load_common_and_remote();
    void* objects[2] = {tvxrec_new_object("common"), tvxrec_new_object("common")};
    tvxrec_set_result("common", "Quorix_deserializeMany", reinterpret_cast<unsigned long long>(objects));
    tvxrec_set_result("common", "Collection_GetObjsForLabelSpace", reinterpret_cast<unsigned long long>(objects));
    tvxrec_set_error("common", "Quorix_delete_shared_object_array", L"cannot free the array");
    TvxObject* collection = handle(common, "common");
    TvxObject* label_space = handle(common, "common");

    ErrorPair e;
    size_t count = 2;
    TvxObject** array = Quorix_deserializeMany("bytes", 5, &count, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    ASSERT_NE(array, nullptr);
    TvxObject* a = array[0];
    TvxObject* b = array[1];
    Quorix_delete_shared_object_array(array, count, &e.size, &e.message);
    release(a);
    release(b);

    objects[0] = tvxrec_new_object("common");
    objects[1] = tvxrec_new_object("common");
    array = Collection_GetObjsForLabelSpace(collection, label_space, &count, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    ASSERT_NE(array, nullptr);
    a = array[0];
    b = array[1];
    EXPECT_EQ(last_call_of("Quorix_delete_shared_object_array").library, "common");
    Quorix_delete_shared_object_array(array, count, &e.size, &e.message);
    for (TvxObject* h : {a, b, collection, label_space}) release(h);
}

TEST_F(Ownership, DeletingEntriesEndTheirHandleAndAMovedHandlesOwnObject) {
    load_common_and_remote();
    ErrorPair e;
    // Moved remote handles: the delete releases the local copy in the common library, then the
    // handle's end releases its own object in the remote library.
    const struct {
        const char* entry;
        void (*call)(TvxObject*, int*, wchar_t**);
    } deletes[] = {{"CSPropertyField_Delete", CSPropertyField_Delete}, {"Mapping_Delete", Mapping_Delete}};
    for (const auto& d : deletes) {
        TvxObject* h = handle(remote, "remote");
        TvxObject* partner = handle(common, "common");
        CSField_SetCScoping(partner, h, &e.size, &e.message);  // moves h
        ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(h)) << e.str();
        const void* own = h->object;
        const void* copy = h->local_copy;
        tvxrec_clear_log();
        d.call(h, &e.size, &e.message);
        EXPECT_EQ(e.size, 0) << e.str();
        ASSERT_EQ(recorded_calls().size(), 2u) << d.entry;
        EXPECT_EQ(entries_called(), (Calls{std::string("common:") + d.entry, "remote:Quorix_delete_shared_object"}));
        EXPECT_EQ(recorded_calls()[0].args[0].p, copy);
        EXPECT_EQ(recorded_calls()[1].args[0].p, own);
        release(partner);
    }

    // Specifications: a loop of new and delete leaves nothing behind (the fixture checks that each
    // object was released exactly once; the address sanitizer that no handle leaked).
    for (int i = 0; i < 3; ++i) {
        TvxObject* specification = Operator_specification_new("norm", &e.size, &e.message);
        ASSERT_NE(specification, nullptr);
        Operator_specification_delete(specification);
    }
    EXPECT_EQ(tvxrec_objects_live(), 0u);
}

TEST_F(Ownership, AMissingSpecificationDeleteLeavesTheHandleAlive) {
    // A "common" library without the common entries: the delete has nowhere to go and says nothing.
    common = load("double_both", "common", "both");
    TvxObject* specification = handle(common, "both");
    tvxrec_clear_log();
    Operator_specification_delete(specification);
    EXPECT_TRUE(recorded_calls().empty());
    release(specification);  // still a live handle
    EXPECT_EQ(entries_called(), (Calls{"both:Quorix_delete_shared_object"}));
}

TEST_F(Ownership, BadHandleArraysNeverReachTheLibrary) {
    load_common_and_remote();
    TvxObject* handles[2] = {handle(common, "common"), handle(remote, "remote")};
    ErrorPair e;
    tvxrec_clear_log();
    EXPECT_EQ(Collection_OfFieldNewWithData(handles, -1, nullptr, 0, nullptr, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid array of objects (count -1) when calling function Collection_OfFieldNewWithData");
    EXPECT_EQ(e.size, static_cast<int>(e.text().size() + 1));
    e.clear();
    EXPECT_EQ(Collection_OfAnyNewWithData(handles, -2147483647 - 1, nullptr, 0, nullptr, &e.size, &e.message),
              nullptr);
    EXPECT_EQ(e.str(), "Invalid array of objects (count -2147483648) when calling function Collection_OfAnyNewWithData");
    e.clear();
    EXPECT_EQ(Collection_OfScopingNewWithData(nullptr, 2, nullptr, 0, nullptr, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid array of objects (count 2) when calling function Collection_OfScopingNewWithData");
    e.clear();
    EXPECT_TRUE(recorded_calls().empty());

    // Count 0 still reaches the library, with a null array.
    TvxObject* empty = Collection_OfMeshNewWithData(nullptr, 0, nullptr, 0, nullptr, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    ASSERT_EQ(entries_called(), (Calls{"common:Collection_OfMeshNewWithData"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, nullptr);
    EXPECT_EQ(recorded_calls()[0].args[1].i, 0);
    for (TvxObject* h : {handles[0], handles[1], empty}) release(h);
}

TEST_F(Ownership, EveryObjectIsReleasedExactlyOnce) {
    load_common_and_remote();
    ErrorPair e;
    TvxObject* client = Client_new_full_address(kAddress, &e.size, &e.message);
    TvxObject* remote_op = Operator_new_on_client("norm", client, &e.size, &e.message);
    TvxObject* remote_wf = WorkFlow_new_on_client(client, &e.size, &e.message);
    TvxObject* remote_field = Field_new_on_client(client, 3, 10, "Nodal", &e.size, &e.message);
    TvxObject* remote_scoping = Scoping_new_on_client(client, &e.size, &e.message);
    TvxObject* field = Field_new(3, 10, "Nodal", &e.size, &e.message);
    TvxObject* op = Operator_new("add", &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();

    // Moves of an operator, a workflow and two data objects.
    Operator_connect_Field(remote_op, 0, field, &e.size, &e.message);
    Operator_connect_Workflow(op, 1, remote_wf, &e.size, &e.message);
    Operator_connect_Field(op, 0, remote_field, &e.size, &e.message);
    CSField_SetCScoping(field, remote_scoping, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    for (TvxObject* h : {remote_op, remote_wf, remote_field, remote_scoping}) EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(h));

    // Deep copies and duplicates, of moved and unmoved handles.
    TvxObject* copy = Quorix_deep_copy(remote_field, &e.size, &e.message);
    TvxObject* moved_again = QuorixCore_MoveLocally(field, nullptr, &e.size, &e.message);
    TvxObject* duplicate_moved = Quorix_duplicate_TVXClientAPIobject(remote_op, &e.size, &e.message);
    TvxObject* duplicate = Quorix_duplicate_TVXClientAPIobject(field, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    for (TvxObject* h : {copy, moved_again, duplicate_moved, duplicate}) ASSERT_NE(h, nullptr);

    // The deleting entries, on a moved handle and on new ones.
    CSPropertyField_Delete(remote_scoping, &e.size, &e.message);
    Mapping_Delete(Operator_new("mapping", &e.size, &e.message), &e.size, &e.message);
    Operator_specification_delete(Operator_specification_new("norm", &e.size, &e.message));
    ASSERT_EQ(e.size, 0) << e.str();

    for (TvxObject* h : {client, remote_op, remote_wf, remote_field, field, op, copy, moved_again, duplicate_moved,
                         duplicate})
        release(h);
    EXPECT_GT(tvxrec_objects_created(), 20u);
    EXPECT_EQ(tvxrec_objects_live(), 0u);
    EXPECT_EQ(tvxrec_objects_released_twice(), 0u);
}

}  // namespace
