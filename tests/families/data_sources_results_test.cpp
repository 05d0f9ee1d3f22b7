// Data sources, streams, models, result definitions and the entity database as a client sees them:
// raw-pointer families that always use the common library, the caller's callbacks and pointers
// of external streams, and the two entries that reconcile their handles themselves.
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;

// Where calls on a handle go, seen through a query every library offers.
Where where(TvxObject* h) { return where_through(Any_getAs_Int, h); }

int callbacks_run = 0;
void open_stream(void*) { ++callbacks_run; }
void close_stream(void*) { ++callbacks_run; }

class DataSourcesResultsFamily : public FamilyTest {
protected:
    void configure_remote() override { server_can_copy(); }
};

TEST_F(DataSourcesResultsFamily, RawPointerFamiliesPassHandlesToTheCommonLibraryWithoutReconciling) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    tvxrec_set_result("common", "DataBase_createAndHold", 0x6000);
    tvxrec_set_result("common", "DataBase_recordEntity", 12);
    tvxrec_set_result("common", "FEModel_new", 0x1000);
    tvxrec_set_result("common", "FEModel_AddResultWithScoping", 0x3000);
    tvxrec_set_result("common", "ResultDefinition_new", 0x2000);
    ErrorPair e;
    TvxObject* server_scoping = Scoping_new_on_client(nullptr, &e.size, &e.message);
    ASSERT_NE(server_scoping, nullptr);
    const Where server = where(server_scoping);
    ASSERT_EQ(server.library, "remote");

    IDataBase* db = DataBase_createAndHold("db", &e.size, &e.message);
    EXPECT_EQ(db, fake<IDataBase>(0x6000));
    EXPECT_EQ(DataBase_recordEntity(db, server_scoping, &e.size, &e.message), 12);
    CFEModel* model = FEModel_new(&e.size, &e.message);
    EXPECT_EQ(model, fake<CFEModel>(0x1000));
    CResultWorkflows* result = FEModel_AddResultWithScoping(model, "U", server_scoping, &e.size, &e.message);
    EXPECT_EQ(result, fake<CResultWorkflows>(0x3000));
    CResultDefinition* definition = ResultDefinition_new(&e.size, &e.message);
    ResultDefinition_SetMeshScoping(definition, nullptr, &e.size, &e.message);
    FEModel_DeleteResult(model, &result, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    // The server's object is handed over as it is: nothing is copied, nothing moved.
    EXPECT_EQ(entries_called(), (Calls{"common:DataBase_createAndHold", "common:DataBase_recordEntity",
                                       "common:FEModel_new", "common:FEModel_AddResultWithScoping",
                                       "common:ResultDefinition_new", "common:ResultDefinition_SetMeshScoping",
                                       "common:FEModel_DeleteResult"}));
    std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(calls[1].args[0].p, static_cast<const void*>(db));
    EXPECT_EQ(calls[1].args[1].p, server.object);
    EXPECT_EQ(calls[3].args[0].p, static_cast<const void*>(model));
    EXPECT_EQ(calls[3].args[2].p, server.object);
    EXPECT_EQ(calls[5].args[0].p, static_cast<const void*>(definition));
    EXPECT_EQ(calls[5].args[1].p, nullptr);
    EXPECT_EQ(calls[6].args[1].p, static_cast<const void*>(&result));  // the caller's variable
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(server_scoping));

    // A handle that was moved into the common library gives its local copy.
    TvxObject* local_sources = DataSources_new("file.rst", &e.size, &e.message);
    TvxObject* server_sources = DataSources_new_on_client(nullptr, &e.size, &e.message);
    DataSources_AddUpstreamDataSources(local_sources, server_sources, &e.size, &e.message);
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(server_sources));
    const Where copy = where(server_sources);
    DataBase_recordEntityByDbId("db", server_sources, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:DataBase_recordEntityByDbId"}));
    EXPECT_EQ(recorded_calls()[0].args[1].p, copy.object);
    for (TvxObject* h : {server_scoping, local_sources, server_sources}) release(h);
}

TEST_F(DataSourcesResultsFamily, ExternalStreamsKeepTheCallersCallbacksAndPointers) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    static int user_data = 0;
    callbacks_run = 0;
    ErrorPair e;
    TvxObject* sources = DataSources_new("file.rst", &e.size, &e.message);
    TvxObject* streams = Streams_new(sources, &e.size, &e.message);
    TvxObject* server_handle = Scoping_new_on_client(nullptr, &e.size, &e.message);
    TvxObject* server_label_space = LabelSpace_new_for_object(server_handle, &e.size, &e.message);
    ASSERT_NE(streams, nullptr);
    ASSERT_NE(server_label_space, nullptr);
    const Where streams_seen = where(streams);
    ASSERT_EQ(streams_seen.library, "common");
    ASSERT_EQ(where(server_label_space).library, "remote");

    Streams_addExternalStream(streams, "rst", "a.rst", &open_stream, &close_stream, &user_data, &e.size, &e.message);
    // The label space of the server is copied over; the callbacks still pass untouched.
    Streams_addExternalStreamWithLabelSpace(streams, "rst", "b.rst", &open_stream, &close_stream, &user_data,
                                            server_label_space, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    std::vector<RecordedCall> calls = recorded_calls();
    const RecordedCall* plain = call_of(calls, "Streams_addExternalStream");
    const RecordedCall* labelled = call_of(calls, "Streams_addExternalStreamWithLabelSpace");
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(labelled, nullptr);
    for (const RecordedCall* c : {plain, labelled}) {
        EXPECT_EQ(c->library, "common");
        ASSERT_EQ(c->args.size(), c == plain ? 6u : 7u);
        EXPECT_EQ(c->args[0].p, streams_seen.object);
        EXPECT_EQ(c->args[3].p, reinterpret_cast<const void*>(&open_stream));
        EXPECT_EQ(c->args[4].p, reinterpret_cast<const void*>(&close_stream));
        EXPECT_EQ(c->args[5].p, static_cast<const void*>(&user_data));
    }
    EXPECT_STREQ(labelled->args[2].s, "b.rst");
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(server_label_space));
    EXPECT_EQ(labelled->args[6].p, where(server_label_space).object);

    // What the library gives back for a stream is the caller's pointer, returned as it is.
    tvxrec_set_result("common", "Streams_getExternalStream", bits(&user_data));
    tvxrec_set_result("common", "Streams_getExternalStreamWithLabelSpace", bits(&user_data));
    EXPECT_EQ(Streams_getExternalStream(streams, "rst", &e.size, &e.message), &user_data);
    EXPECT_EQ(Streams_getExternalStreamWithLabelSpace(streams, server_label_space, &e.size, &e.message), &user_data);
    EXPECT_EQ(callbacks_run, 0) << "the callbacks are the library's to call";

    tvxrec_clear_log();
    Streams_delete(streams, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:Streams_delete"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, streams_seen.object);
    for (TvxObject* h : {sources, server_handle, server_label_space}) release(h);
}

TEST_F(DataSourcesResultsFamily, AStreamLookedUpByLabelSpaceIsNullWheneverTheLibraryIsNotCalled) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    static int user_data = 0;
    tvxrec_set_result("common", "Streams_getExternalStreamWithLabelSpace", bits(&user_data));
    ErrorPair e;
    TvxObject* streams = Streams_new(nullptr, &e.size, &e.message);
    TvxObject* label_space = LabelSpace_new(&e.size, &e.message);
    TvxObject* server_streams = Streams_getCopy(5, nullptr, &e.size, &e.message);
    TvxObject* server_label_space = LabelSpace_new_for_object(server_streams, &e.size, &e.message);
    ASSERT_NE(streams, nullptr);
    ASSERT_NE(server_label_space, nullptr);
    tvxrec_clear_log();

    EXPECT_EQ(Streams_getExternalStreamWithLabelSpace(nullptr, label_space, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str().rfind("Invalid TVX object", 0), 0u) << e.str();
    e.clear();
    // The streams' own library decides, and the server's has no such entry.
    EXPECT_EQ(Streams_getExternalStreamWithLabelSpace(server_streams, label_space, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Streams_getExternalStreamWithLabelSpace");
    e.clear();
    server_unreachable();
    EXPECT_EQ(Streams_getExternalStreamWithLabelSpace(streams, server_label_space, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "server gone when calling function Streams_getExternalStreamWithLabelSpace");
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(server_label_space));
    EXPECT_EQ(call_of(recorded_calls(), "Streams_getExternalStreamWithLabelSpace"), nullptr);
    e.clear();

    // Without a label space the library is asked with none.
    tvxrec_clear_log();
    EXPECT_EQ(Streams_getExternalStreamWithLabelSpace(streams, nullptr, &e.size, &e.message), &user_data);
    EXPECT_EQ(entries_called(), (Calls{"common:Streams_getExternalStreamWithLabelSpace"}));
    EXPECT_EQ(recorded_calls()[0].args[1].p, nullptr);
    for (TvxObject* h : {streams, label_space, server_streams, server_label_space}) release(h);
}

TEST_F(DataSourcesResultsFamily, UpstreamForASpecifiedResultReconcilesLikeEveryTwoObjectEntry) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    ErrorPair e;
    TvxObject* local = DataSources_new("a.rst", &e.size, &e.message);
    TvxObject* server = DataSources_new_on_client(nullptr, &e.size, &e.message);
    TvxObject* other_server = DataSources_getCopy(7, nullptr, &e.size, &e.message);
    ASSERT_NE(local, nullptr);
    ASSERT_NE(server, nullptr);
    ASSERT_NE(other_server, nullptr);
    const Where local_seen = where(local), own = where(server), other_own = where(other_server);

    DataSources_AddUpstreamDataSourcesForSpecifiedResult(nullptr, local, "U", &e.size, &e.message);
    EXPECT_EQ(e.str().rfind("Invalid TVX object", 0), 0u) << e.str();
    EXPECT_TRUE(entries_called().empty());
    e.clear();
    DataSources_AddUpstreamDataSourcesForSpecifiedResult(local, nullptr, "U", &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    ASSERT_EQ(entries_called(), (Calls{"common:DataSources_AddUpstreamDataSourcesForSpecifiedResult"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, local_seen.object);
    EXPECT_EQ(recorded_calls()[0].args[1].p, nullptr);
    EXPECT_STREQ(recorded_calls()[0].args[2].s, "U");

    // The server's data sources cannot be moved: the entry is named, nothing is called.
    server_unreachable();
    tvxrec_clear_log();
    DataSources_AddUpstreamDataSourcesForSpecifiedResult(server, local, "U", &e.size, &e.message);
    EXPECT_EQ(e.str(), "server gone when calling function DataSources_AddUpstreamDataSourcesForSpecifiedResult");
    EXPECT_EQ(call_of(recorded_calls(), "DataSources_AddUpstreamDataSourcesForSpecifiedResult"), nullptr);
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(server));
    e.clear();

    // Next time it is moved, and the common library's entry takes the copy.
    tvxrec_clear_results();
    server_can_copy();
    tvxrec_clear_log();
    DataSources_AddUpstreamDataSourcesForSpecifiedResult(server, local, "S", &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(server));
    std::vector<RecordedCall> calls = recorded_calls();
    const RecordedCall* call = call_of(calls, "DataSources_AddUpstreamDataSourcesForSpecifiedResult");
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->library, "common");
    EXPECT_STREQ(call->args[2].s, "S");  // the text is the recorder's until its log is cleared
    EXPECT_EQ(call->args[1].p, local_seen.object);
    const void* first = call->args[0].p;
    const Where copy = where(server);
    EXPECT_NE(copy.object, own.object);
    EXPECT_EQ(first, copy.object);

    // Two handles of the server meet there with their own objects, local copy or not.
    tvxrec_clear_log();
    DataSources_AddUpstreamDataSourcesForSpecifiedResult(other_server, server, "T", &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"remote:DataSources_AddUpstreamDataSourcesForSpecifiedResult"}));
    calls = recorded_calls();
    EXPECT_EQ(calls[0].args[0].p, other_own.object);
    EXPECT_EQ(calls[0].args[1].p, own.object);
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(other_server));
    for (TvxObject* h : {local, server, other_server}) release(h);
}

TEST_F(DataSourcesResultsFamily, NewStreamsBelongToTheLibraryOfTheirArgument) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    ErrorPair e;
    TvxObject* local = DataSources_new("a.rst", &e.size, &e.message);
    TvxObject* server = DataSources_new_on_client(nullptr, &e.size, &e.message);
    ASSERT_NE(server, nullptr);

    // A server handle chooses the server's library, which makes no streams.
    tvxrec_clear_log();
    EXPECT_EQ(Streams_new(server, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Streams_new");
    EXPECT_TRUE(entries_called().empty());
    e.clear();

    // Once moved it chooses the common library, which receives the local copy.
    DataSources_AddUpstreamDataSources(local, server, &e.size, &e.message);
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(server));
    const Where copy = where(server);
    TvxObject* streams = Streams_new(server, &e.size, &e.message);
    ASSERT_NE(streams, nullptr);
    EXPECT_EQ(entries_called(), (Calls{"common:Streams_new"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, copy.object);
    EXPECT_EQ(where(streams).library, "common");
    for (TvxObject* h : {streams, local, server}) release(h);
}

}  // namespace
