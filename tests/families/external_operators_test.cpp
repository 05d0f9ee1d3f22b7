// External operators as a client sees them: every entry reaches the library registered as
// "common", callbacks and user pointers arrive there as the very pointers the client gave, handle
// arguments arrive as their local copies, and ExternalOperator_putException never reports anything.
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;

template <class F>
const void* address_of(F* f) {
    return reinterpret_cast<const void*>(f);
}

RecordedCall only_call_of(const std::string& entry) {
    const std::vector<RecordedCall> found = calls_of(entry);
    if (found.size() != 1) {
        ADD_FAILURE() << entry << " was called " << found.size() << " times";
        return {};
    }
    return found[0];
}

// Where calls on an operator go, seen through a query every library offers.
Where where(TvxObject* h) { return where_through(Operator_get_status, h); }

// Callbacks that record whether anybody called them: this library must never do so.
bool g_callback_called = false;
void run_callback(void*, OperatorData*) { g_callback_called = true; }
void derivative_callback(void*, OperatorDerivativeData*) { g_callback_called = true; }
void wrapper_callback(void*, void*, OperatorData*) { g_callback_called = true; }

class ExternalOperatorsFamily : public FamilyTest {
protected:
    void configure_remote() override {
        server_has_address();
        server_can_copy();
    }
};

TEST_F(ExternalOperatorsFamily, RecordingHandsTheCallbacksAndUserPointersOverUntouched) {
    load_common_and_remote();
    ErrorPair e;
    TvxObject* server_op = Operator_new_on_client("server", nullptr, &e.size, &e.message);
    ASSERT_NE(server_op, nullptr);
    const Where own = where(server_op);
    int user = 0, derivative_user = 0, core = 0, policy = 0;
    g_callback_called = false;

    // A handle of the server goes along as its own object: the record entries reconcile nothing.
    ExternalOperator_record(&user, run_callback, "plain", server_op, &e.size, &e.message);
    const char* internal_name = "internal";
    const char* wrapped_name = "wrapped";
    ExternalOperator_recordInternalWithAbstractCore_with_derivative(
        &user, run_callback, &derivative_user, derivative_callback, internal_name, server_op,
        reinterpret_cast<AbstractCore*>(&core), reinterpret_cast<InternalOperatorPolicy*>(&policy), &e.size, &e.message);
    ExternalOperator_recordWithAbstractCoreAndWrapper_with_derivative(
        &user, run_callback, &derivative_user, derivative_callback, wrapped_name, nullptr,
        reinterpret_cast<AbstractCore*>(&core), wrapper_callback, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"common:ExternalOperator_record",
                                       "common:ExternalOperator_recordInternalWithAbstractCore_with_derivative",
                                       "common:ExternalOperator_recordWithAbstractCoreAndWrapper_with_derivative"}));
    EXPECT_FALSE(g_callback_called) << "this library called a client callback";

    const RecordedCall plain = only_call_of("ExternalOperator_record");
    ASSERT_EQ(plain.args.size(), 4u);
    EXPECT_EQ(plain.args[0].p, &user);
    EXPECT_EQ(plain.args[1].p, address_of(run_callback));
    EXPECT_STREQ(plain.args[2].s, "plain");
    EXPECT_EQ(plain.args[3].p, own.object);

    const RecordedCall internal = only_call_of("ExternalOperator_recordInternalWithAbstractCore_with_derivative");
    ASSERT_EQ(internal.args.size(), 8u);
    const std::vector<const void*> want_internal = {&user, address_of(run_callback), &derivative_user,
                                                    address_of(derivative_callback), internal_name, own.object,
                                                    &core, &policy};
    for (size_t i = 0; i < want_internal.size(); ++i) EXPECT_EQ(internal.args[i].p, want_internal[i]) << "argument " << i;

    const RecordedCall wrapped = only_call_of("ExternalOperator_recordWithAbstractCoreAndWrapper_with_derivative");
    ASSERT_EQ(wrapped.args.size(), 8u);
    const std::vector<const void*> want_wrapped = {&user, address_of(run_callback), &derivative_user,
                                                   address_of(derivative_callback), wrapped_name, nullptr, &core,
                                                   address_of(wrapper_callback)};
    for (size_t i = 0; i < want_wrapped.size(); ++i) EXPECT_EQ(wrapped.args[i].p, want_wrapped[i]) << "argument " << i;
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(server_op));
    release(server_op);
}

TEST_F(ExternalOperatorsFamily, HandleArgumentsArriveAsTheirLocalCopies) {
    load_common_and_remote();
    ErrorPair e;
    TvxObject* op = Operator_new("local", &e.size, &e.message);
    TvxObject* field = Field_new_on_client(nullptr, 3, 10, "Nodal", &e.size, &e.message);
    TvxObject* server_op = Operator_new_on_client("server", nullptr, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    const Where field_own = where(field), op_own = where(server_op);

    // Move both server objects into the common library: the field by a copy whose object we know,
    // the operator by a proxy.
    void* copy = tvxrec_new_object("common");
    tvxrec_set_result("common", "Quorix_deserialize", bits(copy));
    Operator_connect_Field(op, 0, field, &e.size, &e.message);
    Operator_connect_operator_output(server_op, 0, op, 0, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(field));
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(server_op));
    const void* proxy_copy = where(server_op).object;
    ASSERT_NE(proxy_copy, op_own.object);

    int data_storage = 0, derivative_storage = 0;
    OperatorData* data = reinterpret_cast<OperatorData*>(&data_storage);
    OperatorDerivativeData* derivative = reinterpret_cast<OperatorDerivativeData*>(&derivative_storage);
    ExternalOperator_putOutField(data, 2, field, &e.size, &e.message);
    ExternalOperator_putOutField(data, 3, nullptr, &e.size, &e.message);
    ExternalOperator_delegateRun(data, server_op, true, &e.size, &e.message);
    ExternalOperator_setDerivative(derivative, field, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    ASSERT_EQ(entries_called(), (Calls{"common:ExternalOperator_putOutField", "common:ExternalOperator_putOutField",
                                       "common:ExternalOperator_delegateRun", "common:ExternalOperator_setDerivative"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(calls[0].args[0].p, data);
    EXPECT_EQ(calls[0].args[1].i, 2);
    EXPECT_EQ(calls[0].args[2].p, copy);
    EXPECT_NE(calls[0].args[2].p, field_own.object);
    EXPECT_EQ(calls[1].args[2].p, nullptr);
    EXPECT_EQ(calls[2].args[1].p, proxy_copy);
    EXPECT_EQ(calls[2].args[2].u, 1u);
    EXPECT_EQ(calls[3].args[0].p, derivative);
    EXPECT_EQ(calls[3].args[1].p, copy);
    for (TvxObject* h : {op, field, server_op}) release(h);
}

TEST_F(ExternalOperatorsFamily, PutExceptionIsSilentWithoutTheCommonLibraryOrItsEntry) {
    int data_storage = 0;
    OperatorData* data = reinterpret_cast<OperatorData*>(&data_storage);

    // Nothing loaded.
    ExternalOperator_putException(data, 3, "boom");
    EXPECT_TRUE(entries_called().empty());

    // The library that has the entries is loaded under another name, so it is only the default
    // library: external operators never go there.
    TVX_LOAD(double_path("double_common"), "other", 1);
    ExternalOperator_putException(data, 3, "boom");
    EXPECT_TRUE(entries_called().empty());
    ErrorPair e;
    ExternalOperator_putStatus(data, 1, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function ExternalOperator_putStatus");
    EXPECT_TRUE(entries_called().empty());
    tvx_unload_everything();

    // A common library without the entry.
    TVX_LOAD(double_path("double_both"), "common", 1);
    ExternalOperator_putException(data, 3, "boom");
    EXPECT_TRUE(entries_called().empty());
    e.clear();
    ExternalOperator_putStatus(data, 1, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function ExternalOperator_putStatus");
    tvx_unload_everything();

    // With the entry, the three arguments arrive unchanged.
    TVX_LOAD(double_path("double_common"), "common", 1);
    ExternalOperator_putException(data, 3, "boom");
    ASSERT_EQ(entries_called(), (Calls{"common:ExternalOperator_putException"}));
    const RecordedCall call = recorded_calls()[0];
    ASSERT_EQ(call.args.size(), 3u);
    EXPECT_EQ(call.args[0].p, data);
    EXPECT_EQ(call.args[1].i, 3);
    EXPECT_STREQ(call.args[2].s, "boom");
}

}  // namespace
