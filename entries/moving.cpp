// Copying objects into the common library on request, and the local-server link of a client.
#include "TVXClientAPI.h"
#include "dispatch/reconcile.h"

extern "C" {

TvxObject* Quorix_deep_copy(TvxObject* obj, int* error_size, wchar_t** error_message) {
    return tvx::deep_copy(obj, error_size, error_message);
}

// The handle itself is left as it was: this makes a new handle, like Quorix_deep_copy.
TvxObject* QuorixCore_MoveLocally(TvxObject* obj, const void*, int* error_size, wchar_t** error_message) {
    return tvx::deep_copy(obj, error_size, error_message);
}

// The remote library rebuilds the source on the client's server.
TvxObject* Quorix_deep_copy_on_client(TvxObject* source, TvxObject* client, int* error_size,
                                      wchar_t** error_message) {
    return Quorix_create_from_on_client(client, source, error_size, error_message);
}

// The local server of a client, as an object of the common library.
TvxObject* Client_get_local_server_as_streams(TvxObject* client, int* error_size, wchar_t** error_message) {
    tvx::API* lib = tvx::registry::remote();
    const auto f = tvx::entry<tvx::fn::Client_get_local_server>(lib, tvx::slot::Client_get_local_server);
    if (f == nullptr) return tvx::invalid_api<TvxObject*>("Client_get_local_server_as_streams", error_size, error_message);
    return tvx::new_handle(f(tvx::object_of(client), error_size, error_message), tvx::registry::common());
}

}  // extern "C"
