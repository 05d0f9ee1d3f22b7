// Entries that act on a handle as such.
#include "dispatch/forward.h"
#include "tvx/core.h"
#include "tvx/errors_strings_vectors.h"

extern "C" {

bool QuorixCore_HasBeenMovedLocally(TvxObject* obj) { return obj != nullptr && obj->moved_locally(); }

TvxObject* Quorix_duplicate_TVXClientAPIobject(TvxObject* obj, int* error_size, wchar_t** error_message) {
    return obj != nullptr ? obj->duplicateReference(error_size, error_message) : nullptr;
}

// Frees an array of handles this library handed out; the handles in it stay valid.
void Quorix_delete_shared_object_array(TvxObject** array, size_t, int* error_size, wchar_t**) {
    if (error_size != nullptr) *error_size = 0;
    delete[] array;
}

}  // extern "C"
