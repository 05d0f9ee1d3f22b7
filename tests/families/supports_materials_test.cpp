// Supports and materials as a client sees them: support queries on raw pointers of the common
// library, materials containers that only the common library serves, the expanded ids of cyclic
// supports across two libraries, and where null handles go.
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;

// Where calls on a handle go, seen through a query every library offers.
Where where(TvxObject* h) { return where_through(Any_getAs_Int, h); }

class SupportsMaterialsFamily : public FamilyTest {
protected:
    void configure_remote() override { server_can_copy(); }
};

TEST_F(SupportsMaterialsFamily, SupportQueriesTakeRawPointersAndServerScopingsAsTheyAre) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    tvxrec_set_result("common", "FEModel_new", 0x1000);
    tvxrec_set_result("common", "FEModel_GetSupportQuery", 0x2000);
    tvxrec_set_result("common", "SupportQuery_DataByScoping", 0x3000);
    tvxrec_set_result("common", "SupportQuery_TopologyByScoping", 0x4000);
    tvxrec_set_result("common", "SupportQuery_StringField", 0x5000);
    ErrorPair e;
    CFEModel* model = FEModel_new(&e.size, &e.message);
    CSupportQuery* query = FEModel_GetSupportQuery(model, &e.size, &e.message);
    EXPECT_EQ(query, fake<CSupportQuery>(0x2000));
    TvxObject* scoping = Scoping_new_on_client(nullptr, &e.size, &e.message);
    ASSERT_NE(scoping, nullptr);
    const Where server = where(scoping);
    ASSERT_EQ(server.library, "remote");

    // The scoping's object goes to the common library as it is: no copy, no move.
    EXPECT_EQ(SupportQuery_DataByScoping(query, scoping, "mat", &e.size, &e.message), fake<CField>(0x3000));
    EXPECT_EQ(SupportQuery_TopologyByScoping(query, scoping, "elem", &e.size, &e.message),
              fake<CPropertyField>(0x4000));
    EXPECT_EQ(SupportQuery_StringField(nullptr, "names", &e.size, &e.message), fake<CStringField>(0x5000));
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"common:SupportQuery_DataByScoping", "common:SupportQuery_TopologyByScoping",
                                       "common:SupportQuery_StringField"}));
    std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(calls[0].args[0].p, static_cast<const void*>(query));
    EXPECT_EQ(calls[0].args[1].p, server.object);
    EXPECT_EQ(calls[1].args[1].p, server.object);
    EXPECT_EQ(calls[2].args[0].p, nullptr);  // a null query is passed on too
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(scoping));

    // Object results are handles of the common library.
    tvxrec_clear_log();
    TvxObject* transposed = SupportQuery_TransposeScoping(query, scoping, true, &e.size, &e.message);
    ASSERT_NE(transposed, nullptr);
    calls = recorded_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].library, "common");
    EXPECT_EQ(calls[0].args[1].p, server.object);
    EXPECT_EQ(where(transposed).library, "common");
    release(transposed);
    release(scoping);
}

TEST_F(SupportsMaterialsFamily, MaterialsContainersAreServedByTheCommonLibraryOnly) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    ErrorPair e;
    TvxObject* local_op = Operator_new("materials", &e.size, &e.message);
    TvxObject* server_op = Operator_new_on_client("materials", nullptr, &e.size, &e.message);
    TvxObject* materials = Operator_getoutput_MaterialsContainer(local_op, 0, &e.size, &e.message);
    TvxObject* server_materials = Operator_getoutput_AsAny(server_op, 0, &e.size, &e.message);
    ASSERT_NE(materials, nullptr);
    ASSERT_NE(server_materials, nullptr);
    ASSERT_EQ(e.size, 0) << e.str();

    // The ids array is the library's own, and the count is written by the library.
    static const int ids[] = {4, 9};
    tvxrec_set_result("common", "MaterialsContainer_GetTvxMatIds", bits(ids));
    int count = -1;
    tvxrec_clear_log();
    EXPECT_EQ(MaterialsContainer_GetTvxMatIds(materials, &count, &e.size, &e.message), ids);
    ASSERT_EQ(entries_called(), (Calls{"common:MaterialsContainer_GetTvxMatIds"}));
    EXPECT_EQ(recorded_calls()[0].args[1].p, static_cast<const void*>(&count));

    // A handle of the server's library finds none of the family's entries there.
    tvxrec_clear_log();
    EXPECT_EQ(MaterialsContainer_GetTvxMatIds(server_materials, &count, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function MaterialsContainer_GetTvxMatIds");
    e.clear();
    EXPECT_EQ(MaterialsContainer_GetNumOfMaterials(server_materials, &e.size, &e.message), 0);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function MaterialsContainer_GetNumOfMaterials");
    e.clear();
    EXPECT_EQ(MaterialsContainer_GetVUUIDAtTvxMatId(server_materials, 4, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function MaterialsContainer_GetVUUIDAtTvxMatId");
    e.clear();
    MaterialsContainer_delete(server_materials, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function MaterialsContainer_delete");
    e.clear();
    EXPECT_EQ(count, -1);
    EXPECT_TRUE(entries_called().empty());

    // Not deleted: the handle is still there, and is ended in its own library.
    const Where server = where(server_materials);
    EXPECT_EQ(server.library, "remote");
    Quorix_delete_shared_object(server_materials, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"remote:Quorix_delete_shared_object"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, server.object);

    MaterialsContainer_delete(materials, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    release(local_op);
    release(server_op);
}

TEST_F(SupportsMaterialsFamily, ExpandedIdsAcrossLibrariesComeFromWhereTheCallWent) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    ErrorPair e;
    TvxObject* op = Operator_new_on_client("cyclic_expansion", nullptr, &e.size, &e.message);
    TvxObject* cyclic = Operator_getoutput_CyclicSupport(op, 0, &e.size, &e.message);
    TvxObject* sectors = Scoping_new(&e.size, &e.message);
    ASSERT_NE(cyclic, nullptr);
    ASSERT_NE(sectors, nullptr);
    const Where own = where(cyclic);
    const Where sectors_seen = where(sectors);

    // The server's cyclic support cannot be brought over: no call, no result.
    server_unreachable();
    EXPECT_EQ(CyclicSupport_getExpandedNodeIds(cyclic, 1, 2, sectors, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "server gone when calling function CyclicSupport_getExpandedNodeIds");
    EXPECT_EQ(e.size, static_cast<int>(e.text().size() + 1));
    EXPECT_EQ(call_of(recorded_calls(), "CyclicSupport_getExpandedNodeIds"), nullptr);
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(cyclic));

    // Once it can, the next call moves it and the ids belong to the common library.
    tvxrec_clear_results();
    server_can_copy();
    e.clear();
    tvxrec_clear_log();
    TvxObject* ids = CyclicSupport_getExpandedElementIds(cyclic, 1, 2, sectors, &e.size, &e.message);
    ASSERT_NE(ids, nullptr);
    EXPECT_EQ(e.size, 0) << e.str();
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(cyclic));
    const std::vector<RecordedCall> calls = recorded_calls();
    const RecordedCall* call = call_of(calls, "CyclicSupport_getExpandedElementIds");
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->library, "common");
    const Where local = where(cyclic);
    EXPECT_NE(local.object, own.object);
    EXPECT_EQ(call->args[0].p, local.object);
    EXPECT_EQ(call->args[1].i, 1);
    EXPECT_EQ(call->args[2].i, 2);
    EXPECT_EQ(call->args[3].p, sectors_seen.object);
    EXPECT_EQ(where(ids).library, "common");
    for (TvxObject* h : {ids, sectors, cyclic, op}) release(h);
}

TEST_F(SupportsMaterialsFamily, NullHandlesReachTheDefaultOrTheCommonLibrary) {
    // Only the server's library, which is then the default library.
    TVX_LOAD(double_path("double_remote"), "remote", 1);
    ErrorPair e;
    char type[32] = {};
    Support_getType(nullptr, type, &e.size, &e.message);
    TimeFreqSupport_GetNumberSets(nullptr, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"remote:Support_getType", "remote:TimeFreqSupport_GetNumberSets"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(calls[0].args[0].p, nullptr);
    EXPECT_EQ(calls[0].args[1].p, static_cast<const void*>(type));  // the caller's buffer

    tvxrec_clear_log();
    EXPECT_FALSE(Support_isDomainMeshSupport(nullptr, &e.size, &e.message));
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Support_isDomainMeshSupport");
    e.clear();
    int step = -1, sub_step = -1;
    EXPECT_EQ(TimeFreqSupport_GetStepAndSubStep(nullptr, 3, &step, &sub_step, &e.size, &e.message), 0);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function TimeFreqSupport_GetStepAndSubStep");
    e.clear();
    TimeFreqSupport_delete(nullptr, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function TimeFreqSupport_delete");
    EXPECT_TRUE(entries_called().empty());
    EXPECT_EQ(step, -1);
}

}  // namespace
