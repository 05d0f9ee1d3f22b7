// Generic values, data trees, generic data containers and wrapped external data, as a client sees
// them: what the handles taken out of a value are, which library a null handle reaches, and the
// external-data entries that have no error pair.
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;

// Where calls on a handle go, seen through a query every library offers.
Where where(TvxObject* h) { return where_through(Any_getAs_Int, h); }

int finalised = 0;
void finalise(ExternalData*) { ++finalised; }

class GenericValuesFamily : public FamilyTest {
protected:
    void configure_remote() override { server_can_copy(); }
};

TEST_F(GenericValuesFamily, OperatorsAndWorkflowsTakenOutOfAValueAreOrdinaryHandles) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    ErrorPair e;
    TvxObject* any = Any_newFrom_Int_on_client(nullptr, 3, &e.size, &e.message);
    ASSERT_NE(any, nullptr);
    TvxObject* wf = Any_getAs_Workflow(any, &e.size, &e.message);
    TvxObject* op = Any_getAs_Operator(any, &e.size, &e.message);
    ASSERT_NE(wf, nullptr);
    ASSERT_NE(op, nullptr);
    ASSERT_EQ(e.size, 0) << e.str();
    const Where wf_seen = where(wf), op_seen = where(op);
    EXPECT_EQ(wf_seen.library, "remote");  // the value's library
    EXPECT_EQ(op_seen.library, "remote");
    EXPECT_NE(wf_seen.object, where(any).object);

    // What a value handed out outlives it.
    release(any);

    // Meeting a common operator moves them into the common library. Plain handles are copied by
    // value; operator and workflow handles would get a proxy operator instead.
    TvxObject* consumer = Operator_new("consumer", &e.size, &e.message);
    ASSERT_NE(consumer, nullptr);
    tvxrec_clear_log();
    Operator_connect_Workflow(consumer, 0, wf, &e.size, &e.message);
    Operator_connect_Operator_as_input(consumer, 1, op, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    std::vector<const void*> serialized;
    for (const RecordedCall& c : recorded_calls())
        if (c.entry == "Quorix_serialize") serialized.push_back(c.args[0].p);
    EXPECT_EQ(serialized, (std::vector<const void*>{wf_seen.object, op_seen.object}));
    EXPECT_FALSE(was_called("common:Operator_new"));
    EXPECT_FALSE(was_called("remote:Client_get_full_address"));
    EXPECT_TRUE(was_called("common:Operator_connect_Workflow"));
    EXPECT_TRUE(was_called("common:Operator_connect_Operator_as_input"));
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(wf));
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(op));
    for (TvxObject* h : {wf, op, consumer}) release(h);
}

TEST_F(GenericValuesFamily, NullHandlesGoToTheDefaultOrTheCommonLibrary) {
    // Only the server's library: it is the default library, and there is no common library.
    ASSERT_NO_FATAL_FAILURE(load_remote());
    ErrorPair e;
    int number = 0;
    TvxDataTree_getIntAttribute(nullptr, "n", &number, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    ASSERT_EQ(entries_called(), (Calls{"remote:TvxDataTree_getIntAttribute"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, nullptr);
    EXPECT_EQ(recorded_calls()[0].args[2].p, static_cast<const void*>(&number));

    tvxrec_clear_log();
    unsigned int unsigned_number = 0;
    TvxDataTree_getUnsignedIntAttribute(nullptr, "n", &unsigned_number, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function TvxDataTree_getUnsignedIntAttribute");
    e.clear();
    EXPECT_EQ(Any_newFrom_meshedRegion(nullptr, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Any_newFrom_meshedRegion");
    e.clear();
    EXPECT_TRUE(entries_called().empty());

    TvxObject* from_nothing = Any_newFrom_Field(nullptr, &e.size, &e.message);
    ASSERT_NE(from_nothing, nullptr);
    EXPECT_EQ(recorded_calls().at(0).args.at(0).p, nullptr);
    EXPECT_EQ(where(from_nothing).library, "remote");
    release(from_nothing);

    // With a common library, the common-only entries reach it with a null object.
    ASSERT_NO_FATAL_FAILURE(load_common());
    tvxrec_clear_log();
    TvxObject* mesh_value = Any_newFrom_meshedRegion(nullptr, &e.size, &e.message);
    ASSERT_NE(mesh_value, nullptr);
    EXPECT_EQ(entries_called(), (Calls{"common:Any_newFrom_meshedRegion"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, nullptr);
    EXPECT_EQ(where(mesh_value).library, "common");
    release(mesh_value);
}

TEST_F(GenericValuesFamily, ExternalDataAndItsFunctionAreHandedOverUntouched) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    static int payload = 0;
    auto* data = reinterpret_cast<ExternalData*>(&payload);
    finalised = 0;
    TvxObject* wrapped = ExternalData_wrap(data, &finalise);
    ASSERT_NE(wrapped, nullptr);
    ASSERT_EQ(entries_called(), (Calls{"common:ExternalData_wrap"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, static_cast<const void*>(data));
    EXPECT_EQ(recorded_calls()[0].args[1].p, reinterpret_cast<const void*>(&finalise));
    const Where seen = where(wrapped);
    EXPECT_EQ(seen.library, "common");

    tvxrec_set_result("common", "ExternalData_get", bits(data));
    EXPECT_EQ(ExternalData_get(wrapped), data);
    ExternalData_free(wrapped);  // the library frees the data; the handle goes with it
    ExternalData_free(nullptr);  // reaches the common library with nothing to free
    EXPECT_EQ(entries_called(), (Calls{"common:ExternalData_get", "common:ExternalData_free", "common:ExternalData_free"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(calls[0].args[0].p, seen.object);
    EXPECT_EQ(calls[1].args[0].p, seen.object);
    EXPECT_EQ(calls[2].args[0].p, nullptr);
    EXPECT_EQ(finalised, 0) << "the caller's function is the library's to call";
}

TEST_F(GenericValuesFamily, CommonOnlyEntriesWithoutTheCommonLibraryKeepForeignHandles) {
    ASSERT_NO_FATAL_FAILURE(load_remote());
    static int payload = 0;
    auto* data = reinterpret_cast<ExternalData*>(&payload);
    EXPECT_EQ(ExternalData_wrap(data, &finalise), nullptr);  // silently: there is no error pair
    EXPECT_EQ(ExternalData_get(nullptr), nullptr);
    ExternalData_free(nullptr);
    EXPECT_TRUE(entries_called().empty());

    // A data tree of the server cannot be ended by the common-only releasing entries: the handle
    // stays usable and is ended where it was made.
    ErrorPair e;
    TvxObject* tree = TvxDataTree_new_on_client(nullptr, &e.size, &e.message);
    ASSERT_NE(tree, nullptr);
    const Where seen = where(tree);
    ExternalData_free(tree);
    TvxDataTree_delete(tree, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function TvxDataTree_delete");
    EXPECT_TRUE(entries_called().empty());
    EXPECT_EQ(where(tree).object, seen.object);
    e.clear();
    Quorix_delete_shared_object(tree, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"remote:Quorix_delete_shared_object"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, seen.object);
}

TEST_F(GenericValuesFamily, TextsAreTheLibrarysOwnAndGoBackToIt) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    ErrorPair e;
    TvxObject* any = Any_newFrom_String_on_client(nullptr, "abc", &e.size, &e.message);
    ASSERT_NE(any, nullptr);
    static char type_name[] = "string";
    static const char text[] = "abc";
    tvxrec_set_result("remote", "Any_WrappedTypeString", bits(type_name));
    tvxrec_set_result("remote", "Any_getAs_String_with_size", bits(text));
    char* got_type = Any_WrappedTypeString(any, &e.size, &e.message);
    size_t length = 0;
    const char* got_text = Any_getAs_String_with_size(any, &length, &e.size, &e.message);
    EXPECT_EQ(got_type, type_name);  // the library's own buffers, not copies
    EXPECT_EQ(got_text, text);

    // Released through the value's library, not the default one.
    tvxrec_clear_log();
    Quorix_deleteString_for_object(any, got_type, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    ASSERT_EQ(entries_called(), (Calls{"remote:Quorix_deleteString"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, static_cast<const void*>(type_name));
    release(any);
}

}  // namespace
