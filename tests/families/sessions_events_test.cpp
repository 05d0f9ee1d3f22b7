// Sessions and events: workflows of a server joining a common session (through a proxy), server
// sessions meeting common workflows (by a copy), which session entries a server session has,
// breakpoints, and loggers and callbacks that pass through untouched.
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;

// Where calls on a handle go, seen through an entry every library offers.
Where where(TvxObject* h) { return where_through(Quorix_descriptionString, h); }

bool callback_called = false;
void on_event(void*, int, const char*) { callback_called = true; }
void on_signal(const char*, int) { callback_called = true; }
void on_progress(int, int) { callback_called = true; }

class SessionsEventsFamily : public FamilyTest {
protected:
    void SetUp() override {
        FamilyTest::SetUp();
        callback_called = false;
    }
    void configure_remote() override {
        server_has_address();
        tvxrec_set_result("remote", "Workflow_get_client_id", 9);
    }
    TvxObject* must(TvxObject* h) {
        EXPECT_NE(h, nullptr) << e.str();
        return h;
    }
    ErrorPair e;
};

TEST_F(SessionsEventsFamily, AServerWorkflowJoinsACommonSessionThroughAProxy) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    TvxObject* client = new_client();
    TvxObject* session = must(sessionNew(&e.size, &e.message));
    TvxObject* workflow = must(WorkFlow_new_on_client(client, &e.size, &e.message));
    ASSERT_FALSE(HasFailure());
    const Where session_where = where(session);
    ASSERT_EQ(session_where.library, "common");
    const void* own = where(workflow).object;

    tvxrec_clear_log();
    addWorkflow(session, "solve", workflow, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    // A workflow handle is not copied: the common library gets a workflow proxy fed with its id.
    EXPECT_FALSE(was_called("remote:Quorix_serialize"));
    EXPECT_STREQ(last_call_of("Operator_new").args[0].s, "remote_workflow_instantiate");
    EXPECT_EQ(last_call_of("Workflow_get_client_id").library, "remote");
    EXPECT_EQ(last_call_of("Workflow_get_client_id").args[0].p, own);
    EXPECT_EQ(last_call_of("Operator_connect_int").args[2].i, 9);
    EXPECT_EQ(last_call_of("Operator_getoutput_Workflow").library, "common");
    const RecordedCall added = last_call_of("addWorkflow");
    EXPECT_STREQ(added.args[1].s, "solve");  // read before the log is cleared: it owns the text
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(workflow));
    const Where copy = where(workflow);
    EXPECT_EQ(copy.library, "common");
    ASSERT_NE(copy.object, own);

    EXPECT_EQ(added.library, "common");
    ASSERT_EQ(added.args.size(), 3u);
    EXPECT_EQ(added.args[0].p, session_where.object);
    EXPECT_EQ(added.args[2].p, copy.object);

    // Once moved, the workflow meets the session without another move; the chosen identifier is
    // the library's string, handed back as it is.
    static char identifier[] = "wf-2";
    tvxrec_set_result("common", "addWorkflowWithoutIdentifier", bits(identifier));
    tvxrec_clear_log();
    EXPECT_EQ(addWorkflowWithoutIdentifier(session, workflow, &e.size, &e.message), identifier);
    ASSERT_EQ(entries_called(), (Calls{"common:addWorkflowWithoutIdentifier"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, session_where.object);
    EXPECT_EQ(recorded_calls()[0].args[1].p, copy.object);
    for (TvxObject* h : {workflow, session, client}) release(h);
}

TEST_F(SessionsEventsFamily, AServerSessionHasOnlyTheEntriesBothLibrariesOffer) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    TvxObject* client = new_client();
    TvxObject* session = must(sessionNew_on_client(client, &e.size, &e.message));
    TvxObject* workflow = must(WorkFlow_new_on_client(client, &e.size, &e.message));
    ASSERT_FALSE(HasFailure());
    const void* session_object = where(session).object;
    const void* workflow_object = where(workflow).object;
    ASSERT_NE(session_object, nullptr);

    // Session and workflow of one server: the server's entry gets both own objects.
    tvxrec_clear_log();
    addWorkflow(session, "solve", workflow, &e.size, &e.message);
    flushWorkflows(session, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    ASSERT_EQ(entries_called(), (Calls{"remote:addWorkflow", "remote:flushWorkflows"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, session_object);
    EXPECT_EQ(recorded_calls()[0].args[2].p, workflow_object);
    EXPECT_EQ(recorded_calls()[1].args[0].p, session_object);
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(session));
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(workflow));

    // The other session entries exist in the common library only.
    tvxrec_clear_log();
    EXPECT_EQ(getWorkflow(session, "solve", &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function getWorkflow");
    e.clear();
    EXPECT_EQ(addWorkflowWithoutIdentifier(session, workflow, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function addWorkflowWithoutIdentifier");
    e.clear();
    EXPECT_EQ(Quorix_logging_register_logger(session, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Quorix_logging_register_logger");
    e.clear();
    // deleteSession among them: the handle survives and is released the generic way.
    deleteSession(session, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function deleteSession");
    e.clear();
    EXPECT_EQ(tvxrec_count(), 0u);
    release(session);
    EXPECT_EQ(entries_called(), (Calls{"remote:Quorix_delete_shared_object"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, session_object);
    for (TvxObject* h : {workflow, client}) release(h);
}

TEST_F(SessionsEventsFamily, AServerSessionIsCopiedToMeetACommonWorkflow) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    TvxObject* client = new_client();
    TvxObject* session = must(sessionNew_on_client(client, &e.size, &e.message));
    TvxObject* workflow = must(WorkFlow_new(&e.size, &e.message));
    ASSERT_FALSE(HasFailure());
    const void* own = where(session).object;
    const void* workflow_object = where(workflow).object;

    tvxrec_clear_log();
    addWorkflow(session, "solve", workflow, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    // A session is data: serialized on the server, rebuilt in the common library; no proxy.
    EXPECT_FALSE(was_called("common:Operator_new"));
    EXPECT_EQ(last_call_of("Quorix_serialize").library, "remote");
    EXPECT_EQ(last_call_of("Quorix_serialize").args[0].p, own);
    EXPECT_EQ(last_call_of("Quorix_deserialize").library, "common");
    const RecordedCall added = last_call_of("addWorkflow");
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(session));
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(workflow));
    const void* copy = where(session).object;
    EXPECT_EQ(added.library, "common");
    EXPECT_EQ(added.args[0].p, copy);
    EXPECT_EQ(added.args[2].p, workflow_object);

    // From now on the common-only session entries work on the copy.
    tvxrec_set_result("common", "getNumWorkflow", 1);
    tvxrec_clear_log();
    EXPECT_EQ(getNumWorkflow(session, &e.size, &e.message), 1);
    // deleteSession releases the copy in the common library and the session on its server.
    deleteSession(session, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(),
              (Calls{"common:getNumWorkflow", "common:deleteSession", "remote:Quorix_delete_shared_object"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].args[0].p, copy);
    EXPECT_EQ(calls[1].args[0].p, copy);
    EXPECT_EQ(calls[2].args[0].p, own);
    for (TvxObject* h : {workflow, client}) release(h);
}

TEST_F(SessionsEventsFamily, BreakpointsReconcileTheSessionAndTheWorkflowOnly) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    TvxObject* client = new_client();
    TvxObject* session = must(sessionNew(&e.size, &e.message));
    TvxObject* workflow = must(WorkFlow_new_on_client(client, &e.size, &e.message));
    TvxObject* condition = must(Quorix_create_param_tree_on_client(client, &e.size, &e.message));
    ASSERT_FALSE(HasFailure());
    const void* session_object = where(session).object;
    const void* condition_object = where(condition).object;

    // No workflow: nothing to reconcile, the third handle is passed as it is.
    tvxrec_set_result("common", "addBreakpoint", 4);
    tvxrec_clear_log();
    EXPECT_EQ(addBreakpoint(session, nullptr, condition, false, &e.size, &e.message), 4);
    ASSERT_EQ(entries_called(), (Calls{"common:addBreakpoint"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, session_object);
    EXPECT_EQ(recorded_calls()[0].args[1].p, nullptr);
    EXPECT_EQ(recorded_calls()[0].args[2].p, condition_object);

    // A server workflow is moved; the server object in third place is not.
    tvxrec_clear_log();
    EXPECT_EQ(addBreakpoint(session, workflow, condition, true, &e.size, &e.message), 4);
    ASSERT_EQ(e.size, 0) << e.str();
    const RecordedCall call = last_call_of("addBreakpoint");
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(workflow));
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(condition));
    const void* copy = where(workflow).object;
    EXPECT_EQ(call.library, "common");
    EXPECT_EQ(call.args[1].p, copy);
    EXPECT_EQ(call.args[2].p, condition_object);

    tvxrec_clear_log();
    removeBreakpoint(session, workflow, 3, &e.size, &e.message);
    ASSERT_EQ(entries_called(), (Calls{"common:removeBreakpoint"}));
    EXPECT_EQ(recorded_calls()[0].args[1].p, copy);
    EXPECT_EQ(recorded_calls()[0].args[2].i, 3);
    for (TvxObject* h : {condition, workflow, session, client}) release(h);
}

TEST_F(SessionsEventsFamily, LoggersAndCallbacksPassThroughUntouched) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    TvxObject* session = must(sessionNew(&e.size, &e.message));
    ASSERT_NE(session, nullptr);
    const void* session_object = where(session).object;

    // The logger is the library's pointer, not a handle: it comes back and goes in unchanged.
    int logger_storage = 0;
    tvxrec_set_result("common", "Quorix_logging_register_logger", bits(&logger_storage));
    void* logger = Quorix_logging_register_logger(session, &e.size, &e.message);
    ASSERT_EQ(logger, static_cast<void*>(&logger_storage));
    int context = 0;
    tvxrec_clear_log();
    Quorix_logging_log_message(logger, "hello", 2, &e.size, &e.message);
    Quorix_logging_flush(logger, &e.size, &e.message);
    addExternalEventHandler(session, &context, on_event, &e.size, &e.message);
    setEventSystem(session, on_signal, on_progress, &e.size, &e.message);
    NotifyExternalEventHandlerDestruction(&context, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    ASSERT_EQ(entries_called(),
              (Calls{"common:Quorix_logging_log_message", "common:Quorix_logging_flush",
                     "common:addExternalEventHandler", "common:setEventSystem",
                     "common:NotifyExternalEventHandlerDestruction"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(calls[0].args[0].p, logger);
    EXPECT_STREQ(calls[0].args[1].s, "hello");
    EXPECT_EQ(calls[1].args[0].p, logger);
    EXPECT_EQ(calls[2].args[0].p, session_object);
    EXPECT_EQ(calls[2].args[1].p, static_cast<const void*>(&context));
    EXPECT_EQ(calls[2].args[2].p, reinterpret_cast<const void*>(&on_event));
    EXPECT_EQ(calls[3].args[1].p, reinterpret_cast<const void*>(&on_signal));
    EXPECT_EQ(calls[3].args[2].p, reinterpret_cast<const void*>(&on_progress));
    EXPECT_EQ(calls[4].args[0].p, static_cast<const void*>(&context));
    EXPECT_FALSE(callback_called) << "callbacks are the implementation's to call";
    deleteSession(session, &e.size, &e.message);

    // Sessions and loggers belong to the common library: with only a server client loaded there
    // is none, although that client is the default library.
    tvx_unload_everything();
    TVX_LOAD(double_path("double_remote"), "remote", 1);
    tvxrec_clear_log();
    EXPECT_EQ(sessionNew(&e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function sessionNew");
    e.clear();
    Quorix_logging_flush_all(&e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Quorix_logging_flush_all");
    e.clear();
    EXPECT_EQ(tvxrec_count(), 0u);
}

}  // namespace
