// What tvxtrace adds to a call: each forwarding shape called through TVXClientAPI, and the same
// call through the tracing library in front of it, in one process on the benchmark implementation
// library. The tracer's settings come from the environment (TVXTRACE_DETAIL: none = the summary
// only, full = every call logged and on the timeline; TVXTRACE_DIR: where its outputs go), so the
// `trace_bench` target runs this program once per setting.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "TVXClientAPI.h"
#include "bench/best_runs.h"

namespace {

// One set of entry points: the library's own, or the tracing library's.
struct Entries {
    decltype(&QuorixCore_LoadAPIWithOptions) load;
    decltype(&QuorixCore_UnloadAPI) unload;
    decltype(&Operator_new) operator_new;
    decltype(&Field_new) field_new;
    decltype(&Quorix_delete_shared_object) release;
    decltype(&Operator_run) run;
    decltype(&CSField_GetNumberOfComponents) components;
    decltype(&Quorix_release) free_entry;
    decltype(&Operator_connect_Field) connect;
};

template <class F>
F look_up(void* module, const char* name) {
    auto f = reinterpret_cast<F>(dlsym(module, name));
    if (f == nullptr) {
        std::fprintf(stderr, "no %s: %s\n", name, dlerror());
        std::exit(2);
    }
    return f;
}
#define LOOK_UP(module, entry) look_up<decltype(&entry)>((module), #entry)

Entries library_entries() {
    return {&QuorixCore_LoadAPIWithOptions, &QuorixCore_UnloadAPI, &Operator_new, &Field_new,
            &Quorix_delete_shared_object, &Operator_run, &CSField_GetNumberOfComponents, &Quorix_release,
            &Operator_connect_Field};
}

Entries tracer_entries(void* m) {
    return {LOOK_UP(m, QuorixCore_LoadAPIWithOptions), LOOK_UP(m, QuorixCore_UnloadAPI), LOOK_UP(m, Operator_new),
            LOOK_UP(m, Field_new), LOOK_UP(m, Quorix_delete_shared_object), LOOK_UP(m, Operator_run),
            LOOK_UP(m, CSField_GetNumberOfComponents), LOOK_UP(m, Quorix_release), LOOK_UP(m, Operator_connect_Field)};
}

std::string g_library;  // the benchmark implementation library, without its suffix
Entries g_untraced, g_traced;

enum class Shape { Object, Fast, Free, Handle, TwoObject };
const char* const kShapeNames[] = {"object entry", "fast-access entry", "free entry", "handle-returning entry + release",
                                   "two-object entry"};

template <Shape S>
void Calls(benchmark::State& state, const Entries* e) {
    int size = 0;
    wchar_t* message = nullptr;
    e->load(g_library.c_str(), "common", 0, &size, &message);
    TvxObject* op = e->operator_new("bench", &size, &message);
    TvxObject* field = e->field_new(3, 10, "Nodal", &size, &message);
    e->components(field, &size, &message);
    for (auto _ : state) {
        if constexpr (S == Shape::Object) e->run(op, &size, &message);
        if constexpr (S == Shape::Fast) benchmark::DoNotOptimize(e->components(field, &size, &message));
        if constexpr (S == Shape::Free) benchmark::DoNotOptimize(e->free_entry(1, &size, &message));
        if constexpr (S == Shape::Handle) e->release(e->field_new(3, 10, "Nodal", &size, &message), &size, &message);
        if constexpr (S == Shape::TwoObject) e->connect(op, 0, field, &size, &message);
    }
    e->release(field, &size, &message);
    e->release(op, &size, &message);
    e->unload("common", &size, &message);
}

template <Shape S>
void add(std::vector<std::string>& order) {
    const std::string name = kShapeNames[static_cast<int>(S)];
    order.push_back(name);
    benchmark::RegisterBenchmark(("untraced/" + name).c_str(), Calls<S>, &g_untraced);
    benchmark::RegisterBenchmark(("traced/" + name).c_str(), Calls<S>, &g_traced);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: trace_cost [benchmark options] <benchmark library without suffix> <libtvxtrace.so>\n");
        return 2;
    }
    g_library = argv[1];
    // The tracer forwards to the library this program is linked with: the same loaded copy.
    Dl_info self;
    if (dladdr(reinterpret_cast<void*>(&QuorixCore_LoadAPI), &self) == 0) return 2;
    setenv("TVXTRACE_LIBRARY", self.dli_fname, 0);
    if (std::getenv("TVXTRACE_DIR") == nullptr) {
        std::fprintf(stderr, "trace_cost: set TVXTRACE_DIR (and TVXTRACE_DETAIL)\n");
        return 2;
    }
    void* tracer = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    if (tracer == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    g_untraced = library_entries();
    g_traced = tracer_entries(tracer);

    std::vector<std::string> order;
    add<Shape::Object>(order);
    add<Shape::Fast>(order);
    add<Shape::Free>(order);
    add<Shape::Handle>(order);
    add<Shape::TwoObject>(order);
    BestRuns collector;
    benchmark::RunSpecifiedBenchmarks(&collector);

    const char* detail = std::getenv("TVXTRACE_DETAIL");
    std::printf("\ntracing with detail \"%s\"\n%-36s %14s %12s %12s %8s\n", detail != nullptr ? detail : "full", "shape",
                "untraced (ns)", "traced (ns)", "added (ns)", "ratio");
    for (const std::string& name : order) {
        const double a = collector.times["untraced/" + name], b = collector.times["traced/" + name];
        if (a <= 0) continue;
        std::printf("%-36s %14.1f %12.1f %12.1f %7.2fx\n", name.c_str(), a, b, b - a, b / a);
    }
    benchmark::Shutdown();
    return 0;
}
