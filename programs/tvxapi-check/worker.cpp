// The checks, run in a child process that the parent can lose: every call is announced before it
// is made, so a crash or a hang is charged to the call that caused it, and the parent starts a new
// child at the next unit.
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "TVXClientAPI.hpp"
#include "exports.h"
#include "loader/entry_table.gen.h"
#include "null_call.h"
#include "platform/module.h"
#include "programs/shared/applies.h"
#include "requirements.h"

namespace tvxcheck {

namespace {

namespace slot = tvx::slot;
namespace fn = tvx::fn;

// --- records -----------------------------------------------------------------------------------

FILE* g_out = nullptr;

void record(char tag, const std::string& field, const std::string& text) {
    std::fprintf(g_out, "%c %s %s\n", tag, field.empty() ? "-" : one_line(field).c_str(), one_line(text).c_str());
    std::fflush(g_out);
}
void about_to(const char* req, const std::string& call) { record('A', req, call); }
void violated(const char* req, const std::string& evidence) { record('V', req, evidence); }
void held(const char* req, const std::string& note = {}) { record('H', req, note); }
void not_applicable(const char* req, const std::string& reason) { record('N', req, reason); }

// --- text --------------------------------------------------------------------------------------

// A message as UTF-8, at most its first 300 characters (a library's message may run on).
std::string utf8(const wchar_t* text, std::size_t n) { return tvx::detail::utf8(text, std::min<std::size_t>(n, 300)); }

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// A short, readable excerpt of serialized bytes around `at`.
std::string excerpt(const std::string& bytes, std::size_t at) {
    const std::size_t from = at > 16 ? at - 16 : 0;
    std::string out = from > 0 ? "..." : "";
    for (std::size_t i = from; i < bytes.size() && i < from + 40; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F && c != '"') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return quoted(out);
}

// --- the back end --------------------------------------------------------------------------------

using tvx::programs::applies;

bool starts_with(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

bool is_releasing(const char* name) {
    std::string lower(name);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("delete") != std::string::npos || lower.find("free") != std::string::npos ||
           lower.find("release") != std::string::npos;
}

struct Backend {
    std::string path, name;
    std::string server;                     // where a remote library's objects are made (empty: nowhere)
    mutable CSharedObjectBase* client = nullptr;
    bool remote() const { return name == "remote"; }
    bool on_server() const { return remote() && !server.empty(); }
    tvx::platform::Module module = nullptr;
    tvx::platform::Symbol entries[tvx::kSlotCount] = {};
    int resolved = 0;

    bool has(int s) const { return entries[s] != nullptr; }
    template <class F>
    F get(int s) const {
        return reinterpret_cast<F>(entries[s]);
    }
    bool any_with_prefix(std::initializer_list<const char*> prefixes) const {
        for (int s = 0; s < tvx::kSlotCount; ++s)
            for (const char* p : prefixes)
                if (entries[s] != nullptr && starts_with(tvx::kSlots[s].name, p)) return true;
        return false;
    }
    bool has_workflows() const { return any_with_prefix({"WorkFlow_", "Workflow_"}); }
    bool has_operators() const { return any_with_prefix({"Operator_"}); }
};

// --- the error pair --------------------------------------------------------------------------------

// What a caller's pair holds before a call of R5: an earlier failure, consistent in itself.
wchar_t g_earlier[] = L"earlier";
constexpr int kEarlierSize = 8;

// The message of a failure, checked (R4) and as UTF-8 for evidence.
std::string failure_text(const std::string& call, const Pair& pair) {
    about_to("R4", "reading the message of " + call);
    if (pair.message == nullptr) {
        violated("R4", call + ": error size " + std::to_string(pair.size) + " with a null message");
        return "(no message)";
    }
    if (pair.size < 0) {
        violated("R4", call + ": negative error size " + std::to_string(pair.size));
        return utf8(pair.message, wcsnlen(pair.message, 300));
    }
    constexpr std::size_t kLongest = 1u << 20;
    const std::size_t size = static_cast<std::size_t>(pair.size);
    const std::size_t length = wcsnlen(pair.message, size < kLongest ? size : kLongest);
    const std::string text = utf8(pair.message, length);
    if (length + 1 == size) {
        held("R4");
    } else if (length == size) {
        violated("R4", call + ": error size " + std::to_string(size) + " but the message " + quoted(text) +
                           " is not terminated within it (the size must count the terminator)");
    } else {
        violated("R4", call + ": error size " + std::to_string(size) + " but the message ends after " +
                           std::to_string(length) + " characters: " + quoted(text));
    }
    return text;
}

enum class Result { Success, Failure };

// Runs `call` with a pair holding an earlier failure (R5) and says how it ended; `message` gets the
// failure's text. A pair left exactly as it came in is a success that kept the earlier failure.
template <class Call>
Result attempt(const char* req, const std::string& what, Call&& call, std::string* message = nullptr) {
    about_to(req, what);
    Pair pair{kEarlierSize, g_earlier};
    call(pair);
    if (pair.size == 0) {
        held("R5");
        return Result::Success;
    }
    if (pair.size == kEarlierSize && pair.message == g_earlier) {
        violated("R5", what + " left the error pair as it came in, holding an earlier failure (size " +
                           std::to_string(kEarlierSize) + "): a success sets the size to 0");
        return Result::Success;
    }
    const std::string text = failure_text(what, pair);
    if (message != nullptr) *message = text;
    return Result::Failure;
}

// --- unit: loading, names and the entries of the library's own account (R1 to R3) ----------------

// Every name TVXClientAPI exports to its callers, read from the file this process loaded it from.
std::vector<std::string> client_side_names() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&QuorixCore_LoadAPI), &info) == 0 || info.dli_fname == nullptr) return {};
    return read_exports(info.dli_fname).names;
}

void check_names(const Backend& b) {
    const std::string file = b.path + tvx::platform::module_suffix();
    const ExportList exports = read_exports(file);
    if (!exports.error.empty()) {
        not_applicable("R2", "the export table cannot be read: " + exports.error);
        return;
    }
    std::vector<std::string> slot_names;
    for (const auto& info : tvx::kSlots) slot_names.emplace_back(info.name);
    std::vector<std::string> ours = client_side_names();
    auto is = [](const std::vector<std::string>& list, const std::string& n) {
        for (const auto& x : list)
            if (x == n) return true;
        return false;
    };
    int near_misses = 0;
    for (const std::string& name : exports.names) {
        if (is(slot_names, name)) continue;
        const std::string function = demangled_function(name);
        const std::string& compared = function.empty() ? name : function;
        // The nearest entry name: among names of about the same length first (a near miss), then
        // among all of them while the list of other exports stays short enough to afford it.
        std::string nearest;
        int edits = 1 << 30;
        for (int pass = 0; pass < 2 && edits > 2; ++pass) {
            if (pass == 1 && exports.names.size() > 3000) break;
            for (const auto& candidate : slot_names) {
                const int gap = std::abs(static_cast<int>(candidate.size()) - static_cast<int>(compared.size()));
                if (gap >= edits || (pass == 0 && gap > 2)) continue;
                const int d = edit_distance(compared, candidate);
                if (d < edits) edits = d, nearest = candidate;
            }
        }
        if (nearest.empty()) edits = -1;
        // A client-side name points at its slot: the suffix TVXClientAPI adds is taken off.
        std::string base = name;
        for (const char* suffix : {"_on_client", "_for_object"})
            if (base.size() > std::strlen(suffix) && base.compare(base.size() - std::strlen(suffix), std::string::npos, suffix) == 0)
                base.resize(base.size() - std::strlen(suffix));
        if (is(ours, name) && base != name && is(slot_names, base)) nearest = base, edits = 0;
        record('O', name, (nearest.empty() ? "-" : nearest) + " " + std::to_string(edits));
        if (is(ours, name)) {
            ++near_misses;
            const std::string& slot = nearest;
            violated("R2", "exports " + name + ", a name TVXClientAPI exports to its callers and never looks up; "
                           "the entry is " + slot + (name != base ? " (a library loaded as \"remote\" exports the remote form under it, client first)" : ""));
        } else if (!function.empty() && edits == 0) {
            ++near_misses;
            violated("R2", "exports " + nearest + " with C++ linkage, as " + name + ": define it with TVX_IMPLEMENTATION_ENTRY (extern \"C\")");
        } else if (function.empty() && edits == 0) {
            ++near_misses;
            violated("R2", "exports " + name + ", not an entry name: " + nearest + " differs from it only in letter case");
        } else if (function.empty() && edits > 0 && edits <= 2 && name.size() >= 6) {
            ++near_misses;
            violated("R2", "exports " + name + ", not an entry name: did you mean " + nearest + "? (" +
                           std::to_string(edits) + (edits == 1 ? " edit" : " edits") + ")");
        }
    }
    if (near_misses == 0)
        held("R2", std::to_string(exports.names.size()) + (exports.names.size() == 1 ? " export" : " exports") +
                       "; none is a near miss of an entry name");
}

void check_own_account(const Backend& b) {
    std::vector<int> needed = {slot::Quorix_delete_shared_object, slot::Quorix_duplicate_object_reference,
                               slot::Quorix_serialize, slot::SerializationStream_getOutputString};
    if (b.name == "common") {
        needed.insert(needed.end(), {slot::Quorix_deserialize, slot::Operator_new, slot::DataSources_new,
                                     slot::DataSources_SetResultFilePathWithKeyUtf8, slot::Operator_connect_int,
                                     slot::Operator_connect_DataSources, slot::Operator_getoutput_Operator});
        if (b.has_workflows()) needed.push_back(slot::Operator_getoutput_Workflow);
    } else if (b.name == "remote") {
        needed.insert(needed.end(), {slot::Quorix_get_client, slot::Client_get_full_address, slot::Client_get_protocol_name});
        if (b.has_operators()) needed.push_back(slot::Operator_get_id_for_client);
        if (b.has_workflows()) needed.push_back(slot::Workflow_get_client_id);
    }
    int missing = 0;
    for (int s : needed) {
        if (b.has(s)) continue;
        ++missing;
        violated("R3", std::string(tvx::kSlots[s].name) + " is not exported; TVXClientAPI calls it on its own account");
    }
    if (missing == 0) held("R3", std::to_string(needed.size()) + " entries for a library loaded as " + quoted(b.name));
}

// --- units: null objects (R6) ------------------------------------------------------------------------

void call_with_nulls(const Backend& b, int s) {
    const char* entry = tvx::kSlots[s].name;
    const NullCall& how = kNullCalls[s];
    const std::string call = std::string(entry) + "(" + how.arguments() + ")";
    about_to("R6", call);
    Pair pair;
    const Outcome out = how.call(b.entries[s], pair);
    if (out.has_pair && pair.size != 0) {
        failure_text(call, pair);
        held("R6");
    } else if (out.has_result && !out.result_null) {
        violated("R6", call + " returned " + out.result + (out.has_pair ? " and no failure" : ""));
    } else if (out.has_pair && !out.has_result && !is_releasing(entry)) {
        violated("R6", call + " reported success on a null object");
    } else {
        held("R6");
    }
}

// --- units: objects the library makes (R5, R7 to R9) -----------------------------------------------

struct Made {
    std::string kind;  // "a scoping with ids", as the report names it
    CSharedObjectBase* object = nullptr;
};

bool release(const Backend& b, CSharedObjectBase* object, const std::string& what, const char* req) {
    if (!b.has(slot::Quorix_delete_shared_object)) return false;
    const auto del = b.get<fn::Quorix_delete_shared_object>(slot::Quorix_delete_shared_object);
    std::string message;
    const std::string call = "Quorix_delete_shared_object(" + what + ")";
    if (attempt(req, call, [&](Pair& p) { del(object, &p.size, &p.message); }, &message) == Result::Failure) {
        // Within the duplicates' sequence a failing release tells of a broken reference count.
        violated(std::strcmp(req, "R8") == 0 ? "R8" : "R7", call + " failed: " + message);
        return false;
    }
    held("R7");
    return true;
}

// The bytes `object` serializes to; empty with `why` set when it does not serialize.
std::optional<std::string> serialized(const Backend& b, CSharedObjectBase* object, const std::string& what,
                                      const char* req, std::string& why, bool& fault) {
    fault = false;
    const auto serialize = b.get<fn::Quorix_serialize>(slot::Quorix_serialize);
    const auto read = b.get<fn::SerializationStream_getOutputString>(slot::SerializationStream_getOutputString);
    CSharedObjectBase* stream = nullptr;
    std::string message;
    const std::string call = "Quorix_serialize(" + what + ")";
    if (attempt(req, call, [&](Pair& p) { stream = serialize(object, &p.size, &p.message); }, &message) == Result::Failure) {
        why = call + " failed: " + message;
        return std::nullopt;
    }
    if (stream == nullptr) {
        why = call + " returned null without a failure";
        fault = true;
        return std::nullopt;
    }
    std::size_t length = 0;
    const char* bytes = nullptr;
    const std::string read_call = "SerializationStream_getOutputString(stream of " + what + ", &length)";
    std::optional<std::string> result;
    if (attempt(req, read_call, [&](Pair& p) { bytes = read(stream, &length, &p.size, &p.message); }, &message) == Result::Failure) {
        why = read_call + " failed: " + message;
        fault = true;
    } else if (bytes == nullptr && length > 0) {
        why = read_call + " returned null with length " + std::to_string(length);
        fault = true;
    } else {
        about_to(req, "reading the " + std::to_string(length) + " bytes " + read_call + " returned");
        result = std::string(bytes == nullptr ? "" : bytes, length);
    }
    release(b, stream, "stream of " + what, req);
    return result;
}

std::string first_difference(const std::string& a, const std::string& b) {
    std::size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
    return std::to_string(a.size()) + " bytes became " + std::to_string(b.size()) + ", first difference at byte " +
           std::to_string(at) + ": " + excerpt(a, at) + " became " + excerpt(b, at);
}

// The slot that deserializes: the common form, or the remote form on a client.
int deserializer(const Backend& b) {
    return b.remote() ? (b.client != nullptr ? slot::Quorix_deserialize_on_client : -1) : slot::Quorix_deserialize;
}

void deep_copy(const Backend& b, const Made& made, const std::optional<std::string>& original) {
    CSharedObjectBase* copy = nullptr;
    std::string message;
    const std::string call = std::string("Quorix_deserialize(") + (b.remote() ? "client, " : "") +
                             std::to_string(original->size()) + " bytes of " + made.kind + ")";
    if (attempt("R9", call, [&](Pair& p) {
            if (b.remote())
                copy = b.get<fn::Quorix_deserialize_on_client>(slot::Quorix_deserialize_on_client)(
                    b.client, original->data(), original->size(), &p.size, &p.message);
            else
                copy = b.get<fn::Quorix_deserialize>(slot::Quorix_deserialize)(original->data(), original->size(), &p.size, &p.message);
        }, &message) == Result::Failure) {
        violated("R9", call + " failed: " + message);
        return;
    }
    if (copy == nullptr) {
        violated("R9", call + " returned null without a failure");
        return;
    }
    std::string why;
    bool fault = false;
    const auto again = serialized(b, copy, "the copy of " + made.kind, "R9", why, fault);
    if (!again)
        violated("R9", "the copy of " + made.kind + " does not serialize: " + why);
    else if (*again != *original)
        violated("R9", "the copy of " + made.kind + " serializes differently: " + first_difference(*original, *again));
    else
        held("R9", made.kind);
    release(b, copy, "the copy of " + made.kind, "R9");
}

// Duplicates `made`, releases each reference on its own; the original is released here.
void duplicates(const Backend& b, const Made& made, const std::optional<std::string>& original) {
    const auto duplicate = b.get<fn::Quorix_duplicate_object_reference>(slot::Quorix_duplicate_object_reference);
    auto make_duplicate = [&]() -> CSharedObjectBase* {
        CSharedObjectBase* d = nullptr;
        std::string message;
        const std::string call = "Quorix_duplicate_object_reference(" + made.kind + ")";
        if (attempt("R8", call, [&](Pair& p) { d = duplicate(made.object, &p.size, &p.message); }, &message) == Result::Failure)
            violated("R8", call + " failed: " + message);
        else if (d == nullptr)
            violated("R8", call + " returned null without a failure");
        return d;
    };
    // Still usable: it serializes to the same bytes as before (when its kind serializes at all).
    auto still_usable = [&](CSharedObjectBase* object, const std::string& what, const std::string& after) {
        if (!original) return true;
        std::string why;
        bool fault = false;
        const auto now = serialized(b, object, what, "R8", why, fault);
        if (!now) {
            violated("R8", "after " + after + ", " + why);
            return false;
        }
        if (*now != *original) {
            violated("R8", "after " + after + ", " + what + " serializes differently: " + first_difference(*original, *now));
            return false;
        }
        return true;
    };

    CSharedObjectBase* first = make_duplicate();
    if (first == nullptr) {
        release(b, made.object, made.kind, "R7");
        return;
    }
    release(b, first, "the duplicate of " + made.kind, "R8");
    if (!still_usable(made.object, made.kind, "releasing its duplicate")) return;
    CSharedObjectBase* second = make_duplicate();
    if (second == nullptr) return;  // the original may be gone already: releasing it tells nothing more
    release(b, made.object, made.kind, "R8");
    if (!still_usable(second, "the duplicate of " + made.kind, "releasing the original")) return;
    release(b, second, "the duplicate of " + made.kind, "R8");
    held("R8", made.kind);
}

void lifecycle(const Backend& b, const Made& made) {
    std::optional<std::string> original;
    if (b.has(slot::Quorix_serialize) && b.has(slot::SerializationStream_getOutputString)) {
        std::string why;
        bool fault = false;
        original = serialized(b, made.object, made.kind, "R9", why, fault);
        if (!original && fault)
            violated("R9", why);
        else if (!original)
            not_applicable("R9", made.kind + " is not serialized (" + why + ")");
        else if (deserializer(b) < 0 || !b.has(deserializer(b)))
            not_applicable("R9", made.kind + " serializes; Quorix_deserialize is not exported, so the copy is not checked");
        else
            deep_copy(b, made, original);
    }
    if (b.has(slot::Quorix_duplicate_object_reference))
        duplicates(b, made, original);
    else
        release(b, made.object, made.kind, "R7");
}

// Makes an object with `make`, then gives it data with each of `fill` (skipped when absent).
std::optional<Made> make(const std::string& kind, const std::string& call,
                         const std::function<CSharedObjectBase*(Pair&)>& create) {
    CSharedObjectBase* object = nullptr;
    std::string message;
    if (attempt("R5", call, [&](Pair& p) { object = create(p); }, &message) == Result::Failure) {
        not_applicable("R9", call + " failed: " + message);
        return std::nullopt;
    }
    if (object == nullptr) {
        not_applicable("R9", call + " returned null without a failure: no " + kind + " to check");
        return std::nullopt;
    }
    return Made{kind, object};
}

void fill(const std::string& call, const std::function<void(Pair&)>& set) {
    std::string message;
    if (attempt("R5", call, set, &message) == Result::Failure)
        not_applicable("R9", call + " failed: " + message + "; the object is checked without it");
}

// A remote library's client of the server given with --server, made once per child.
bool have_client(const Backend& b) {
    if (b.client != nullptr) return true;
    const std::string call = "Client_new_full_address(" + quoted(b.server) + ")";
    if (!b.has(slot::Client_new_full_address)) {
        violated("R11", "Client_new_full_address is not exported: no client reaches " + quoted(b.server));
        return false;
    }
    std::string message;
    if (attempt("R11", call, [&](Pair& p) {
            b.client = b.get<fn::Client_new_full_address>(slot::Client_new_full_address)(b.server.c_str(), &p.size, &p.message);
        }, &message) == Result::Failure) {
        violated("R11", call + " failed: " + message);
        return false;
    }
    if (b.client == nullptr) violated("R11", call + " returned null without a failure");
    return b.client != nullptr;
}

void scoping(const Backend& b) {
    if (b.remote() && !have_client(b)) return;
    const auto made = make("a scoping", b.remote() ? "Scoping_new(client)" : "Scoping_new()", [&](Pair& p) {
        if (b.remote()) return b.get<fn::Scoping_new_on_client>(slot::Scoping_new_on_client)(b.client, &p.size, &p.message);
        return b.get<fn::Scoping_new>(slot::Scoping_new)(&p.size, &p.message);
    });
    if (!made) return;
    Made with_ids = *made;
    if (b.has(slot::Scoping_SetIds)) {
        static const int ids[] = {1, 2, 3};
        fill("Scoping_SetIds(scoping, {1, 2, 3}, 3)", [&](Pair& p) {
            b.get<fn::Scoping_SetIds>(slot::Scoping_SetIds)(made->object, ids, 3, &p.size, &p.message);
        });
        with_ids.kind = "a scoping with ids {1, 2, 3}";
    }
    lifecycle(b, with_ids);
}

void field(const Backend& b) {
    if (b.remote() && !have_client(b)) return;
    const auto made = make("a field", b.remote() ? "Field_new(client, 3, 2, \"Nodal\")" : "Field_new(3, 2, \"Nodal\")", [&](Pair& p) {
        if (b.remote())
            return b.get<fn::Field_new_on_client>(slot::Field_new_on_client)(b.client, 3, 2, "Nodal", &p.size, &p.message);
        return b.get<fn::Field_new>(slot::Field_new)(3, 2, "Nodal", &p.size, &p.message);
    });
    if (!made) return;
    Made with_data = *made;
    if (b.has(slot::CSField_SetData)) {
        static double values[] = {1.5, 2.5, 3.5, 4.5, 5.5, 6.5};
        fill("CSField_SetData(field, 6, {1.5, ..., 6.5})", [&](Pair& p) {
            b.get<fn::CSField_SetData>(slot::CSField_SetData)(made->object, 6, values, &p.size, &p.message);
        });
        with_data.kind = "a field with 6 values";
    }
    lifecycle(b, with_data);
}

void data_sources(const Backend& b) {
    if (b.remote() && !have_client(b)) return;
    const auto made = make("data sources", b.remote() ? "DataSources_new(client)" : "DataSources_new(null)", [&](Pair& p) {
        if (b.remote()) return b.get<fn::DataSources_new_on_client>(slot::DataSources_new_on_client)(b.client, &p.size, &p.message);
        return b.get<fn::DataSources_new>(slot::DataSources_new)(nullptr, &p.size, &p.message);
    });
    if (!made) return;
    Made with_path = *made;
    if (b.has(slot::DataSources_SetResultFilePathWithKeyUtf8)) {
        fill("DataSources_SetResultFilePathWithKeyUtf8(data sources, \"/tmp/tvxapi-check.rst\", \"rst\")", [&](Pair& p) {
            b.get<fn::DataSources_SetResultFilePathWithKeyUtf8>(slot::DataSources_SetResultFilePathWithKeyUtf8)(
                made->object, "/tmp/tvxapi-check.rst", "rst", &p.size, &p.message);
        });
        with_path.kind = "data sources with a path";
    }
    lifecycle(b, with_path);
}

// Any other creation entry that takes nothing but the error pair (a remote library's: the client).
void plain(const Backend& b, int s) {
    if (b.remote() && !have_client(b)) return;
    const std::string entry = tvx::kSlots[s].name;
    const std::string call = entry + (b.remote() ? "(client)" : "()");
    const auto made = make("a " + entry.substr(0, entry.rfind('_')) + " from " + call, call, [&](Pair& p) {
        if (b.remote())
            return reinterpret_cast<fn::Scoping_new_on_client>(b.entries[s])(b.client, &p.size, &p.message);
        return reinterpret_cast<fn::Scoping_new>(b.entries[s])(&p.size, &p.message);
    });
    if (made) lifecycle(b, *made);
}

// --- unit: a remote object's client answers (R11) ----------------------------------------------

// A text an entry returned, read and handed back with Quorix_deleteString.
bool answered(const Backend& b, const std::string& call, const char* text) {
    if (text == nullptr || text[0] == '\0') {
        violated("R11", call + " returned " + (text == nullptr ? "null" : "an empty text") + " without a failure");
        return false;
    }
    if (b.has(slot::Quorix_deleteString)) {
        about_to("R11", "Quorix_deleteString(the text " + call + " returned)");
        Pair pair;
        b.get<fn::Quorix_deleteString>(slot::Quorix_deleteString)(text, &pair.size, &pair.message);
        if (pair.size != 0) failure_text("Quorix_deleteString", pair);
    }
    return true;
}

void client_answers(const Backend& b) {
    if (!have_client(b)) return;
    if (!b.has(slot::Scoping_new_on_client) || !b.has(slot::Quorix_get_client)) {
        not_applicable("R11", "Scoping_new (remote form) or Quorix_get_client is not exported");
        return;
    }
    CSharedObjectBase* object = nullptr;
    std::string message;
    if (attempt("R11", "Scoping_new(client)", [&](Pair& p) {
            object = b.get<fn::Scoping_new_on_client>(slot::Scoping_new_on_client)(b.client, &p.size, &p.message);
        }, &message) == Result::Failure || object == nullptr) {
        not_applicable("R11", "Scoping_new(client) made no scoping: " + message);
        return;
    }
    CSharedObjectBase* client = nullptr;
    if (attempt("R11", "Quorix_get_client(scoping)", [&](Pair& p) {
            client = b.get<fn::Quorix_get_client>(slot::Quorix_get_client)(object, &p.size, &p.message);
        }, &message) == Result::Failure) {
        violated("R11", "Quorix_get_client(scoping) failed: " + message);
    } else if (client == nullptr) {
        violated("R11", "Quorix_get_client(scoping) returned null without a failure");
    } else {
        bool ok = true;
        for (int s : {slot::Client_get_full_address, slot::Client_get_protocol_name}) {
            const std::string call = std::string(tvx::kSlots[s].name) + "(the scoping's client)";
            char* text = nullptr;
            if (attempt("R11", call, [&](Pair& p) {
                    text = reinterpret_cast<fn::Client_get_full_address>(b.entries[s])(client, &p.size, &p.message);
                }, &message) == Result::Failure) {
                violated("R11", call + " failed: " + message);
                ok = false;
            } else {
                ok = answered(b, call, text) && ok;
            }
        }
        if (ok) held("R11", "the client of a scoping gives its server's address and protocol name");
        release(b, client, "the scoping's client", "R11");
    }
    release(b, object, "a scoping", "R11");
}

void release_null(const Backend& b) {
    const auto del = b.get<fn::Quorix_delete_shared_object>(slot::Quorix_delete_shared_object);
    std::string message;
    const std::string call = "Quorix_delete_shared_object(null)";
    if (attempt("R7", call, [&](Pair& p) { del(nullptr, &p.size, &p.message); }, &message) == Result::Failure)
        violated("R7", call + " failed: " + message +
                           " (TVXClientAPI releases a null client when no library is loaded as \"remote\")");
    else
        held("R7", "a null object is nothing to release");
}

// --- unit: proxy operators (R10) ---------------------------------------------------------------

void proxy(const Backend& b, const char* operator_name, const std::string& protocol) {
    const std::string what = quoted(operator_name);
    for (int s : {slot::DataSources_new, slot::DataSources_SetResultFilePathWithKeyUtf8, slot::Operator_connect_int,
                  slot::Operator_connect_DataSources}) {
        if (!b.has(s)) {
            violated("R10", std::string(tvx::kSlots[s].name) + " is not exported: the proxy " + what + " cannot be given its pins");
            return;
        }
    }
    std::string message;
    CSharedObjectBase* op = nullptr;
    const std::string create = "Operator_new(" + what + ")";
    if (attempt("R10", create, [&](Pair& p) { op = b.get<fn::Operator_new>(slot::Operator_new)(operator_name, &p.size, &p.message); },
                &message) == Result::Failure) {
        violated("R10", create + " failed: " + message);
        return;
    }
    if (op == nullptr) {
        violated("R10", create + " returned null without a failure");
        return;
    }
    CSharedObjectBase* ds = nullptr;
    bool ok = true;
    auto step = [&](const std::string& call, const std::function<void(Pair&)>& run) {
        if (!ok) return;
        if (attempt("R10", call, run, &message) == Result::Failure) {
            violated("R10", call + " failed: " + message);
            ok = false;
        }
    };
    step("DataSources_new(null)", [&](Pair& p) { ds = b.get<fn::DataSources_new>(slot::DataSources_new)(nullptr, &p.size, &p.message); });
    if (ok && ds == nullptr) {
        violated("R10", "DataSources_new(null) returned null without a failure");
        ok = false;
    }
    const std::string address = "127.0.0.1:1";
    step("DataSources_SetResultFilePathWithKeyUtf8(data sources, " + quoted(address) + ", " + quoted(protocol) + ")", [&](Pair& p) {
        b.get<fn::DataSources_SetResultFilePathWithKeyUtf8>(slot::DataSources_SetResultFilePathWithKeyUtf8)(
            ds, address.c_str(), protocol.c_str(), &p.size, &p.message);
    });
    step("Operator_connect_int(" + what + ", 0, 1)", [&](Pair& p) {
        b.get<fn::Operator_connect_int>(slot::Operator_connect_int)(op, 0, 1, &p.size, &p.message);
    });
    step("Operator_connect_DataSources(" + what + ", 4, data sources)", [&](Pair& p) {
        b.get<fn::Operator_connect_DataSources>(slot::Operator_connect_DataSources)(op, 4, ds, &p.size, &p.message);
    });
    if (ok) held("R10", what + " takes the id on pin 0 and the data sources on pin 4");
    release(b, op, what, "R10");
    if (ds != nullptr) release(b, ds, "the proxy's data sources", "R10");
}

// Why a requirement has nothing to check, said once; a requirement that is checked after all
// reports held or violated, which outweighs this.
void explain_absent(const Backend& b) {
    const bool makes_objects = b.remote() ? b.on_server()
                                          : b.has(slot::Scoping_new) || b.has(slot::Field_new) || b.has(slot::DataSources_new);
    const std::string none = b.remote() ? "a library loaded as \"remote\" makes its objects on a server: give one with --server ADDRESS"
                                        : "the library exports no creation entry the checker uses";
    if (!b.remote())
        not_applicable("R11", "only a library loaded as \"remote\" gives the client of its objects");
    else if (!b.on_server())
        not_applicable("R11", "checked on objects made on a server: give one with --server ADDRESS");
    if (!b.has(slot::Quorix_delete_shared_object)) not_applicable("R7", "Quorix_delete_shared_object is not exported");
    if (!b.has(slot::Quorix_duplicate_object_reference))
        not_applicable("R8", "Quorix_duplicate_object_reference is not exported");
    else if (!makes_objects)
        not_applicable("R8", none);
    if (!b.has(slot::Quorix_serialize) || !b.has(slot::SerializationStream_getOutputString))
        not_applicable("R9", "Quorix_serialize or SerializationStream_getOutputString is not exported");
    else if (!makes_objects)
        not_applicable("R9", none);
    if (b.name != "common")
        not_applicable("R10", "only a library loaded as \"common\" makes the proxy operators");
    else if (!b.has(slot::Operator_new))
        not_applicable("R10", "Operator_new is not exported");
    bool takes_objects = false;
    for (int s = 0; s < tvx::kSlotCount; ++s) takes_objects |= b.has(s) && kNullCalls[s].takes_objects;
    if (!takes_objects) not_applicable("R6", "no entry that takes objects is exported");
    if (!makes_objects && b.name != "common") not_applicable("R5", none);
    if (b.resolved == 0) not_applicable("R4", "no entry is exported");
}

// --- the units, in an order every child rebuilds alike -------------------------------------------

struct Unit {
    std::string label;
    std::function<void()> run;
};

std::vector<Unit> units(const Backend& b, const std::string& protocol) {
    std::vector<Unit> list;
    list.push_back({"names", [&b] {
                        std::string summary = std::to_string(b.resolved) + " entries resolve under " + quoted(b.name);
                        if (b.resolved == 0)
                            violated("R1", "the file loads, but no entry of the interface resolves under " + quoted(b.name));
                        else
                            held("R1", summary);
                        for (int s = 0; s < tvx::kSlotCount; ++s)
                            if (b.has(s)) record('E', tvx::kSlots[s].name, "-");
                        check_names(b);
                        check_own_account(b);
                        explain_absent(b);
                    }});
    for (int s = 0; s < tvx::kSlotCount; ++s)
        if (b.has(s) && kNullCalls[s].takes_objects)
            list.push_back({std::string("null objects: ") + tvx::kSlots[s].name, [&b, s] { call_with_nulls(b, s); }});
    if (b.has(slot::Quorix_delete_shared_object))
        list.push_back({"releasing null", [&b] { release_null(b); }});
    const bool remote = b.on_server();
    if (b.has(remote ? slot::Scoping_new_on_client : slot::Scoping_new)) list.push_back({"scoping", [&b] { scoping(b); }});
    if (b.has(remote ? slot::Field_new_on_client : slot::Field_new)) list.push_back({"field", [&b] { field(b); }});
    if (b.has(remote ? slot::DataSources_new_on_client : slot::DataSources_new))
        list.push_back({"data sources", [&b] { data_sources(b); }});
    const char* plain_type = remote ? "CSharedObjectBase* (CSharedObjectBase*, int&, wchar_t*&)" : "CSharedObjectBase* (int&, wchar_t*&)";
    const bool makes = b.remote() ? remote : true;
    for (int s = 0; s < tvx::kSlotCount; ++s) {
        const std::string entry = tvx::kSlots[s].name;
        const bool creation = entry.size() > 4 && (entry.compare(entry.size() - 4, 4, "_new") == 0 ||
                                                   entry.compare(entry.size() - 4, 4, "_New") == 0);
        const bool recipe = s == slot::Scoping_new || s == slot::Scoping_new_on_client || s == slot::DataSources_new_on_client;
        if (makes && b.has(s) && creation && !recipe && std::strcmp(tvx::kSlots[s].type, plain_type) == 0)
            list.push_back({"object from " + entry, [&b, s] { plain(b, s); }});
    }
    if (remote) list.push_back({"client answers", [&b] { client_answers(b); }});
    if (b.name == "common" && b.has(slot::Operator_new)) {
        list.push_back({"proxy operator", [&b, &protocol] { proxy(b, "remote_operator_instantiate", protocol); }});
        if (b.has_workflows())
            list.push_back({"proxy workflow", [&b, &protocol] { proxy(b, "remote_workflow_instantiate", protocol); }});
    }
    return list;
}

}  // namespace

int run_worker(const std::string& path, const std::string& name, const std::string& protocol, const std::string& server,
               int first_unit, int fd) {
    g_out = fdopen(fd, "w");
    if (g_out == nullptr) return 3;

    // Loaded through TVXClientAPI first: what it says is what a client would be told.
    int size = 0;
    wchar_t* message = nullptr;
    QuorixCore_LoadAPIWithOptions(path.c_str(), name.c_str(), 1, &size, &message);
    if (size != 0) {
        record('F', "-", message != nullptr ? utf8(message, wcsnlen(message, 1000)) : "the library could not be loaded");
        return 0;
    }
    Backend b;
    b.path = path;
    b.name = name;
    b.server = server;
    const std::string file = path + tvx::platform::module_suffix();
    b.module = tvx::platform::load_module(file.c_str());
    if (b.module == nullptr) {
        record('F', "-", file + " could not be loaded a second time");
        return 0;
    }
    for (int s = 0; s < tvx::kSlotCount; ++s) {
        if (!applies(tvx::kSlots[s].availability, name)) continue;
        b.entries[s] = tvx::platform::find_symbol(b.module, tvx::kSlots[s].name);
        if (b.entries[s] != nullptr) ++b.resolved;
    }

    const std::vector<Unit> list = units(b, protocol);
    for (int u = first_unit; u < static_cast<int>(list.size()); ++u) {
        record('B', std::to_string(u), list[u].label);
        list[u].run();
        record('D', std::to_string(u), "-");
    }
    record('Z', "-", "-");
    // Leave at once: the library's own clean-up at exit is not what is checked.
    std::fflush(g_out);
    std::_Exit(0);
}

}  // namespace tvxcheck
