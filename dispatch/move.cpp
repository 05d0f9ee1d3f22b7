// Moving objects into the common library: deep copies of data objects and proxies of operators and
// workflows. Every step goes through the exported entries, so each picks its library as they do.
#include <stdexcept>
#include <string>

#include "dispatch/reconcile.h"
#include "TVXClientAPI.h"

namespace tvx {

namespace {

// An error pair of this library's own, whose message never reaches the caller as such. Discarding
// it frees the message only when this library made it: an implementation library's message is
// dropped, since only that library knows how its buffer was allocated.
struct PrivatePair {
    int size = 0;
    wchar_t* message = nullptr;
    PrivatePair() = default;
    PrivatePair(const PrivatePair&) = delete;
    PrivatePair& operator=(const PrivatePair&) = delete;
    ~PrivatePair() { clear(); }
    void clear() noexcept {
        OwnMessages::release(message);
        size = 0;
        message = nullptr;
    }
    bool failed() const noexcept { return size != 0; }
    std::string text() const { return message != nullptr ? encode_utf8(message) : std::string(); }
};

// The caller's pair while it holds no failure, else a scratch pair: clean-up steps report their
// own failures but never overwrite (or clear) the failure that stopped the work.
class CleanupPair {
public:
    CleanupPair(int* size, wchar_t** message) noexcept
        : keep_(*size == 0), size_(keep_ ? size : &scratch_.size), message_(keep_ ? message : &scratch_.message) {}
    int* size() const noexcept { return size_; }
    wchar_t** message() const noexcept { return message_; }

private:
    PrivatePair scratch_;
    bool keep_;
    int* size_;
    wchar_t** message_;
};

void release(TvxObject* handle, int* size, wchar_t** message) noexcept {
    const CleanupPair pair(size, message);
    Quorix_delete_shared_object(handle, pair.size(), pair.message());
}

// Releases a temporary handle the way the releasing entry does, but reports a missing entry by the
// implementation entry's name.
void release_temporary(TvxObject* handle, int* size, wchar_t** message) noexcept {
    if (handle == nullptr) return;
    using Release = void (*)(CSharedObjectBase*, int*, wchar_t**);
    const CleanupPair pair(size, message);
    const Release f = entry<Release>(handle->effective_library(), slot::Quorix_delete_shared_object);
    if (f == nullptr) {
        report_invalid_api("Quorix_delete_shared_object", pair.size(), pair.message());
        return;
    }
    f(handle->effective_object(), pair.size(), pair.message());
    destroy(handle);
}

// Hands the object of a temporary handle over to `target` as its local copy and ends the temporary
// handle without releasing that object.
void adopt_local_copy(TvxObject* target, TvxObject* temporary) noexcept {
    target->set_local_copy(temporary->effective_object(), temporary->effective_library());
    destroy(temporary);  // never moved, so its destructor releases nothing
}

// A move that made no local copy and reported nothing has still failed.
bool moved_or_report(const TvxObject* handle, int* size, wchar_t** message) noexcept {
    if (*size != 0) return false;
    if (handle->moved_locally()) return true;
    report(L"Unable to move the object locally: no local copy was made", size, message);
    return false;
}

// The client of the object's server, when a library is registered as "remote".
bool get_client(TvxObject* handle, TvxObject*& client, int* size, wchar_t** message) noexcept {
    client = nullptr;
    if (registry::remote() == nullptr) return true;
    client = Quorix_get_client(handle, size, message);
    if (*size == 0) return true;
    release(client, size, message);
    client = nullptr;
    return false;
}

[[noreturn]] void fail(const char* what, const PrivatePair& inner) {
    throw std::runtime_error(std::string("Quorix_deep_copy failed: ") + what + inner.text());
}

}  // namespace

TvxObject* deep_copy(TvxObject* handle, int* size, wchar_t** message) noexcept {
    const OwnMessages scope;
    TvxObject* stream = nullptr;
    TvxObject* result = nullptr;
    PrivatePair pair;
    try {
        // 1-2. Serialize in the object's library.
        using Serialize = CSharedObjectBase* (*)(CSharedObjectBase*, int*, wchar_t**);
        API* lib = library_of<Home::Default>(handle);
        if (const Serialize f = entry<Serialize>(lib, slot::Quorix_serialize)) {
            CSharedObjectBase* s = f(object_of(handle), &pair.size, &pair.message);
            stream = new_handle(s, lib);
        } else {
            report_invalid_api("Quorix_serialize", &pair.size, &pair.message);
        }
        if (pair.failed()) fail("Unable to serialize from client: ", pair);

        // 3-4. Read the serialized form.
        using Read = const char* (*)(CSharedObjectBase*, std::size_t*, int*, wchar_t**);
        std::size_t length = 0;
        const char* bytes = nullptr;
        if (const Read f = entry<Read>(library_of<Home::Default>(stream), slot::SerializationStream_getOutputString))
            bytes = f(object_of(stream), &length, &pair.size, &pair.message);
        else
            report_invalid_api("SerializationStream_getOutputString", &pair.size, &pair.message);
        if (pair.failed()) fail("Unable to serialize from client: ", pair);

        // 5-6. Deserialize in the common library.
        result = Quorix_deserialize(bytes, length, &pair.size, &pair.message);
        if (pair.failed()) fail("Unable to deserialize: ", pair);
    } catch (...) {
        // A failure before deserializing returns null; one after returns what it produced.
        try {
            report(exception_message(std::current_exception(), L"Quorix_deep_copy"), size, message);
        } catch (...) {
            if (size != nullptr) *size = -1;
            if (message != nullptr) *message = nullptr;
        }
    }
    // 7. Release the temporary stream, on every path.
    if (stream != nullptr) {
        PrivatePair scratch;
        Quorix_delete_shared_object(stream, &scratch.size, &scratch.message);
    }
    return result;
}

}  // namespace tvx

using tvx::API;

bool TvxObject::moveLocally(int* size, wchar_t** message) {
    *size = 0;
    if (library == tvx::registry::common() || moved_locally()) return true;
    TvxObject* client = nullptr;
    if (!tvx::get_client(this, client, size, message)) return false;
    if (TvxObject* copy = tvx::deep_copy(this, size, message)) {
        if (*size == 0)
            tvx::adopt_local_copy(this, copy);
        else
            tvx::release(copy, size, message);  // a copy that came with a failure is not kept
    }
    tvx::release(client, size, message);
    return tvx::moved_or_report(this, size, message);
}

namespace {

// Text a library handed to this library (an address, a protocol name) goes back to that library
// once used; one without Quorix_deleteString keeps it, and a failure goes no further.
void give_back_text(TvxObject* owner, const char* text) noexcept {
    if (text == nullptr) return;
    if (const tvx::fn::Quorix_deleteString f =
            tvx::entry<tvx::fn::Quorix_deleteString>(owner->effective_library(), tvx::slot::Quorix_deleteString)) {
        tvx::PrivatePair pair;
        f(text, &pair.size, &pair.message);
    }
}

// The proxy sequence shared by operators and workflows.
template <class GetId, class GetOutput>
bool move_through_proxy(TvxObject* self, const char* proxy_name, int id_slot, const char* id_entry,
                        GetOutput get_output, int* size, wchar_t** message) {
    *size = 0;
    if (self->library == tvx::registry::common() || self->moved_locally()) return true;
    TvxObject* client = nullptr;
    if (!tvx::get_client(self, client, size, message)) return false;

    TvxObject* proxy = nullptr;
    TvxObject* sources = nullptr;
    proxy = Operator_new(proxy_name, size, message);
    if (*size == 0) sources = DataSources_new(nullptr, size, message);
    const char* address = nullptr;
    const char* protocol = nullptr;
    if (*size == 0) address = Client_get_full_address(client, size, message);
    if (*size == 0) protocol = Client_get_protocol_name(client, size, message);
    if (*size == 0) {
        using SetPath = void (*)(CSharedObjectBase*, const char*, const char*, int*, wchar_t**);
        if (const SetPath f = tvx::entry<SetPath>(sources != nullptr ? sources->effective_library() : nullptr,
                                                  tvx::slot::DataSources_SetResultFilePathWithKeyUtf8))
            f(tvx::object_of(sources), address, protocol, size, message);
        else
            tvx::report_invalid_api("DataSources_SetResultFilePathWithKeyUtf8", size, message);
    }
    give_back_text(client, address);
    give_back_text(client, protocol);
    int id = 0;
    if (*size == 0) {
        if (const GetId f = tvx::entry<GetId>(self->effective_library(), id_slot))
            id = static_cast<int>(f(self->effective_object(), size, message));
        else
            tvx::report_invalid_api(id_entry, size, message);
    }
    if (*size == 0) {
        using ConnectInt = void (*)(CSharedObjectBase*, int, int, int*, wchar_t**);
        if (const ConnectInt f = tvx::entry<ConnectInt>(proxy != nullptr ? proxy->effective_library() : nullptr,
                                                        tvx::slot::Operator_connect_int))
            f(tvx::object_of(proxy), 0, id, size, message);
        else
            tvx::report_invalid_api("Operator_connect_int", size, message);
    }
    if (*size == 0) Operator_connect_DataSources(proxy, 4, sources, size, message);
    if (*size == 0) {
        if (TvxObject* output = get_output(proxy, 0, size, message)) {
            if (*size == 0)
                tvx::adopt_local_copy(self, output);
            else
                tvx::release(output, size, message);
        }
    }
    tvx::release(client, size, message);
    tvx::release_temporary(proxy, size, message);
    tvx::release_temporary(sources, size, message);
    return tvx::moved_or_report(self, size, message);
}

}  // namespace

bool Operator::moveLocally(int* size, wchar_t** message) {
    return move_through_proxy<tvx::fn::Operator_get_id_for_client>(
        this, "remote_operator_instantiate", tvx::slot::Operator_get_id_for_client, "Operator_get_id_for_client",
        Operator_getoutput_Operator, size, message);
}

bool Workflow::moveLocally(int* size, wchar_t** message) {
    return move_through_proxy<tvx::fn::Workflow_get_client_id>(
        this, "remote_workflow_instantiate", tvx::slot::Workflow_get_client_id, "Workflow_get_client_id",
        Operator_getoutput_Workflow, size, message);
}
