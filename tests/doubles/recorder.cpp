#include "tests/doubles/recorder.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#if defined(_WIN32)
#  define WIN32_LEAN_AND_MEAN
#  include <windows.h>
#else
#  include <cstdlib>
#endif

namespace {

struct Call {
    std::string library;
    std::string entry;
    int slot;
    std::vector<TvxRecArg> args;
    std::vector<std::unique_ptr<std::string>> texts;  // owners of the copied strings
};

struct LedgerObject {
    std::string library;
    int releases = 0;
};

struct State {
    std::mutex lock;
    std::vector<Call> calls;
    std::map<std::pair<std::string, std::string>, unsigned long long> results;
    std::map<std::pair<std::string, std::string>, std::wstring> errors;
    std::map<std::string, bool> hands_out;
    std::map<std::string, bool> clears_size;
    std::map<const void*, std::unique_ptr<LedgerObject>> ledger;
    size_t released_twice = 0;
    std::map<std::string, int> message_sources;
    // Shared messages stay listed for good: one that this library rightly drops (it cannot know the
    // allocator of an implementation library's message) is the doubles' memory, not a leak to report.
    std::vector<wchar_t*> shared_messages;
    std::set<const wchar_t*> counted_live;
    size_t counted_made = 0;
    size_t arena_used = 0;
    size_t static_next = 0;
};

// Static storage for the static and counting message sources: never heap memory.
constexpr size_t kArenaChars = 1 << 16;
wchar_t message_arena[kArenaChars];
constexpr size_t kStaticTexts = 64, kStaticChars = 512;
wchar_t static_texts[kStaticTexts][kStaticChars];

State& state() {
    static State* s = new State;
    return *s;
}

wchar_t* allocate(size_t chars) {
#if defined(_WIN32)
    return static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, chars * sizeof(wchar_t)));
#else
    return static_cast<wchar_t*>(std::malloc(chars * sizeof(wchar_t)));
#endif
}

void* new_object_locked(State& s, const char* library) {
    auto obj = std::make_unique<LedgerObject>();
    obj->library = library;
    void* key = obj.get();
    s.ledger.emplace(key, std::move(obj));
    return key;
}

}  // namespace

extern "C" {

void tvxrec_record(const char* library, int slot, const char* entry, int nargs, const TvxRecArg* args) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    Call c{library, entry, slot, {}, {}};
    for (int i = 0; i < nargs; ++i) {
        TvxRecArg a = args[i];
        if (a.kind == TVXREC_STR && a.s != nullptr) {
            c.texts.push_back(std::make_unique<std::string>(a.s));
            a.s = c.texts.back()->c_str();
        }
        c.args.push_back(a);
    }
    s.calls.push_back(std::move(c));
}

int tvxrec_result(const char* library, const char* entry, int is_object, unsigned long long* bits) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.results.find({library, entry});
    if (it != s.results.end()) {
        *bits = it->second;
        return 1;
    }
    if (is_object && s.hands_out[library]) {
        *bits = reinterpret_cast<unsigned long long>(new_object_locked(s, library));
        return 1;
    }
    return 0;
}

int tvxrec_fail(const char* library, const char* entry, int* size, wchar_t** message) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.errors.find({library, entry});
    if (it == s.errors.end()) return 0;
    const std::wstring& text = it->second;
    const size_t chars = text.size() + 1;
    wchar_t* buffer = nullptr;
    switch (s.message_sources[library]) {
    case TVXREC_MESSAGES_STATIC:
        if (chars <= kStaticChars) buffer = static_texts[s.static_next++ % kStaticTexts];
        break;
    case TVXREC_MESSAGES_COUNTING:
        if (s.arena_used + chars <= kArenaChars) {
            buffer = message_arena + s.arena_used;
            s.arena_used += chars;
            s.counted_live.insert(buffer);
            ++s.counted_made;
        }
        break;
    default:
        buffer = allocate(chars);
        s.shared_messages.push_back(buffer);
        break;
    }
    if (buffer == nullptr) return 0;
    std::memcpy(buffer, text.c_str(), chars * sizeof(wchar_t));
    *message = buffer;
    *size = static_cast<int>(chars);
    return 1;
}

void tvxrec_message_source(const char* library, int source) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.message_sources[library] = source;
}

size_t tvxrec_counted_messages_made(void) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    return s.counted_made;
}

size_t tvxrec_counted_messages_live(void) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    return s.counted_live.size();
}

int tvxrec_return_counted_message(wchar_t* message) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    return s.counted_live.erase(message) == 1 ? 1 : 0;
}

int tvxrec_is_recorder_message(const wchar_t* message) {
    const auto at = reinterpret_cast<std::uintptr_t>(message);
    const auto within = [at](const void* begin, size_t bytes) {
        const auto b = reinterpret_cast<std::uintptr_t>(begin);
        return at >= b && at < b + bytes;
    };
    return within(message_arena, sizeof message_arena) || within(static_texts, sizeof static_texts) ? 1 : 0;
}

void tvxrec_release(const char*, const void* object) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.ledger.find(object);
    if (it == s.ledger.end()) return;
    if (it->second->releases++ > 0) ++s.released_twice;
}

void tvxrec_reset(void) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.calls.clear();
    s.results.clear();
    s.errors.clear();
    s.hands_out.clear();
    s.clears_size.clear();
    s.ledger.clear();
    s.released_twice = 0;
    s.message_sources.clear();
    s.counted_live.clear();
    s.counted_made = 0;
    s.arena_used = 0;
    s.static_next = 0;
}

void tvxrec_clear_log(void) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.calls.clear();
}

void tvxrec_clear_results(void) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.results.clear();
    s.errors.clear();
}

size_t tvxrec_count(void) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    return s.calls.size();
}

const char* tvxrec_library(size_t call) { return state().calls.at(call).library.c_str(); }
const char* tvxrec_entry(size_t call) { return state().calls.at(call).entry.c_str(); }
int tvxrec_slot(size_t call) { return state().calls.at(call).slot; }
int tvxrec_nargs(size_t call) { return static_cast<int>(state().calls.at(call).args.size()); }
const TvxRecArg* tvxrec_arg(size_t call, int index) {
    const Call& c = state().calls.at(call);
    return index >= 0 && static_cast<size_t>(index) < c.args.size() ? &c.args[index] : nullptr;
}

void tvxrec_set_result(const char* library, const char* entry, unsigned long long bits) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.results[{library, entry}] = bits;
}

void tvxrec_set_double_result(const char* library, const char* entry, double value) {
    unsigned long long bits;
    std::memcpy(&bits, &value, sizeof bits);
    tvxrec_set_result(library, entry, bits);
}

void tvxrec_set_error(const char* library, const char* entry, const wchar_t* text) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.errors[{library, entry}] = text;
}

void tvxrec_clear_size_on_success(const char* library, int on) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.clears_size[library] = on != 0;
}

int tvxrec_clears_size_on_success(const char* library) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.clears_size.find(library);
    return it != s.clears_size.end() && it->second ? 1 : 0;
}

void tvxrec_hand_out_objects(const char* library, int on) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.hands_out[library] = on != 0;
}

void* tvxrec_new_object(const char* library) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    return new_object_locked(s, library);
}

const char* tvxrec_object_library(const void* object) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.ledger.find(object);
    return it == s.ledger.end() ? nullptr : it->second->library.c_str();
}

size_t tvxrec_objects_created(void) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    return s.ledger.size();
}

size_t tvxrec_objects_live(void) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    size_t n = 0;
    for (auto& [key, obj] : s.ledger) n += obj->releases == 0 ? 1 : 0;
    return n;
}

size_t tvxrec_objects_released_twice(void) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    return s.released_twice;
}

void tvxrec_free_message(wchar_t* message) {
#if defined(_WIN32)
    if (message != nullptr) HeapFree(GetProcessHeap(), 0, message);
#else
    std::free(message);
#endif
}

}  // extern "C"
