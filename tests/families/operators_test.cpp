// Operators and configurations as a client sees them: which library the creation entries reach,
// how operator results behave when they meet objects of the common library, the source pin of
// Operator_connect_operator_output, and raw operator pointers.
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;

// Where calls on a handle go, seen through a query every library offers.
Where where(TvxObject* h) { return where_through(Operator_get_status, h); }

class OperatorsFamily : public FamilyTest {
protected:
    // What moving a remote operator or data object into the common library asks the server.
    void configure_remote() override {
        server_has_address();
        server_can_copy();
    }
    void hand_out() {
        tvxrec_hand_out_objects("common", 1);
        tvxrec_hand_out_objects("remote", 1);
        configure_remote();
    }
};

TEST_F(OperatorsFamily, CommonOnlyFreeEntriesNeverFallBackToTheDefaultLibrary) {
    // Only the server client is loaded: it is the default library, and it exports the remote forms
    // of Operator_new and OperatorConfig_default_new under the same names.
    TVX_LOAD(double_path("double_remote"), "remote", 1);
    hand_out();
    struct Case {
        const char* name;
        TvxObject* (*call)(int*, wchar_t**);
    };
    const Case cases[] = {
        {"Operator_new", [](int* s, wchar_t** m) { return Operator_new("norm", s, m); }},
        {"Operator_ById", [](int* s, wchar_t** m) { return Operator_ById(3, s, m); }},
        {"Operator_getSpecificationIfAny", [](int* s, wchar_t** m) { return Operator_getSpecificationIfAny("norm", s, m); }},
        {"OperatorConfig_default_new", [](int* s, wchar_t** m) { return OperatorConfig_default_new("norm", s, m); }},
        {"OperatorConfig_empty_new", [](int* s, wchar_t** m) { return OperatorConfig_empty_new(s, m); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tvxrec_clear_log();
        ErrorPair e;
        EXPECT_EQ(c.call(&e.size, &e.message), nullptr);
        EXPECT_EQ(e.str(), std::string("Invalid API pointer when calling function ") + c.name);
        EXPECT_EQ(e.size, static_cast<int>(e.text().size() + 1));
        EXPECT_TRUE(entries_called().empty()) << "the remote library was called";
    }
    // An entry of both libraries does fall back to the default library for a null handle.
    ErrorPair e;
    tvxrec_clear_log();
    TvxObject* out = Operator_getoutput_Field(nullptr, 0, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"remote:Operator_getoutput_Field"}));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(where(out).library, "remote");
    release(out);

    // Once the in-process framework is loaded, Operator_new reaches it and its operator lives there,
    // while the client form of the same implementation name stays on the server.
    TVX_LOAD(double_path("double_common"), "common", 1);
    tvxrec_clear_log();
    TvxObject* local = Operator_new("norm", &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:Operator_new"}));
    TvxObject* remote = Operator_new_on_client("norm", nullptr, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    ASSERT_NE(local, nullptr);
    ASSERT_NE(remote, nullptr);
    EXPECT_EQ(where(local).library, "common");
    EXPECT_EQ(where(remote).library, "remote");
    release(local);
    release(remote);
}

TEST_F(OperatorsFamily, TheHandleClassOfAResultDecidesHowItMovesIntoTheCommonLibrary) {
    load_common_and_remote();
    ErrorPair e;
    TvxObject* client = new_client();
    TvxObject* server_op = Operator_new_on_client("source", client, &e.size, &e.message);
    TvxObject* sink = Operator_new("sink", &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();

    using Connect = void (*)(TvxObject*, int, TvxObject*, int*, wchar_t**);
    struct Case {
        const char* what;
        TvxObject* handle;
        Connect connect;
        const char* connect_name;
        const char* proxy;     // the proxy operator's name, or null for a deep copy
        const char* id_entry;  // how the proxy learns the remote object's id
    };
    const std::vector<Case> cases = {
        {"Operator_getoutput_Operator", Operator_getoutput_Operator(server_op, 0, &e.size, &e.message),
         Operator_connect_Operator_as_input, "Operator_connect_Operator_as_input", "remote_operator_instantiate",
         "Operator_get_id_for_client"},
        {"Operator_getoutput_Workflow", Operator_getoutput_Workflow(server_op, 1, &e.size, &e.message),
         Operator_connect_Workflow, "Operator_connect_Workflow", "remote_workflow_instantiate", "Workflow_get_client_id"},
        {"Operator_getoutput_Field", Operator_getoutput_Field(server_op, 2, &e.size, &e.message), Operator_connect_Field,
         "Operator_connect_Field", nullptr, nullptr},
        // A copy fetched by id is a plain object handle, not an operator handle.
        {"Operator_getCopy", Operator_getCopy(12, client, &e.size, &e.message), Operator_connect_TvxType,
         "Operator_connect_TvxType", nullptr, nullptr},
        {"Quorix_duplicate_TVXClientAPIobject", Quorix_duplicate_TVXClientAPIobject(server_op, &e.size, &e.message),
         Operator_connect_Operator_as_input, "Operator_connect_Operator_as_input", "remote_operator_instantiate",
         "Operator_get_id_for_client"},
    };
    ASSERT_EQ(e.size, 0) << e.str();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(c.handle, nullptr);
        const Where own = where(c.handle);
        EXPECT_EQ(own.library, "remote");

        c.connect(sink, 3, c.handle, &e.size, &e.message);
        ASSERT_EQ(e.size, 0) << e.str();
        const std::vector<RecordedCall> proxies = calls_of("Operator_new");
        const std::vector<RecordedCall> serialized = calls_of("Quorix_serialize");
        if (c.proxy != nullptr) {
            ASSERT_EQ(proxies.size(), 1u);
            EXPECT_STREQ(proxies[0].args[0].s, c.proxy);
            const std::vector<RecordedCall> ids = calls_of(c.id_entry);
            ASSERT_EQ(ids.size(), 1u);
            EXPECT_EQ(ids[0].library, "remote");
            EXPECT_EQ(ids[0].args[0].p, own.object);
            EXPECT_TRUE(serialized.empty());
        } else {
            EXPECT_TRUE(proxies.empty());
            ASSERT_EQ(serialized.size(), 1u);
            EXPECT_EQ(serialized[0].library, "remote");
            EXPECT_EQ(serialized[0].args[0].p, own.object);
        }
        const std::vector<RecordedCall> connected = calls_of(c.connect_name);
        ASSERT_EQ(connected.size(), 1u);
        EXPECT_EQ(connected[0].library, "common");
        EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(c.handle));
        const Where now = where(c.handle);
        EXPECT_EQ(now.library, "common");
        EXPECT_NE(now.object, own.object);
        EXPECT_EQ(connected[0].args[2].p, now.object);
        release(c.handle);
    }
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(server_op));
    for (TvxObject* h : {server_op, sink, client}) release(h);
}

TEST_F(OperatorsFamily, ConnectOperatorOutputKeepsBothPinsOnEveryPath) {
    load_common_and_remote();
    ErrorPair e;
    TvxObject* op = Operator_new("target", &e.size, &e.message);
    TvxObject* source = Operator_new("source", &e.size, &e.message);
    TvxObject* server_op = Operator_new_on_client("server target", nullptr, &e.size, &e.message);
    TvxObject* server_source = Operator_new_on_client("server source", nullptr, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    const Where op_at = where(op), source_at = where(source);

    // No source: the library receives a null source and the source pin.
    Operator_connect_operator_output(op, 1, nullptr, 5, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    std::vector<RecordedCall> calls = recorded_calls();
    ASSERT_EQ(entries_called(), (Calls{"common:Operator_connect_operator_output"}));
    EXPECT_EQ(calls[0].args[0].p, op_at.object);
    EXPECT_EQ(calls[0].args[1].i, 1);
    EXPECT_EQ(calls[0].args[2].p, nullptr);
    EXPECT_EQ(calls[0].args[3].i, 5);

    // No operator: nothing is called.
    tvxrec_clear_log();
    Operator_connect_operator_output(nullptr, 1, source, 5, &e.size, &e.message);
    EXPECT_EQ(e.str().rfind("Invalid TVX object", 0), 0u) << e.str();
    EXPECT_TRUE(entries_called().empty());
    e.clear();

    // An operator of the server meets a local source: the operator gets a local proxy and the common
    // entry receives it with both pins.
    tvxrec_clear_log();
    Operator_connect_operator_output(server_op, 2, source, 6, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    calls = calls_of("Operator_connect_operator_output");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].library, "common");
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(server_op));
    EXPECT_EQ(calls[0].args[0].p, where(server_op).object);
    EXPECT_EQ(calls[0].args[1].i, 2);
    EXPECT_EQ(calls[0].args[2].p, source_at.object);
    EXPECT_EQ(calls[0].args[3].i, 6);

    // A local operator and a source on the server: the source is an operator, so it gets a proxy too.
    tvxrec_clear_log();
    Operator_connect_operator_output(op, 3, server_source, 9, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    ASSERT_EQ(calls_of("Operator_new").size(), 1u);
    EXPECT_STREQ(calls_of("Operator_new")[0].args[0].s, "remote_operator_instantiate");
    calls = calls_of("Operator_connect_operator_output");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].library, "common");
    EXPECT_EQ(calls[0].args[0].p, op_at.object);
    EXPECT_EQ(calls[0].args[1].i, 3);
    EXPECT_EQ(calls[0].args[2].p, where(server_source).object);
    EXPECT_EQ(calls[0].args[3].i, 9);
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(op));
    for (TvxObject* h : {op, source, server_op, server_source}) release(h);
}

TEST_F(OperatorsFamily, AFailedMoveIsReportedUnderTheTwoObjectEntrysName) {
    load_common_and_remote();
    ErrorPair e;
    TvxObject* source = Operator_new("source", &e.size, &e.message);
    TvxObject* config = OperatorConfig_empty_new(&e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    tvxrec_set_result("common", "Operator_set_config", 5);

    // The common library cannot make the proxy: nothing is called and the operator stays remote.
    tvxrec_set_error("common", "Operator_new", L"no proxy");
    TvxObject* server_op = Operator_new_on_client("server", nullptr, &e.size, &e.message);
    const Where own = where(server_op);
    Operator_connect_operator_output(server_op, 4, source, 8, &e.size, &e.message);
    EXPECT_EQ(e.str(), "no proxy when calling function Operator_connect_operator_output");
    EXPECT_EQ(e.size, static_cast<int>(e.text().size() + 1));
    EXPECT_TRUE(calls_of("Operator_connect_operator_output").empty());
    e.clear();
    EXPECT_EQ(Operator_set_config(server_op, config, &e.size, &e.message), 0);
    EXPECT_EQ(e.str(), "no proxy when calling function Operator_set_config");
    EXPECT_TRUE(calls_of("Operator_set_config").empty());
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(server_op));
    EXPECT_EQ(where(server_op).object, own.object);

    // A later call tries again; the configuration call then returns what the common library returned.
    e.clear();
    tvxrec_clear_results();
    hand_out();
    tvxrec_set_result("common", "Operator_set_config", 5);
    EXPECT_EQ(Operator_set_config(server_op, config, &e.size, &e.message), 5);
    ASSERT_EQ(e.size, 0) << e.str();
    const std::vector<RecordedCall> set = calls_of("Operator_set_config");
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].library, "common");
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(server_op));
    for (TvxObject* h : {source, config, server_op}) release(h);
}

TEST_F(OperatorsFamily, OperatorDeleteCannotEndAnOperatorOfTheServer) {
    load_common_and_remote();
    ErrorPair e;
    TvxObject* server_op = Operator_new_on_client("server", nullptr, &e.size, &e.message);
    ASSERT_NE(server_op, nullptr);
    const Where own = where(server_op);
    // Operator_delete exists only in the common library; the handle survives the failed release.
    Operator_delete(server_op, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Operator_delete");
    EXPECT_TRUE(entries_called().empty());
    const Where after = where(server_op);
    EXPECT_EQ(after.library, "remote");
    EXPECT_EQ(after.object, own.object);
    e.clear();
    tvxrec_clear_log();
    Quorix_delete_shared_object(server_op, &e.size, &e.message);
    ASSERT_EQ(entries_called(), (Calls{"remote:Quorix_delete_shared_object"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, own.object);

    // A local operator is released by Operator_delete itself (the ledger sees its object released once).
    TvxObject* op = Operator_new("local", &e.size, &e.message);
    const Where local = where(op);
    Operator_delete(op, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    ASSERT_EQ(entries_called(), (Calls{"common:Operator_delete"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, local.object);
}

TEST_F(OperatorsFamily, RawOperatorPointersAreNeverWrapped) {
    load_common_and_remote();
    int storage = 0;  // stands for an operator the library made
    const void* raw = &storage;
    tvxrec_set_result("common", "tvx_operator_ByName", bits(raw));
    ErrorPair e;
    COperator* op = tvx_operator_ByName("norm", &e.size, &e.message);
    EXPECT_EQ(static_cast<const void*>(op), raw);
    tvx_Operator_delete(op, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    ASSERT_EQ(entries_called(), (Calls{"common:tvx_operator_ByName", "common:tvx_Operator_delete"}));
    EXPECT_EQ(recorded_calls()[1].args[0].p, raw);
}

}  // namespace
