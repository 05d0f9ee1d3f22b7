// The C++ binding against the recording doubles: every object a double hands out is released
// exactly once, in its own library, however the client's code goes: straight through, through an
// exception, through moves of owners and of objects between libraries, through early returns; and
// arrays of handles and owned texts go back where they came from. Failures arrive as tvx::Error with
// the exact text and size of the error pair. Arrays reach the library as the caller holds them,
// with their length filled in from a view, and views that cannot make a count never reach it.
#include <cstddef>
#include <cwchar>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "TVXClientAPI.hpp"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;

Where where(const tvx::ObjectOwner& h) { return where_through(Operator_get_status, h.get()); }

// The object and library of every release of a TvxObject handle in the log, in call order.
std::vector<std::string> released_in() {
    std::vector<std::string> out;
    for (const RecordedCall& c : calls_of("Quorix_delete_shared_object")) out.push_back(c.library);
    return out;
}
std::vector<const void*> released_objects() {
    std::vector<const void*> out;
    for (const RecordedCall& c : calls_of("Quorix_delete_shared_object")) out.push_back(c.args[0].p);
    return out;
}

class CppBinding : public FamilyTest {
protected:
    void configure_remote() override {
        server_has_address();
        server_can_copy();
    }
    // The common and the remote double, loaded by the binding, both handing out ledger objects.
    struct Doubles {
        tvx::Library common{double_path("double_common"), "common"};
        tvx::Library remote{double_path("double_remote"), "remote"};
    };
    void hand_out() {
        tvxrec_hand_out_objects("common", 1);
        tvxrec_hand_out_objects("remote", 1);
        configure_remote();
    }
};

TEST_F(CppBinding, OwnersReleaseEachObjectOnceInTheLibraryThatMadeIt) {
    Doubles doubles;
    hand_out();
    std::vector<const void*> made;
    {
        tvx::Object client = tvx::Client_new_full_address(kAddress);
        tvx::Object server_field = tvx::Field_new_on_client(client, 1, 3, "Nodal");
        tvx::Operator op = tvx::Operator_new("scale");
        tvx::Object field = tvx::Field_new(1, 3, "Nodal");
        tvx::Vector vector = tvx::TvxVector_new();
        ASSERT_TRUE(client && server_field && op && field && vector);
        EXPECT_EQ(tvxrec_objects_live(), 5u);
        const std::vector<const tvx::ObjectOwner*> owners{&client, &server_field, &op, &field};
        for (const tvx::ObjectOwner* h : owners) made.push_back(where(*h).object);
        EXPECT_EQ(tvxrec_object_library(made[1]), std::string("remote"));
        EXPECT_EQ(tvxrec_object_library(made[2]), std::string("common"));
        tvxrec_clear_log();
    }
    // In reverse order of construction, each in its own library, the vector with its own entry.
    EXPECT_EQ(entries_called(), (Calls{"common:TvxVector_delete", "common:Quorix_delete_shared_object",
                                       "common:Quorix_delete_shared_object", "remote:Quorix_delete_shared_object",
                                       "remote:Quorix_delete_shared_object"}));
    EXPECT_EQ(released_objects(), (std::vector<const void*>{made[3], made[2], made[1], made[0]}));
    EXPECT_EQ(tvxrec_objects_live(), 0u);
}

TEST_F(CppBinding, MovedAndGivenUpOwnersReleaseOnce) {
    Doubles doubles;
    hand_out();
    tvx::Object a = tvx::Field_new(1, 3, "Nodal");
    const Where first = where(a);
    tvx::Object b = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_EQ(where(b).object, first.object);

    // Assigning over a live owner releases what it held, at once.
    tvxrec_clear_log();
    b = tvx::Field_new(1, 3, "Nodal");
    EXPECT_EQ(released_objects(), (std::vector<const void*>{first.object}));
    tvx::Object& same = b;
    b = std::move(same);  // moving an owner onto itself keeps its handle
    EXPECT_TRUE(b);

    // A given-up handle is the caller's; a releasing entry takes a raw handle or a moved owner.
    TvxObject* raw = b.release();
    EXPECT_FALSE(b);
    tvx::Operator op = tvx::Operator_new("scale");
    tvx::Vector vector = tvx::TvxVector_new();
    tvxrec_clear_log();
    tvx::Quorix_delete_shared_object(raw);
    tvx::Operator_delete(std::move(op));
    tvx::TvxVector_delete(std::move(vector));
    EXPECT_FALSE(op);
    EXPECT_FALSE(vector);
    EXPECT_EQ(entries_called(), (Calls{"common:Quorix_delete_shared_object", "common:Operator_delete",
                                       "common:TvxVector_delete"}));

    // reset() releases now; an owner of nothing releases nothing.
    tvx::Workflow workflow = tvx::WorkFlow_new();
    tvxrec_clear_log();
    workflow.reset();
    EXPECT_EQ(released_in(), (std::vector<std::string>{"common"}));
    tvx::Object empty;
    tvx::Object also_empty = std::move(empty);
    tvxrec_clear_log();
    also_empty.reset();
    EXPECT_TRUE(entries_called().empty());
    EXPECT_EQ(tvxrec_objects_live(), 0u);
}

TEST_F(CppBinding, AnExceptionMidwayReleasesWhatWasMadeAndCarriesTheMessage) {
    Doubles doubles;
    hand_out();
    const wchar_t* text = L"pin 0 is taken: caf\u00e9 \U0001F600";
    tvxrec_set_error("common", "Operator_connect_Field", text);
    size_t made = 0;
    try {
        tvx::Object client = tvx::Client_new_full_address(kAddress);
        tvx::Object field = tvx::Field_new(1, 3, "Nodal");
        tvx::Operator op = tvx::Operator_new("scale");
        tvx::Vector vector = tvx::TvxVector_new_for_object(field);
        made = tvxrec_objects_live();
        tvx::Operator_connect_Field(op, 0, field);
        ADD_FAILURE() << "the failed call did not throw";
    } catch (const tvx::Error& e) {
        EXPECT_EQ(std::string(e.what()), std::string(u8"pin 0 is taken: caf\u00e9 \U0001F600"));
        EXPECT_EQ(e.size(), static_cast<int>(std::wcslen(text) + 1));
    }
    EXPECT_EQ(made, 4u);
    EXPECT_EQ(tvxrec_objects_live(), 0u);

    // A lone surrogate is no character: it becomes U+FFFD.
    tvxrec_set_error("common", "Operator_new", L"bad \xD800 end");
    try {
        tvx::Operator_new("scale");
        ADD_FAILURE() << "the failed call did not throw";
    } catch (const tvx::Error& e) {
        EXPECT_STREQ(e.what(), "bad \xEF\xBF\xBD end");
        EXPECT_EQ(e.size(), 10);
    }

    // A message this library made, caught as any standard exception.
    doubles.common.unload();
    try {
        tvx::Object lost = tvx::Field_new(1, 3, "Nodal");
        ADD_FAILURE() << "a call without its library did not throw";
    } catch (const std::exception& e) {
        const std::string want = "Invalid API pointer when calling function Field_new";
        EXPECT_EQ(e.what(), want);
        ASSERT_NE(dynamic_cast<const tvx::Error*>(&e), nullptr);
        EXPECT_EQ(static_cast<const tvx::Error&>(e).size(), static_cast<int>(want.size() + 1));
    }
}

TEST_F(CppBinding, AFailingCallThatStillReturnsSomethingLeaksNothing) {
    Doubles doubles;
    hand_out();
    tvx::Object client = tvx::Client_new_full_address(kAddress);
    tvxrec_set_error("common", "Field_new", L"half made");
    tvxrec_set_error("common", "TvxVector_new", L"half made");
    tvxrec_set_error("remote", "Operator_new", L"half made");
    const size_t before = tvxrec_objects_created();
    tvxrec_clear_log();
    EXPECT_THROW(tvx::Field_new(1, 3, "Nodal"), tvx::Error);
    EXPECT_THROW(tvx::TvxVector_new(), tvx::Error);
    EXPECT_THROW(tvx::Operator_new_on_client("scale", client), tvx::Error);
    EXPECT_EQ(tvxrec_objects_created(), before + 3);
    EXPECT_EQ(tvxrec_objects_live(), 1u);  // the client
    EXPECT_EQ(entries_called(), (Calls{"common:Field_new", "common:Quorix_delete_shared_object", "common:TvxVector_new",
                                       "common:TvxVector_delete", "remote:Operator_new",
                                       "remote:Quorix_delete_shared_object"}));

    // Owned text that comes with a failure goes back as well.
    static char protocol[] = "grpc";
    tvxrec_set_result("remote", "Client_get_protocol_name", bits(protocol));
    tvxrec_set_error("remote", "Client_get_protocol_name", L"half said");
    tvxrec_clear_log();
    EXPECT_THROW(tvx::Client_get_protocol_name(client), tvx::Error);
    const std::vector<RecordedCall> back = calls_of("Quorix_deleteString");
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].library, "remote");
    EXPECT_EQ(back[0].args[0].p, static_cast<const void*>(protocol));
}

TEST_F(CppBinding, ObjectsMovedBetweenLibrariesAreReleasedInBoth) {
    Doubles doubles;
    hand_out();
    std::vector<const void*> server_objects, local_copies;
    {
        tvx::Object client = tvx::Client_new_full_address(kAddress);
        tvx::Operator server_op = tvx::Operator_new_on_client("scale", client);
        tvx::Object server_field = tvx::Field_new_on_client(client, 1, 3, "Nodal");
        tvx::Operator local_op = tvx::Operator_new("add");
        tvx::Object local_field = tvx::Field_new(1, 3, "Nodal");
        server_objects = {where(server_op).object, where(server_field).object};

        // A server operator meets a local field: the operator gets a proxy in the common library.
        tvx::Operator_connect_Field(server_op, 0, local_field);
        EXPECT_TRUE(tvx::QuorixCore_HasBeenMovedLocally(server_op));
        // A local operator meets the server field: the field is copied into the common library.
        tvx::Operator_connect_Field(local_op, 1, server_field);
        EXPECT_TRUE(tvx::QuorixCore_HasBeenMovedLocally(server_field));
        EXPECT_FALSE(tvx::QuorixCore_HasBeenMovedLocally(local_field));
        local_copies = {where(server_op).object, where(server_field).object};
        EXPECT_EQ(tvxrec_object_library(local_copies[0]), std::string("common"));
        EXPECT_EQ(tvxrec_object_library(local_copies[1]), std::string("common"));
        tvxrec_clear_log();
    }
    // A moved handle releases its local copy in the common library and its own object on the server.
    const std::vector<RecordedCall> releases = calls_of("Quorix_delete_shared_object");
    for (size_t k = 0; k < 2; ++k) {
        bool copy = false, own = false;
        for (const RecordedCall& c : releases) {
            copy = copy || (c.library == "common" && c.args[0].p == local_copies[k]);
            own = own || (c.library == "remote" && c.args[0].p == server_objects[k]);
        }
        EXPECT_TRUE(copy && own) << "moved handle " << k;
    }
    EXPECT_EQ(tvxrec_objects_live(), 0u);
    EXPECT_EQ(tvxrec_objects_released_twice(), 0u);
}

// Makes two fields and keeps one: the other is released on the way out, whichever way that is.
tvx::Object keep_one(bool first, bool fail) {
    tvx::Object a = tvx::Field_new(1, 3, "Nodal");
    tvx::Object b = tvx::Field_new(1, 3, "Nodal");
    if (first) return a;
    for (int pin = 0; pin < 3; ++pin) {
        tvx::Object c = tvx::Field_new(1, 3, "Nodal");
        if (pin == 1) break;
    }
    if (fail) tvx::CSField_SetData(b, 0, nullptr);  // throws
    return b;
}

TEST_F(CppBinding, EarlyReturnsReleaseWhatTheyLeaveBehind) {
    Doubles doubles;
    hand_out();
    tvxrec_set_error("common", "CSField_SetData", L"no data");
    {
        tvx::Object kept = keep_one(true, false);
        EXPECT_EQ(tvxrec_objects_live(), 1u);
        tvx::Object other = keep_one(false, false);
        EXPECT_EQ(tvxrec_objects_live(), 2u);
        EXPECT_EQ(tvxrec_objects_created(), 6u);
        EXPECT_THROW(keep_one(false, true), tvx::Error);
        EXPECT_EQ(tvxrec_objects_live(), 2u);
    }
    EXPECT_EQ(tvxrec_objects_live(), 0u);
}

TEST_F(CppBinding, HandleArraysBecomeOwnersAndTheArrayGoesBackAtOnce) {
    tvx::Library common(double_path("double_common_cpp"), "common");
    void* objects[3] = {tvxrec_new_object("common"), tvxrec_new_object("common"), tvxrec_new_object("common")};
    tvxrec_set_result("common", "Quorix_deserializeMany", bits(&objects[0]));
    tvxrec_set_result("common", "Quorix_deserializeMany count", 3);
    {
        std::vector<tvx::Object> many = tvx::Quorix_deserializeMany("bytes", 5);
        ASSERT_EQ(many.size(), 3u);
        const std::vector<RecordedCall> array_back = calls_of("Quorix_delete_shared_object_array");
        ASSERT_EQ(array_back.size(), 1u);
        EXPECT_EQ(array_back[0].library, "common");
        EXPECT_EQ(array_back[0].args[0].p, static_cast<const void*>(objects));
        EXPECT_EQ(array_back[0].args[1].u, 3u);
        for (size_t i = 0; i < 3; ++i) EXPECT_EQ(where(many[i]).object, objects[i]) << i;

        // Owners reach an entry that takes an array of handles and its count.
        tvxrec_clear_log();
        tvx::Object collection = tvx::Collection_OfFieldNewWithData(tvx::raw(many), nullptr, 0, nullptr);
        const std::vector<RecordedCall> made = calls_of("Collection_OfFieldNewWithData");
        ASSERT_EQ(made.size(), 1u);
        EXPECT_NE(made[0].args[0].p, nullptr);
        EXPECT_EQ(made[0].args[1].i, 3);
        TvxObject* two[2] = {many[0].get(), many[2].get()};
        tvx::Collection_OfFieldNewWithData(tvx::Handles(two, 2), nullptr, 0, nullptr);
        EXPECT_EQ(calls_of("Collection_OfFieldNewWithData").at(1).args[1].i, 2);
        tvxrec_clear_log();
    }
    EXPECT_EQ(released_in(), (std::vector<std::string>{"common", "common", "common"}));
    EXPECT_EQ(tvxrec_objects_live(), 0u);

    // A failing call's array: every handle in it released, the array still handed back.
    void* failed[2] = {tvxrec_new_object("common"), tvxrec_new_object("common")};
    tvxrec_set_result("common", "Quorix_deserializeMany", bits(&failed[0]));
    tvxrec_set_result("common", "Quorix_deserializeMany count", 2);
    tvxrec_set_error("common", "Quorix_deserializeMany", L"the second object is bad");
    tvxrec_clear_log();
    try {
        tvx::Quorix_deserializeMany("bytes", 5);
        ADD_FAILURE() << "no exception";
    } catch (const tvx::Error& e) {
        EXPECT_STREQ(e.what(), "the second object is bad");
    }
    EXPECT_EQ(entries_called(), (Calls{"common:Quorix_deserializeMany", "common:Quorix_delete_shared_object_array",
                                       "common:Quorix_delete_shared_object", "common:Quorix_delete_shared_object"}));
    EXPECT_EQ(tvxrec_objects_live(), 0u);

    // No array at all: no owners, no failure.
    tvxrec_clear_results();
    tvxrec_set_result("common", "Quorix_deserializeMany count", 4);
    EXPECT_TRUE(tvx::Quorix_deserializeMany("", 0).empty());
}

// --- arrays the entries read -------------------------------------------------------------------

// All overloads of an entry as one type, for std::is_invocable.
#define TVX_ENTRY(type, name)                                                           \
    struct type {                                                                       \
        template <class... A>                                                           \
        auto operator()(A&&... a) const -> decltype(tvx::name(std::forward<A>(a)...)) { \
            return tvx::name(std::forward<A>(a)...);                                    \
        }                                                                               \
    }
TVX_ENTRY(SetData, CSField_SetData);
TVX_ENTRY(SetTexts, CSStringField_SetData);
TVX_ENTRY(CommitBytes, TvxVector_char_commit);
TVX_ENTRY(FillIndices, Collection_FillObjIndecesForLabelSpace);
#undef TVX_ENTRY

// Read-only data goes in as the caller holds it; the length comes from the container.
static_assert(std::is_invocable_v<SetData, TvxObject*, int, const double*>, "a const array and its count");
static_assert(std::is_invocable_v<SetData, TvxObject*, const std::vector<double>&>, "a vector");
static_assert(std::is_invocable_v<SetData, TvxObject*, const double (&)[3]>, "a C array");
static_assert(!std::is_invocable_v<SetData, TvxObject*, const std::vector<float>&>,
              "no view of another element type");
static_assert(std::is_invocable_v<SetTexts, TvxObject*, int, const char* const*>, "const texts");
static_assert(std::is_invocable_v<SetTexts, TvxObject*, const std::vector<std::string>&>, "strings");
static_assert(std::is_invocable_v<CommitBytes, SharedTvxVector*, std::string_view, bool>, "bytes");
// An array the entry fills stays writable.
static_assert(std::is_invocable_v<FillIndices, TvxObject*, TvxObject*, int*>, "an output array");
static_assert(!std::is_invocable_v<FillIndices, TvxObject*, TvxObject*, const int*>,
              "an output array is not const");

// A field of the common double that logs the texts it receives; the log starts empty.
class CppArrays : public CppBinding {
protected:
    void SetUp() override {
        CppBinding::SetUp();
        common.emplace(double_path("double_common_cpp"), "common");
        tvxrec_hand_out_objects("common", 1);
        field = tvx::Field_new(1, 3, "Nodal");
        tvxrec_clear_log();
    }
    void TearDown() override {
        field.reset();
        common.reset();
        CppBinding::TearDown();
    }
    std::optional<tvx::Library> common;
    tvx::Object field;
};

TEST_F(CppArrays, CountedArraysArriveAsTheCallerHoldsThemWithTheirLength) {
    const std::vector<double> values{10, 20, 30};
    const double* const held = values.data();
    double c_array[4] = {1, 2, 3, 4};
    tvx::CSField_SetData(field, 2, held);   // as in C: a pointer and a count
    tvx::CSField_SetData(field, values);    // the count from the vector
    tvx::CSField_SetData(field, c_array);   // ... from the array's type
    tvx::CSField_SetData(field, std::vector<double>{});
    const std::vector<RecordedCall> set = calls_of("CSField_SetData");
    ASSERT_EQ(set.size(), 4u);
    EXPECT_EQ(set[0].args[2].p, static_cast<const void*>(held));
    EXPECT_EQ(set[1].args[2].p, static_cast<const void*>(values.data()));
    EXPECT_EQ(set[2].args[2].p, static_cast<const void*>(c_array));
    const std::vector<long long> counts{2, 3, 4, 0};
    for (size_t k = 0; k < counts.size(); ++k) EXPECT_EQ(set[k].args[1].i, counts[k]) << "call " << k;

    // Bytes are as long as the text, NULs included; a size_t length is filled in as well.
    const std::string bytes("ab\0cd", 5);
    tvx::Vector vector = tvx::TvxVector_new();
    tvxrec_clear_log();
    tvx::TvxVector_char_commit(vector, bytes, true);
    tvx::Object restored = tvx::Quorix_deserialize(bytes);
    const RecordedCall commit = last_call_of("TvxVector_char_commit");
    EXPECT_EQ(commit.args[1].p, static_cast<const void*>(bytes.data()));
    EXPECT_EQ(commit.args[2].i, 5);
    EXPECT_EQ(commit.args[3].u, 1u);
    const RecordedCall deserialize = last_call_of("Quorix_deserialize");
    EXPECT_EQ(deserialize.args[0].p, static_cast<const void*>(bytes.data()));
    EXPECT_EQ(deserialize.args[1].u, 5u);
}

TEST_F(CppArrays, TextArraysArriveAsTheirCStrings) {
    const std::vector<std::string> strings{"first", "", "third"};
    const std::vector<const char*> pointers{"a", "b"};
    const char* const c_array[1] = {"only"};
    tvx::CSStringField_SetData(field, strings);
    tvx::CSStringField_SetData(field, pointers);
    tvx::CSStringField_SetData(field, c_array);
    tvx::CSStringField_SetData(field, {"x", "y"});
    tvx::CSStringField_SetData(field, 1, pointers.data());
    const std::vector<RecordedCall> set = calls_of("CSStringField_SetData");
    ASSERT_EQ(set.size(), 5u);
    const std::vector<std::vector<std::string>> want{{"first", "", "third"}, {"a", "b"}, {"only"}, {"x", "y"}, {"a"}};
    for (size_t k = 0; k < want.size(); ++k) {
        ASSERT_EQ(set[k].args.size(), 3 + want[k].size()) << "call " << k;
        EXPECT_EQ(set[k].args[1].i, static_cast<long long>(want[k].size())) << "call " << k;
        for (size_t t = 0; t < want[k].size(); ++t) EXPECT_STREQ(set[k].args[3 + t].s, want[k][t].c_str()) << k;
    }
    EXPECT_EQ(set[0].args[3].p, static_cast<const void*>(strings[0].c_str()));  // the strings' own text
    EXPECT_EQ(set[1].args[2].p, static_cast<const void*>(pointers.data()));
    EXPECT_EQ(set[2].args[2].p, static_cast<const void*>(c_array));
}

TEST_F(CppArrays, ViewsThatCannotMakeTheCountNeverReachTheLibrary) {
    const char* const texts[2] = {"a", "bc"};
    const size_t three[3] = {1, 2, 3};
    try {
        tvx::CSStringField_SetData_with_size(field, texts, three);
        ADD_FAILURE() << "views of different lengths were accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "CSStringField_SetData_with_size: values and sizes share one length but have 2 and "
                               "3 elements");
    }
    EXPECT_THROW(tvx::CSStringField_SetData_with_size(field, std::vector<std::string>{"a"}, std::vector<size_t>{}),
                 std::invalid_argument);

    // A length the entry's int cannot hold is refused, not cut short. The view is never read.
    const size_t too_long = static_cast<size_t>(std::numeric_limits<int>::max()) + 1;
    try {
        tvx::CSField_SetData(field, tvx::ArrayView<const double>(nullptr, too_long));
        ADD_FAILURE() << "a length beyond int was accepted";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), ("CSField_SetData: values has " + std::to_string(too_long) +
                                " elements, more than the entry's length parameter can hold").c_str());
    }
    EXPECT_TRUE(entries_called().empty());

    // Views of one length go through together.
    const size_t two[2] = {1, 2};
    tvx::CSStringField_SetData_with_size(field, texts, two);
    const RecordedCall set = last_call_of("CSStringField_SetData_with_size");
    EXPECT_EQ(set.args[1].i, 2);
    EXPECT_EQ(set.args[2].p, static_cast<const void*>(texts));
    EXPECT_EQ(set.args[3].p, static_cast<const void*>(two));
}

TEST_F(CppBinding, TextIsCopiedAndOwnedTextGoesBackToTheLibraryThatMadeIt) {
    Doubles doubles;
    hand_out();
    tvx::Object client = tvx::Client_new_full_address(kAddress);
    static char protocol[] = "grpc";
    static char os[] = "a system";
    static char location[] = "Nodal";
    tvxrec_set_result("remote", "Client_get_protocol_name", bits(protocol));
    tvxrec_set_result("common", "Quorix_getOs", bits(os));
    tvxrec_set_result("remote", "Scoping_GetLocation", bits(location));
    tvxrec_clear_log();

    EXPECT_EQ(tvx::Client_get_protocol_name(client), "grpc");  // through the client's library
    EXPECT_EQ(tvx::Quorix_getOs(), "a system");                 // no handle: the default library
    tvx::Object scoping = tvx::Scoping_new_on_client(client);
    EXPECT_EQ(tvx::Scoping_GetLocation(scoping), "Nodal");      // the library keeps it
    const std::vector<RecordedCall> back = calls_of("Quorix_deleteString");
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].library, "remote");
    EXPECT_EQ(back[0].args[0].p, static_cast<const void*>(protocol));
    EXPECT_EQ(back[1].library, "common");
    EXPECT_EQ(back[1].args[0].p, static_cast<const void*>(os));

    // Null text is the empty string and goes back nowhere; output parameters are the caller's.
    tvxrec_clear_results();
    tvxrec_clear_log();
    int port = 7;
    EXPECT_EQ(tvx::Quorix_getServerIpAndPort(client, port), "");
    EXPECT_EQ(tvx::Scoping_GetLocation(scoping), "");
    EXPECT_EQ(entries_called(), (Calls{"remote:Quorix_getServerIpAndPort", "remote:Scoping_GetLocation"}));
    EXPECT_EQ(recorded_calls()[0].args[1].p, static_cast<const void*>(&port));
}

TEST_F(CppBinding, TextTheLibraryDoesNotTakeBackIsReportedWithTheCopy) {
    {
        tvx::Library common(double_path("double_common_cpp"), "common");  // without Quorix_deleteString
        static char os[] = "a system";
        tvxrec_set_result("common", "Quorix_getOs", bits(os));
        try {
            tvx::Quorix_getOs();
            ADD_FAILURE() << "a refused release went unreported";
        } catch (const tvx::ReleaseError& e) {
            EXPECT_EQ(e.text(), "a system");
            EXPECT_STREQ(e.what(), "Quorix_getOs returned text that Quorix_deleteString could not hand back: "
                                   "Invalid API pointer when calling function Quorix_deleteString");
        }
        EXPECT_EQ(entries_called(), (Calls{"common:Quorix_getOs"}));
    }
    // A library that reports a failure of its own is reported the same way, through the handle's library.
    Doubles doubles;
    hand_out();
    tvx::Object client = tvx::Client_new_full_address(kAddress);
    static char protocol[] = "grpc";
    tvxrec_set_result("remote", "Client_get_protocol_name", bits(protocol));
    tvxrec_set_error("remote", "Quorix_deleteString", L"not mine");
    try {
        tvx::Client_get_protocol_name(client);
        ADD_FAILURE() << "a refused release went unreported";
    } catch (const tvx::ReleaseError& e) {
        EXPECT_EQ(e.text(), "grpc");
        EXPECT_EQ(e.size(), 9);
        EXPECT_STREQ(e.what(), "Client_get_protocol_name returned text that Quorix_deleteString_for_object could "
                               "not hand back: not mine");
    }
}

TEST_F(CppBinding, LoadingFailsWithTheLibrarysMessageAndUnloadsItsNameOnce) {
    try {
        tvx::Library missing("./no_such_framework", "other");
        ADD_FAILURE() << "a missing file loaded";
    } catch (const tvx::Error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Unable to load ./no_such_framework", 0), 0u) << e.what();
        EXPECT_EQ(e.size(), static_cast<int>(std::string(e.what()).size() + 1));  // ASCII: one wchar_t a byte
    }
    try {
        tvx::Library strict(double_path("double_common_missing"), "common", tvx::Library::strict);
        ADD_FAILURE() << "a strict load with a missing entry succeeded";
    } catch (const tvx::Error& e) {
        EXPECT_NE(std::string(e.what()).find("\"Field_GetData\""), std::string::npos) << e.what();
    }
    tvx::Library lenient(double_path("double_common_missing"), "common");
    EXPECT_EQ(lenient.name(), "common");

    // Two loads of one name count twice; a moved library unloads once, by its new owner only.
    tvx::Library outer(double_path("double_remote"), "remote");
    {
        tvx::Library inner(double_path("double_remote"), "remote");
        tvx::Library moved = std::move(inner);
        tvx::Library assigned(double_path("double_both"), "third");
        assigned = std::move(moved);  // unloads "third", then owns the second count of "remote"
        EXPECT_FALSE(inner);
        EXPECT_TRUE(assigned);
    }
    tvxrec_hand_out_objects("remote", 1);
    tvx::Object client = tvx::Client_new_full_address(kAddress);  // "remote" is still there
    EXPECT_TRUE(client);
    client.reset();
    outer.unload();
    EXPECT_FALSE(outer);
    EXPECT_THROW(tvx::Client_new_full_address(kAddress), tvx::Error);
}

}  // namespace
