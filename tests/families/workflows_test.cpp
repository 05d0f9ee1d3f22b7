// Workflows as a client sees them: the handle class of each workflow result, the two forms of
// WorkFlow_getCopy, connection maps made where an object lives, the map of
// WorkFlow_connect_with_specified_names, and the library that two-workflow entries take their
// function from.
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;

// Where calls on a workflow go, seen through a query every library offers.
Where where(TvxObject* h) { return where_through(WorkFlow_number_of_operators, h); }

class WorkflowsFamily : public FamilyTest {
protected:
    void configure_remote() override {
        server_has_address();
        server_can_copy();
    }
};

TEST_F(WorkflowsFamily, TheHandleClassOfAResultDecidesHowItMovesIntoTheCommonLibrary) {
    load_common_and_remote();
    ErrorPair e;
    TvxObject* client = new_client();
    TvxObject* server_wf = WorkFlow_new_on_client(client, &e.size, &e.message);
    TvxObject* wf = WorkFlow_new(&e.size, &e.message);
    int pin = 0, count = 0;
    int* pins = nullptr;
    ASSERT_EQ(e.size, 0) << e.str();

    using Meet = void (*)(TvxObject*, TvxObject*, int*, wchar_t**);
    const Meet add_operator = [](TvxObject* w, TvxObject* h, int* s, wchar_t** m) { WorkFlow_add_operator(w, h, s, m); };
    const Meet connect_workflow = [](TvxObject* w, TvxObject* h, int* s, wchar_t** m) {
        WorkFlow_connect_Workflow(w, "in", h, s, m);
    };
    const Meet connect_object = [](TvxObject* w, TvxObject* h, int* s, wchar_t** m) {
        WorkFlow_connect_TvxType(w, "in", h, s, m);
    };
    struct Case {
        const char* what;
        TvxObject* handle;
        Meet meet;
        const char* entry;  // the entry `meet` calls and the position of the handle in it
        size_t position;
        const char* proxy;  // the proxy operator's name, or null for a deep copy
    };
    const char* kOperatorProxy = "remote_operator_instantiate";
    const char* kWorkflowProxy = "remote_workflow_instantiate";
    const std::vector<Case> cases = {
        {"WorkFlow_getCopy_on_client", WorkFlow_getCopy_on_client(5, client, &e.size, &e.message), connect_workflow,
         "WorkFlow_connect_Workflow", 2, kWorkflowProxy},
        {"WorkFlow_get_by_identifier_on_client", WorkFlow_get_by_identifier_on_client(6, client, &e.size, &e.message),
         connect_workflow, "WorkFlow_connect_Workflow", 2, kWorkflowProxy},
        {"WorkFlow_getCopy_on_other_client", WorkFlow_getCopy_on_other_client(server_wf, "a", "b", &e.size, &e.message),
         connect_workflow, "WorkFlow_connect_Workflow", 2, kWorkflowProxy},
        {"WorkFlow_getoutput_Workflow", WorkFlow_getoutput_Workflow(server_wf, "out", &e.size, &e.message),
         connect_workflow, "WorkFlow_connect_Workflow", 2, kWorkflowProxy},
        {"WorkFlow_get_first_op", WorkFlow_get_first_op(server_wf, &e.size, &e.message), add_operator,
         "WorkFlow_add_operator", 1, kOperatorProxy},
        {"Workflow_get_operator_for_output", Workflow_get_operator_for_output(server_wf, "out", &pin, &e.size, &e.message),
         add_operator, "WorkFlow_add_operator", 1, kOperatorProxy},
        {"WorkFlow_getoutput_Operator", WorkFlow_getoutput_Operator(server_wf, "op", &e.size, &e.message), add_operator,
         "WorkFlow_add_operator", 1, kOperatorProxy},
        // The operators feeding an input come back as a plain collection object.
        {"Workflow_get_operators_collection_for_input",
         Workflow_get_operators_collection_for_input(server_wf, "in", &pins, &count, &e.size, &e.message),
         connect_object, "WorkFlow_connect_TvxType", 2, nullptr},
        {"WorkFlow_new_on_client", server_wf, connect_workflow, "WorkFlow_connect_Workflow", 2, kWorkflowProxy},
    };
    ASSERT_EQ(e.size, 0) << e.str();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(c.handle, nullptr);
        const Where own = where(c.handle);
        EXPECT_EQ(own.library, "remote");
        c.meet(wf, c.handle, &e.size, &e.message);
        ASSERT_EQ(e.size, 0) << e.str();
        const std::vector<RecordedCall> proxies = calls_of("Operator_new");
        const std::vector<RecordedCall> serialized = calls_of("Quorix_serialize");
        if (c.proxy != nullptr) {
            ASSERT_EQ(proxies.size(), 1u);
            EXPECT_STREQ(proxies[0].args[0].s, c.proxy);
            EXPECT_TRUE(serialized.empty());
        } else {
            EXPECT_TRUE(proxies.empty());
            ASSERT_EQ(serialized.size(), 1u);
            EXPECT_EQ(serialized[0].args[0].p, own.object);
        }
        const std::vector<RecordedCall> met = calls_of(c.entry);
        ASSERT_EQ(met.size(), 1u);
        EXPECT_EQ(met[0].library, "common");
        const Where now = where(c.handle);
        EXPECT_EQ(now.library, "common");
        EXPECT_EQ(met[0].args[c.position].p, now.object);
    }
    for (const Case& c : cases) release(c.handle);
    release(wf);
    release(client);
}

TEST_F(WorkflowsFamily, GetCopyOfAWorkflowAndGetCopyByIdAreDifferentEntries) {
    load_common_and_remote();
    ErrorPair e;
    TvxObject* client = new_client();
    TvxObject* server_wf = WorkFlow_new_on_client(client, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    const Where client_at = where_through(Client_get_protocol_name, client);

    // The copy of a workflow handle exists only in the common library: the server's entry of that
    // name takes an id and a client and must not be called with a workflow.
    tvxrec_clear_log();
    EXPECT_EQ(WorkFlow_getCopy(server_wf, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function WorkFlow_getCopy");
    EXPECT_TRUE(entries_called().empty());
    e.clear();

    // By id on the server.
    TvxObject* by_id = WorkFlow_getCopy_on_client(5, client, &e.size, &e.message);
    ASSERT_EQ(entries_called(), (Calls{"remote:WorkFlow_getCopy"}));
    const RecordedCall call = recorded_calls()[0];
    ASSERT_EQ(call.args.size(), 2u);
    EXPECT_EQ(call.args[0].i, 5);
    EXPECT_EQ(call.args[1].p, client_at.object);
    ASSERT_NE(by_id, nullptr);
    EXPECT_EQ(where(by_id).library, "remote");

    // Once the workflow has met a local one it has a local copy, and that copy is what is copied.
    TvxObject* wf = WorkFlow_new(&e.size, &e.message);
    WorkFlow_connect_with(server_wf, wf, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    const Where local = where(server_wf);
    ASSERT_EQ(local.library, "common");
    TvxObject* copy = WorkFlow_getCopy(server_wf, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    ASSERT_EQ(entries_called(), (Calls{"common:WorkFlow_getCopy"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, local.object);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(where(copy).library, "common");
    for (TvxObject* h : {by_id, copy, wf, server_wf, client}) release(h);
}

TEST_F(WorkflowsFamily, ConnectionMapsAreMadeWhereTheObjectLives) {
    load_common_and_remote();
    ErrorPair e;
    TvxObject* wf = WorkFlow_new(&e.size, &e.message);
    TvxObject* other = WorkFlow_new(&e.size, &e.message);
    TvxObject* server_wf = WorkFlow_new_on_client(nullptr, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    auto map_at = [](TvxObject* map) {
        return where_by([&](int* s, wchar_t** m) { Workflow_add_entry_connection_map(map, "out", "in", s, m); });
    };

    tvxrec_clear_log();
    TvxObject* here = Workflow_create_connection_map(&e.size, &e.message);
    TvxObject* there = Workflow_create_connection_map_for_object(server_wf, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    ASSERT_EQ(entries_called(), (Calls{"common:Workflow_create_connection_map", "remote:Workflow_create_connection_map"}));
    EXPECT_TRUE(recorded_calls()[1].args.empty()) << "the handle only chooses the library";
    EXPECT_EQ(map_at(here).library, "common");
    EXPECT_EQ(map_at(there).library, "remote");

    // The map is a third handle: it is never moved for the call, it only stands in as its object.
    const Where there_own = map_at(there);
    WorkFlow_connect_with_specified_names(wf, other, there, &e.size, &e.message);
    ASSERT_EQ(entries_called(), (Calls{"common:WorkFlow_connect_with_specified_names"}));
    EXPECT_EQ(recorded_calls()[0].args[2].p, there_own.object);
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(there));

    // Once the map has a local copy, that copy is passed, also when the workflows are reconciled.
    void* map_copy = tvxrec_new_object("common");
    tvxrec_set_result("common", "Quorix_deserialize", bits(map_copy));
    WorkFlow_connect_TvxType(wf, "map", there, &e.size, &e.message);
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(there));
    EXPECT_EQ(map_at(there).library, "common");
    tvxrec_clear_log();
    WorkFlow_connect_with_specified_names(server_wf, other, there, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    EXPECT_TRUE(calls_of("Quorix_serialize").empty());
    const std::vector<RecordedCall> connected = calls_of("WorkFlow_connect_with_specified_names");
    ASSERT_EQ(connected.size(), 1u);
    EXPECT_EQ(connected[0].library, "common");
    EXPECT_EQ(connected[0].args[0].p, where(server_wf).object);
    EXPECT_EQ(connected[0].args[2].p, map_copy);

    // A map asked for a moved workflow is made in the library of its local copy.
    TvxObject* moved_map = Workflow_create_connection_map_for_object(server_wf, &e.size, &e.message);
    ASSERT_NE(moved_map, nullptr);
    EXPECT_EQ(map_at(moved_map).library, "common");
    for (TvxObject* h : {here, there, moved_map, wf, other, server_wf}) release(h);
}

TEST_F(WorkflowsFamily, TwoWorkflowEntriesTakeTheirFunctionFromTheFirstHandlesOwnLibrary) {
    // Only the server client: it is the default library, and it has no WorkFlow_chain_with.
    ASSERT_NO_FATAL_FAILURE(load_remote());
    ErrorPair e;
    TvxObject* server_wf = WorkFlow_new_on_client(nullptr, &e.size, &e.message);
    WorkFlow_chain_with(nullptr, server_wf, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function WorkFlow_chain_with");
    e.clear();
    WorkFlow_connect_with(nullptr, server_wf, &e.size, &e.message);
    EXPECT_EQ(e.str().rfind("Invalid TVX object", 0), 0u) << e.str();
    e.clear();
    release(server_wf);

    tvx_unload_everything();
    load_common_and_remote();
    server_wf = WorkFlow_new_on_client(nullptr, &e.size, &e.message);
    TvxObject* wf = WorkFlow_new(&e.size, &e.message);
    TvxObject* server_op = Operator_new_on_client("server", nullptr, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    const Where wf_at = where(wf);

    // A workflow of the server cannot chain: its own library lacks the entry, and nothing is moved.
    tvxrec_clear_log();
    WorkFlow_chain_with(server_wf, wf, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function WorkFlow_chain_with");
    EXPECT_TRUE(entries_called().empty());
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(server_wf));
    e.clear();

    // A local workflow meets an operator of the server, or none.
    tvxrec_clear_log();
    WorkFlow_connect_operator_output(wf, "in", nullptr, 3, &e.size, &e.message);
    WorkFlow_connect_operator_output(wf, "in", server_op, 4, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    const std::vector<RecordedCall> connected = calls_of("WorkFlow_connect_operator_output");
    ASSERT_EQ(connected.size(), 2u);
    EXPECT_EQ(connected[0].library, "common");
    EXPECT_EQ(connected[0].args[0].p, wf_at.object);
    EXPECT_STREQ(connected[0].args[1].s, "in");
    EXPECT_EQ(connected[0].args[2].p, nullptr);
    EXPECT_EQ(connected[0].args[3].i, 3);
    EXPECT_EQ(connected[1].library, "common");
    EXPECT_EQ(connected[1].args[0].p, wf_at.object);
    EXPECT_EQ(connected[1].args[3].i, 4);
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(server_op));
    EXPECT_EQ(connected[1].args[2].p, where(server_op).object);

    // Even moved, a workflow of the server takes the entry from its own library.
    WorkFlow_connect_with(server_wf, wf, &e.size, &e.message);
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(server_wf));
    tvxrec_clear_log();
    WorkFlow_chain_with(server_wf, wf, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function WorkFlow_chain_with");
    EXPECT_TRUE(entries_called().empty());
    for (TvxObject* h : {server_wf, wf, server_op}) release(h);
}

}  // namespace
