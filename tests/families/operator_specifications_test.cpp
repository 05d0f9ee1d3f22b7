// Operator specifications as a client sees them: the empty specification that reports nothing,
// the changelog that two libraries may share, and pin descriptions whose flags must keep their order.
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;

// Where calls on a specification go, seen through a query every library offers.
Where where(TvxObject* specification) {
    return where_through(Operator_specification_GetNumConfigOptions, specification);
}

using OperatorSpecificationsFamily = FamilyTest;

TEST_F(OperatorSpecificationsFamily, TheEmptySpecificationIsMadeOnlyByTheCommonLibraryAndSilently) {
    // Nothing loaded.
    EXPECT_EQ(Operator_empty_specification_new(), nullptr);

    // A library with the entry, loaded under another name: it is the default library, not the common one.
    TVX_LOAD(double_path("double_common"), "other", 1);
    tvxrec_hand_out_objects("common", 1);
    EXPECT_EQ(Operator_empty_specification_new(), nullptr);
    EXPECT_TRUE(entries_called().empty());
    ErrorPair e;
    EXPECT_EQ(Operator_specification_new("norm", &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Operator_specification_new");
    EXPECT_TRUE(entries_called().empty());
    tvx_unload_everything();

    // A common library without the entry.
    TVX_LOAD(double_path("double_both"), "common", 1);
    EXPECT_EQ(Operator_empty_specification_new(), nullptr);
    EXPECT_TRUE(entries_called().empty());
    tvx_unload_everything();

    // The common library: a null answer stays null, an object becomes a specification living there.
    TVX_LOAD(double_path("double_common"), "common", 1);
    tvxrec_hand_out_objects("common", 0);
    EXPECT_EQ(Operator_empty_specification_new(), nullptr);
    EXPECT_EQ(entries_called(), (Calls{"common:Operator_empty_specification_new"}));
    void* object = tvxrec_new_object("common");
    tvxrec_set_result("common", "Operator_empty_specification_new", bits(object));
    TvxObject* specification = Operator_empty_specification_new();
    ASSERT_NE(specification, nullptr);
    EXPECT_TRUE(recorded_calls().back().args.empty());
    const Where at = where(specification);
    EXPECT_EQ(at.library, "common");
    EXPECT_EQ(at.object, object);
    release(specification);
}

TEST_F(OperatorSpecificationsFamily, SetChangelogTakesItsFunctionFromTheSpecificationsOwnLibrary) {
    ASSERT_NO_FATAL_FAILURE(load_common_and_remote());
    server_can_copy();
    ErrorPair e;
    TvxObject* client = new_client();
    TvxObject* specification = Operator_specification_new("norm", &e.size, &e.message);
    TvxObject* server_specification = Operator_specification_new_on_client(client, "norm", &e.size, &e.message);
    TvxObject* server_changelog = Operator_specification_new_on_client(client, "changelog", &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    const Where local_at = where(specification), server_at = where(server_specification);
    ASSERT_EQ(server_at.library, "remote");

    // A specification of the server: its own library has no such entry, so nothing is moved or called.
    Operator_specification_SetChangelog(server_specification, specification, &e.size, &e.message);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Operator_specification_SetChangelog");
    EXPECT_TRUE(entries_called().empty());
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(server_specification));
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(specification));
    e.clear();

    // No specification at all: the common library has the entry, but there is no object to give it.
    Operator_specification_SetChangelog(nullptr, specification, &e.size, &e.message);
    EXPECT_EQ(e.str().rfind("Invalid TVX object", 0), 0u) << e.str();
    EXPECT_TRUE(entries_called().empty());
    e.clear();

    // No changelog: a null object in its place.
    Operator_specification_SetChangelog(specification, nullptr, &e.size, &e.message);
    ASSERT_EQ(entries_called(), (Calls{"common:Operator_specification_SetChangelog"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, local_at.object);
    EXPECT_EQ(recorded_calls()[0].args[1].p, nullptr);

    // A local specification and a changelog of the server: the changelog is copied into the common library.
    void* copy = tvxrec_new_object("common");
    tvxrec_set_result("common", "Quorix_deserialize", bits(copy));
    tvxrec_clear_log();
    Operator_specification_SetChangelog(specification, server_changelog, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(calls_of("Quorix_serialize").size(), 1u);
    const std::vector<RecordedCall> set = calls_of("Operator_specification_SetChangelog");
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].library, "common");
    EXPECT_EQ(set[0].args[0].p, local_at.object);
    EXPECT_EQ(set[0].args[1].p, copy);
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(server_changelog));
    for (TvxObject* h : {specification, server_specification, server_changelog, client}) release(h);
}

TEST_F(OperatorSpecificationsFamily, PinDescriptionsKeepTheOrderOfTheirFlags) {
    ASSERT_NO_FATAL_FAILURE(load_common());
    ErrorPair e;
    TvxObject* specification = Operator_specification_new("norm", &e.size, &e.message);
    ASSERT_NE(specification, nullptr);
    const Where at = where(specification);
    const char* types[] = {"field", "fields_container"};
    int pins[4] = {};

    Operator_specification_SetPin(specification, false, 7, "name", "document", 2, types, true, false, &e.size, &e.message);
    Operator_specification_SetPinDerivedClass(specification, true, 8, "name", "document", 2, types, false, true, "derived",
                                              &e.size, &e.message);
    Operator_specification_GetNumPins(specification, false, &e.size, &e.message);
    Operator_specification_FillPinNumbers(specification, true, pins, &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    const std::vector<RecordedCall> calls = recorded_calls();
    ASSERT_EQ(calls.size(), 4u);
    for (const RecordedCall& c : calls) {
        EXPECT_EQ(c.library, "common");
        EXPECT_EQ(c.args.at(0).p, at.object) << c.entry;
    }

    const RecordedCall& set = calls[0];
    ASSERT_EQ(set.args.size(), 9u);
    EXPECT_EQ(set.args[1].u, 0u);
    EXPECT_EQ(set.args[2].i, 7);
    EXPECT_STREQ(set.args[3].s, "name");
    EXPECT_STREQ(set.args[4].s, "document");
    EXPECT_EQ(set.args[5].i, 2);
    EXPECT_EQ(set.args[6].p, static_cast<const void*>(types));
    EXPECT_EQ(set.args[7].u, 1u);
    EXPECT_EQ(set.args[8].u, 0u);

    const RecordedCall& derived = calls[1];
    ASSERT_EQ(derived.args.size(), 10u);
    EXPECT_EQ(derived.args[1].u, 1u);
    EXPECT_EQ(derived.args[2].i, 8);
    EXPECT_EQ(derived.args[6].p, static_cast<const void*>(types));
    EXPECT_EQ(derived.args[7].u, 0u);
    EXPECT_EQ(derived.args[8].u, 1u);
    EXPECT_STREQ(derived.args[9].s, "derived");

    EXPECT_EQ(calls[2].args.at(1).u, 0u);
    EXPECT_EQ(calls[3].args.at(1).u, 1u);
    EXPECT_EQ(calls[3].args.at(2).p, static_cast<const void*>(pins));
    release(specification);
}

}  // namespace
