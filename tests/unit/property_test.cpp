// Long random sequences against the recording doubles: loads and unloads (while no handle lives),
// handles made in "common", "remote" and a third library, forwarded calls, two-object calls across
// them (moves of data, operators and workflows), duplicates, deep copies and releases, with failures
// injected into the doubles at random and messages from every kind of allocator.
//
// After every step each message is well formed (size = length + 1, or -1 with no text); at the end
// every object a double made has been released exactly once. Under the address sanitizer a handle
// used after this library released it is reported at once.
//
//   TVX_PROPERTY_SEED=<n> TVX_PROPERTY_STEPS=<n> property_tests     (defaults: seed 1, 4000 steps)
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <random>
#include <string>
#include <vector>

#include "dispatch/forward.h"
#include "loader/registry.h"
#include "tests/support/test_support.h"

namespace {

using namespace tvxtest;

enum class Kind { Data, Operator, Workflow };

struct Handle {
    TvxObject* h;
    Kind kind;
};

// Entries whose failure changes the path a call takes: moves, deep copies, releases, creation.
const char* const kFailurePoints[] = {
    "Quorix_serialize", "SerializationStream_getOutputString", "Quorix_deserialize", "Quorix_get_client",
    "Operator_new", "DataSources_new", "Client_get_full_address", "Client_get_protocol_name",
    "DataSources_SetResultFilePathWithKeyUtf8", "Operator_get_id_for_client", "Workflow_get_client_id",
    "Operator_connect_int", "Operator_connect_DataSources", "Operator_getoutput_Operator",
    "Operator_getoutput_Workflow", "Quorix_delete_shared_object", "Quorix_duplicate_object_reference",
    "Operator_connect_Field", "CSField_SetCScoping", "Field_fast_access_ptr", "Field_new", "Operator_run"};
const char* const kLibraries[] = {"common", "remote", "both"};  // ids of the doubles

unsigned long long env_number(const char* name, unsigned long long fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 10) : fallback;
}

class RandomSequences : public LedgerTest {
protected:
    std::mt19937_64 rng;
    std::vector<Handle> handles;
    TvxObject* client = nullptr;
    tvx::API* x = nullptr;
    bool loaded = false;
    unsigned long long calls = 0, failures_seen = 0, moves_seen = 0;

    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); }
    bool chance(int percent) { return static_cast<int>(pick(100)) < percent; }

    // Checks the pair after a call, hands the message back where it belongs, and clears the pair.
    void settle(int& size, wchar_t*& message) {
        ++calls;
        if (size != 0) {
            ++failures_seen;
            if (size == -1) {
                EXPECT_EQ(message, nullptr);
            } else {
                ASSERT_NE(message, nullptr) << "a failure without a message";
                ASSERT_EQ(static_cast<std::size_t>(size), std::wcslen(message) + 1) << "size is not length + 1";
                if (tvxrec_is_recorder_message(message))
                    tvxrec_return_counted_message(message);  // static texts are simply left
                else
                    TVX_FreeErrorMessage(message);
            }
        }
        size = 0;
        message = nullptr;
    }

    void keep(TvxObject* h, Kind kind) {
        if (h != nullptr) handles.push_back({h, kind});
    }

    void load_all() {
        TVX_LOAD(double_path("double_common"), "common", 1);
        TVX_LOAD(double_path("double_remote"), "remote", 1);
        TVX_LOAD(double_path("double_both"), "x", 1);
        x = tvx::registry::find("x");
        static const char address[] = "localhost:50052";
        static const char protocol[] = "grpc";
        for (const char* id : kLibraries) {
            tvxrec_hand_out_objects(id, 1);
            tvxrec_clear_size_on_success(id, 1);
        }
        tvxrec_set_result("remote", "Client_get_full_address", reinterpret_cast<unsigned long long>(address));
        tvxrec_set_result("remote", "Client_get_protocol_name", reinterpret_cast<unsigned long long>(protocol));
        tvxrec_set_result("remote", "Operator_get_id_for_client", 7);
        tvxrec_set_result("remote", "Workflow_get_client_id", 9);
        int size = 0;
        wchar_t* message = nullptr;
        client = Client_new_full_address(address, &size, &message);
        settle(size, message);
        loaded = true;
    }

    // Releases every handle and the libraries: only ever done with nothing else in flight.
    void release_all_and_unload() {
        int size = 0;
        wchar_t* message = nullptr;
        tvxrec_clear_results();
        for (const Handle& h : handles) {
            Quorix_delete_shared_object(h.h, &size, &message);
            settle(size, message);
        }
        handles.clear();
        Quorix_delete_shared_object(client, &size, &message);
        settle(size, message);
        client = nullptr;
        tvx_unload_everything();
        loaded = false;
    }

    void inject_failures() {
        tvxrec_clear_results();
        load_results_again();
        const int n = static_cast<int>(pick(3));
        for (int i = 0; i < n; ++i) {
            const char* lib = kLibraries[pick(3)];
            const char* entry = kFailurePoints[pick(sizeof kFailurePoints / sizeof *kFailurePoints)];
            tvxrec_set_error(lib, entry, L"injected failure");
        }
        for (const char* id : kLibraries) tvxrec_message_source(id, static_cast<int>(pick(3)));
    }
    void load_results_again() {
        static const char address[] = "localhost:50052";
        static const char protocol[] = "grpc";
        tvxrec_set_result("remote", "Client_get_full_address", reinterpret_cast<unsigned long long>(address));
        tvxrec_set_result("remote", "Client_get_protocol_name", reinterpret_cast<unsigned long long>(protocol));
        tvxrec_set_result("remote", "Operator_get_id_for_client", 7);
        tvxrec_set_result("remote", "Workflow_get_client_id", 9);
    }

    void make_handle() {
        int size = 0;
        wchar_t* message = nullptr;
        switch (pick(8)) {
        case 0: keep(Field_new(1, 3, "Nodal", &size, &message), Kind::Data); break;
        case 1: keep(Operator_new("op", &size, &message), Kind::Operator); break;
        case 2: keep(WorkFlow_new(&size, &message), Kind::Workflow); break;
        case 3: keep(Field_new_on_client(client, 1, 3, "Nodal", &size, &message), Kind::Data); break;
        case 4: keep(Operator_new_on_client("op", client, &size, &message), Kind::Operator); break;
        case 5: keep(WorkFlow_new_on_client(client, &size, &message), Kind::Workflow); break;
        case 6:  // an object of the third library
            keep(tvx::new_handle(static_cast<CSharedObjectBase*>(tvxrec_new_object("both")), x), Kind::Data);
            break;
        default:
            keep(tvx::new_operator(static_cast<CSharedObjectBase*>(tvxrec_new_object("both")), x), Kind::Operator);
            break;
        }
        settle(size, message);
    }

    void step() {
        int size = 0;
        wchar_t* message = nullptr;
        if (handles.empty() || chance(15)) return make_handle();
        const std::size_t ia = pick(handles.size());
        const Handle a = handles[ia];
        const Handle b = handles[pick(handles.size())];
        const bool a_moved = QuorixCore_HasBeenMovedLocally(a.h);
        bool released = false;
        switch (pick(9)) {
        case 0: Operator_run(a.h, &size, &message); break;
        case 1: CSField_GetNumberOfComponents(a.h, &size, &message); break;
        case 2: Operator_connect_Field(a.h, 0, b.h, &size, &message); break;
        case 3: CSField_SetCScoping(a.h, b.h, &size, &message); break;
        case 4: Operator_connect_Operator_as_input(a.h, 1, b.h, &size, &message); break;
        case 5: Operator_connect_Workflow(a.h, 2, b.h, &size, &message); break;
        case 6: keep(Quorix_duplicate_TVXClientAPIobject(a.h, &size, &message), a.kind); break;
        case 7: keep(Quorix_deep_copy(a.h, &size, &message), Kind::Data); break;
        default:
            handles.erase(handles.begin() + static_cast<std::ptrdiff_t>(ia));
            Quorix_delete_shared_object(a.h, &size, &message);
            released = true;
            break;
        }
        if (!released && !a_moved && QuorixCore_HasBeenMovedLocally(a.h)) ++moves_seen;
        settle(size, message);
    }
};

TEST_F(RandomSequences, EveryObjectIsReleasedOnceAndEveryMessageIsWellFormed) {
    const unsigned long long seed = env_number("TVX_PROPERTY_SEED", 1);
    const unsigned long long steps = env_number("TVX_PROPERTY_STEPS", 4000);
    rng.seed(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (unsigned long long i = 0; i < steps; ++i) {
        if (!loaded) load_all();
        if (chance(5)) inject_failures();
        if (chance(1) && chance(50)) {  // now and then everything goes, libraries included
            release_all_and_unload();
            continue;
        }
        step();
        if (HasFatalFailure()) return;
    }
    release_all_and_unload();
    std::printf("seed %llu: %llu steps, %llu calls, %llu failures reported, %llu handles moved, %zu objects\n",
                seed, steps, calls, failures_seen, moves_seen, tvxrec_objects_created());
    EXPECT_GT(calls, steps / 2);
    EXPECT_GT(failures_seen, 0u) << "no injected failure was ever seen";
    EXPECT_GT(moves_seen, 0u) << "no handle was ever moved";
    EXPECT_GT(tvxrec_objects_created(), 0u);
    // The fixture checks that every object the doubles made was released exactly once.
}

}  // namespace
