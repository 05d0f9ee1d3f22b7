// Quorix_deserializeMany for the C++ binding's tests. The generated double returns the configured
// array but never writes the count, which the binding keeps to itself and starts at 0; this entry
// also writes the count configured with tvxrec_set_result(library, "Quorix_deserializeMany count", n).
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
