#include "dispatch/reconcile.h"

namespace tvx {

namespace {

enum Outcome { kCall = 0, kNoCounterpart = 1, kMoveFailed = 2 };

[[gnu::cold]] void report_no_counterpart(int step, int* size, wchar_t** message) noexcept {
    wchar_t text[] = L"moveToCorrespondingFunctionOnCommonApi (0): Cannot find function in common API";
    text[40] = static_cast<wchar_t>(L'0' + step);
    report(text, size, message);
}

Outcome reconcile_pair(TvxObject* first, TvxObject* second, API* lib, int slot, Reconciled& out, int* size,
                       wchar_t** message) {
    // 1. Both made by one library: its entry with their own objects.
    if (second->library == first->library) {
        out = {first->object, second->object, lib};
        return kCall;
    }
    // 2. Already in one library (the common one, through a local copy).
    if (first->effective_library() == second->effective_library()) {
        out = {first->effective_object(), second->effective_object(), lib};
        if (first->library == first->effective_library()) return kCall;
        if (move_to_common(first->library, slot, out.library)) return kCall;
        report_no_counterpart(2, size, message);
        return kNoCounterpart;
    }
    // 3. The first object lives in the common library: bring the second there.
    if (first->library == registry::common()) {
        if (!second->moveLocally(size, message)) return kMoveFailed;
        out = {first->object, second->effective_object(), lib};
        if (move_to_common(first->library, slot, out.library)) return kCall;
        report_no_counterpart(3, size, message);
        return kNoCounterpart;
    }
    // 4. Otherwise bring the first one there and call the common library's entry. The second handle
    // goes there too: with a third library loaded it may belong to neither the common library nor
    // the first handle's (a common or already moved handle needs no move and stays as it is).
    if (!first->moveLocally(size, message)) return kMoveFailed;
    if (!second->moveLocally(size, message)) return kMoveFailed;
    out = {first->local_copy, second->effective_object(), lib};
    if (move_to_common(first->library, slot, out.library)) return kCall;
    report_no_counterpart(4, size, message);
    return kNoCounterpart;
}

}  // namespace

bool move_to_common(API* lib, int slot, API*& chosen) noexcept {
    API* common = registry::find("common");
    if (common != nullptr && common == lib) return true;
    if (common == nullptr || common->table[slot] == nullptr) return false;
    chosen = common;
    return true;
}

bool reconcile(const char* entry, TvxObject* first, TvxObject* second, API* lib, int slot, Reconciled& out,
               int* size, wchar_t** message) noexcept {
    if (first == nullptr || (first->local_copy == nullptr && first->object == nullptr) ||
        first->effective_library() == nullptr) {
        report(L"Invalid TVX object", size, message);
        return false;
    }
    if (second == nullptr) {
        // A moved first handle is used through its local copy, like every other call on it.
        out = {first->effective_object(), nullptr, lib};
        if (!first->moved_locally() || move_to_common(first->library, slot, out.library)) return true;
        const OwnMessages scope;
        report_no_counterpart(2, size, message);
        append_call_context(entry, size, message);
        return false;
    }
    // Messages made from here on may be extended with the call context.
    const OwnMessages scope;
    Outcome outcome;
    try {
        outcome = reconcile_pair(first, second, lib, slot, out, size, message);
    } catch (...) {
        report(exception_message(std::current_exception(), L"reconcile"), size, message);
        outcome = kMoveFailed;
    }
    if (outcome == kCall) return true;
    append_call_context(entry, size, message);
    return false;
}

}  // namespace tvx
