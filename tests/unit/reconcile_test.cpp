// Objects of two libraries in one call: reconciliation, moving handles into the common library
// (deep copies and proxies), and the exported copying entries.
#include <string>
#include <vector>

#include "dispatch/reconcile.h"
#include "loader/registry.h"
#include "tests/support/test_support.h"

namespace {

using namespace tvxtest;
using tvx::API;

const char kAddress[] = "localhost:50052";
const char kProtocol[] = "grpc";

class CrossLibrary : public LedgerTest {
protected:

    void load(const char* common_double = "double_common", const char* remote_double = "double_remote") {
        TVX_LOAD(double_path(common_double), "common", 1);
        TVX_LOAD(double_path(remote_double), "remote", 1);
        common = tvx::registry::find("common");
        remote = tvx::registry::find("remote");
        common_id = common_double == std::string("double_common") ? "common" : "common_no_connect";
        remote_id = remote_double == std::string("double_remote") ? "remote" : "remote_alias";
        tvxrec_hand_out_objects(common_id.c_str(), 1);
        tvxrec_hand_out_objects(remote_id.c_str(), 1);
        tvxrec_set_result(remote_id.c_str(), "Client_get_full_address", reinterpret_cast<unsigned long long>(kAddress));
        tvxrec_set_result(remote_id.c_str(), "Client_get_protocol_name", reinterpret_cast<unsigned long long>(kProtocol));
        tvxrec_set_result(remote_id.c_str(), "Operator_get_id_for_client", 7);
        tvxrec_set_result(remote_id.c_str(), "Workflow_get_client_id", 9);
    }

    TvxObject* remote_field() { return tvx::new_handle(object(remote_id), remote); }
    TvxObject* common_field() { return tvx::new_handle(object(common_id), common); }
    TvxObject* remote_operator() { return tvx::new_operator(object(remote_id), remote); }
    static CSharedObjectBase* object(const std::string& id) {
        return static_cast<CSharedObjectBase*>(tvxrec_new_object(id.c_str()));
    }


    API* common = nullptr;
    API* remote = nullptr;
    std::string common_id, remote_id;
};

TEST_F(CrossLibrary, ARemoteOperatorMeetsACommonFieldThroughAProxy) {
    load();
    ErrorPair e;
    TvxObject* client = Client_new_full_address(kAddress, &e.size, &e.message);
    TvxObject* op = Operator_new_on_client("norm", client, &e.size, &e.message);
    TvxObject* field = Field_new(3, 10, "Nodal", &e.size, &e.message);
    ASSERT_EQ(op->library, remote);
    ASSERT_EQ(field->library, common);
    const void* remote_op = op->object;

    tvxrec_clear_log();
    Operator_connect_Field(op, 0, field, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"remote:Quorix_get_client", "common:Operator_new", "common:DataSources_new",
                                       "remote:Client_get_full_address", "remote:Client_get_protocol_name",
                                       "common:DataSources_SetResultFilePathWithKeyUtf8",
                                       "remote:Quorix_deleteString", "remote:Quorix_deleteString",
                                       "remote:Operator_get_id_for_client", "common:Operator_connect_int",
                                       "common:Operator_connect_DataSources", "common:Operator_getoutput_Operator",
                                       "remote:Quorix_delete_shared_object", "common:Quorix_delete_shared_object",
                                       "common:Quorix_delete_shared_object", "common:Operator_connect_Field"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_STREQ(calls[1].args[0].s, "remote_operator_instantiate");
    EXPECT_STREQ(calls[5].args[1].s, kAddress);
    EXPECT_STREQ(calls[5].args[2].s, kProtocol);
    // The address and the protocol name, used, go back to the library that handed them out.
    EXPECT_EQ(calls[6].args[0].p, calls[5].args[1].p);
    EXPECT_EQ(calls[7].args[0].p, calls[5].args[2].p);
    EXPECT_EQ(calls[8].args[0].p, remote_op);
    EXPECT_EQ(calls[9].args[1].i, 0);  // pin 0: the id
    EXPECT_EQ(calls[9].args[2].i, 7);
    EXPECT_EQ(calls[10].args[1].i, 4);  // pin 4: the data sources
    EXPECT_EQ(calls[10].args[2].p, calls[5].args[0].p);
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(op));
    EXPECT_EQ(op->local_copy_library, common);
    EXPECT_STREQ(tvxrec_object_library(op->local_copy), "common");
    EXPECT_EQ(calls[15].args[0].p, op->local_copy);  // the proxy's output
    EXPECT_EQ(calls[15].args[2].p, field->object);
    const void* local = op->local_copy;

    tvxrec_clear_log();
    Operator_run(op, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:Operator_run"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, local);

    tvxrec_clear_log();
    Quorix_delete_shared_object(op, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:Quorix_delete_shared_object", "remote:Quorix_delete_shared_object"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, local);
    EXPECT_EQ(recorded_calls()[1].args[0].p, remote_op);
    release(field);
    release(client);
}

TEST_F(CrossLibrary, HandlesOfOneLibraryNeedNoMove) {
    load();
    TvxObject* op = remote_operator();
    TvxObject* field = remote_field();
    ErrorPair e;
    Operator_connect_Field(op, 1, field, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"remote:Operator_connect_Field"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, op->object);
    EXPECT_EQ(recorded_calls()[0].args[2].p, field->object);
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(op));
    release(op);
    release(field);
}

TEST_F(CrossLibrary, ACommonOperatorGetsADeepCopyOfARemoteField) {
    load();
    ErrorPair e;
    TvxObject* op = Operator_new("norm", &e.size, &e.message);
    TvxObject* field = remote_field();
    tvxrec_set_result("remote", "SerializationStream_getOutputString", reinterpret_cast<unsigned long long>("bytes"));
    tvxrec_clear_log();
    Operator_connect_Field(op, 0, field, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"remote:Quorix_get_client", "remote:Quorix_serialize",
                                       "remote:SerializationStream_getOutputString", "common:Quorix_deserialize",
                                       "remote:Quorix_delete_shared_object", "remote:Quorix_delete_shared_object",
                                       "common:Operator_connect_Field"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(calls[1].args[0].p, field->object);
    EXPECT_STREQ(calls[3].args[0].s, "bytes");
    EXPECT_EQ(calls[4].args[0].p, calls[2].args[0].p);  // the stream is released
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(field));
    EXPECT_EQ(calls[6].args[0].p, op->object);
    EXPECT_EQ(calls[6].args[2].p, field->local_copy);
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(op));

    // A moved handle meets a common one: same effective library, the entry is exchanged.
    TvxObject* other = common_field();
    tvxrec_clear_log();
    CSField_SetSupport(field, other, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:CSField_SetSupport"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, field->local_copy);
    for (TvxObject* h : {op, field, other}) release(h);
}

TEST_F(CrossLibrary, NullHandles) {
    load();
    TvxObject* op = remote_operator();
    ErrorPair e;
    Operator_connect_Field(op, 0, nullptr, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"remote:Operator_connect_Field"}));
    EXPECT_EQ(recorded_calls()[0].args[2].p, nullptr);

    tvxrec_clear_log();
    TvxObject* field = common_field();
    Operator_connect_Field(nullptr, 0, field, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid TVX object");
    EXPECT_TRUE(entries_called().empty());

    // A moved first handle with no second one is used through its local copy.
    Operator_connect_Field(op, 0, field, &e.size, &e.message);
    e.clear();
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(op));
    tvxrec_clear_log();
    Operator_connect_Field(op, 2, nullptr, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:Operator_connect_Field"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, op->local_copy);
    release(op);
    release(field);
}

TEST_F(CrossLibrary, AMissingCommonCounterpartLeavesTheHandleMoved) {
    load("double_common_no_connect");
    TvxObject* op = remote_operator();
    TvxObject* field = common_field();
    ErrorPair e;
    Operator_connect_Field(op, 0, field, &e.size, &e.message);
    EXPECT_EQ(e.str(), "moveToCorrespondingFunctionOnCommonApi (4): Cannot find function in common API "
                       "when calling function Operator_connect_Field");
    EXPECT_EQ(e.size, static_cast<int>(e.text().size() + 1));
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(op));
    EXPECT_EQ(last_call_of("Operator_connect_Field").entry, "");
    release(op);
    release(field);
}

TEST_F(CrossLibrary, SharedAddressesMapThroughTheEntrysOwnSlot) {
    load("double_common", "double_remote_alias");
    // The remote library exports Operator_connect_Scoping at the address of Operator_connect_Field,
    // the later of the two slots; the call must still reach the common Operator_connect_Scoping.
    ASSERT_LT(tvx::slot::Operator_connect_Scoping, tvx::slot::Operator_connect_Field);
    ASSERT_EQ(remote->table[tvx::slot::Operator_connect_Scoping], remote->table[tvx::slot::Operator_connect_Field]);
    TvxObject* op = remote_operator();
    TvxObject* scoping = common_field();
    ErrorPair e;
    Operator_connect_Scoping(op, 0, scoping, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called().back(), "common:Operator_connect_Scoping");
    release(op);
    release(scoping);
}

TEST_F(CrossLibrary, DeepCopyFailuresSayWhichStepFailed) {
    load();
    struct Case {
        const char* library;
        const char* entry;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"remote", "Quorix_serialize", "Quorix_deep_copy failed: Unable to serialize from client: no stream"},
        {"remote", "SerializationStream_getOutputString",
         "Quorix_deep_copy failed: Unable to serialize from client: no bytes"},
        {"common", "Quorix_deserialize", "Quorix_deep_copy failed: Unable to deserialize: bad bytes"},
    };
    const wchar_t* texts[] = {L"no stream", L"no bytes", L"bad bytes"};
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].entry);
        tvxrec_set_error(cases[i].library, cases[i].entry, texts[i]);
        TvxObject* field = remote_field();
        TvxObject* other = common_field();
        ErrorPair e;
        CSField_SetSupport(field, other, &e.size, &e.message);
        EXPECT_EQ(e.str(), cases[i].message + " when calling function CSField_SetSupport");
        EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(field));
        EXPECT_EQ(last_call_of("CSField_SetSupport").entry, "");
        tvxrec_clear_results();
        // What the failed move made (client, stream, a copy that came with the failure) is released.
        release(field);
        release(other);
        tvxrec_clear_log();
        tvxrec_set_result("remote", "Operator_get_id_for_client", 7);
    }
}

TEST_F(CrossLibrary, CleanUpAfterAFailedMoveDoesNotHideTheFailure) {
    load();
    // Libraries that write 0 on success: the releases after a failed step must not clear it.
    tvxrec_clear_size_on_success("common", 1);
    tvxrec_clear_size_on_success("remote", 1);
    tvxrec_set_error("common", "Quorix_deserialize", L"bad bytes");
    TvxObject* field = remote_field();
    TvxObject* other = common_field();
    ErrorPair e;
    CSField_SetSupport(field, other, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Quorix_deep_copy failed: Unable to deserialize: bad bytes when calling function "
                       "CSField_SetSupport");
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(field));
    EXPECT_EQ(last_call_of("CSField_SetSupport").entry, "");
    e.clear();

    // A deserialization that gives nothing and reports nothing has not moved the handle either.
    tvxrec_clear_results();
    tvxrec_set_result("common", "Quorix_deserialize", 0);
    CSField_SetSupport(field, other, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Unable to move the object locally: no local copy was made when calling function "
                       "CSField_SetSupport");
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(field));
    EXPECT_EQ(last_call_of("CSField_SetSupport").entry, "");
    release(field);
    release(other);
}

TEST_F(CrossLibrary, ExportedDeepCopyAndMoveLeaveTheHandleAlone) {
    load();
    TvxObject* field = remote_field();
    ErrorPair e;
    TvxObject* copy = Quorix_deep_copy(field, &e.size, &e.message);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->library, common);
    TvxObject* moved = QuorixCore_MoveLocally(field, nullptr, &e.size, &e.message);
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(moved->library, common);
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(field));

    // A deserialization failure hands back what was produced, with the message.
    tvxrec_set_error("common", "Quorix_deserialize", L"partial");
    TvxObject* partial = Quorix_deep_copy(field, &e.size, &e.message);
    EXPECT_NE(partial, nullptr);
    EXPECT_EQ(e.str(), "Quorix_deep_copy failed: Unable to deserialize: partial");
    e.clear();
    tvxrec_clear_results();

    // A null handle serializes a null object in the default library.
    tvxrec_clear_log();
    TvxObject* none = Quorix_deep_copy(nullptr, &e.size, &e.message);
    ASSERT_FALSE(entries_called().empty());
    EXPECT_EQ(entries_called()[0], "common:Quorix_serialize");
    EXPECT_EQ(recorded_calls()[0].args[0].p, nullptr);
    for (TvxObject* h : {field, copy, moved, partial, none}) release(h);
}

TEST_F(CrossLibrary, SerializingInALibraryWithoutTheEntry) {
    TVX_LOAD(double_path("double_common"), "common", 1);
    TVX_LOAD(double_path("double_empty"), "remote", 1);
    TvxObject* field = tvx::new_handle(object("remote"), tvx::registry::find("remote"));
    ErrorPair e;
    EXPECT_EQ(Quorix_deep_copy(field, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Quorix_deep_copy failed: Unable to serialize from client: Invalid API pointer when "
                       "calling function Quorix_serialize");
    tvxrec_release("remote", field->object);
    tvx::destroy(field);
}

TEST_F(CrossLibrary, WithoutARemoteLibraryDataIsCopiedButOperatorsCannotMove) {
    TVX_LOAD(double_path("double_common"), "common", 1);
    TVX_LOAD(double_path("double_remote"), "server", 1);  // only its entries of class both apply
    API* server = tvx::registry::find("server");
    tvxrec_hand_out_objects("common", 1);
    tvxrec_hand_out_objects("remote", 1);
    ErrorPair e;
    TvxObject* field = tvx::new_handle(object("remote"), server);
    TvxObject* other = tvx::new_handle(object("common"), tvx::registry::find("common"));
    CSField_SetSupport(field, other, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"remote:Quorix_serialize", "remote:SerializationStream_getOutputString",
                                       "common:Quorix_deserialize", "remote:Quorix_delete_shared_object",
                                       "common:Quorix_delete_shared_object", "common:CSField_SetSupport"}));
    EXPECT_EQ(recorded_calls()[4].args[0].p, nullptr);  // no client: a null object to the default library
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(field));

    TvxObject* op = tvx::new_operator(object("remote"), server);
    tvxrec_clear_log();
    Operator_connect_Field(op, 0, other, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Client_get_full_address when calling "
                       "function Operator_connect_Field");
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(op));
    // The proxy and the data sources made before the failure are released.
    EXPECT_EQ(entries_called(), (Calls{"common:Operator_new", "common:DataSources_new",
                                       "common:Quorix_delete_shared_object", "common:Quorix_delete_shared_object",
                                       "common:Quorix_delete_shared_object"}));
    for (TvxObject* h : {field, other, op}) release(h);
}

TEST_F(CrossLibrary, WorkflowsMoveThroughAWorkflowProxy) {
    load();
    ErrorPair e;
    TvxObject* wf = WorkFlow_new_on_client(nullptr, &e.size, &e.message);
    TvxObject* local = WorkFlow_new(&e.size, &e.message);
    ASSERT_EQ(wf->library, remote);
    tvxrec_clear_log();
    WorkFlow_connect_with(wf, local, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    EXPECT_STREQ(last_call_of("Operator_new").args[0].s, "remote_workflow_instantiate");
    EXPECT_EQ(last_call_of("Workflow_get_client_id").library, "remote");
    EXPECT_EQ(last_call_of("Operator_connect_int").args[2].i, 9);
    EXPECT_EQ(last_call_of("Operator_getoutput_Workflow").library, "common");
    EXPECT_EQ(entries_called().back(), "common:WorkFlow_connect_with");
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(wf));
    release(wf);
    release(local);
}

TEST_F(CrossLibrary, HandleArraysFromTwoObjectEntriesRecordTheLibraryCalled) {
    load();
    TvxObject* collection = remote_field();
    TvxObject* label_space = common_field();
    void* objects[2] = {tvxrec_new_object("common"), tvxrec_new_object("common")};
    tvxrec_set_result("common", "Collection_GetObjsForLabelSpace", reinterpret_cast<unsigned long long>(objects));
    size_t count = 2;
    ErrorPair e;
    TvxObject** array = Collection_GetObjsForLabelSpace(collection, label_space, &count, &e.size, &e.message);
    ASSERT_NE(array, nullptr) << e.str();
    EXPECT_EQ(array[0]->library, common);
    EXPECT_EQ(array[1]->object, objects[1]);
    TvxObject* first = array[0];
    TvxObject* second = array[1];
    Quorix_delete_shared_object_array(array, count, &e.size, &e.message);
    for (TvxObject* h : {first, second, collection, label_space}) release(h);
}

TEST_F(CrossLibrary, CopyingOntoAClientAndTheLocalServer) {
    load();
    ErrorPair e;
    TvxObject* client = Client_new_full_address(kAddress, &e.size, &e.message);
    TvxObject* field = common_field();
    tvxrec_clear_log();
    TvxObject* copy = Quorix_deep_copy_on_client(field, client, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"remote:Quorix_create_from_on_client"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, client->object);  // client first, then the source
    EXPECT_EQ(recorded_calls()[0].args[1].p, field->object);
    EXPECT_EQ(copy->library, remote);

    TvxObject* server = Client_get_local_server_as_streams(client, &e.size, &e.message);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(last_call_of("Client_get_local_server").library, "remote");
    EXPECT_EQ(server->library, common);  // wrapped with the common library
    tvxrec_release("remote", server->object);  // the double made it; the common library cannot release it
    tvx::destroy(server);
    for (TvxObject* h : {client, field, copy}) release(h);
}

}  // namespace
