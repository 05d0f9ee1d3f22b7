// Field definitions, dimensionality and units: the definition's fast-access path, wrapping raw
// definitions into handles, and the unit entries that a handle routes to its own library.
#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/families/family_support.h"

namespace {

using namespace tvxtest;

// Where calls on a field definition go, seen through a query both libraries offer.
Where where(TvxObject* h) { return where_through(CSFieldDefinition_GetNumAvailableQuantityTypes, h); }

using FieldDefinitionsUnitsFamily = FamilyTest;

constexpr unsigned long long kResult = 0x5150;

struct FastCase {
    const char* entry;
    const char* raw;
    unsigned long long want;  // what the exported entry hands back when the raw entry returns kResult
    std::vector<Want> tail;   // what the raw entry receives after the raw pointer
    std::function<unsigned long long(TvxObject*, int*, wchar_t**)> call;
};

TEST_F(FieldDefinitionsUnitsFamily, EachFastAccessEntryFetchesOnceThenCallsItsRawPartner) {
    load_common_and_remote();
    int i1 = 0, i2 = 0;
    double d1 = 0.0, d2 = 0.0;
    char text[8] = {};
    int ints[3] = {1, 2, 3};
    const char* unit = "mm";
    const char* location = "Nodal";
    auto none = [](auto f) {
        return [f](TvxObject* h, int* s, wchar_t** m) {
            f(h, s, m);
            return 0ull;
        };
    };
    const std::vector<FastCase> cases = {
        {"CSFieldDefinition_GetUnit", "FieldDefinition_GetUnit", kResult, {P(&i1), P(&d1), P(&d2)},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSFieldDefinition_GetUnit(h, &i1, &d1, &d2, s, m)); }},
        {"CSFieldDefinition_FillUnit", "FieldDefinition_FillUnit", 0, {P(text), P(&i1), P(&i2), P(&d1), P(&d2)},
         none([&](TvxObject* h, int* s, wchar_t** m) { CSFieldDefinition_FillUnit(h, text, &i1, &i2, &d1, &d2, s, m); })},
        {"CSFieldDefinition_SetUnit", "FieldDefinition_SetUnit", 0, {P(unit), P(&d1), I(3), D(1.5), D(-2.5)},
         none([&](TvxObject* h, int* s, wchar_t** m) { CSFieldDefinition_SetUnit(h, unit, &d1, 3, 1.5, -2.5, s, m); })},
        {"CSFieldDefinition_GetShellLayers", "FieldDefinition_GetShellLayers", kResult, {},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSFieldDefinition_GetShellLayers(h, s, m)); }},
        {"CSFieldDefinition_SetShellLayers", "FieldDefinition_SetShellLayers", 0, {I(2)},
         none([&](TvxObject* h, int* s, wchar_t** m) { CSFieldDefinition_SetShellLayers(h, 2, s, m); })},
        {"CSFieldDefinition_GetLocation", "FieldDefinition_GetLocation", kResult, {},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSFieldDefinition_GetLocation(h, s, m)); }},
        {"CSFieldDefinition_FillLocation", "FieldDefinition_FillLocation", 0, {P(text), P(&i1)},
         none([&](TvxObject* h, int* s, wchar_t** m) { CSFieldDefinition_FillLocation(h, text, &i1, s, m); })},
        {"CSFieldDefinition_SetLocation", "FieldDefinition_SetLocation", 0, {P(location)},
         none([&](TvxObject* h, int* s, wchar_t** m) { CSFieldDefinition_SetLocation(h, location, s, m); })},
        {"CSFieldDefinition_GetDimensionality", "FieldDefinition_GetDimensionality", kResult, {P(&i1), P(&i2)},
         [&](TvxObject* h, int* s, wchar_t** m) { return bits(CSFieldDefinition_GetDimensionality(h, &i1, &i2, s, m)); }},
        {"CSFieldDefinition_FillDimensionality", "FieldDefinition_FillDimensionality", 0, {P(ints), P(&i1), P(&i2)},
         none([&](TvxObject* h, int* s, wchar_t** m) { CSFieldDefinition_FillDimensionality(h, ints, &i1, &i2, s, m); })},
        {"CSFieldDefinition_SetDimensionality", "FieldDefinition_SetDimensionality", 0, {I(1), P(ints), I(3)},
         none([&](TvxObject* h, int* s, wchar_t** m) { CSFieldDefinition_SetDimensionality(h, 1, ints, 3, s, m); })},
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        const FastCase& fc = cases[k];
        SCOPED_TRACE(fc.entry);
        ErrorPair e;
        TvxObject* definition = FieldDefinition_new(&e.size, &e.message);  // a fresh handle
        const Where at = where(definition);
        ASSERT_EQ(at.library, "common");
        const void* raw = fake(0x1000 + 0x10 * k);
        tvxrec_set_result("common", "FieldDefinition_GetFastAccessPtr", bits(raw));
        tvxrec_set_result("common", fc.raw, kResult);

        EXPECT_EQ(fc.call(definition, &e.size, &e.message), fc.want);
        EXPECT_EQ(e.size, 0) << e.str();
        tvxrec_set_error("common", fc.raw, L"raw entry failed");
        EXPECT_EQ(fc.call(definition, &e.size, &e.message), fc.want);
        EXPECT_EQ(e.str(), "raw entry failed");  // the caller's pair goes to the raw entry

        const std::vector<RecordedCall> calls = recorded_calls();
        const std::string raw_call = std::string("common:") + fc.raw;
        ASSERT_EQ(entries_called(), (Calls{"common:FieldDefinition_GetFastAccessPtr", raw_call, raw_call}));
        EXPECT_EQ(calls[0].args[0].p, at.object);
        for (size_t c : {1u, 2u}) {
            EXPECT_EQ(calls[c].args[0].p, raw);
            expect_args(calls[c], 1, fc.tail);
        }
        tvxrec_clear_results();
        release(definition);
    }
}

TEST_F(FieldDefinitionsUnitsFamily, RemoteAndNullDefinitionsTakeTheOrdinaryPath) {
    load_remote();  // the remote library alone is the default library
    ErrorPair e;
    TvxObject* definition = FieldDefinition_new_on_client(nullptr, &e.size, &e.message);
    const Where own = where(definition);
    ASSERT_EQ(own.library, "remote");
    double factor = 1.0;
    CSFieldDefinition_SetUnit(definition, "m", &factor, 1, 0.5, 0.25, &e.size, &e.message);
    CSFieldDefinition_SetUnit(definition, "m", &factor, 1, 0.5, 0.25, &e.size, &e.message);
    CSFieldDefinition_GetShellLayers(nullptr, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    EXPECT_EQ(entries_called(), (Calls{"remote:CSFieldDefinition_SetUnit", "remote:CSFieldDefinition_SetUnit",
                                       "remote:CSFieldDefinition_GetShellLayers"}));
    const std::vector<RecordedCall> calls = recorded_calls();
    EXPECT_EQ(calls[1].args[0].p, own.object);
    expect_args(calls[1], 2, {P(&factor), I(1), D(0.5), D(0.25)});
    EXPECT_EQ(calls[2].args[0].p, nullptr);

    // Common-class entries have no slot in the remote library and no fallback to the default one.
    tvxrec_clear_log();
    int n = 0, m = 0;
    EXPECT_EQ(CSFieldDefinition_GetDimensionality(definition, &n, &m, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function CSFieldDefinition_GetDimensionality");
    e.clear();
    EXPECT_EQ(CSFieldDefinition_GetLocation(nullptr, &e.size, &e.message), nullptr);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function CSFieldDefinition_GetLocation");
    EXPECT_TRUE(entries_called().empty());
    release(definition);
}

TEST_F(FieldDefinitionsUnitsFamily, WrappingARawDefinitionMakesACommonHandleOrNothing) {
    load_common_and_remote();
    CFieldDefinition* raw = reinterpret_cast<CFieldDefinition*>(0x7000);
    tvxrec_set_result("common", "FieldDefinition_wrap", 0);
    const size_t created = tvxrec_objects_created();
    ErrorPair e;
    EXPECT_EQ(FieldDefinition_wrap(raw, &e.size, &e.message), nullptr);
    EXPECT_EQ(tvxrec_objects_created(), created);
    tvxrec_clear_results();

    TvxObject* definition = FieldDefinition_wrap(raw, &e.size, &e.message);
    ASSERT_NE(definition, nullptr);
    EXPECT_EQ(entries_called(), (Calls{"common:FieldDefinition_wrap", "common:FieldDefinition_wrap"}));
    EXPECT_EQ(recorded_calls()[1].args[0].p, raw);
    const Where at = where(definition);
    EXPECT_EQ(at.library, "common");
    // The new handle takes the fast path with the pointer that the library gives for it.
    tvxrec_set_result("common", "FieldDefinition_GetFastAccessPtr", bits(raw));
    CSFieldDefinition_GetShellLayers(definition, &e.size, &e.message);
    EXPECT_EQ(entries_called(), (Calls{"common:FieldDefinition_GetFastAccessPtr", "common:FieldDefinition_GetShellLayers"}));
    EXPECT_EQ(recorded_calls()[0].args[0].p, at.object);
    EXPECT_EQ(recorded_calls()[1].args[0].p, raw);
    FieldDefinition_Delete(definition, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
}

TEST_F(FieldDefinitionsUnitsFamily, UnitEntriesForAnObjectGoToThatObjectsLibrary) {
    load_remote();
    ErrorPair e;
    TvxObject* remote_definition = FieldDefinition_new_on_client(nullptr, &e.size, &e.message);
    const int dims[2] = {3, 3};
    // A null handle: the default library, exactly as the plain entry.
    tvxrec_set_result("remote", "Dimensionality_GetNumComp", 9);
    EXPECT_EQ(Dimensionality_GetNumComp_for_object(nullptr, 2, dims, 1, &e.size, &e.message), 9);
    EXPECT_EQ(Dimensionality_GetNumComp(2, dims, 1, &e.size, &e.message), 9);
    std::vector<RecordedCall> calls = recorded_calls();
    ASSERT_EQ(entries_called(), (Calls{"remote:FieldDefinition_new", "remote:Dimensionality_GetNumComp",
                                       "remote:Dimensionality_GetNumComp"}));
    for (size_t c : {1u, 2u}) expect_args(calls[c], 0, {I(2), P(dims), I(1)});

    // With the common library loaded too, a remote handle still chooses the remote library; the
    // handle itself is not passed on.
    load_common();
    tvxrec_set_double_result("remote", "Unit_GetConversionFactor", 1000.0);
    tvxrec_set_double_result("common", "Unit_GetConversionFactor", 1.0);
    tvxrec_clear_log();
    const char* from = "km";
    const char* to = "m";
    EXPECT_EQ(Unit_GetConversionFactor_for_object(remote_definition, from, to, &e.size, &e.message), 1000.0);
    EXPECT_EQ(Unit_GetConversionFactor(from, to, &e.size, &e.message), 1.0);
    char buffer[16] = {};
    Unit_pow_s_for_object(remote_definition, buffer, from, 2.0, &e.size, &e.message);
    EXPECT_EQ(e.size, 0) << e.str();
    calls = recorded_calls();
    ASSERT_EQ(entries_called(), (Calls{"remote:Unit_GetConversionFactor", "common:Unit_GetConversionFactor",
                                       "remote:Unit_pow_s"}));
    expect_args(calls[0], 0, {P(from), P(to)});
    expect_args(calls[2], 0, {P(buffer), P(from), D(2.0)});
    release(remote_definition);
}

TEST_F(FieldDefinitionsUnitsFamily, AMissingUnitEntryIsReportedUnderTheForObjectName) {
    TVX_LOAD(double_path("double_empty"), "local", 1);  // the default library, with no entries
    ErrorPair e;
    EXPECT_EQ(Unit_GetConversionShift_for_object(nullptr, "degC", "K", &e.size, &e.message), 0.0);
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Unit_GetConversionShift_for_object");
    e.clear();
    EXPECT_FALSE(Unit_AreHomogeneous_for_object(nullptr, "m", "s", &e.size, &e.message));
    EXPECT_EQ(e.str(), "Invalid API pointer when calling function Unit_AreHomogeneous_for_object");
    EXPECT_EQ(tvxrec_count(), 0u);
}

}  // namespace
