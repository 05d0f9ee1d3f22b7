// Loading and unloading through the exported entries, as a client program sees them.
#include <cstdio>
#include <fstream>
#include <string>

#include "tests/support/test_support.h"

namespace {

using tvxtest::double_path;
using tvxtest::ErrorPair;
using tvxtest::last_call_of;
using tvxtest::recorded_calls;

#if defined(_WIN32)
const std::string kSuffix = ".dll";
#else
const std::string kSuffix = ".so";
#endif

class Loading : public ::testing::Test {
protected:
    void SetUp() override { tvx_unload_everything(); }
    void TearDown() override { tvx_unload_everything(); }
};

TEST_F(Loading, MissingFileIsCode126WithTheSuffixedName) {
    ErrorPair e;
    const std::string path = double_path("no_such_library");
    QuorixCore_LoadAPI(path.c_str(), "common", &e.size, &e.message);
    EXPECT_EQ(e.str(), "Unable to load " + path + kSuffix + ". Error code is 126: Module could not be found.");
    EXPECT_EQ(e.size, static_cast<int>(e.text().size() + 1));

    // The suffix is appended even when the path already ends in it.
    e.clear();
    const std::string suffixed = double_path("double_common") + kSuffix;
    QuorixCore_LoadAPIWithOptions(suffixed.c_str(), "common", 1, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Unable to load " + suffixed + kSuffix + ". Error code is 126: Module could not be found.");

    // Nothing was registered: unloading the name fails.
    e.clear();
    QuorixCore_UnloadAPI("common", &e.size, &e.message);
    EXPECT_EQ(e.str(), "Unable to unload API 'common': Not found");
}

TEST_F(Loading, AFileThatIsNotALibraryGivesAnotherCodeAndTheReason) {
    const std::string path = double_path("not_a_library");
    {
        std::ofstream f(path + kSuffix, std::ios::binary);
        f << "this is text, not a shared library\n";
    }
    ErrorPair e;
    QuorixCore_LoadAPI(path.c_str(), "common", &e.size, &e.message);
    const std::string prefix = "Unable to load " + path + kSuffix + ". Error code is ";
    ASSERT_EQ(e.str().rfind(prefix, 0), 0u) << e.str();
    const std::string rest = e.str().substr(prefix.size());
    EXPECT_NE(rest.rfind("126:", 0), 0u) << rest;
    EXPECT_NE(rest.find(": For detailed information on this error code, look at "), std::string::npos) << rest;
#if !defined(_WIN32)
    EXPECT_NE(rest.find(path + kSuffix), std::string::npos) << "the dynamic linker's text names the file: " << rest;
#endif
    std::remove((path + kSuffix).c_str());
}

TEST_F(Loading, SuccessLeavesTheMessageUntouched) {
    int size = 5;
    wchar_t sentinel[] = L"before";
    wchar_t* message = sentinel;
    QuorixCore_LoadAPI(double_path("double_common").c_str(), "common", &size, &message);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(message, sentinel);
    size = 5;
    QuorixCore_UnloadAPI("common", &size, &message);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(message, sentinel);
}

TEST_F(Loading, UnloadingTheEmptyNameReleasesEveryLibrary) {
    ErrorPair e;
    QuorixCore_UnloadAPI("", &e.size, &e.message);
    EXPECT_EQ(e.str(), "Unable to unload API '': Not found");

    TVX_LOAD(double_path("double_common"), "common", 1);
    TVX_LOAD(double_path("double_common"), "common", 1);  // count 2: still destroyed
    TVX_LOAD(double_path("double_remote"), "remote", 1);
    TVX_LOAD(double_path("double_both"), "", 1);
    e.clear();
    QuorixCore_UnloadAPI("", &e.size, &e.message);
    EXPECT_EQ(e.size, 0);
    for (const char* name : {"common", "remote", ""}) {
        e.clear();
        QuorixCore_UnloadAPI(name, &e.size, &e.message);
        EXPECT_EQ(e.str(), std::string("Unable to unload API '") + name + "': Not found");
    }
}

// Handles whose library was unloaded: no entry can release them any more. Kept reachable, so that
// the leak checkers take them for what they are.
TvxObject* volatile unreleasable[2];

// A handle kept past the unload of the library that made it reaches no library: each call on it,
// its release included, reports the missing entry, and nothing reads the unloaded library's table
// (which AddressSanitizer and valgrind would catch in this test). A library loaded again under the
// same name is another library: the old handle does not reach it, and meets its objects only
// through a move that fails cleanly.
TEST_F(Loading, AHandleKeptPastItsLibrarysUnloadReachesNoLibrary) {
    tvxrec_reset();
    tvxrec_hand_out_objects("common", 1);
    tvxrec_set_result("common", "Field_fast_access_ptr", 0x1000);
    TVX_LOAD(double_path("double_common"), "common", 1);
    ErrorPair e;
    TvxObject* fetched = Field_new(1, 3, "Nodal", &e.size, &e.message);
    TvxObject* plain = Field_new(1, 3, "Nodal", &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    ASSERT_NE(fetched, nullptr);
    ASSERT_NE(plain, nullptr);
    CSField_GetNumberOfComponents(fetched, &e.size, &e.message);  // its fast-access pointer cached
    ASSERT_EQ(e.size, 0) << e.str();
    ASSERT_EQ(last_call_of("Field_GetNumberOfComponents").library, "common");
    QuorixCore_UnloadAPI("common", &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();

    auto expect_missing = [&](const char* entry) {
        EXPECT_EQ(e.str(), std::string("Invalid API pointer when calling function ") + entry);
        e.clear();
    };
    for (int round = 0; round < 2; ++round) {  // the handles stay valid after each failure
        for (TvxObject* h : {fetched, plain}) {
            EXPECT_EQ(CSField_GetNumberOfComponents(h, &e.size, &e.message), 0);
            expect_missing("CSField_GetNumberOfComponents");
            int n = -1;
            EXPECT_EQ(CSField_GetData(h, &n, &e.size, &e.message), nullptr);
            expect_missing("CSField_GetData");
            Quorix_delete_shared_object(h, &e.size, &e.message);
            expect_missing("Quorix_delete_shared_object");
        }
    }

    TVX_LOAD(double_path("double_common"), "common", 1);
    TvxObject* op = Operator_new("scale", &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    const std::size_t calls = recorded_calls().size();
    CSField_GetNumberOfComponents(fetched, &e.size, &e.message);
    expect_missing("CSField_GetNumberOfComponents");
    EXPECT_EQ(recorded_calls().size(), calls) << "the new library was reached through an old handle";
    Operator_connect_Field(op, 0, plain, &e.size, &e.message);
    EXPECT_GT(e.size, 0) << "an object of an unloaded library cannot be moved";
    e.clear();
    EXPECT_EQ(last_call_of("Operator_connect_Field").entry, "");
    tvxtest::release(op);
    unreleasable[0] = fetched;
    unreleasable[1] = plain;
    tvxrec_reset();  // the two fields' objects went with their library
}

TEST_F(Loading, BadArgumentsAreReportedNotFollowed) {
    ErrorPair e;
    QuorixCore_LoadAPI(nullptr, "common", &e.size, &e.message);
    EXPECT_EQ(e.str(), "Unable to load API: the path is null");
    e.clear();
    QuorixCore_LoadAPIWithOptions(double_path("double_common").c_str(), nullptr, 1, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Unable to load API: the name is null");
    e.clear();
    QuorixCore_UnloadAPI(nullptr, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Unable to unload API: the name is null");
    // Invalid UTF-8 in a name is dropped from the message, not passed on.
    e.clear();
    QuorixCore_UnloadAPI("a\xFF" "b\xC3", &e.size, &e.message);
    // 0xFF is dropped; 0xC3 starts a sequence that the quote after it does not continue, so the
    // quote is consumed with it.
    EXPECT_EQ(e.str(), "Unable to unload API 'ab: Not found");
}

}  // namespace
