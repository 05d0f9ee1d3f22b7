/* The implementation interface compiles as C11 with every warning enabled, and a back end written
   against it compiles: entries of class both and common, an out-parameter as a pointer in C. */
#include "tvx/implementation.h"

TVX_IMPLEMENTATION_ENTRY double* CSField_GetData(CSharedObjectBase* field, int* size, int* error_size, wchar_t** error_message) {
    (void)field;
    *size = 0;
    *error_size = 0;
    (void)error_message;
    return NULL;
}

TVX_IMPLEMENTATION_ENTRY void Quorix_delete_shared_object(CSharedObjectBase* obj, int* error_size, wchar_t** error_message) {
    (void)obj;
    (void)error_message;
    *error_size = 0;
}
