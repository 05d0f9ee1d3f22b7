// Every implemented export, driven from the catalogue: what it reports without libraries, which
// library and slot it reaches for each kind of handle, what arguments arrive there, and what it
// hands back.
#include <cstring>
#include <string>
#include <vector>

#include "dispatch/forward.h"
#include "loader/registry.h"
#include "tests/support/catalogue_counts.gen.h"
#include "tests/support/test_support.h"
#include "tests/unit/catalogue_cases.h"

namespace {

using namespace tvxtest;
using tvx::API;

using CatalogueDriven = LedgerTest;

std::wstring invalid_api_message(const char* name) {
    std::wstring text = L"Invalid API pointer when calling function ";
    for (const char* p = name; *p != '\0'; ++p) text.push_back(static_cast<wchar_t>(*p));
    return text;
}

// Every export with null handles and null or zero arguments, where no loaded library has an entry
// for it: no crash, a zero result, and its own missing-entry message (or silence without a pair).
void expect_every_export_reports_itself() {
    size_t with_pair = 0, silent = 0;
    for (const ExportCase& c : export_cases()) {
        CaseInputs in;
        ErrorPair e;
        const CaseResult r = c.call(in, &e.size, &e.message);
        EXPECT_TRUE(r.zero()) << c.name;
        if (c.error_pair) {
            EXPECT_EQ(e.text(), invalid_api_message(c.name)) << c.name;
            EXPECT_EQ(e.size, static_cast<int>(e.text().size() + 1)) << c.name;
            ++with_pair;
        } else {
            EXPECT_EQ(e.size, 0) << c.name;
            ++silent;
        }
    }
    EXPECT_EQ(with_pair + silent, static_cast<size_t>(tvxtest::counts::kForwardingExports));  // all but the hand-written
    std::printf("    covered %zu exports with an error pair, %zu without\n", with_pair, silent);
}

TEST_F(CatalogueDriven, WithoutLibrariesEveryExportReportsItselfAndReturnsZero) {
    expect_every_export_reports_itself();
}

TEST_F(CatalogueDriven, WithALibraryOfNoEntriesOrAfterAnUnloadEveryExportReportsItself) {
    // One library, loaded as "common" (so also the default library), that exports nothing.
    TVX_LOAD(double_path("double_empty"), "common", 1);
    expect_every_export_reports_itself();
    // A library that had every entry, unloaded again: nothing may still reach it.
    tvx_unload_everything();
    TVX_LOAD(double_path("double_common"), "common", 1);
    TVX_LOAD(double_path("double_remote"), "remote", 1);
    ErrorPair e;
    QuorixCore_UnloadAPI("common", &e.size, &e.message);
    QuorixCore_UnloadAPI("remote", &e.size, &e.message);
    ASSERT_EQ(e.size, 0) << e.str();
    tvxrec_clear_log();
    expect_every_export_reports_itself();
    EXPECT_EQ(tvxrec_count(), 0u) << "a call reached an unloaded library";
}

// A way to give an entry its handles.
struct Scenario {
    const char* name;
    API* library;  // library of every handle argument; null: null handles
    bool moved;    // handles of `library` with a local copy in the common library
};

class Routing {
public:
    Routing() : common_(tvx::registry::find("common")), remote_(tvx::registry::find("remote")) {}

    std::vector<Scenario> scenarios(const ExportCase& c) const {
        const bool takes_handle = std::strpbrk(c.kinds, "hv") != nullptr;
        std::vector<Scenario> out{{"null handles", nullptr, false}};
        if (!takes_handle) return out;
        const std::string shape = c.shape, cls = c.slot_class;
        if (shape == "client") {
            out.push_back({"common handles", common_, false});  // still the remote library
        } else if (shape == "free") {
            out.push_back({"remote handles", remote_, false});  // handles do not choose
        } else {
            if (cls != "remote") out.push_back({"common handles", common_, false});
            if (cls != "common") out.push_back({"remote handles", remote_, false});
            if (cls != "remote" && c.kinds[0] == 'h') out.push_back({"moved remote handles", remote_, true});
        }
        return out;
    }

    API* expected_library(const ExportCase& c, const Scenario& s) const {
        const std::string shape = c.shape, home = c.home;
        if (shape == "client") return remote_;
        const bool chooses = shape == "object" || shape == "fast" || shape == "release" || shape == "routed";
        if (chooses && s.library != nullptr) return s.moved ? common_ : s.library;
        if (home == "remote") return remote_;
        return common_;  // the common library, which is also the default library here
    }

    const char* id(const API* lib) const { return lib == common_ ? "common" : lib == remote_ ? "remote" : "?"; }

    TvxObject* make_handle(const Scenario& s) const {
        auto* h = tvx::new_handle(static_cast<CSharedObjectBase*>(tvxrec_new_object(id(s.library))), s.library);
        if (s.moved) {
            h->set_local_copy(static_cast<CSharedObjectBase*>(tvxrec_new_object("common")), common_);
        }
        return h;
    }

    SharedTvxVector* make_vector(const Scenario& s) const {
        return tvx::new_vector(static_cast<TvxVector*>(tvxrec_new_object(id(s.library))), s.library);
    }

    // Runs one export in one scenario and checks the call the double recorded.
    void run(const ExportCase& c, const Scenario& s) const {
        SCOPED_TRACE(std::string(c.name) + " with " + s.name);
        CaseInputs in;
        const int n = static_cast<int>(std::strlen(c.kinds));
        for (int i = 0; i < n && s.library != nullptr; ++i) {
            if (c.kinds[i] == 'h') in.handles[i] = make_handle(s);
            if (c.kinds[i] == 'v') in.vectors[i] = make_vector(s);
        }
        API* lib = expected_library(c, s);
        const std::string want_id = id(lib);
        std::vector<const void*> objects(n, nullptr);
        for (int i = 0; i < n && s.library != nullptr; ++i) {  // the copy of a moved handle, else its own
            if (c.kinds[i] == 'h') objects[i] = s.moved ? in.handles[i]->local_copy : in.handles[i]->object;
            if (c.kinds[i] == 'v') objects[i] = in.vectors[i]->object;
        }
        const bool scalar_result = std::string(c.result) == "value";
        if (scalar_result) tvxrec_set_result(want_id.c_str(), c.target, 42);

        // Releasing a moved handle also releases its own object in its own library, last.
        const bool releases_own = std::string(c.shape) == "release" && s.moved;
        const void* own_object = releases_own ? in.handles[0]->object : nullptr;

        tvxrec_clear_log();
        ErrorPair e;
        const CaseResult r = c.call(in, &e.size, &e.message);
        EXPECT_EQ(e.size, 0) << e.str();

        std::vector<RecordedCall> calls = recorded_calls();
        if (releases_own) {
            ASSERT_FALSE(calls.empty());
            const RecordedCall& last = calls.back();
            EXPECT_EQ(last.library, id(s.library));
            EXPECT_EQ(last.entry, "Quorix_delete_shared_object");
            ASSERT_EQ(last.args.size(), 1u);
            EXPECT_EQ(last.args[0].p, own_object);
            calls.pop_back();
        }
        int found = 0;
        for (const RecordedCall& call : calls) {
            EXPECT_EQ(call.library, want_id) << "unexpected call of " << call.entry;
            if (call.entry != c.target) continue;
            ++found;
            EXPECT_EQ(call.slot, c.slot);
            check_arguments(c, call, in, objects);
        }
        EXPECT_EQ(found, 1) << "calls of " << c.target << " in " << want_id;

        if (scalar_result) {
            EXPECT_NE(r.bits, 0u) << "the entry's result is handed back";
        }
        tvxrec_clear_results();
        check_result(c, r, lib);
        release_inputs(c, in);
    }

private:
    static void check_arguments(const ExportCase& c, const RecordedCall& call, const CaseInputs& in,
                                const std::vector<const void*>& objects) {
        const int n = static_cast<int>(std::strlen(c.kinds));
        const int first = std::string(c.shape) == "routed" ? 1 : 0;  // the handle only chose
        ASSERT_EQ(static_cast<int>(call.args.size()), n - first);
        for (int i = first; i < n; ++i) {
            const TvxRecArg& a = call.args[i - first];
            SCOPED_TRACE("argument " + std::to_string(i));
            switch (c.kinds[i]) {
                case 'h':
                case 'v':
                    EXPECT_EQ(a.kind, TVXREC_PTR);
                    EXPECT_EQ(a.p, objects[i]);
                    break;
                case 'a':
                    EXPECT_EQ(a.p, nullptr);
                    break;
                case 'c':
                    EXPECT_EQ(a.i, in.array_count);
                    break;
                case 's':
                    ASSERT_EQ(a.kind, TVXREC_STR);
                    EXPECT_STREQ(a.s, in.strings[i]);
                    break;
                case 'p':
                    EXPECT_EQ(a.p, fake<const void*>(i));
                    break;
                case 'd':
                    EXPECT_EQ(a.d, fake<double>(i));
                    break;
                case 'b':
                    EXPECT_EQ(a.u, 1u);
                    break;
                case 'i':
                    EXPECT_EQ(a.i, 100 + i);
                    break;
                case 'u':
                    EXPECT_EQ(a.u, static_cast<unsigned long long>(100 + i));
                    break;
                default:
                    ADD_FAILURE() << "unknown kind " << c.kinds[i];
            }
        }
    }

    void check_result(const ExportCase& c, const CaseResult& r, API* lib) const {
        const std::string kind = c.result;
        if (kind == "TvxObject" || kind == "Operator" || kind == "Workflow") {
            auto* h = dynamic_cast<TvxObject*>(r.handle);
            ASSERT_NE(h, nullptr) << "a handle for the object the double returned";
            EXPECT_EQ(h->library, lib);
            EXPECT_STREQ(tvxrec_object_library(h->object), id(lib));
            EXPECT_FALSE(h->moved_locally());
            const std::type_info& want = kind == "Operator"   ? typeid(Operator)
                                         : kind == "Workflow" ? typeid(Workflow)
                                                              : typeid(TvxObject);
            EXPECT_TRUE(typeid(*h) == want) << "a handle of class " << kind;
            ErrorPair e;
            Quorix_delete_shared_object(h, &e.size, &e.message);
        } else if (kind == "SharedTvxVector") {
            auto* v = dynamic_cast<SharedTvxVector*>(r.handle);
            ASSERT_NE(v, nullptr);
            EXPECT_EQ(v->library, lib);
            ErrorPair e;
            TvxVector_delete(v, &e.size, &e.message);
        } else {
            EXPECT_EQ(r.handle, nullptr);
        }
        if (r.array != nullptr) {
            ErrorPair e;
            Quorix_delete_shared_object_array(r.array, 0, &e.size, &e.message);
        }
    }

    static void release_inputs(const ExportCase& c, const CaseInputs& in) {
        const bool consumed = std::string(c.shape) == "release";
        for (int i = 0; i < CaseInputs::kMax; ++i) {
            ErrorPair e;
            if (i == 0 && consumed) continue;
            if (in.handles[i] != nullptr) Quorix_delete_shared_object(in.handles[i], &e.size, &e.message);
            if (in.vectors[i] != nullptr) TvxVector_delete(in.vectors[i], &e.size, &e.message);
        }
    }

    API* common_;
    API* remote_;

    friend class TwoObjects;
};

// Two-object entries: the handles of one library reach that library's entry with their own
// objects; handles of two libraries are reconciled into the common library first.
class TwoObjects {
public:
    explicit TwoObjects(const Routing& r) : r_(r) {}

    // Handles at every handle position: the first two of `first` and `second`, a third of `first`.
    void run(const ExportCase& c, API* first, API* second) const {
        SCOPED_TRACE(std::string(c.name) + ": " + r_.id(first) + " and " + r_.id(second));
        CaseInputs in;
        std::vector<int> positions;
        for (int i = 0; c.kinds[i] != '\0'; ++i) {
            if (c.kinds[i] != 'h') continue;
            API* lib = positions.size() == 1 ? second : first;
            in.handles[i] = r_.make_handle({"", lib, false});
            positions.push_back(i);
        }
        ASSERT_GE(positions.size(), 2u);
        TvxObject* h1 = in.handles[positions[0]];
        TvxObject* h2 = in.handles[positions[1]];
        const bool remote_class = std::string(c.slot_class) == "remote";

        tvxrec_clear_log();
        ErrorPair e;
        const CaseResult r = c.call(in, &e.size, &e.message);

        const std::vector<RecordedCall> calls = recorded_calls();
        const RecordedCall* target = nullptr;
        for (const RecordedCall& call : calls) {
            if (call.entry == c.target) {
                EXPECT_EQ(target, nullptr) << "called twice";
                target = &call;
            }
        }
        if (first != second && remote_class) {
            // The remote-only entry has no counterpart in the common library.
            EXPECT_EQ(target, nullptr);
            EXPECT_EQ(e.str(), std::string("moveToCorrespondingFunctionOnCommonApi (4): Cannot find function in "
                                           "common API when calling function ") + c.name);
            EXPECT_TRUE(r.zero());
            EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(h1));  // stays moved
        } else {
            EXPECT_EQ(e.size, 0) << e.str();
            ASSERT_NE(target, nullptr);
            API* called = first == second ? first : r_.common_;
            EXPECT_EQ(target->library, r_.id(called));
            EXPECT_EQ(target->slot, c.slot);
            // The reconciled objects stand in the handles' places; everything else is unchanged.
            const void* want1 = h1->moved_locally() ? h1->local_copy : h1->object;
            const void* want2 = h2->moved_locally() ? h2->local_copy : h2->object;
            if (first != second) {
                EXPECT_TRUE(h1->moved_locally() || h2->moved_locally());
            }
            for (size_t i = 0; i < target->args.size(); ++i) {
                const TvxRecArg& a = target->args[i];
                const int p = static_cast<int>(i);
                const void* want = p == positions[0]   ? want1
                                   : p == positions[1] ? want2
                                   : c.kinds[p] == 'h' ? in.handles[p]->object
                                   : c.kinds[p] == 'p' ? fake<const void*>(p)
                                                       : nullptr;
                if (c.kinds[p] == 'h' || c.kinds[p] == 'p') {
                    EXPECT_EQ(a.p, want) << "argument " << p;
                } else if (c.kinds[p] == 's') {
                    EXPECT_STREQ(a.s, in.strings[p]);
                } else if (c.kinds[p] == 'i') {
                    EXPECT_EQ(a.i, 100 + p);
                }
            }
            const std::string kind = c.result;
            if (kind == "TvxObject") {
                auto* h = dynamic_cast<TvxObject*>(r.handle);
                ASSERT_NE(h, nullptr);
                EXPECT_EQ(h->library, called);  // the library whose entry was finally called
                Quorix_delete_shared_object(h, &e.size, &e.message);
            }
        }
        for (int i : positions) {
            ErrorPair release;
            Quorix_delete_shared_object(in.handles[i], &release.size, &release.message);
        }
    }

private:
    const Routing& r_;
};

// Both doubles loaded strictly; every object-returning entry hands out a new ledger object.
void load_handing_out_objects() {
    TVX_LOAD(double_path("double_common"), "common", 0);
    TVX_LOAD(double_path("double_remote"), "remote", 0);
    tvxrec_hand_out_objects("common", 1);
    tvxrec_hand_out_objects("remote", 1);
}

TEST_F(CatalogueDriven, EveryTwoObjectEntryCallsOneLibraryWithBothObjects) {
    load_handing_out_objects();
    if (HasFatalFailure()) return;
    const Routing routing;
    const TwoObjects two(routing);
    API* common = tvx::registry::find("common");
    API* remote = tvx::registry::find("remote");
    size_t entries = 0;
    for (const ExportCase& c : export_cases()) {
        if (std::string(c.shape) != "two") continue;
        if (std::string(c.slot_class) == "common") {
            two.run(c, common, common);
            two.run(c, common, remote);  // the second handle is copied into the common library
        } else {
            two.run(c, remote, remote);
            two.run(c, remote, common);  // the first handle is moved, the entry exchanged
        }
        ++entries;
    }
    EXPECT_EQ(entries, 123u);
    std::printf("    %zu two-object entries, each within one library and across two\n", entries);
}

TEST_F(CatalogueDriven, EveryExportReachesTheRightLibrarysSlotWithConvertedArguments) {
    load_handing_out_objects();
    if (HasFatalFailure()) return;
    const Routing routing;
    size_t runs = 0, exports = 0, with_handles = 0;
    for (const ExportCase& c : export_cases()) {
        if (std::string(c.shape) == "two") continue;  // reconciled: below
        const std::vector<Scenario> scenarios = routing.scenarios(c);
        for (const Scenario& s : scenarios) {
            routing.run(c, s);
            ++runs;
        }
        ++exports;
        with_handles += scenarios.size() > 1 ? 1 : 0;
    }
    std::printf("    %zu exports (%zu with handle arguments) in %zu runs\n", exports, with_handles, runs);
}

}  // namespace
