// Serialization and buffer transport: the bytes of a server object become a common object, a moved
// handle serializes its local copy, each form of a name keeps to its own library, and transport
// references are made where the entry says, whatever library their transport client belongs to.
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;

// Where calls on a handle go, seen through an entry every library offers.
Where where(TvxObject* h) { return where_through(Quorix_descriptionString, h); }

class SerializationFamily : public FamilyTest {
protected:
    TvxObject* must(TvxObject* h) {
        EXPECT_NE(h, nullptr) << e.str();
        return h;
    }
    ErrorPair e;
};

TEST_F(SerializationFamily, TheBytesOfAServerObjectBecomeACommonObject) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    TvxObject* client = new_client();
    ASSERT_NE(client, nullptr);
    const void* client_object = where(client).object;

    // Bytes sent to the server make a server object.
    static const char sent[] = "sent bytes";
    tvxrec_clear_log();
    TvxObject* source = must(Quorix_deserialize_on_client(client, sent, sizeof sent - 1, &e.size, &e.message));
    ASSERT_EQ(entries_called(), (Calls{"remote:Quorix_deserialize"}));
    std::vector<RecordedCall> calls = recorded_calls();
    ASSERT_EQ(calls[0].args.size(), 3u);
    EXPECT_EQ(calls[0].args[0].p, client_object);
    EXPECT_EQ(calls[0].args[1].p, static_cast<const void*>(sent));
    EXPECT_EQ(calls[0].args[2].u, sizeof sent - 1);
    ASSERT_NE(source, nullptr);
    const Where source_where = where(source);
    EXPECT_EQ(source_where.library, "remote");

    // Its stream belongs to the server too; the stream's bytes are the server's, untouched.
    static const char received[] = "received bytes";
    tvxrec_set_result("remote", "SerializationStream_getOutputString", bits(received));
    size_t length = sizeof received - 1;
    tvxrec_clear_log();
    TvxObject* stream = must(Quorix_serialize(source, &e.size, &e.message));
    ASSERT_NE(stream, nullptr);
    const char* bytes = SerializationStream_getOutputString(stream, &length, &e.size, &e.message);
    EXPECT_EQ(bytes, received);
    ASSERT_EQ(entries_called(), (Calls{"remote:Quorix_serialize", "remote:SerializationStream_getOutputString"}));
    calls = recorded_calls();
    EXPECT_EQ(calls[0].args[0].p, source_where.object);
    EXPECT_EQ(calls[1].args[1].p, static_cast<const void*>(&length));

    // Deserializing them here always gives a common object, whoever made the bytes.
    tvxrec_clear_log();
    TvxObject* copy = must(Quorix_deserialize(bytes, length, &e.size, &e.message));
    ASSERT_EQ(entries_called(), (Calls{"common:Quorix_deserialize"}));
    calls = recorded_calls();
    ASSERT_EQ(calls[0].args.size(), 2u);
    EXPECT_EQ(calls[0].args[0].p, static_cast<const void*>(received));
    EXPECT_EQ(calls[0].args[1].u, sizeof received - 1);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(where(copy).library, "common");
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(source));  // copying by hand moves nothing
    for (TvxObject* h : {copy, stream, source, client}) release(h);
}

TEST_F(SerializationFamily, AMovedHandleSerializesItsLocalCopy) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    TvxObject* local = must(Quorix_create_param_tree(&e.size, &e.message));
    TvxObject* server_tree = must(Quorix_create_param_tree_on_client(nullptr, &e.size, &e.message));
    ASSERT_FALSE(HasFailure());
    Quorix_objects_holds_same_data(local, server_tree, &e.size, &e.message);
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(server_tree)) << e.str();
    const Where copy = where(server_tree);
    ASSERT_EQ(copy.library, "common");

    tvxrec_clear_log();
    TvxObject* stream = must(Quorix_serialize(server_tree, &e.size, &e.message));
    ASSERT_NE(stream, nullptr);
    size_t length = 0;
    SerializationStream_getOutputString(stream, &length, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    ASSERT_EQ(entries_called(), (Calls{"common:Quorix_serialize", "common:SerializationStream_getOutputString"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, copy.object);
    for (TvxObject* h : {stream, server_tree, local}) release(h);
}

TEST_F(SerializationFamily, EachFormKeepsToItsOwnLibrary) {
    // Only the server client, which is then the default library: the common forms report
    // themselves and the client's forms of the same names are not called.
    ASSERT_NO_FATAL_FAILURE(load_remote());
    static const char bytes[] = "bytes";
    const unsigned char raw[4] = {1, 2, 3, 4};
    EXPECT_EQ(Quorix_deserialize(bytes, 5, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Quorix_deserialize");
    e.clear();
    EXPECT_EQ(FbsClient_new("localhost:50055", &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function FbsClient_new");
    e.clear();
    EXPECT_EQ(FbsClient_StartOrGetThreadServer(true, "localhost", 50055, nullptr, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function FbsClient_StartOrGetThreadServer");
    e.clear();
    EXPECT_EQ(Fbs_CreateSliceFromBytesBuffer(raw, 4, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Fbs_CreateSliceFromBytesBuffer");
    e.clear();
    EXPECT_EQ(tvxrec_count(), 0u);

    // Only the common library: the client forms report themselves under their exported names.
    tvx_unload_everything();
    ASSERT_NO_FATAL_FAILURE(load_common());
    TvxObject* local = must(Quorix_create_param_tree(&e.size, &e.message));
    ASSERT_NE(local, nullptr);
    tvxrec_clear_log();
    EXPECT_EQ(Quorix_deserialize_on_client(local, bytes, 5, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Quorix_deserialize_on_client");
    e.clear();
    EXPECT_EQ(FbsClient_new_on_client(local, "localhost:50055", &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function FbsClient_new_on_client");
    e.clear();
    EXPECT_EQ(FbsRef_newWithFbsClient_on_client(local, local, nullptr, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function FbsRef_newWithFbsClient_on_client");
    e.clear();
    EXPECT_EQ(tvxrec_count(), 0u);
    release(local);
}

TEST_F(SerializationFamily, TransportReferencesAreMadeWhereTheEntrySays) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    TvxObject* client = new_client();
    ASSERT_NE(client, nullptr);
    const void* client_object = where(client).object;
    TvxObject* transport = must(FbsClient_new_on_client(client, "localhost:50055", &e.size, &e.message));
    ASSERT_NE(transport, nullptr);
    const Where transport_where = where(transport);
    ASSERT_EQ(transport_where.library, "remote");

    // The slice is the common library's raw pointer, never wrapped.
    unsigned char slice_storage = 0;
    FbsSlice* made = reinterpret_cast<FbsSlice*>(&slice_storage);
    tvxrec_set_result("common", "Fbs_CreateSliceFromBytesBuffer", bits(made));
    const unsigned char raw[3] = {7, 8, 9};
    FbsSlice* slice = Fbs_CreateSliceFromBytesBuffer(raw, 3, &e.size, &e.message);
    ASSERT_EQ(slice, made);

    // The in-process form goes to the common library with the server's transport client as it is.
    tvxrec_clear_log();
    TvxObject* local_ref = must(FbsRef_newWithFbsClient(transport, slice, &e.size, &e.message));
    ASSERT_EQ(entries_called(), (Calls{"common:FbsRef_newWithFbsClient"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, transport_where.object);
    EXPECT_EQ(recorded_calls()[0].args[1].p, static_cast<const void*>(slice));
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(transport));
    ASSERT_NE(local_ref, nullptr);
    EXPECT_EQ(where(local_ref).library, "common");

    // The client form: client and transport client of one server meet there.
    tvxrec_clear_log();
    TvxObject* server_ref = must(FbsRef_newWithFbsClient_on_client(client, transport, slice, &e.size, &e.message));
    ASSERT_EQ(entries_called(), (Calls{"remote:FbsRef_newWithFbsClient"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    ASSERT_EQ(calls[0].args.size(), 3u);
    EXPECT_EQ(calls[0].args[0].p, client_object);
    EXPECT_EQ(calls[0].args[1].p, transport_where.object);
    EXPECT_EQ(calls[0].args[2].p, static_cast<const void*>(slice));
    ASSERT_NE(server_ref, nullptr);
    EXPECT_EQ(where(server_ref).library, "remote");
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(client));

    // Without a client there is no reference.
    tvxrec_clear_log();
    EXPECT_EQ(FbsRef_newWithFbsClient_on_client(nullptr, transport, slice, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str().rfind("Invalid TVX object", 0), 0u) << e.str();
    e.clear();
    // The slice goes back to the common library by the address of the caller's pointer.
    Fbs_DeleteSlice(&slice, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:Fbs_DeleteSlice"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, static_cast<const void*>(&slice));
    for (TvxObject* h : {server_ref, local_ref, transport, client}) release(h);
}

}  // namespace
