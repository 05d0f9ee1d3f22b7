// A library loaded as "remote" declares the remote forms: Field_new takes the client first.
#define TVX_IMPLEMENTATION_REMOTE
#include "tvx/implementation.h"

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Field_new(CSharedObjectBase* client, int components, int entities, const char* location,
                             int* error_size, wchar_t** error_message) {
    static_cast<void>(client);
    static_cast<void>(components);
    static_cast<void>(entities);
    static_cast<void>(location);
    static_cast<void>(error_message);
    *error_size = 0;
    return nullptr;
}
