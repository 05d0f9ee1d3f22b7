// The registry and the entry table, inspected from inside: which slots resolve in which library,
// strict and lenient loading, the lookup structures, the reference counts and the cached libraries.
#include <array>
#include <cstdint>
#include <string>

#include "loader/registry.h"
#include "tests/support/catalogue_counts.gen.h"
#include "tests/support/test_support.h"

#if defined(_WIN32)
#  define WIN32_LEAN_AND_MEAN
#  include <windows.h>
#else
#  include <dlfcn.h>
#endif

namespace {

using tvx::API;
using tvx::Availability;
using tvxtest::double_path;
using tvxtest::counts::kBothSlots;
using tvxtest::counts::kCommonSlots;
using tvxtest::counts::kRemoteSlots;

class Loader : public ::testing::Test {
protected:
    void SetUp() override { tvx_unload_everything(); }
    void TearDown() override { tvx_unload_everything(); }
};

// Resolved slots by class: {common, both, remote}.
std::array<int, 3> resolved_by_class(const API* lib) {
    std::array<int, 3> n{};
    for (int i = 0; i < tvx::kSlotCount; ++i) {
        if (lib->table[i] != nullptr) ++n[static_cast<int>(tvx::kSlots[i].availability)];
    }
    return n;
}

bool module_is_loaded(const std::string& path_without_suffix) {
    const std::string file = path_without_suffix + tvx::platform::module_suffix();
#if defined(_WIN32)
    return GetModuleHandleA(file.c_str()) != nullptr;
#else
    void* m = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (m != nullptr) dlclose(m);
    return m != nullptr;
#endif
}

TEST_F(Loader, TheRegisteredNameDecidesWhichClassesResolve) {
    TVX_LOAD(double_path("double_common"), "common", 1);
    TVX_LOAD(double_path("double_remote"), "remote", 1);
    TVX_LOAD(double_path("double_common"), "Common", 1);
    TVX_LOAD(double_path("double_common"), "local", 1);

    EXPECT_EQ(resolved_by_class(tvx::registry::find("common")), (std::array<int, 3>{kCommonSlots, kBothSlots, 0}));
    // The remote double exports the remote forms under the plain names ("Field_new" ...), yet none
    // of them fills a common slot of a library registered as "remote".
    EXPECT_EQ(resolved_by_class(tvx::registry::find("remote")), (std::array<int, 3>{0, kBothSlots, kRemoteSlots}));
    EXPECT_EQ(resolved_by_class(tvx::registry::find("Common")), (std::array<int, 3>{0, kBothSlots, 0}));
    EXPECT_EQ(resolved_by_class(tvx::registry::find("local")), (std::array<int, 3>{0, kBothSlots, 0}));
    EXPECT_EQ(tvx::registry::common(), tvx::registry::find("common"));
    EXPECT_EQ(tvx::registry::remote(), tvx::registry::find("remote"));
}

TEST_F(Loader, EmptyNameResolvesOnlyClassBoth) {
    TVX_LOAD(double_path("double_common"), "", 1);
    EXPECT_EQ(resolved_by_class(tvx::registry::find("")), (std::array<int, 3>{0, kBothSlots, 0}));
}

TEST_F(Loader, SlotsHoldTheEntryOfTheirOwnName) {
    TVX_LOAD(double_path("double_common"), "common", 0);
    const API* lib = tvx::registry::find("common");
    ASSERT_NE(lib, nullptr);
    for (int i = 0; i < tvx::kSlotCount; ++i) {
        if (lib->table[i] == nullptr) continue;
        EXPECT_EQ(lib->table[i], tvx::platform::find_symbol(lib->module, tvx::kSlots[i].name)) << tvx::kSlots[i].name;
    }
}

TEST_F(Loader, StrictFailureNamesTheEntryAndItsTypeAndReleasesTheModule) {
    tvxtest::ErrorPair e;
    const std::string path = double_path("double_common_missing");
    QuorixCore_LoadAPIWithOptions(path.c_str(), "common", 0, &e.size, &e.message);
    EXPECT_EQ(e.str(),
              "Unable to load \"Field_GetData\" from shared library. Expected type is "
              "double* const (CField*, int&, int&, wchar_t*&)");
    EXPECT_EQ(e.size, static_cast<int>(e.text().size() + 1));
    EXPECT_EQ(tvx::registry::find("common"), nullptr);
    EXPECT_EQ(tvx::registry::size(), 0u);
    EXPECT_FALSE(module_is_loaded(path));

    // The same file loads leniently, and then only that slot is empty.
    TVX_LOAD(path, "common", 1);
    const API* lib = tvx::registry::find("common");
    EXPECT_EQ(resolved_by_class(lib), (std::array<int, 3>{kCommonSlots - 1, kBothSlots, 0}));
    EXPECT_EQ(lib->table[tvx::slot::Field_GetData], nullptr);
}

TEST_F(Loader, StrictFailureOfARemoteFormNamesTheRemoteSignature) {
    tvxtest::ErrorPair e;
    QuorixCore_LoadAPIWithOptions(double_path("double_remote_missing").c_str(), "remote", 0, &e.size, &e.message);
    EXPECT_EQ(e.str(),
              "Unable to load \"Field_new\" from shared library. Expected type is "
              "CSharedObjectBase* (CSharedObjectBase*, int, int, const char*, int&, wchar_t*&)");
    EXPECT_EQ(tvx::registry::remote(), nullptr);
    // Under another name the missing remote form does not apply, so a strict load succeeds.
    TVX_LOAD(double_path("double_remote_missing"), "local", 0);
}

TEST_F(Loader, LenientLoadOfALibraryWithoutEntriesLeavesEverySlotEmpty) {
    TVX_LOAD(double_path("double_empty"), "common", 1);
    const API* lib = tvx::registry::find("common");
    EXPECT_EQ(resolved_by_class(lib), (std::array<int, 3>{0, 0, 0}));
    ASSERT_EQ(lib->ordered_functions.size(), static_cast<size_t>(tvx::kSlotCount));
    // Every slot holds null, so the index has one entry: null at the last slot.
    ASSERT_EQ(lib->function_index.size(), 1u);
    EXPECT_EQ(lib->function_index.at(0), tvx::kSlotCount - 1);

    tvxtest::ErrorPair e;
    QuorixCore_LoadAPIWithOptions(double_path("double_empty").c_str(), "strict", 0, &e.size, &e.message);
    EXPECT_NE(e.size, 0);
    EXPECT_EQ(e.str().rfind("Unable to load \"", 0), 0u) << e.str();
}

TEST_F(Loader, LookupStructuresMirrorTheTableAndSharedAddressesMapToTheLaterSlot) {
    TVX_LOAD(double_path("double_alias"), "common", 0);
    const API* lib = tvx::registry::find("common");
    ASSERT_EQ(lib->ordered_functions.size(), static_cast<size_t>(tvx::kSlotCount));
    for (int i = 0; i < tvx::kSlotCount; ++i) ASSERT_EQ(lib->ordered_functions[i], lib->table[i]);

    const int a = tvx::slot::Operator_connect_Field;
    const int b = tvx::slot::Operator_connect_Scoping;
    ASSERT_NE(lib->table[a], nullptr);
    ASSERT_EQ(lib->table[a], lib->table[b]);
    const auto key = reinterpret_cast<std::uintptr_t>(lib->table[a]);
    EXPECT_EQ(lib->function_index.at(key), std::max(a, b));

    // Every other resolved function maps back to its own slot.
    for (int i = 0; i < tvx::kSlotCount; ++i) {
        if (lib->table[i] == nullptr || i == a || i == b) continue;
        EXPECT_EQ(lib->function_index.at(reinterpret_cast<std::uintptr_t>(lib->table[i])), i) << tvx::kSlots[i].name;
    }
}

TEST_F(Loader, RepeatedLoadsCountAndKeepTheFirstPathAndOptions) {
    TVX_LOAD(double_path("double_both"), "a", 1);
    API* first = tvx::registry::find("a");
    TVX_LOAD(double_path("double_missing_file_is_never_opened"), "a", 0);
    EXPECT_EQ(tvx::registry::find("a"), first);
    EXPECT_EQ(first->reference_count, 2);
    EXPECT_EQ(first->options, 1);

    tvxtest::ErrorPair e;
    QuorixCore_UnloadAPI("a", &e.size, &e.message);
    EXPECT_EQ(e.size, 0);
    EXPECT_EQ(tvx::registry::find("a"), first);
    EXPECT_EQ(first->reference_count, 1);
    QuorixCore_UnloadAPI("a", &e.size, &e.message);
    EXPECT_EQ(e.size, 0);
    EXPECT_EQ(tvx::registry::find("a"), nullptr);
    QuorixCore_UnloadAPI("a", &e.size, &e.message);
    EXPECT_EQ(e.str(), "Unable to unload API 'a': Not found");
}

TEST_F(Loader, SameFileUnderTwoNamesGivesTwoLibraries) {
    TVX_LOAD(double_path("double_common"), "x", 1);
    TVX_LOAD(double_path("double_common"), "y", 1);
    API* x = tvx::registry::find("x");
    API* y = tvx::registry::find("y");
    ASSERT_NE(x, y);
    EXPECT_EQ(x->table[tvx::slot::Operator_run], y->table[tvx::slot::Operator_run]);
    tvxtest::ErrorPair e;
    QuorixCore_UnloadAPI("x", &e.size, &e.message);
    // The module stays loaded for "y", whose functions still resolve.
    EXPECT_EQ(y->table[tvx::slot::Operator_run],
              tvx::platform::find_symbol(y->module, "Operator_run"));
}

TEST_F(Loader, DefaultLibraryIsTheCommonOneOnceThereIsOne) {
    EXPECT_EQ(tvx::registry::default_library(), nullptr);
    TVX_LOAD(double_path("double_remote"), "remote", 1);
    TVX_LOAD(double_path("double_both"), "other", 1);
    // No common library: the first library loaded, found afresh on every call.
    EXPECT_EQ(tvx::registry::default_library(), tvx::registry::find("remote"));
    tvxtest::ErrorPair e;
    QuorixCore_UnloadAPI("remote", &e.size, &e.message);
    EXPECT_EQ(tvx::registry::default_library(), tvx::registry::find("other"));

    TVX_LOAD(double_path("double_common"), "common", 1);
    EXPECT_EQ(tvx::registry::default_library(), tvx::registry::find("common"));
    TVX_LOAD(double_path("double_remote"), "remote", 1);
    EXPECT_EQ(tvx::registry::default_library(), tvx::registry::find("common"));
}

TEST_F(Loader, CachesNeverReachADestroyedLibrary) {
    TVX_LOAD(double_path("double_common"), "common", 1);
    TVX_LOAD(double_path("double_remote"), "remote", 1);
    ASSERT_NE(tvx::registry::common(), nullptr);
    ASSERT_NE(tvx::registry::remote(), nullptr);
    ASSERT_EQ(tvx::registry::default_library(), tvx::registry::common());

    tvxtest::ErrorPair e;
    QuorixCore_UnloadAPI("common", &e.size, &e.message);
    EXPECT_EQ(tvx::registry::common(), nullptr);
    EXPECT_EQ(tvx::registry::default_library(), tvx::registry::find("remote"));

    // A new common library is found afresh, even from another file.
    TVX_LOAD(double_path("double_alias"), "common", 1);
    EXPECT_EQ(tvx::registry::common(), tvx::registry::find("common"));
    EXPECT_EQ(tvx::registry::default_library(), tvx::registry::find("common"));

    // Unloading the empty name destroys everything and every cache with it.
    TVX_LOAD(double_path("double_both"), "", 1);
    QuorixCore_UnloadAPI("", &e.size, &e.message);
    EXPECT_EQ(e.size, 0);
    EXPECT_EQ(tvx::registry::size(), 0u);
    EXPECT_EQ(tvx::registry::common(), nullptr);
    EXPECT_EQ(tvx::registry::remote(), nullptr);
    EXPECT_EQ(tvx::registry::default_library(), nullptr);
}

TEST_F(Loader, NamesCompareByExactBytes) {
    TVX_LOAD(double_path("double_common"), "Common", 1);
    TVX_LOAD(double_path("double_common"), "common ", 1);
    EXPECT_EQ(tvx::registry::common(), nullptr);
    EXPECT_EQ(tvx::registry::find("common"), nullptr);
    EXPECT_NE(tvx::registry::find("Common"), nullptr);
    // Neither is the common library, so the default is the first one loaded.
    EXPECT_EQ(tvx::registry::default_library(), tvx::registry::find("Common"));
}

}  // namespace
