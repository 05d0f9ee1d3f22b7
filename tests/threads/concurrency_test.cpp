// Distinct handles used from several threads at once on a loaded set of libraries: calls, moves into
// the common library, duplicates, deep copies and releases. Run under ThreadSanitizer, which must
// see no race; the ledger must show every object released exactly once.
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using namespace tvxtest;

class Concurrency : public LedgerTest {};

void work(int rounds, int* failures) {
    ErrorPair e;
    TvxObject* client = Client_new_full_address("localhost:50052", &e.size, &e.message);
    for (int i = 0; i < rounds; ++i) {
        TvxObject* op = Operator_new_on_client("norm", client, &e.size, &e.message);
        TvxObject* remote_field = Field_new_on_client(client, 1, 3, "Nodal", &e.size, &e.message);
        TvxObject* field = Field_new(1, 3, "Nodal", &e.size, &e.message);
        TvxObject* local_op = Operator_new("add", &e.size, &e.message);
        CSField_GetNumberOfComponents(field, &e.size, &e.message);    // fast access
        Operator_connect_Field(op, 0, field, &e.size, &e.message);        // moves the server operator
        Operator_connect_Field(local_op, 1, remote_field, &e.size, &e.message);  // deep-copies the field
        Operator_run(op, &e.size, &e.message);
        TvxObject* duplicate = Quorix_duplicate_TVXClientAPIobject(op, &e.size, &e.message);
        TvxObject* copy = Quorix_deep_copy(remote_field, &e.size, &e.message);
        if (e.size != 0 || !QuorixCore_HasBeenMovedLocally(op) || !QuorixCore_HasBeenMovedLocally(remote_field))
            ++*failures;
        e.clear();
        for (TvxObject* h : {op, remote_field, field, local_op, duplicate, copy})
            Quorix_delete_shared_object(h, &e.size, &e.message);
    }
    Quorix_delete_shared_object(client, &e.size, &e.message);
}

TEST_F(Concurrency, DistinctHandlesOnSeveralThreads) {
    TVX_LOAD(double_path("double_common"), "common", 1);
    TVX_LOAD(double_path("double_remote"), "remote", 1);
    tvxrec_hand_out_objects("common", 1);
    tvxrec_hand_out_objects("remote", 1);
    tvxrec_clear_size_on_success("common", 1);
    tvxrec_clear_size_on_success("remote", 1);
    static const char address[] = "localhost:50052";
    static const char protocol[] = "grpc";
    tvxrec_set_result("remote", "Client_get_full_address", reinterpret_cast<unsigned long long>(address));
    tvxrec_set_result("remote", "Client_get_protocol_name", reinterpret_cast<unsigned long long>(protocol));
    tvxrec_set_result("remote", "Operator_get_id_for_client", 7);

    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, kRounds, &failures[t]);
    for (std::thread& t : threads) t.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
    // Each round makes at least a server operator, its proxy's output, two fields and their copies.
    EXPECT_GT(tvxrec_objects_created(), static_cast<size_t>(kThreads * kRounds * 6));
    tvxrec_clear_log();  // the fixture checks that every object was released exactly once
}

}  // namespace
