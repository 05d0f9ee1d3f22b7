// A common double that exports Operator_connect_Scoping at the address of Operator_connect_Field,
// so two slots of one library hold the same function.
#define TVX_DOUBLE_OMIT_Operator_connect_Scoping
#include "tests/doubles/double_entries.gen.cpp"

TVX_DOUBLE_ENTRY void Operator_connect_Scoping(CSharedObjectBase*, int, CSharedObjectBase*, int*, wchar_t**)
    __attribute__((alias("Operator_connect_Field")));
