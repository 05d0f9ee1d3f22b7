// Helpers shared by the per-family black-box tests: reading the call log of the doubles, turning
// pointers into configured results, learning where a handle's calls go, and a fixture that loads
// the common and the remote double.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "tests/support/test_support.h"

namespace tvxtest {

// --- the call log --------------------------------------------------------------------------------

// Whether the log holds a call of "library:entry".
inline bool was_called(const std::string& library_and_entry) {
    for (const std::string& c : entries_called())
        if (c == library_and_entry) return true;
    return false;
}

// Every logged call of `entry`, in call order, from whichever library.
inline std::vector<RecordedCall> calls_of(const std::string& entry) {
    std::vector<RecordedCall> out;
    for (const RecordedCall& c : recorded_calls())
        if (c.entry == entry) out.push_back(c);
    return out;
}

// The first call of `entry` in `calls`, or null. It points into `calls`, which the caller keeps.
inline const RecordedCall* call_of(const std::vector<RecordedCall>& calls, const std::string& entry) {
    for (const RecordedCall& c : calls)
        if (c.entry == entry) return &c;
    return nullptr;
}

// --- results and addresses -----------------------------------------------------------------------

// The bits that tvxrec_set_result takes for a pointer or an integer an entry should return, and
// the bits to compare with what an entry returned.
template <class T>
unsigned long long bits(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(value));
    } else {
        return static_cast<unsigned long long>(value);
    }
}

// A made-up address for a raw pointer that only travels between the client and a double, which
// never dereferences it: fake<CField>(0x3000), or fake(0x3000) for a plain address.
template <class T = const void>
T* fake(unsigned long long address) {
    return reinterpret_cast<T*>(static_cast<std::uintptr_t>(address));
}

// The server address the tests' clients connect to, and the protocol its client names.
inline constexpr char kAddress[] = "localhost:50052";
inline constexpr char kProtocol[] = "grpc";

// --- arguments -----------------------------------------------------------------------------------

// An argument a library entry must receive: a pointer or text address ('p'), an integer ('i') or a
// double ('d'). Short names, as they fill tables of cases.
struct Want {
    char kind;
    const void* p;
    long long i;
    double d;
};
inline Want P(const void* p) { return {'p', p, 0, 0.0}; }
inline Want I(long long i) { return {'i', nullptr, i, 0.0}; }
inline Want D(double d) { return {'d', nullptr, 0, d}; }

// The arguments of `call` from position `first` on are exactly `want`.
inline void expect_args(const RecordedCall& call, size_t first, const std::vector<Want>& want) {
    ASSERT_EQ(call.args.size(), want.size() + first) << call.entry;
    for (size_t k = 0; k < want.size(); ++k) {
        const TvxRecArg& a = call.args[k + first];
        if (want[k].kind == 'p') {
            EXPECT_EQ(a.p, want[k].p) << call.entry << " argument " << k + first;
        } else if (want[k].kind == 'i') {
            EXPECT_EQ(a.i, want[k].i) << call.entry << " argument " << k + first;
        } else {
            EXPECT_EQ(a.d, want[k].d) << call.entry << " argument " << k + first;
        }
    }
}

// The arguments after the first, the object or raw pointer an entry works on, are exactly `want`.
inline void expect_tail(const RecordedCall& call, const std::vector<Want>& want) { expect_args(call, 1, want); }

// --- fast access ---------------------------------------------------------------------------------

// Calls `call`, an exported fast-access entry, once more on `handle` after the handle's raw
// pointer was fetched and cached, with `raw_entry` of the common double made to fail: only the raw
// entry is called and `want` comes back. The caller's error pair then holds the raw entry's
// message, or stays exactly as the caller left it when the raw entry has no error pair.
template <class Call>
void expect_cached_raw_call(TvxObject* handle, const Call& call, const char* raw_entry, bool raw_has_error_pair,
                            unsigned long long want) {
    tvxrec_clear_log();
    tvxrec_set_error("common", raw_entry, L"raw entry failed");
    int size = 3;
    wchar_t sentinel[] = L"before";
    wchar_t* message = sentinel;
    EXPECT_EQ(call(handle, &size, &message), want);
    EXPECT_EQ(entries_called(), (Calls{std::string("common:") + raw_entry}));
    if (raw_has_error_pair) {
        EXPECT_EQ(message != sentinel ? std::wstring(message) : std::wstring(), L"raw entry failed");
        EXPECT_EQ(size, 17);  // the message and its terminator
        if (message != sentinel) TVX_FreeErrorMessage(message);
    } else {
        EXPECT_EQ(size, 3);
        EXPECT_EQ(message, sentinel);
    }
}

// --- where a handle's calls go -------------------------------------------------------------------

// The library that an object entry on a handle reaches and the object it receives in place of the
// handle. Both change when a handle of the server is moved into the common library, so tests read
// them instead of assuming them.
struct Where {
    std::string library;
    const void* object = nullptr;
};

// Runs `query(error_size, error_message)`, which calls one object entry on one handle, and reads
// the single call it logs. The log is cleared before and after, so the probe leaves no trace.
// Anything but one call with arguments fails the test: the probe would then tell nothing.
template <class Query>
Where where_by(Query query) {
    tvxrec_clear_log();
    ErrorPair e;
    query(&e.size, &e.message);
    const std::vector<RecordedCall> calls = recorded_calls();
    tvxrec_clear_log();
    if (calls.size() != 1 || calls[0].args.empty()) {
        std::ostringstream logged;
        for (const RecordedCall& c : calls) logged << ' ' << c.library << ':' << c.entry;
        ADD_FAILURE() << "the probe of a handle logged " << calls.size() << " calls instead of one:" << logged.str()
                      << " (" << e.str() << ")";
        return {};
    }
    return {calls[0].library, calls[0].args[0].p};
}

// Where `entry`, an entry taking a handle and the error pair, goes for `handle`. Each family probes
// with an entry that both doubles offer and that takes no fast path.
template <class Entry, class Handle>
Where where_through(Entry entry, Handle* handle) {
    return where_by([&](int* size, wchar_t** message) { entry(handle, size, message); });
}

// --- handles -------------------------------------------------------------------------------------

// A test of one family: the ledger checks of LedgerTest, plus loading the two doubles most tests
// need and configuring what the remote double answers when a handle is moved.
class FamilyTest : public LedgerTest {
protected:
    // "double_common" as "common" and "double_remote" as "remote", both handing out ledger
    // objects, and then what the family's server answers.
    void load_common_and_remote() {
        TVX_LOAD(double_path("double_common"), "common", 1);
        TVX_LOAD(double_path("double_remote"), "remote", 1);
        tvxrec_hand_out_objects("common", 1);
        tvxrec_hand_out_objects("remote", 1);
        configure_remote();
    }
    // The results of the remote double that all tests of a family rely on once both doubles are
    // loaded, such as those that let its objects move (below). None by default.
    virtual void configure_remote() {}
    // One of the two, for tests that start with one double alone and may add the other later.
    void load_common() {
        TVX_LOAD(double_path("double_common"), "common", 1);
        tvxrec_hand_out_objects("common", 1);
    }
    void load_remote() {
        TVX_LOAD(double_path("double_remote"), "remote", 1);
        tvxrec_hand_out_objects("remote", 1);
    }

    // A server object is copied into the common library through its serialized bytes: the remote
    // double must hand some out, or the move fails.
    static void server_can_copy() { tvxrec_set_result("remote", "SerializationStream_getOutputString", bits("bytes")); }
    // Operators and workflows of the server get a proxy in the common library, which asks the
    // server's client for its address and protocol.
    static void server_has_address() {
        tvxrec_set_result("remote", "Client_get_full_address", bits(kAddress));
        tvxrec_set_result("remote", "Client_get_protocol_name", bits(kProtocol));
    }
    // Moving a server object first asks for its client: failing that, no move can succeed.
    static void server_unreachable() { tvxrec_set_error("remote", "Quorix_get_client", L"server gone"); }

    // A client of the remote double, made without an error.
    static TvxObject* new_client() {
        ErrorPair e;
        TvxObject* client = Client_new_full_address(kAddress, &e.size, &e.message);
        EXPECT_NE(client, nullptr) << e.str();
        EXPECT_EQ(e.size, 0) << e.str();
        return client;
    }
};

}  // namespace tvxtest
