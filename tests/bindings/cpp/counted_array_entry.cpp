// Entries of the common double for the C++ binding's tests that do more than the generated ones.
//
// Quorix_deserializeMany: the generated double returns the configured array but never writes the
// count, which the binding keeps to itself and starts at 0; this entry also writes the count
// configured with tvxrec_set_result(library, "Quorix_deserializeMany count", n).
//
// CSStringField_SetData: the generated double logs the array's address only; this entry also logs
// the texts it points to (the first eight), so a test can read what the array held at the call.
#include "loader/entry_table.gen.h"
#include "tests/doubles/double_support.h"

TVX_DOUBLE_ENTRY CSharedObjectBase** Quorix_deserializeMany(const char* bytes, size_t length, size_t* count, int* size,
                                                            wchar_t** message) {
    unsigned long long n = 0;
    if (count != nullptr && tvxrec_result(TVX_DOUBLE_ID, "Quorix_deserializeMany count", 0, &n) != 0)
        *count = static_cast<size_t>(n);
    return tvxdouble::Call(tvx::slot::Quorix_deserializeMany, "Quorix_deserializeMany")
        .arg(bytes)
        .arg(length)
        .arg(count)
        .result<CSharedObjectBase**>(size, message);
}

TVX_DOUBLE_ENTRY void CSStringField_SetData(CSharedObjectBase* field, int count, char* const* values, int* size,
                                            wchar_t** message) {
    tvxdouble::Call call(tvx::slot::CSStringField_SetData, "CSStringField_SetData");
    call.arg(field).arg(count).arg(values);
    for (int i = 0; values != nullptr && i < count && i < 8; ++i) call.arg(static_cast<const char*>(values[i]));
    call.finish(size, message);
}
