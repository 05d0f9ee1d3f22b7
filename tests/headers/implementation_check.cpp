// The implementation interface compiles as C++17 with every warning enabled, for a library loaded as
// "common" and for one loaded as "remote" (whose remote forms share names with the common forms),
// and a back end written against it compiles: an out-parameter is a reference in C++.
#include "tvx/implementation.h"

TVX_IMPLEMENTATION_ENTRY double* CSField_GetData(CSharedObjectBase* field, int& size, int* error_size, wchar_t** error_message) {
    static_cast<void>(field);
    static_cast<void>(error_message);
    size = 0;
    *error_size = 0;
    return nullptr;
}

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Field_new(int components, int entities, const char* location, int* error_size,
                             wchar_t** error_message) {
    static_cast<void>(components);
    static_cast<void>(entities);
    static_cast<void>(location);
    static_cast<void>(error_message);
    *error_size = 0;
    return nullptr;
}
