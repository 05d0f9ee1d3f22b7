// The ordinary forwarding path allocates nothing: with every handle made beforehand, object,
// fast-access, free, client and two-object calls on one library reach neither malloc nor operator
// new. Counted by replacing the allocation functions of this process (Linux, no sanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "TVXClientAPI.h"
#include "tests/support/test_support.h"

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);
}

namespace {
std::atomic<long> allocations{0};
}

// Every allocation in the process comes through these while the test runs.
extern "C" void* malloc(std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void* calloc(std::size_t n, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
extern "C" void free(void* p) { __libc_free(p); }

namespace {

using tvxtest::double_path;
using tvxtest::ErrorPair;

TEST(NoAllocation, OrdinaryCallsOnOneLibraryAllocateNothing) {
    tvx_unload_everything();
    TVX_LOAD(double_path("tvx_bench_impl"), "common", 0);
    TVX_LOAD(double_path("tvx_bench_remote"), "remote", 0);
    ErrorPair e;
    TvxObject* op = Operator_new("op", &e.size, &e.message);
    TvxObject* field = Field_new(1, 3, "Nodal", &e.size, &e.message);
    TvxObject* client = Client_new_full_address("localhost:1", &e.size, &e.message);
    ASSERT_NE(op, nullptr);
    ASSERT_NE(field, nullptr);
    ASSERT_NE(client, nullptr);
    CSField_GetNumberOfComponents(field, &e.size, &e.message);  // the first call fetches the pointer

    const long before = allocations.load();
    long sink = 0;
    for (int i = 0; i < 1000; ++i) {
        Operator_run(op, &e.size, &e.message);                                // object entry
        sink += CSField_GetNumberOfComponents(field, &e.size, &e.message);   // fast-access entry
        sink += Quorix_release(1, &e.size, &e.message);                      // free entry
        sink += Client_get_protocol_name(client, &e.size, &e.message) != nullptr;  // client entry
        Operator_connect_Field(op, 0, field, &e.size, &e.message);           // two-object entry
    }
    const long during = allocations.load() - before;
    EXPECT_EQ(during, 0) << "allocations on the ordinary path";
    EXPECT_EQ(e.size, 0);
    EXPECT_EQ(sink, 1000);  // the protocol names were there: the calls really reached the library

    for (TvxObject* h : {op, field, client}) Quorix_delete_shared_object(h, &e.size, &e.message);
    tvx_unload_everything();

    // The counter does see allocations: loading a library makes its entry table.
    const long loads_before = allocations.load();
    TVX_LOAD(double_path("tvx_bench_impl"), "common", 0);
    EXPECT_GT(allocations.load(), loads_before);
    tvx_unload_everything();
}

}  // namespace
