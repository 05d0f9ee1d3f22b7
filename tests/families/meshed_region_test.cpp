// Meshed regions as a client sees them: the raw fast path of the four mesh-building entries, the
// raw entries without an error pair, server meshes and the libraries that null handles reach.
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;

constexpr unsigned long long kRawMesh = 0x7a50;
IMeshedRegion* raw_mesh() { return fake<IMeshedRegion>(kRawMesh); }

// Where calls on a mesh go, seen through a query every library offers and that takes no fast path.
Where where(TvxObject* mesh) { return where_through(MeshedRegion_GetNumNodes, mesh); }

class MeshedRegionFamily : public FamilyTest {
protected:
    void configure_remote() override { server_can_copy(); }

    double coords[3] = {1.0, 2.0, 3.0};
    int nodes[4] = {0, 1, 2, 3};
};

TEST_F(MeshedRegionFamily, TheRawInterfaceIsFetchedOncePerHandleAndServesAllFourEntries) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    ErrorPair e;
    TvxObject* mesh = MeshedRegion_New(&e.size, &e.message);
    ASSERT_NE(mesh, nullptr);
    const Where seen = where(mesh);
    ASSERT_EQ(seen.library, "common");

    // No raw interface offered: the handle form, and the next call asks again.
    MeshedRegion_AddNode(mesh, coords, 3, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:MeshedRegion_fast_access_ptr", "common:MeshedRegion_AddNode"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, seen.object);
    EXPECT_EQ(recorded_calls()[1].args[0].p, seen.object);

    tvxrec_set_result("common", "MeshedRegion_fast_access_ptr", kRawMesh);
    tvxrec_set_result("common", "MeshedRegion_fast_cursor", 1);
    tvxrec_clear_log();
    int size = 99;  // the raw entries have no error pair: the caller's is left as it was
    wchar_t kept[] = L"kept";
    wchar_t* message = kept;
    MeshedRegion_AddNode(mesh, coords, 3, &size, &message);
    MeshedRegion_AddElement(mesh, 7, 2, nodes, 4, &size, &message);
    MeshedRegion_Reserve(mesh, 10, 5, &size, &message);
    const int* cursor = nullptr;
    int a = 0, b = 0, c = 0;
    EXPECT_TRUE(MeshedRegion_cursor(mesh, 1, &cursor, &a, &b, &c, &size, &message));
    EXPECT_EQ(size, 99);
    EXPECT_EQ(message, kept);
    EXPECT_EQ(entries_called(), (Calls{"common:MeshedRegion_fast_access_ptr", "common:MeshedRegion_fast_add_node",
                                       "common:MeshedRegion_fast_add_element", "common:MeshedRegion_fast_reserve",
                                       "common:MeshedRegion_fast_cursor"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    ASSERT_EQ(calls.size(), 5u);
    const std::vector<const void*> add_node{calls[1].args[0].p, calls[1].args[1].p};
    EXPECT_EQ(add_node, (std::vector<const void*>{raw_mesh(), coords}));
    EXPECT_EQ(calls[1].args.size(), 3u);
    EXPECT_EQ(calls[2].args[0].p, raw_mesh());
    EXPECT_EQ(calls[2].args[1].i, 7);
    EXPECT_EQ(calls[2].args[3].p, static_cast<const void*>(nodes));
    EXPECT_EQ(calls[2].args[4].i, 4);
    EXPECT_EQ(calls[3].args[0].p, raw_mesh());
    EXPECT_EQ(calls[3].args[2].i, 5);
    EXPECT_EQ(calls[4].args[0].p, raw_mesh());
    EXPECT_EQ(calls[4].args[2].p, static_cast<const void*>(&cursor));
    EXPECT_EQ(calls[4].args[5].p, static_cast<const void*>(&c));

    // The raw interface itself is handed out unwrapped.
    EXPECT_EQ(MeshedRegion_fast_access_ptr(mesh, &e.size, &e.message), raw_mesh());

    // Another handle on the same mesh has a cache of its own.
    TvxObject* other = Quorix_duplicate_TVXClientAPIobject(mesh, &e.size, &e.message);
    ASSERT_NE(other, nullptr);
    tvxrec_clear_log();
    MeshedRegion_Reserve(other, 1, 1, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:MeshedRegion_fast_access_ptr", "common:MeshedRegion_fast_reserve"}));

    tvxrec_clear_log();
    MeshedRegion_Delete(mesh, &e.size, &e.message);
    MeshedRegion_Delete(other, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"common:MeshedRegion_Delete", "common:MeshedRegion_Delete"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, seen.object);
}

TEST_F(MeshedRegionFamily, AServerMeshTakesTheHandleFormUntilItIsMovedLocally) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    tvxrec_set_result("common", "MeshedRegion_fast_access_ptr", kRawMesh);  // never asked for a server mesh
    ErrorPair e;
    TvxObject* mesh = MeshedRegion_New_on_client(nullptr, &e.size, &e.message);
    ASSERT_NE(mesh, nullptr);
    const Where own = where(mesh);
    ASSERT_EQ(own.library, "remote");

    MeshedRegion_AddNode(mesh, coords, 3, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"remote:MeshedRegion_AddNode"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, own.object);
    tvxrec_clear_log();
    MeshedRegion_AddElement(mesh, 7, 2, nodes, 4, &e.size, &e.message);  // a common-only entry
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function MeshedRegion_AddElement");
    EXPECT_TRUE(entries_called().empty());
    e.clear();

    // A coordinates field of the common library brings the mesh there rather than handing either
    // library an object of the other.
    TvxObject* field = Field_new(3, 10, "Nodal", &e.size, &e.message);
    ASSERT_NE(field, nullptr);
    tvxrec_clear_log();
    MeshedRegion_SetCoordinatesField(mesh, field, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(mesh));
    std::vector<RecordedCall> calls = recorded_calls();
    const RecordedCall* serialize = call_of(calls, "Quorix_serialize");
    const RecordedCall* set = call_of(calls, "MeshedRegion_SetCoordinatesField");
    ASSERT_NE(serialize, nullptr);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(serialize->library, "remote");
    EXPECT_EQ(serialize->args[0].p, own.object);
    EXPECT_EQ(set->library, "common");
    const Where local = where(mesh);
    EXPECT_EQ(local.library, "common");
    EXPECT_NE(local.object, own.object);
    EXPECT_EQ(set->args[0].p, local.object);

    // Through its local copy the mesh now takes the fast path.
    MeshedRegion_AddElement(mesh, 7, 2, nodes, 4, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:MeshedRegion_fast_access_ptr", "common:MeshedRegion_fast_add_element"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, local.object);

    tvxrec_clear_log();
    MeshedRegion_Delete(mesh, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:MeshedRegion_Delete", "remote:Quorix_delete_shared_object"}));
    calls = recorded_calls();
    EXPECT_EQ(calls[0].args[0].p, local.object);
    EXPECT_EQ(calls[1].args[0].p, own.object);
    Quorix_delete_shared_object(field, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
}

TEST_F(MeshedRegionFamily, NullHandlesAndRawEntriesReachTheirHomeLibrary) {
    // Only the server's library, which is then the default library.
    TVX_LOAD(double_path("double_remote"), "remote", 1);
    ErrorPair e;
    MeshedRegion_AddNode(nullptr, coords, 3, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"remote:MeshedRegion_AddNode"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, nullptr);
    tvxrec_clear_log();
    MeshedRegion_AddElement(nullptr, 7, 2, nodes, 4, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function MeshedRegion_AddElement");
    e.clear();
    const int* cursor = nullptr;
    int a = 0, b = 0, c = 0;
    EXPECT_FALSE(MeshedRegion_cursor(nullptr, 0, &cursor, &a, &b, &c, &e.size, &e.message));
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function MeshedRegion_cursor");

    // The raw entries have no error pair: without the common library they do nothing, silently.
    MeshedRegion_fast_add_node(raw_mesh(), coords, 3);
    MeshedRegion_fast_add_element(raw_mesh(), 7, 2, nodes, 4);
    MeshedRegion_fast_reserve(raw_mesh(), 1, 1);
    EXPECT_FALSE(MeshedRegion_fast_cursor(raw_mesh(), 0, &cursor, &a, &b, &c));
    EXPECT_TRUE(entries_called().empty());

    // With the common library loaded it is the default library as well; a null handle has no
    // cache to read, so it goes straight to the handle form.
    TVX_LOAD(double_path("double_common"), "common", 1);
    tvxrec_set_result("common", "MeshedRegion_fast_access_ptr", kRawMesh);
    tvxrec_set_result("common", "MeshedRegion_fast_cursor", 1);
    e.clear();
    MeshedRegion_AddNode(nullptr, coords, 3, &e.size, &e.message);
    EXPECT_TRUE(MeshedRegion_fast_cursor(raw_mesh(), 2, &cursor, &a, &b, &c));
    EXPECT_EQ(entries_called(), (Calls{"common:MeshedRegion_AddNode", "common:MeshedRegion_fast_cursor"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, nullptr);
    EXPECT_EQ(recorded_calls()[1].args[0].p, raw_mesh());
    EXPECT_EQ(recorded_calls()[1].args[1].i, 2);
}

}  // namespace
