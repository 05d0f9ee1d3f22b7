// Scopings, collections and label spaces: the scoping's fast-access path and its raw-pointer
// entries without an error pair, collections made from arrays of handles, and entry handles that
// ride along in a two-object call.
#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;

// Where calls on a handle go, seen through a query both libraries offer.
Where where(TvxObject* h) { return where_through(Scoping_GetLocation, h); }

class ScopingsCollectionsFamily : public FamilyTest {
protected:
    TvxObject* remote_scoping() {
        ErrorPair e;
        return Scoping_new_on_client(nullptr, &e.size, &e.message);
    }
    // Gives a remote handle a local copy: a two-object call with a common handle moves it.
    void move_into_common(TvxObject* remote_handle) {
        static const char serialized[] = "serialized";
        tvxrec_set_result("remote", "SerializationStream_getOutputString", bits(serialized));
        ErrorPair e;
        TvxObject* label_space = LabelSpace_new(&e.size, &e.message);
        LabelSpace_MergeWith(remote_handle, label_space, &e.size, &e.message);
        EXPECT_EQ(e.size, 0) << e.str();
        EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(remote_handle));
        release(label_space);
        tvxrec_clear_log();
    }
};

struct FastCase {
    const char* entry;
    const char* raw;
    unsigned long long want;  // what the exported entry hands back when the raw entry returns 0x5150
    std::vector<long long> ints;  // the integers the raw entry receives after the raw pointer
    bool size_out;                // and then the caller's size pointer
    std::function<unsigned long long(TvxObject*, int*, wchar_t**)> call;
};

TEST_F(ScopingsCollectionsFamily, FastAccessEntriesCallRawEntriesWithoutThePair) {
    load_common_and_remote();
    int n = 0;
    const std::vector<FastCase> cases = {
        {"Scoping_GetIds", "Scoping_fast_get_ids", 0x5150, {}, true,
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(Scoping_GetIds(h, &n, s, m)); }},
        {"Scoping_GetSize", "Scoping_fast_get_size", 0x5150, {}, false,
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(Scoping_GetSize(h, s, m)); }},
        {"Scoping_IdByIndex", "Scoping_fast_id_by_index", 0x5150, {3}, false,
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(Scoping_IdByIndex(h, 3, s, m)); }},
        {"Scoping_IndexById", "Scoping_fast_index_by_id", 0x5150, {4}, false,
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(Scoping_IndexById(h, 4, s, m)); }},
        {"Scoping_SetEntity", "Scoping_fast_set_entity", 0, {5, 6}, false,
         [&](TvxObject* h, int* s, wchar_t** m) {
             Scoping_SetEntity(h, 5, 6, s, m);
             return 0ull;
         }},
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        const FastCase& fc = cases[k];
        SCOPED_TRACE(fc.entry);
        ErrorPair e;
        TvxObject* scoping = Scoping_new(&e.size, &e.message);  // a fresh handle
        const Where at = where(scoping);
        ASSERT_EQ(at.library, "common");
        const void* raw = fake(0x1000 + 0x10 * k);
        tvxrec_set_result("common", "Scoping_fast_access_ptr", bits(raw));
        tvxrec_set_error("common", "Scoping_fast_access_ptr", L"fetch failed");  // goes nowhere
        tvxrec_set_error("common", fc.entry, L"ordinary form failed");
        tvxrec_set_result("common", fc.raw, 0x5150);

        int size = 3;
        wchar_t sentinel[] = L"before";
        wchar_t* message = sentinel;
        EXPECT_EQ(fc.call(scoping, &size, &message), fc.want);
        EXPECT_EQ(fc.call(scoping, &size, &message), fc.want);
        EXPECT_EQ(size, 3);  // neither written nor cleared
        EXPECT_EQ(message, sentinel);
        const std::vector<RecordedCall> calls = recorded_calls();
        const std::string raw_call = std::string("common:") + fc.raw;
        ASSERT_EQ(entries_called(), (Calls{"common:Scoping_fast_access_ptr", raw_call, raw_call}));
        EXPECT_EQ(calls[0].args[0].p, at.object);
        for (size_t c : {1u, 2u}) {
            const std::vector<TvxRecArg>& args = calls[c].args;
            ASSERT_EQ(args.size(), 1 + fc.ints.size() + (fc.size_out ? 1 : 0));
            EXPECT_EQ(args[0].p, raw);
            for (size_t i = 0; i < fc.ints.size(); ++i) EXPECT_EQ(args[1 + i].i, fc.ints[i]);
            if (fc.size_out) {
                EXPECT_EQ(args.back().p, &n);
            }
        }
        tvxrec_clear_results();
        release(scoping);
    }
}

TEST_F(ScopingsCollectionsFamily, RemoteNullAndMovedScopings) {
    load_remote();  // the remote library alone is the default library
    TvxObject* scoping = remote_scoping();
    const Where own = where(scoping);
    ASSERT_EQ(own.library, "remote");
    tvxrec_set_error("remote", "Scoping_GetSize", L"remote failure");
    ErrorPair e;
    Scoping_GetSize(scoping, &e.size, &e.message);
    EXPECT_EQ(e.str(), "remote failure");  // the ordinary path carries the caller's pair
    e.clear();
    Scoping_GetSize(scoping, &e.size, &e.message);
    Scoping_IdByIndex(nullptr, 2, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"remote:Scoping_GetSize", "remote:Scoping_GetSize", "remote:Scoping_IdByIndex"}));
    EXPECT_EQ(recorded_calls()[1].args[0].p, own.object);
    EXPECT_EQ(recorded_calls()[2].args[0].p, nullptr);
    e.clear();
    tvxrec_clear_log();
    int n = 0;
    EXPECT_EQ(Scoping_GetIds(nullptr, &n, &e.size, &e.message), nullptr);  // common class: no fallback
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Scoping_GetIds");
    EXPECT_TRUE(entries_called().empty());
    e.clear();

    // Moved, the scoping's local copy is fetched and served by the common library.
    load_common();
    move_into_common(scoping);
    const Where copy = where(scoping);
    ASSERT_EQ(copy.library, "common");
    tvxrec_set_result("common", "Scoping_fast_access_ptr", 0x2000);
    Scoping_IndexById(scoping, 8, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:Scoping_fast_access_ptr", "common:Scoping_fast_index_by_id"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, copy.object);
    release(scoping);
}

TEST_F(ScopingsCollectionsFamily, RawScopingEntriesAreSilentWithoutTheCommonLibrary) {
    TVX_LOAD(double_path("double_both"), "local", 1);
    load_remote();
    CScoping* raw = reinterpret_cast<CScoping*>(0x6000);
    int n = 0;
    EXPECT_EQ(Scoping_fast_get_ids(raw, &n), nullptr);
    EXPECT_EQ(Scoping_fast_get_size(raw), 0);
    EXPECT_EQ(Scoping_fast_index_by_id(raw, 1), 0);
    Scoping_fast_set_entity(raw, 1, 2);
    EXPECT_TRUE(entries_called().empty());

    load_common();
    tvxrec_set_result("common", "Scoping_fast_id_by_index", 11);
    EXPECT_EQ(Scoping_fast_id_by_index(raw, 2), 11);
    Scoping_fast_set_entity(raw, 3, 4);
    EXPECT_EQ(entries_called(), (Calls{"common:Scoping_fast_id_by_index", "common:Scoping_fast_set_entity"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(calls[0].args[0].p, raw);
    EXPECT_EQ(calls[0].args[1].i, 2);
    EXPECT_EQ(calls[1].args[0].p, raw);
    ASSERT_EQ(calls[1].args.size(), 3u);
    EXPECT_EQ(calls[1].args[2].i, 4);
}

using MakeCollection = TvxObject* (*)(TvxObject**, int, const char**, int, int**, int*, wchar_t**);

TEST_F(ScopingsCollectionsFamily, CollectionsFromHandlesGetTheirEffectiveObjectsInATemporaryArray) {
    load_common_and_remote();
    const struct {
        const char* name;
        MakeCollection make;
    } entries[] = {{"Collection_OfScopingNewWithData", Collection_OfScopingNewWithData},
                   {"Collection_OfFieldNewWithData", Collection_OfFieldNewWithData},
                   {"Collection_OfMeshNewWithData", Collection_OfMeshNewWithData},
                   {"Collection_OfCustomTypeFieldNewWithData", Collection_OfCustomTypeFieldNewWithData},
                   {"Collection_OfAnyNewWithData", Collection_OfAnyNewWithData}};
    ErrorPair e;
    TvxObject* common_one = Scoping_new(&e.size, &e.message);
    TvxObject* remote_one = remote_scoping();
    TvxObject* moved_one = remote_scoping();
    move_into_common(moved_one);
    const Where common_at = where(common_one), remote_at = where(remote_one), moved_at = where(moved_one);
    ASSERT_EQ(moved_at.library, "common");
    TvxObject* handles[4] = {common_one, remote_one, nullptr, moved_one};
    const char* labels[2] = {"time", "zone"};
    int* label_values[2] = {nullptr, nullptr};

    for (const auto& entry : entries) {
        SCOPED_TRACE(entry.name);
        tvxrec_clear_log();
        TvxObject* made = entry.make(handles, 4, labels, 2, label_values, &e.size, &e.message);
        ASSERT_NE(made, nullptr);
        EXPECT_EQ(e.size, 0) << e.str();
        {
            const std::vector<RecordedCall> calls = recorded_calls();
            ASSERT_EQ(entries_called(), (Calls{std::string("common:") + entry.name}));  // nothing moved
            const std::vector<TvxRecArg>& args = calls[0].args;
            EXPECT_NE(args[0].p, nullptr);
            EXPECT_NE(args[0].p, static_cast<const void*>(handles));  // objects, not the caller's handles
            EXPECT_EQ(args[1].i, 4);
            EXPECT_EQ(args[2].p, static_cast<const void*>(labels));
            EXPECT_EQ(args[3].i, 2);
            EXPECT_EQ(args[4].p, static_cast<const void*>(label_values));
        }
        EXPECT_EQ(where(made).library, "common");
        release(made);

        // A failing library: its message and no handle.
        tvxrec_set_error("common", entry.name, L"cannot collect");
        tvxrec_set_result("common", entry.name, 0);
        EXPECT_EQ(entry.make(handles, 4, labels, 2, label_values, &e.size, &e.message), nullptr);
        EXPECT_EQ(e.str(), "cannot collect");
        e.clear();
        tvxrec_clear_results();
    }

    // The caller's array and handles are as they were: not moved, still routed as before.
    EXPECT_EQ(handles[0], common_one);
    EXPECT_EQ(handles[1], remote_one);
    EXPECT_EQ(handles[2], nullptr);
    EXPECT_EQ(handles[3], moved_one);
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(remote_one));
    const Where remote_now = where(remote_one), moved_now = where(moved_one), common_now = where(common_one);
    EXPECT_EQ(remote_now.library, "remote");
    EXPECT_EQ(remote_now.object, remote_at.object);
    EXPECT_EQ(moved_now.object, moved_at.object);
    EXPECT_EQ(common_now.object, common_at.object);
    for (TvxObject* h : {common_one, remote_one, moved_one}) release(h);
}

TEST_F(ScopingsCollectionsFamily, TheEntryHandleOfAnAddedEntryIsNotReconciled) {
    load_common_and_remote();
    ErrorPair e;
    TvxObject* collection = Collection_OfFieldNew(&e.size, &e.message);
    TvxObject* label_space = LabelSpace_new(&e.size, &e.message);
    TvxObject* remote_field = Field_new_on_client(nullptr, 1, 1, "Nodal", &e.size, &e.message);
    const Where own = where(remote_field);
    const Where at_collection = where(collection), at_label_space = where(label_space);
    Collection_AddEntry(collection, label_space, remote_field, &e.size, &e.message);
    Collection_PushBackEntry(collection, label_space, nullptr, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    // The remote field travels as its own object: no copy was made for it.
    EXPECT_EQ(entries_called(), (Calls{"common:Collection_AddEntry", "common:Collection_PushBackEntry"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(calls[0].args[0].p, at_collection.object);
    EXPECT_EQ(calls[0].args[1].p, at_label_space.object);
    EXPECT_EQ(calls[0].args[2].p, own.object);
    EXPECT_EQ(calls[1].args[2].p, nullptr);
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(remote_field));
    for (TvxObject* h : {collection, label_space, remote_field}) release(h);
}

}  // namespace
