// Framework lifecycle, clients and server information: the two forms of one name reach different
// libraries with different arguments, client entries take whatever handles they are given, and
// neither form ever falls back to the other library.
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;

// Where calls on a handle go, seen through an entry every library offers.
Where where(TvxObject* h) { return where_through(Quorix_descriptionString, h); }

using LifecycleFamily = FamilyTest;

TEST_F(LifecycleFamily, EachFormOfANameReachesItsOwnLibraryWithItsOwnArguments) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    TvxObject* client = new_client();
    const Where client_at = where(client);
    ASSERT_EQ(client_at.library, "remote");
    const void* client_object = client_at.object;

    static char local_os[] = "local";
    static char server_os[] = "server";
    tvxrec_set_result("common", "Quorix_getOs", bits(local_os));
    tvxrec_set_result("remote", "Quorix_getOs", bits(server_os));
    int major = -1, minor = -1;
    ErrorPair e;
    tvxrec_clear_log();
    // The strings are the libraries' own memory, handed back as they are.
    EXPECT_EQ(Quorix_getOs(&e.size, &e.message), local_os);
    EXPECT_EQ(Quorix_getOs_on_client(client, &e.size, &e.message), server_os);
    Quorix_initialization(&e.size, &e.message);
    Quorix_initialization_on_client(client);  // the remote form: the client only, no error pair
    Quorix_load_library("plugin", "path", "symbol", &e.size, &e.message);
    Quorix_load_library_on_client("plugin", "path", "symbol", client, &e.size, &e.message);
    Quorix_getServerVersion_on_client(client, &major, &minor, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();

    EXPECT_EQ(entries_called(), (Calls{"common:Quorix_getOs", "remote:Quorix_getOs", "common:Quorix_initialization",
                                       "remote:Quorix_initialization", "common:Quorix_load_library",
                                       "remote:Quorix_load_library", "remote:Quorix_getServerVersion"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    ASSERT_EQ(calls.size(), 7u);
    // One name, two slots.
    EXPECT_NE(calls[0].slot, calls[1].slot);
    EXPECT_NE(calls[2].slot, calls[3].slot);
    EXPECT_NE(calls[4].slot, calls[5].slot);
    EXPECT_TRUE(calls[0].args.empty());
    ASSERT_EQ(calls[1].args.size(), 1u);
    EXPECT_EQ(calls[1].args[0].p, client_object);
    EXPECT_TRUE(calls[2].args.empty());
    ASSERT_EQ(calls[3].args.size(), 1u);
    EXPECT_EQ(calls[3].args[0].p, client_object);
    ASSERT_EQ(calls[4].args.size(), 3u);
    // The client comes after the three strings, which keep their order.
    ASSERT_EQ(calls[5].args.size(), 4u);
    EXPECT_STREQ(calls[5].args[0].s, "plugin");
    EXPECT_STREQ(calls[5].args[1].s, "path");
    EXPECT_STREQ(calls[5].args[2].s, "symbol");
    EXPECT_EQ(calls[5].args[3].p, client_object);
    ASSERT_EQ(calls[6].args.size(), 3u);
    EXPECT_EQ(calls[6].args[0].p, client_object);
    EXPECT_EQ(calls[6].args[1].p, static_cast<const void*>(&major));
    EXPECT_EQ(calls[6].args[2].p, static_cast<const void*>(&minor));
    release(client);
}

TEST_F(LifecycleFamily, NeitherFormFallsBackToTheOtherLibrary) {
    // Only the in-process framework: every server entry reports itself under its exported name.
    ASSERT_NO_FATAL_FAILURE(load_common());
    ErrorPair e;
    TvxObject* local = Quorix_create_param_tree(&e.size, &e.message);
    ASSERT_NE(local, nullptr);
    tvxrec_clear_log();
    EXPECT_EQ(Client_new("localhost", "50052", &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Client_new");
    e.clear();
    EXPECT_EQ(Quorix_getOs_on_client(local, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Quorix_getOs_on_client");
    e.clear();
    EXPECT_EQ(TmpDir_getDir_on_client(local, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function TmpDir_getDir_on_client");
    e.clear();
    EXPECT_EQ(Quorix_create_param_tree_on_client(local, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Quorix_create_param_tree_on_client");
    e.clear();
    Quorix_initialization_on_client(local);  // silent
    EXPECT_EQ(tvxrec_count(), 0u) << "the common library's forms of these names are not used";
    release(local);

    // Only the server client: the common forms report themselves, though a default library exists.
    tvx_unload_everything();
    ASSERT_NO_FATAL_FAILURE(load_remote());
    tvxrec_clear_log();
    Quorix_initialization(&e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Quorix_initialization");
    e.clear();
    EXPECT_EQ(Quorix_release(1, &e.size, &e.message), 0);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Quorix_release");
    e.clear();
    EXPECT_EQ(Quorix_create_param_tree(&e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Quorix_create_param_tree");
    e.clear();
    EXPECT_EQ(Quorix_getGlobalConfigAsDataTree(&e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Quorix_getGlobalConfigAsDataTree");
    EXPECT_EQ(tvxrec_count(), 0u) << "the remote library's forms of these names are not used";
}

TEST_F(LifecycleFamily, ClientEntriesPassHandlesOfAnyLibraryWithoutMovingThem) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    TvxObject* client = new_client();
    ErrorPair e;
    TvxObject* local = Quorix_create_param_tree(&e.size, &e.message);
    TvxObject* server_tree = Quorix_create_param_tree_on_client(client, &e.size, &e.message);
    ASSERT_NE(local, nullptr);
    ASSERT_NE(server_tree, nullptr);
    const void* client_object = where(client).object;
    const void* local_object = where(local).object;
    ASSERT_EQ(where(server_tree).library, "remote");

    // Meeting a common object moves the server's tree into the common library.
    Quorix_objects_holds_same_data(local, server_tree, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(server_tree));
    const Where copy = where(server_tree);
    ASSERT_EQ(copy.library, "common");

    tvxrec_set_result("remote", "Client_has_local_server", 1);
    tvxrec_clear_log();
    Client_set_local_server(client, local, &e.size, &e.message);
    Client_set_local_server(client, server_tree, &e.size, &e.message);
    TvxObject* made = Quorix_create_from_on_client(client, local, &e.size, &e.message);
    EXPECT_TRUE(Client_has_local_server(local, &e.size, &e.message));  // a common handle as the client
    EXPECT_EQ(e.size, 0) << e.str();
    // Nothing is serialized, copied or reconciled on the way.
    EXPECT_EQ(entries_called(), (Calls{"remote:Client_set_local_server", "remote:Client_set_local_server",
                                       "remote:Quorix_create_from_on_client", "remote:Client_has_local_server"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].args[0].p, client_object);
    EXPECT_EQ(calls[0].args[1].p, local_object);
    EXPECT_EQ(calls[1].args[1].p, copy.object);  // the moved handle's local copy
    EXPECT_EQ(calls[2].args[0].p, client_object);
    EXPECT_EQ(calls[2].args[1].p, local_object);
    EXPECT_EQ(calls[3].args[0].p, local_object);
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(local));
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(client));
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(where(made).library, "remote");
    for (TvxObject* h : {made, server_tree, local, client}) release(h);
}

TEST_F(LifecycleFamily, GetClientAsksTheLibraryOfTheObject) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    ErrorPair e;
    TvxObject* local = Quorix_create_param_tree(&e.size, &e.message);
    TvxObject* server_tree = Quorix_create_param_tree_on_client(nullptr, &e.size, &e.message);
    ASSERT_NE(local, nullptr);
    ASSERT_NE(server_tree, nullptr);
    const void* server_object = where(server_tree).object;

    // A null handle goes to the remote library with a null object.
    tvxrec_clear_log();
    TvxObject* from_null = Quorix_get_client(nullptr, &e.size, &e.message);
    ASSERT_EQ(entries_called(), (Calls{"remote:Quorix_get_client"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, nullptr);
    ASSERT_NE(from_null, nullptr);
    EXPECT_EQ(where(from_null).library, "remote");

    tvxrec_clear_log();
    TvxObject* from_server = Quorix_get_client(server_tree, &e.size, &e.message);
    ASSERT_EQ(entries_called(), (Calls{"remote:Quorix_get_client"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, server_object);
    ASSERT_NE(from_server, nullptr);

    // An object of the common library has no server: the common library has no such entry.
    tvxrec_clear_log();
    EXPECT_EQ(Quorix_get_client(local, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Quorix_get_client");
    e.clear();
    // Neither has a server object once it was moved into the common library.
    Quorix_objects_holds_same_data(local, server_tree, &e.size, &e.message);
    ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(server_tree));
    tvxrec_clear_log();
    EXPECT_EQ(Quorix_get_client(server_tree, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Quorix_get_client");
    EXPECT_EQ(tvxrec_count(), 0u);
    for (TvxObject* h : {from_null, from_server, server_tree, local}) release(h);
}

TEST_F(LifecycleFamily, ContextsMeetTheirClientOnTheServer) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    TvxObject* client = new_client();
    ErrorPair e;
    TvxObject* context = Quorix_create_param_tree_on_client(client, &e.size, &e.message);
    ASSERT_NE(context, nullptr);
    const void* client_object = where(client).object;
    const void* context_object = where(context).object;

    // The in-process form is an object entry: a server context reaches the remote library, which
    // has no in-process form.
    tvxrec_clear_log();
    EXPECT_EQ(quorix_applyContext_v2(context, &e.size, &e.message), 0);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function quorix_applyContext_v2");
    e.clear();
    EXPECT_EQ(tvxrec_count(), 0u);

    tvxrec_set_result("remote", "quorix_applyContext_v2", 5);
    EXPECT_EQ(quorix_applyContext_v2_on_client(client, context, &e.size, &e.message), 5);
    EXPECT_EQ(quorix_applyContext_v2_on_client(client, nullptr, &e.size, &e.message), 5);
    EXPECT_EQ(e.size, 0) << e.str();
    ASSERT_EQ(entries_called(), (Calls{"remote:quorix_applyContext_v2", "remote:quorix_applyContext_v2"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(calls[0].args[0].p, client_object);
    EXPECT_EQ(calls[0].args[1].p, context_object);
    EXPECT_EQ(calls[1].args[0].p, client_object);
    EXPECT_EQ(calls[1].args[1].p, nullptr);
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(client));
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(context));

    // Without a client there is nothing to call.
    tvxrec_clear_log();
    EXPECT_EQ(quorix_applyContext_v2_on_client(nullptr, context, &e.size, &e.message), 0);
    EXPECT_EQ(e.str().rfind("Invalid TVX object", 0), 0u) << e.str();
    EXPECT_EQ(tvxrec_count(), 0u);
    for (TvxObject* h : {context, client}) release(h);
}

}  // namespace
