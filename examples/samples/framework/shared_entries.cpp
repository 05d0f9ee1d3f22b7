// The entries both sample libraries define alike, compiled into each: releasing and duplicating
// references to their objects, and taking back the text they handed out.
#include "entry_support.h"

using namespace tvxsample;

// Releasing nothing is not a failure: TVXClientAPI forwards a null object when there is none.
TVX_IMPLEMENTATION_ENTRY void Quorix_delete_shared_object(CSharedObjectBase* obj, int* error_size, wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] {
        if (obj != nullptr) expect_any(obj).release();
    });
}

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Quorix_duplicate_object_reference(CSharedObjectBase* obj, int* error_size,
                                                                              wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return handed_out(expect_any(obj).add_ref()); });
}

// Text from a char* result of this library, or null.
TVX_IMPLEMENTATION_ENTRY void Quorix_deleteString(const char* text, int* error_size, wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] { delete_text(text); });
}
