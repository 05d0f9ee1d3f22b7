// Helpers shared by the tests: where the doubles are, an owning error pair, the call log.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TVXClientAPI.h"
#include "tests/doubles/recorder.h"

namespace tvxtest {

// Path of a double without its suffix, next to the test executable: double_path("common").
std::string double_path(const std::string& name);

// An error pair that frees its message the way every client does.
struct ErrorPair {
    int size = 0;
    wchar_t* message = nullptr;

    ErrorPair() = default;
    ErrorPair(const ErrorPair&) = delete;
    ErrorPair& operator=(const ErrorPair&) = delete;
    ~ErrorPair() { clear(); }

    void clear() {
        TVX_FreeErrorMessage(message);
        message = nullptr;
        size = 0;
    }
    std::wstring text() const { return message != nullptr ? std::wstring(message) : std::wstring(); }
    // The message as UTF-8, for readable assertion output.
    std::string str() const;
};

// The UTF-8 form of wide text (for messages in assertions).
std::string utf8(const std::wstring& text);

// One recorded call, copied out of the recorder.
struct RecordedCall {
    std::string library;
    std::string entry;
    int slot;
    std::vector<TvxRecArg> args;
};
std::vector<RecordedCall> recorded_calls();

// The log as "library:entry" in call order: what most tests compare first, in one readable line.
using Calls = std::vector<std::string>;
inline Calls entries_called() {
    Calls out;
    for (const RecordedCall& c : recorded_calls()) out.push_back(c.library + ":" + c.entry);
    return out;
}

// The last call of `entry`; when there was none, a call of library "none" and entry "" whose
// arguments read as zeros (so a test that indexes them fails on its assertion, not on the index).
inline RecordedCall last_call_of(const std::string& entry) {
    RecordedCall found{"none", "", -1, std::vector<TvxRecArg>(8)};
    for (const RecordedCall& c : recorded_calls())
        if (c.entry == entry) found = c;
    return found;
}

// Releases a handle the generic way; the ledger then proves its object was released exactly once.
inline void release(TvxObject* h) {
    ErrorPair e;
    Quorix_delete_shared_object(h, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
}

}  // namespace tvxtest

// Loads `path` under `name` and fails the test with the message when that fails.
#define TVX_LOAD(path, name, options)                                                  \
    do {                                                                                \
        ::tvxtest::ErrorPair load_error_;                                               \
        QuorixCore_LoadAPIWithOptions((path).c_str(), (name), (options), &load_error_.size, \
                                      &load_error_.message);                            \
        ASSERT_EQ(load_error_.size, 0) << load_error_.str();                            \
    } while (0)

// Destroys every registered library: a library registered under the empty name makes the unload
// of the empty name release them all.
inline void tvx_unload_everything() {
    tvxtest::ErrorPair e;
    QuorixCore_LoadAPI(tvxtest::double_path("double_empty").c_str(), "", &e.size, &e.message);
    e.clear();
    QuorixCore_UnloadAPI("", &e.size, &e.message);
}

namespace tvxtest {

// A test that starts and ends with no library loaded and an empty recorder, and fails when an
// object a double handed out was not released exactly once. Inline: the loading entries are the
// library's own in the white-box tests and imported in the others.
class LedgerTest : public ::testing::Test {
protected:
    void SetUp() override {
        tvx_unload_everything();
        tvxrec_reset();
    }
    void TearDown() override {
        tvx_unload_everything();
        EXPECT_EQ(tvxrec_objects_live(), 0u) << "objects of the doubles that were never released";
        EXPECT_EQ(tvxrec_objects_released_twice(), 0u);
        tvxrec_reset();
    }
};

}  // namespace tvxtest
