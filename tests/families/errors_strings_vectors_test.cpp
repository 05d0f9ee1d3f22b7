// Errors, strings and vectors: memory goes back to the library that made it, vectors stay with
// theirs, null handles of the generic services go to the default library, and error objects and
// wrapped values live in the common library.
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;
using tvxtest::release;  // overloaded below for vectors

// Where calls on a handle go, seen through an entry every library offers.
Where where(TvxObject* h) { return where_through(Quorix_descriptionString, h); }
// The library and vector object that a vector entry on `v` reaches.
Where where(SharedTvxVector* v) {
    return where_by([&](int* size, wchar_t** message) { TvxVector_int_commit(v, nullptr, 0, false, size, message); });
}

void release(SharedTvxVector* v) {
    ErrorPair e;
    TvxVector_delete(v, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
}

class ErrorsStringsVectorsFamily : public FamilyTest {
protected:
    // A remote handle that met a common one and now has a local copy.
    static void move(TvxObject* remote_handle, TvxObject* common_handle) {
        ErrorPair e;
        Quorix_objects_holds_same_data(common_handle, remote_handle, &e.size, &e.message);
        ASSERT_EQ(e.size, 0) << e.str();
        ASSERT_TRUE(QuorixCore_HasBeenMovedLocally(remote_handle));
    }
};

TEST_F(ErrorsStringsVectorsFamily, NullHandlesGoToTheDefaultLibraryEvenWithoutACommonOne) {
    TVX_LOAD(double_path("double_both"), "local", 1);  // the default library: no common one is loaded
    tvxrec_hand_out_objects("both", 1);
    ErrorPair e;
    int ints[2] = {1, 2};
    Quorix_delete_shared_object(nullptr, &e.size, &e.message);
    TvxVector_delete(nullptr, &e.size, &e.message);
    Quorix_deleteString("text", &e.size, &e.message);
    Quorix_free_ints(ints);
    Quorix_free_ints_for_object(nullptr, ints);
    SharedTvxVector* v = TvxVector_new_for_object(nullptr, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"both:Quorix_delete_shared_object", "both:TvxVector_delete",
                                       "both:Quorix_deleteString", "both:Quorix_free_ints", "both:Quorix_free_ints",
                                       "both:TvxVector_new"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[0].args[0].p, nullptr);
    EXPECT_EQ(calls[1].args[0].p, nullptr);
    EXPECT_EQ(calls[4].args[0].p, static_cast<const void*>(ints));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(where(v).library, "both");

    // The entries of the common class have no library to go to and say so, or stay silent.
    tvxrec_clear_log();
    TvxVector_char_ptr_commit_with_size(nullptr, nullptr, nullptr, 0, false, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function TvxVector_char_ptr_commit_with_size");
    e.clear();
    EXPECT_EQ(TvxError_new(), nullptr);
    EXPECT_EQ(Quorix_wrap_unknown(fake<UnknownType>(0x10), nullptr, 3), nullptr);
    EXPECT_EQ(tvxrec_count(), 0u);
    release(v);
}

TEST_F(ErrorsStringsVectorsFamily, MemoryGoesBackToTheLibraryThatMadeIt) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    ErrorPair e;
    TvxObject* client = new_client();
    ASSERT_NE(client, nullptr);
    static char address[] = "localhost:50052";
    static char description[] = "a field";
    tvxrec_set_result("remote", "Client_get_full_address", bits(address));
    tvxrec_set_result("remote", "Quorix_descriptionString", bits(description));

    // Strings and arrays of the server's library, handed back through a handle of that library.
    char* text = Client_get_full_address(client, &e.size, &e.message);
    ASSERT_EQ(text, address);  // never copied
    char* about = Quorix_descriptionString(client, &e.size, &e.message);
    ASSERT_EQ(about, description);
    int* ints = fake<int>(0x2000);
    double* doubles = fake<double>(0x3000);
    TvxString* string_object = fake<TvxString>(0x4000);
    tvxrec_clear_log();
    Quorix_deleteString_for_object(client, text, &e.size, &e.message);
    Quorix_deleteString_for_object(client, about, &e.size, &e.message);
    Quorix_free_ints_for_object(client, ints);
    Quorix_free_doubles_for_object(client, doubles);
    TvxString_free_for_object(client, string_object, "chars", 5, &e.size, &e.message);
    // Without the handle the string would go to the default library.
    Quorix_deleteString(text, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"remote:Quorix_deleteString", "remote:Quorix_deleteString",
                                       "remote:Quorix_free_ints", "remote:Quorix_free_doubles",
                                       "remote:TvxString_free", "common:Quorix_deleteString"}));
    std::vector<RecordedCall> calls = recorded_calls();
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[0].args[0].p, static_cast<const void*>(address));
    EXPECT_EQ(calls[1].args[0].p, static_cast<const void*>(description));
    EXPECT_EQ(calls[2].args[0].p, static_cast<const void*>(ints));
    EXPECT_EQ(calls[3].args[0].p, static_cast<const void*>(doubles));
    ASSERT_EQ(calls[4].args.size(), 3u);  // the handle only chose the library
    EXPECT_EQ(calls[4].args[0].p, static_cast<const void*>(string_object));
    EXPECT_STREQ(calls[4].args[1].s, "chars");
    EXPECT_EQ(calls[4].args[2].i, 5);

    // A message of the server's library becomes text there, and an error object in the common
    // library; the message stays the caller's (the pair frees it).
    tvxrec_set_error("remote", "Client_get_protocol_name", L"no protocol");
    Client_get_protocol_name(client, &e.size, &e.message);
    ASSERT_EQ(e.str(), "no protocol");
    static char converted[] = "no protocol";
    tvxrec_set_result("remote", "Quorix_parse_error_to_str", bits(converted));
    TvxError* error = fake<TvxError>(0x5000);
    tvxrec_set_result("common", "Quorix_parse_error", bits(error));
    static char error_text[] = "no protocol";
    tvxrec_set_result("common", "TvxError_message_text", bits(error_text));
    tvxrec_clear_log();
    EXPECT_EQ(Quorix_parse_error_to_str_for_object(client, e.size, e.message), converted);
    ASSERT_EQ(Quorix_parse_error(e.size, e.message), error);
    EXPECT_EQ(TvxError_message_text(error), error_text);
    TvxError_delete(error);
    EXPECT_EQ(entries_called(), (Calls{"remote:Quorix_parse_error_to_str", "common:Quorix_parse_error",
                                       "common:TvxError_message_text", "common:TvxError_delete"}));
    calls = recorded_calls();
    ASSERT_EQ(calls.size(), 4u);
    for (int i : {0, 1}) {
        ASSERT_EQ(calls[i].args.size(), 2u);
        EXPECT_EQ(calls[i].args[0].i, e.size);
        EXPECT_EQ(calls[i].args[1].p, static_cast<const void*>(e.message));
    }
    EXPECT_EQ(calls[2].args[0].p, static_cast<const void*>(error));
    EXPECT_EQ(calls[3].args[0].p, static_cast<const void*>(error));
    release(client);
}

TEST_F(ErrorsStringsVectorsFamily, VectorsStayWithTheLibraryThatMadeThem) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    ErrorPair e;
    TvxObject* client = new_client();
    TvxObject* local = Quorix_create_param_tree(&e.size, &e.message);
    TvxObject* server_tree = Quorix_create_param_tree_on_client(client, &e.size, &e.message);
    ASSERT_NE(local, nullptr);
    ASSERT_NE(server_tree, nullptr);

    tvxrec_clear_log();
    SharedTvxVector* remote_vector = TvxVector_new_for_object(client, &e.size, &e.message);
    SharedTvxVector* default_vector = TvxVector_new(&e.size, &e.message);
    ASSERT_EQ(entries_called(), (Calls{"remote:TvxVector_new", "common:TvxVector_new"}));
    EXPECT_TRUE(recorded_calls()[0].args.empty());  // the handle only chose the library
    ASSERT_NE(remote_vector, nullptr);
    ASSERT_NE(default_vector, nullptr);
    const Where remote_where = where(remote_vector);
    const Where default_where = where(default_vector);
    EXPECT_EQ(remote_where.library, "remote");
    EXPECT_EQ(default_where.library, "common");

    // A second vector goes as its object to the first vector's library, whatever its own library.
    double out_buffer[2] = {0, 0};
    double* out = out_buffer;
    tvxrec_clear_log();
    TvxVector_double_extract_sub(remote_vector, out_buffer, 2, default_vector, 0, 1, &out, &e.size, &e.message);
    ASSERT_EQ(entries_called(), (Calls{"remote:TvxVector_double_extract_sub"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, remote_where.object);
    EXPECT_EQ(recorded_calls()[0].args[3].p, default_where.object);
    // The duplicate is a vector of the same library; the commit with sizes exists only in the
    // common library.
    SharedTvxVector* duplicate = TvxVector_duplicate_tvx_vector(remote_vector, &e.size, &e.message);
    ASSERT_NE(duplicate, nullptr);
    EXPECT_EQ(where(duplicate).library, "remote");
    TvxVector_char_ptr_commit_with_size(remote_vector, nullptr, nullptr, 0, true, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function TvxVector_char_ptr_commit_with_size");
    e.clear();

    // A handle moved into the common library makes its vectors there.
    ASSERT_NO_FATAL_FAILURE(move(server_tree, local));
    tvxrec_clear_log();
    SharedTvxVector* moved_vector = TvxVector_new_for_object(server_tree, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:TvxVector_new"}));
    ASSERT_NE(moved_vector, nullptr);
    EXPECT_EQ(where(moved_vector).library, "common");

    // Each vector is released by its own library, with its own object.
    tvxrec_clear_log();
    release(remote_vector);
    release(default_vector);
    EXPECT_EQ(entries_called(), (Calls{"remote:TvxVector_delete", "common:TvxVector_delete"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, remote_where.object);
    EXPECT_EQ(recorded_calls()[1].args[0].p, default_where.object);
    release(duplicate);
    release(moved_vector);
    for (TvxObject* h : {server_tree, local, client}) release(h);
}

TEST_F(ErrorsStringsVectorsFamily, AMovedHandleAnswersFromItsCopyAndIsReleasedInBothLibraries) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    ErrorPair e;
    TvxObject* local = Quorix_create_param_tree(&e.size, &e.message);
    TvxObject* server_tree = Quorix_create_param_tree_on_client(nullptr, &e.size, &e.message);
    ASSERT_NE(local, nullptr);
    ASSERT_NE(server_tree, nullptr);
    const void* own = where(server_tree).object;
    tvxrec_set_result("remote", "Quorix_get_id_of_duplicate_object_reference", 12);
    EXPECT_EQ(Quorix_get_id_of_duplicate_object_reference(server_tree, &e.size, &e.message), 12);
    EXPECT_EQ(Quorix_get_id_of_duplicate_object_reference(local, &e.size, &e.message), 0);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Quorix_get_id_of_duplicate_object_reference");
    e.clear();

    ASSERT_NO_FATAL_FAILURE(move(server_tree, local));
    const void* copy = where(server_tree).object;
    ASSERT_NE(copy, own);
    // Its server id is no longer reachable: the copy lives in the common library.
    EXPECT_EQ(Quorix_get_id_of_duplicate_object_reference(server_tree, &e.size, &e.message), 0);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Quorix_get_id_of_duplicate_object_reference");
    e.clear();
    // The release ends the handle although the common library complains: the handle's own object
    // is released on the server right after the copy.
    tvxrec_set_error("common", "Quorix_delete_shared_object", L"still referenced");
    tvxrec_clear_log();
    Quorix_delete_shared_object(server_tree, &e.size, &e.message);
    EXPECT_EQ(e.str(), "still referenced");
    EXPECT_EQ(entries_called(), (Calls{"common:Quorix_delete_shared_object", "remote:Quorix_delete_shared_object"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].args[0].p, copy);
    EXPECT_EQ(calls[1].args[0].p, own);
    tvxrec_clear_results();
    release(local);
}

}  // namespace
